"""`disparar` through the real driver: the trigger returns at once, the
photo is announced by the camera's own event, downloaded byte for byte and
left on the card; several in a row each arrive once."""

import os

import vcam


def foto(folder, name):
    return f'{{"e":"foto","ruta":"{folder}/{name}","nombre":"{name}"}}'


class CaptureTest(vcam.PtpTest):
    def test_photo_arrives_identical_and_stays_on_the_camera(self):
        with self.session() as s:
            self.open(s)
            s.send("disparar")
            s.expect(foto(s.fotos, "GPH_0099.JPG"), vcam.AJUSTES)
            self.assertEqual(sorted(os.listdir(s.fotos)), ["GPH_0099.JPG"])
            with open(os.path.join(s.fotos, "GPH_0099.JPG"), "rb") as f:
                self.assertEqual(f.read(), self.served)
            self.finish(s, '{"e":"cerrada","motivo":"orden"}')
        # A remote trigger (not a full capture), then the new object fetched
        # once, and nothing deleted: the photo is in /store_..., on the card.
        self.assertEqual(self.cam.ops(vcam.INITIATE_CAPTURE), [[0, 0]])
        self.assertEqual(len(self.cam.ops(vcam.GET_OBJECT)), 1)
        self.assertEqual(self.cam.ops(vcam.DELETE_OBJECT), [])

    def test_photos_in_a_row(self):
        data = self.cam.add_photo("IMG_0001.JPG", vcam.jpeg(70000, seed=3))
        with self.session() as s:
            self.open(s)
            s.send("disparar", "disparar", "disparar")
            # The virtual camera numbers its captures 99, 101, 103.
            names = ["GPH_0099.JPG", "GPH_0101.JPG", "GPH_0103.JPG"]
            for name in names:
                s.expect(foto(s.fotos, name), vcam.AJUSTES)
            self.assertEqual(sorted(os.listdir(s.fotos)), names)
            for name in names:
                with open(os.path.join(s.fotos, name), "rb") as f:
                    self.assertEqual(f.read(), data, name)
            # Nothing announced twice: only idle reports follow.
            later = [line for _, line in s.collect(3.5)]
            self.assertEqual(later, [vcam.AJUSTES] * len(later))
            self.close(s)
        self.assertEqual(len(self.cam.ops(vcam.INITIATE_CAPTURE)), 3)
        self.assertEqual(len(self.cam.ops(vcam.GET_OBJECT)), 3)
        self.assertEqual(self.cam.ops(vcam.DELETE_OBJECT), [])
