"""scripts/run.sh as the README tells a new user to use it: the demo's
`abrir 0 photos` and `disparar` save a photo, `--example` runs the example
host against a simulated camera, and nothing is installed, re-configured or
left in the temporary folder. It runs against the build under test
(GPBRIDGE_BUILD), where everything is already built, with a fresh demo
folder (GPBRIDGE_DEMO)."""

import os
import queue
import shutil
import subprocess
import tempfile
import threading
import unittest

import esquema
from puente import GPBRIDGE, NS_RUN, generated

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.path.dirname(GPBRIDGE)


class RunScript(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        r = subprocess.run([NS_RUN, "--", "true"], capture_output=True)
        if r.returncode != 0:
            raise AssertionError("cannot run camera tests: " + r.stderr.decode().strip())

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="gpbridge-runsh-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        os.makedirs(os.path.join(self.tmp, "tmp"))
        self.env = dict(os.environ, GPBRIDGE_BUILD=BUILD, TMPDIR=os.path.join(self.tmp, "tmp"),
                        GPBRIDGE_SIM_DIR=os.path.join(self.tmp, "sim"),
                        GPBRIDGE_DEMO=os.path.join(self.tmp, "demo"))
        self.photos = os.path.join(self.tmp, "demo", "photos")

    def start(self, *args):
        return subprocess.Popen([os.path.join(REPO, "scripts", "run.sh"), *args],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=self.env)

    def assert_quiet_setup_and_nothing_left(self, err):
        self.assertNotIn("installing", err)
        self.assertNotIn("configuring", err)
        self.assertEqual(os.listdir(os.path.join(self.tmp, "tmp")), [], "temporary files left")

    def test_the_readme_demo_saves_its_first_photo(self):
        p = self.start()
        lines = queue.Queue()
        threading.Thread(target=lambda: [lines.put(l) for l in p.stdout] + [lines.put(None)],
                         daemon=True).start()
        p.stdin.write(b"buscar\nabrir 0 photos\ndisparar\n")
        p.stdin.flush()
        seen = []
        while not seen or '"e":"foto"' not in seen[-1]:
            raw = lines.get(timeout=120)
            self.assertIsNotNone(raw, f"the demo ended early: {seen}")
            seen.append(raw.decode().rstrip("\n"))
            esquema.validate_line(seen[-1])
            self.assertNotIn('"e":"error"', seen[-1])
        self.assertEqual(seen[-1], '{"e":"foto","ruta":"photos/IMG_0001.JPG","nombre":"IMG_0001.JPG"}')
        with open(os.path.join(self.photos, "IMG_0001.JPG"), "rb") as f:
            self.assertEqual(f.read(), generated("IMG_0001.JPG", 4096))
        p.stdin.write(b"salir\n")
        p.stdin.close()
        self.assertEqual(p.wait(60), 0)
        err = p.stderr.read().decode()
        self.assertIn(f"saves photos in {self.photos}", err)
        self.assert_quiet_setup_and_nothing_left(err)

    def test_the_example_host_in_one_command(self):
        p = self.start("--example")
        out, err = p.communicate(b"", timeout=180)
        self.assertEqual(p.returncode, 0, out.decode() + err.decode())
        self.assertEqual(len(os.listdir(self.photos)), 1, "one photo taken")
        self.assert_quiet_setup_and_nothing_left(err.decode())
        self.assertNotIn(b"Traceback", out + err)


if __name__ == "__main__":
    unittest.main()
