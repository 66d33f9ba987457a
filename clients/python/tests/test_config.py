"""The camera's whole configuration, focus, the serial number and busy shots
through the client, against the real bridge and the simulated camera."""

import unittest
from datetime import datetime, timezone

from clienttest import ClientTest
from puente import Tarjeta, directive as d

from gpbridge import BridgeError


class Configuration(ClientTest):
    def test_every_control_typed_and_one_at_a_time_read_and_set(self):
        b, rig = self.opened(Tarjeta([d("serial", "SN-7")]))
        controls = {c.name: c for c in b.config()}
        self.assertEqual({c.type for c in controls.values()}, {"text", "range", "toggle", "radio", "menu", "date"})
        self.assertEqual(controls["serialnumber"][3:6], ("text", "SN-7", True))
        self.assertEqual(controls["exposurecompensation"].range, (-3.0, 3.0, 0.5))
        self.assertEqual(controls["iso"].path, "/main/imgsettings/iso")
        self.assertEqual(b.get("/main/imgsettings/iso"), controls["iso"])
        when = datetime(2024, 5, 6, 7, 8, 9, tzinfo=timezone.utc)
        for name, value in (("exposurecompensation", 1.5), ("datetime", when), ("viewfinder", True),
                            ("artist", "Ana María"), ("imageformat", "RAW"), ("iso", "800")):
            with self.subTest(name=name):
                read = b.set(name, value)
                self.assertEqual((read.name, read.value), (name, value))
                self.assertEqual(b.get(name).value, value)
        for name, value in (("f-number", "f/9"), ("serialnumber", "X"), ("exposurecompensation", 4),
                            ("nothing", "1")):
            with self.subTest(name=name, value=value):
                with self.assertRaises(BridgeError) as cm:
                    b.set(name, value)
                self.assertEqual((cm.exception.text, cm.exception.code), ("ajustar: Bad parameters",
                                                                          "SETTING_REJECTED"))
        with self.assertRaises(BridgeError) as cm:
            b.get("nothing")
        self.assertEqual(cm.exception.code, "CONFIG_FAILED")
        self.assertEqual(b.serial_number(), "SN-7")
        b.set_alert(True)
        self.assertEqual(b.get("iso").value, "800", "calls go on in alert mode")
        b.set_alert(False)

    def test_focus_and_busy_shots(self):
        b, rig = self.opened(Tarjeta([d("focusfail", "-1"), d("trigger", "busy", "2")]), busy_retries=3)
        with self.assertRaises(BridgeError) as cm:
            b.focus()
        self.assertEqual(cm.exception.code, "FOCUS_FAILED")
        self.assertEqual(b.capture().name, "IMG_0001.JPG", "two busy answers, then the shot")
        self.assertEqual(len(rig.cards[0].calls("trigger")), 3)
        b2, rig2 = self.opened(Tarjeta([d("trigger", "busy", "5")]), busy_retries=1)
        self.assertIsNone(b2.focus())
        with self.assertRaises(BridgeError) as cm:
            b2.capture()
        self.assertEqual((cm.exception.code, cm.exception.text), ("CAMERA_BUSY", "disparar: I/O in progress"))
        self.assertEqual(len(rig2.cards[0].calls("trigger")), 2)


if __name__ == "__main__":
    unittest.main()
