"""The package installs offline with pip into a fresh virtual environment
and works from there, away from the source tree: with Debian's Python and
with the Python running the tests (which may have no `wheel` package)."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

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


if __name__ == "__main__":
    unittest.main()
