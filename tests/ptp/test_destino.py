"""The capture target: the driver offers "Internal RAM" and "Memory card"
and keeps the choice in ~/.gphoto/settings. The bridge must steer it to the
card, so the photo is taken onto the card and stays there after download."""

import os

import vcam


class CaptureTargetTest(vcam.PtpTest):
    def take_photo(self):
        with self.session() as s:
            self.open(s)
            self.assertEqual(self.cam.settings().get("ptp2.capturetarget"), "card")
            s.send("disparar")
            s.expect(f'{{"e":"foto","ruta":"{s.fotos}/GPH_0099.JPG","nombre":"GPH_0099.JPG"}}',
                     vcam.AJUSTES)
            self.finish(s, '{"e":"cerrada","motivo":"orden"}')
            with open(os.path.join(s.fotos, "GPH_0099.JPG"), "rb") as f:
                self.assertEqual(f.read(), self.served)

    def assert_stays_on_card(self):
        # One capture, one download of the new object, and no deletion.
        self.assertEqual(len(self.cam.ops(vcam.INITIATE_CAPTURE)), 1)
        downloads = self.cam.ops(vcam.GET_OBJECT)
        self.assertEqual(len(downloads), 1)
        self.assertEqual(self.cam.ops(vcam.DELETE_OBJECT), [])

    def test_card_replaces_internal_ram(self):
        os.makedirs(os.path.join(self.cam.home, ".gphoto"))
        with open(os.path.join(self.cam.home, ".gphoto", "settings"), "w") as f:
            f.write("ptp2=capturetarget=sdram\n")
        self.assertEqual(self.cam.library("capturetarget")["settings"]["capturetarget"],
                         "Internal RAM")
        self.take_photo()
        self.assert_stays_on_card()
        self.assertEqual(self.cam.library("capturetarget")["settings"]["capturetarget"],
                         "Memory card")

    def test_card_chosen_with_no_earlier_choice(self):
        # The driver's own default is the camera's RAM.
        self.assertEqual(self.cam.library("capturetarget")["settings"]["capturetarget"],
                         "Internal RAM")
        self.take_photo()
        self.assert_stays_on_card()
