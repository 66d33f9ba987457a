"""An idle camera on the real driver: settings are re-read about every three
seconds through the driver's event wait, with no error in between."""

import vcam


class IdleReportsTest(vcam.PtpTest):
    def test_settings_reported_while_idle(self):
        with self.session() as s:
            self.open(s)
            seen = s.collect(10)
            lines = [line for _, line in seen]
            # Only settings reports: the driver's event wait never fails here.
            self.assertEqual(lines, [vcam.AJUSTES] * len(lines))
            self.assertGreaterEqual(len(lines), 2)
            times = [t for t, _ in seen]
            gaps = [b - a for a, b in zip(times, times[1:])]
            self.assertTrue(all(g > 1.5 for g in gaps), gaps)
            self.close(s)
        # One session the whole time: the waits did not reopen the camera.
        self.assertEqual(self.cam.sessions(), ["open", "OpenSession", "CloseSession", "close"])
