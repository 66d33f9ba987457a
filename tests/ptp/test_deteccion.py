"""`buscar` against the real driver: the virtual camera is listed exactly as
the library reports it, and listing never disturbs an open camera."""

import json

import vcam

LISTA = f'{{"e":"camaras","lista":[{{"modelo":"{vcam.MODEL}","puerto":"{vcam.PORT}"}}]}}'


class DetectionTest(vcam.PtpTest):
    def test_lists_the_camera_as_the_library_reports_it(self):
        with self.session() as s:
            s.send("buscar")
            line = s.event()
            self.assertEqual(line, LISTA)
            listed = [[c["modelo"], c["puerto"]] for c in json.loads(line)["lista"]]
            self.assertEqual(listed, self.cam.library()["cameras"])
            # Detection looks at the bus only: the camera's port is never opened.
            self.assertEqual(self.cam.log(), [])
            self.finish(s)

    def test_listing_while_open_leaves_the_camera_working(self):
        # buscar reloads the driver and port tables under the open camera.
        with self.session() as s:
            self.open(s)
            s.send("buscar")
            s.expect(LISTA)
            s.send("disparar")
            s.expect(f'{{"e":"foto","ruta":"{s.fotos}/GPH_0099.JPG","nombre":"GPH_0099.JPG"}}',
                     vcam.AJUSTES)
            self.finish(s, '{"e":"cerrada","motivo":"orden"}')
        self.assertEqual(self.cam.sessions(), ["open", "OpenSession", "CloseSession", "close"])
