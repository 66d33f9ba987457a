"""Where the real driver's photos land: name clashes in the download folder,
and a folder that cannot take the photo, which must stay on the camera."""

import os

import vcam

OTHER = b"not the camera's photo"


class DownloadFolderTest(vcam.PtpTest):
    def test_clashing_names_take_the_next_suffix(self):
        with self.session() as s:
            for name in ("GPH_0099.JPG", "GPH_0099-2.JPG"):
                with open(os.path.join(s.fotos, name), "wb") as f:
                    f.write(OTHER)
            self.open(s)
            s.send("disparar")
            s.expect(f'{{"e":"foto","ruta":"{s.fotos}/GPH_0099-3.JPG","nombre":"GPH_0099-3.JPG"}}',
                     vcam.AJUSTES)
            for name in ("GPH_0099.JPG", "GPH_0099-2.JPG"):
                with open(os.path.join(s.fotos, name), "rb") as f:
                    self.assertEqual(f.read(), OTHER, name)
            with open(os.path.join(s.fotos, "GPH_0099-3.JPG"), "rb") as f:
                self.assertEqual(f.read(), self.served)
            self.finish(s, '{"e":"cerrada","motivo":"orden"}')

    def test_same_name_from_a_second_run(self):
        # Every run of the camera numbers its captures from the start again,
        # so a second session's first photo meets the first session's.
        folder = os.path.join(self.cam.root, "kept")
        os.makedirs(folder)
        for expected in ("GPH_0099.JPG", "GPH_0099-2.JPG"):
            with self.session() as s:
                self.open(s, folder)
                s.send("disparar")
                s.expect(f'{{"e":"foto","ruta":"{folder}/{expected}","nombre":"{expected}"}}',
                         vcam.AJUSTES)
                self.finish(s, '{"e":"cerrada","motivo":"orden"}')
        self.assertEqual(sorted(os.listdir(folder)), ["GPH_0099-2.JPG", "GPH_0099.JPG"])

    def test_missing_folder_keeps_the_photo_on_the_camera(self):
        with self.session() as s:
            missing = os.path.join(s.fotos, "absent")
            self.open(s, missing)
            s.send("disparar")
            s.expect('{"e":"error","texto":"No se puede guardar en la carpeta"}', vcam.AJUSTES)
            self.assertEqual(os.listdir(s.fotos), [])
            self.finish(s, '{"e":"cerrada","motivo":"orden"}')
        self.assertEqual(self.cam.ops(vcam.DELETE_OBJECT), [])
