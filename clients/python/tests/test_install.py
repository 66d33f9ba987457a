"""The package installs offline with pip into a fresh virtual environment
and works from there, away from the source tree: with Debian's Python and
with the Python running the tests (which may have no `wheel` package). The
wheel the build makes installs too, and an app installed from it still
works once the source it was built from is gone."""

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

from clienttest import ClientTest, Rig
from puente import Tarjeta

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHONS = sorted({os.environ.get("GPBRIDGE_INSTALL_PYTHON", "/usr/bin/python3"), sys.executable})


class Install(unittest.TestCase):
    def test_pip_install_without_network(self):
        for python in PYTHONS:
            with self.subTest(python):
                self.install_with(python)

    def install_with(self, python):
        root = tempfile.mkdtemp(prefix="gpbridge-install-")
        self.addCleanup(shutil.rmtree, root, True)
        # pip builds in the folder it is given: build a copy, not the source.
        copy = os.path.join(root, "src")
        shutil.copytree(SOURCE, copy, ignore=shutil.ignore_patterns("tests", "__pycache__", "build", "*.egg-info"))
        venv = os.path.join(root, "venv")
        subprocess.run([python, "-m", "venv", "--system-site-packages", venv], check=True)
        env = dict(os.environ, PIP_NO_CACHE_DIR="1", PIP_NO_INDEX="1")
        env.pop("PYTHONPATH", None)
        r = subprocess.run([os.path.join(venv, "bin", "pip"), "install", "--no-build-isolation", copy],
                           capture_output=True, text=True, env=env, cwd=root)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        probe = ("import gpbridge, os; from gpbridge import Bridge, WIRE; "
                 "d = os.path.dirname(gpbridge.__file__); "
                 "print(d); print(os.path.exists(os.path.join(d, 'py.typed')))")
        r = subprocess.run([os.path.join(venv, "bin", "python"), "-c", probe],
                           capture_output=True, text=True, env=env, cwd=root, check=True)
        where, typed = r.stdout.split()
        self.assertTrue(where.startswith(venv), where)
        self.assertEqual(typed, "True")


APP = textwrap.dedent("""\
    import sys
    import gpbridge
    from gpbridge import Bridge
    with Bridge.start(sys.argv[1]) as bridge:
        bridge.open(0, sys.argv[2])
        print(gpbridge.__file__)
        print(bridge.capture().name)
    """)


class Wheel(ClientTest):
    def test_an_app_installed_from_the_wheel_works_with_the_source_gone(self):
        root = tempfile.mkdtemp(prefix="gpbridge-wheel-")
        self.addCleanup(shutil.rmtree, root, True)
        # A copy of the source stands for the clone; the wheel is built from
        # it the way the build does, then the copy goes.
        clone = os.path.join(root, "clone")
        shutil.copytree(SOURCE, clone, ignore=shutil.ignore_patterns("tests", "__pycache__"))
        env = dict(os.environ, PIP_NO_CACHE_DIR="1", PIP_NO_INDEX="1")
        env.pop("PYTHONPATH", None)
        dist = os.path.join(root, "dist")
        r = subprocess.run([sys.executable, os.path.join(clone, "build_backend", "gpbridge_build.py"), dist],
                           capture_output=True, text=True, env=env, cwd=root)
        self.assertEqual(r.returncode, 0, r.stderr)
        wheel = r.stdout.strip()
        self.assertEqual(os.path.basename(wheel), "gpbridge-0.1.0-py3-none-any.whl")
        app = os.path.join(root, "app")
        subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", app], check=True)
        r = subprocess.run([os.path.join(app, "bin", "pip"), "install", wheel],
                           capture_output=True, text=True, env=env, cwd=root)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        shutil.rmtree(clone)
        os.unlink(wheel)
        with open(os.path.join(root, "app.py"), "w") as f:
            f.write(APP)
        rig = Rig((Tarjeta(),))
        self.addCleanup(rig.cleanup)
        r = subprocess.run([os.path.join(app, "bin", "python"), "app.py", rig.executable, rig.fotos],
                           capture_output=True, text=True, env=env, cwd=root, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        where, photo = r.stdout.split()
        self.assertTrue(where.startswith(app), where)
        self.assertEqual(photo, "IMG_0001.JPG")
        self.assertTrue(os.path.isfile(os.path.join(rig.fotos, photo)))


if __name__ == "__main__":
    unittest.main()
