"""The example host application (examples/host.py) against the simulated
camera: the whole tour works, failures are explained and the bridge is
still shut down cleanly, and nothing ever hangs."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from puente import CAMLIBS_DIR, GPBRIDGE, NS_RUN, CameraTest, Tarjeta, directive as d, generated

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "host.py")


class Run:
    """One run of the example, inside a namespace with one simulated card
    unless `card` is None."""

    def __init__(self, card=None, bridge=None, env=None):
        self.root = tempfile.mkdtemp(prefix="gpbridge-example-")
        self.fotos = os.path.join(self.root, "fotos")
        cmd = [sys.executable, EXAMPLE, bridge or GPBRIDGE, self.fotos]
        if card is not None:
            card.prepare(self.root, 0)
            cmd = [NS_RUN, "--card", f"{card.mount}={card.src}", "--",
                   "env", f"CAMLIBS={CAMLIBS_DIR}"] + cmd
        r = subprocess.run(cmd, capture_output=True, timeout=150, cwd=self.root,
                           env=None if env is None else dict(os.environ, **env))
        self.status = r.returncode
        self.out = r.stdout.decode()
        self.err = r.stderr.decode()
        self.lines = self.out.splitlines()

    def photos(self):
        return sorted(os.listdir(self.fotos)) if os.path.isdir(self.fotos) else []

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)


class ExampleTest(unittest.TestCase):
    def run_example(self, *args, **kwargs):
        r = Run(*args, **kwargs)
        self.addCleanup(r.cleanup)
        self.assertEqual(r.err, "", "nothing may reach standard error")
        return r

    def assert_clean_end(self, r):
        self.assertIn("Camera closed.", r.lines, r.out)
        self.assertIn("The bridge ended with status 0.", r.lines, r.out)
        live = re.search(r"live-view frames go to (\S+)\)", r.out).group(1)
        self.assertFalse(os.path.exists(live), "the live-view folder was left behind")


class Tour(CameraTest, ExampleTest):
    def test_photo_and_three_frames_then_a_clean_exit(self):
        card = Tarjeta()
        r = self.run_example(card)
        self.assertEqual(r.status, 0, r.out)
        self.assertIn("Opened: Mass Storage Camera", r.lines)
        self.assertIn("  Camera settings: ISO 100, aperture f/5.6, shutter 1/125, battery 100%",
                      r.lines)
        saved = re.search(r"^Photo saved: (.+) \((.+), (\d+) bytes\)$", r.out, re.M)
        self.assertIsNotNone(saved, r.out)
        path, name, size = saved.group(1), saved.group(2), int(saved.group(3))
        self.assertEqual(path, os.path.join(r.fotos, name))
        self.assertEqual(r.photos(), [name], "one photo, no partial file")
        with open(path, "rb") as f:
            self.assertEqual(f.read(), generated(name, size))
        frames = [int(n) for n in
                  re.findall(r"Live-view frame (\d+) arrived: .* is a JPEG image$", r.out, re.M)]
        # The client hands out the newest frame, so a slow run may skip some.
        self.assertEqual(len(frames), 3, r.out)
        self.assertEqual(frames, sorted(set(frames)))
        self.assertEqual(r.lines[-1], "All done.")
        self.assert_clean_end(r)
        self.assertEqual(len(card.calls("trigger")), 1)
        self.assertGreaterEqual(len(card.calls("preview")), 3)
        self.assertIn(["viewfinder", "0"], card.calls("set_config"), "vista 0 was not sent")

    def test_camera_without_remote_trigger(self):
        card = Tarjeta([d("trigger", "unsupported")])
        r = self.run_example(card)
        self.assertEqual(r.status, 0, r.out)
        self.assertEqual(len(r.photos()), 1)
        self.assertEqual(len(card.calls("capture")), 1)
        self.assert_clean_end(r)

    def test_failures_are_explained_and_the_bridge_still_ends_cleanly(self):
        cases = [
            ([d("initfail", -7)], "Stopped: the camera could not be opened: I/O problem.", 0),
            ([d("trigger", -7)], "Stopped: the camera did not take the photo: I/O problem.", 0),
            ([d("next", "/capt", "X.JPG", 100), d("downloadfail", "X.JPG", -7)],
             "Stopped: the photo could not be downloaded (it is still on the camera): "
             "I/O problem.", 0),
            ([d("preview", "fail", -7)], "Stopped: live view stopped: I/O problem.", 1),
        ]
        for scenario, reason, photos in cases:
            with self.subTest(scenario=scenario):
                r = self.run_example(Tarjeta(scenario))
                self.assertEqual(r.status, 1, r.out)
                self.assertIn(reason, r.lines, r.out)
                self.assertEqual(r.lines[-1], "Finished with a problem.")
                self.assertEqual(len(r.photos()), photos)
                self.assert_clean_end(r)


class WithoutCamera(ExampleTest):
    def test_no_camera_found(self):
        empty = tempfile.mkdtemp(prefix="gpbridge-nodrivers-")
        self.addCleanup(shutil.rmtree, empty, True)
        r = self.run_example(env={"CAMLIBS": empty})
        self.assertEqual(r.status, 1, r.out)
        self.assertIn("Stopped: no camera found; connect one, switch it on and try again.", r.lines)
        self.assert_clean_end(r)

    def test_bridge_that_cannot_start(self):
        r = self.run_example(bridge="/nonexistent/gpbridge")
        self.assertEqual(r.status, 2, r.out)
        self.assertTrue(r.lines[-1].startswith("Could not start the bridge:"), r.out)


if __name__ == "__main__":
    unittest.main()
