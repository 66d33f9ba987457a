"""Live view through the real driver's Nikon preview path: the virtual
camera (with VCAMERALIVEVIEW=1, see 02-vcamera-liveview.patch) serves its
first JPEG behind a 384-byte header as every live-view image."""

import json
import os

import vcam

START_LIVE_VIEW = 0x9201
END_LIVE_VIEW = 0x9202
GET_LIVE_VIEW_IMAGE = 0x9203
CAPTURE_IN_MEDIA = 0x9207


class LiveViewTest(vcam.PtpTest):
    def setUp(self):
        super().setUp()
        self.live = os.path.join(self.cam.root, "live")
        os.makedirs(self.live)
        self.frame = os.path.join(self.live, "vista.jpg")

    def session(self, **kw):
        env = dict(self.cam.env(), VCAMERALIVEVIEW="1")
        return vcam.puente.Sesion(env=env, args=[self.live], **kw)

    def frames(self, s, count):
        """Reads `count` frame events, numbered on from 1, each naming the
        published file, which then holds the camera's JPEG, header cut off."""
        for n in range(1, count + 1):
            s.expect(f'{{"e":"vista","ruta":"{self.frame}","n":{n}}}')
        with open(self.frame, "rb") as f:
            self.assertEqual(f.read(), self.served)

    def until_quiet(self, s):
        """Drains frames already on their way; returns the other events."""
        return [line for _, line in s.collect(1.0) if json.loads(line)["e"] != "vista"]

    def test_frames_then_vista_0_ends_live_view_on_the_camera(self):
        with self.session() as s:
            self.open(s)
            s.send("vista 1")
            self.frames(s, 5)
            self.assertEqual(self.cam.ops(START_LIVE_VIEW), [[]])
            self.assertEqual(self.cam.ops(END_LIVE_VIEW), [])
            s.send("vista 0")
            others = self.until_quiet(s)
            self.assertEqual(others, [vcam.AJUSTES] * len(others))
            self.assertEqual(self.cam.ops(END_LIVE_VIEW), [[]])
            images = len(self.cam.ops(GET_LIVE_VIEW_IMAGE))
            # Off: no more images asked for, idle settings reports again.
            later = [line for _, line in s.collect(3.5)]
            self.assertEqual(later, [vcam.AJUSTES] * len(later))
            self.assertGreaterEqual(len(later), 1)
            self.assertEqual(len(self.cam.ops(GET_LIVE_VIEW_IMAGE)), images)
            self.close(s)

    def test_closing_during_live_view_ends_it_before_the_session(self):
        with self.session() as s:
            self.open(s)
            s.send("vista 1")
            self.frames(s, 3)
            s.send("cerrar")
            self.assertEqual(self.until_quiet(s), ['{"e":"cerrada","motivo":"orden"}'])
            self.finish(s)
        tail = [e[0] for e in self.cam.log() if e[0] in (END_LIVE_VIEW, vcam.CLOSE_SESSION, "close")]
        self.assertEqual(tail, [END_LIVE_VIEW, vcam.CLOSE_SESSION, "close"])

    def test_photo_during_live_view_goes_to_the_card(self):
        with self.session() as s:
            self.open(s)
            s.send("vista 1")
            self.frames(s, 2)
            s.send("disparar")
            ev = s.expect_event("foto", skip=("vista",))
            self.assertEqual(ev, {"e": "foto", "ruta": f"{s.fotos}/GPH_0099.JPG",
                                  "nombre": "GPH_0099.JPG"})
            s.expect_event("ajustes", skip=("vista",))
            s.expect_event("vista")  # live view goes on after the download
            with open(os.path.join(s.fotos, "GPH_0099.JPG"), "rb") as f:
                self.assertEqual(f.read(), self.served)
            s.send("cerrar")
            self.until_quiet(s)
            self.finish(s)
        # With live view the driver captures with Nikon's own operation, whose
        # second parameter is the target: 0 the card, 1 the camera's RAM.
        self.assertEqual(self.cam.ops(CAPTURE_IN_MEDIA), [[0xFFFFFFFF, 0]])
        self.assertEqual(self.cam.ops(vcam.DELETE_OBJECT), [])

    def test_failed_frame_ends_live_view_with_the_library_text(self):
        with self.session() as s:
            self.open(s)
            s.send("vista 1")
            self.frames(s, 2)
            # The camera can no longer read the image it serves.
            os.remove(os.path.join(self.cam.dir, "DCIM", "100TEST", "IMG_0001.JPG"))
            ev = s.expect_event("error", skip=("vista",))
            self.assertEqual(ev, {"e": "error", "texto": "vista en directo: Unspecified error"})
            s.expect('{"e":"vistaFin"}')
            # Still open: settings reports resume, and cerrar closes it.
            s.expect(vcam.AJUSTES, timeout=5)
            self.finish(s, '{"e":"cerrada","motivo":"orden"}')
        self.assertEqual(self.cam.sessions(), ["open", "OpenSession", "CloseSession", "close"])
