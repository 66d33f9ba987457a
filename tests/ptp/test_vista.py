"""Live view on a camera whose driver has none: the library's error, the end
of live view, and a camera that stays open and usable."""

import os

import vcam

FAILED = ('{"e":"error","texto":"vista en directo: Unsupported operation"}', '{"e":"vistaFin"}')


class LiveViewTest(vcam.PtpTest):
    def test_unsupported_live_view_ends_and_camera_stays(self):
        live = os.path.join(self.cam.root, "live")
        os.makedirs(live)
        with self.session(args=[live]) as s:
            self.open(s)
            s.send("vista 1")
            s.expect(*FAILED)
            self.assertEqual(os.listdir(live), [])
            # Live view is off again: a photo and idle reports as usual.
            s.send("disparar")
            s.expect(f'{{"e":"foto","ruta":"{s.fotos}/GPH_0099.JPG","nombre":"GPH_0099.JPG"}}',
                     vcam.AJUSTES)
            # vista 0 on a camera without a viewfinder setting says nothing.
            s.send("vista 0")
            s.expect_nothing(0.5)
            # Asked again, it fails again the same way.
            s.send("vista 1")
            s.expect(*FAILED)
            self.finish(s, '{"e":"cerrada","motivo":"orden"}')
        self.assertEqual(self.cam.sessions(), ["open", "OpenSession", "CloseSession", "close"])
