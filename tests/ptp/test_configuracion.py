"""The whole configuration through the real driver: the virtual Nikon's
tree through `configuracion`, and `leer` / `ajustar` of a radio (the
f-number), a toggle (the driver's fast-filesystem setting, kept in
~/.gphoto/settings) and a date (the camera's clock, which
05-vcamera-clock.patch lets a set stop at the time given), read back."""

import json

import vcam

SET_DEVICE_PROP_VALUE = 0x1016
F_NUMBER, DATE_TIME = 0x5007, 0x5011
TYPES = {2: "texto", 3: "rango", 4: "interruptor", 5: "radio", 6: "menu", 8: "fecha"}


def answer(s):
    """The next event that is not a settings report."""
    while True:
        got = s.event()
        if got is None or '"e":"ajustes"' not in got:
            return got


class ConfigurationTest(vcam.PtpTest):
    def test_the_tree_is_the_one_the_library_gives(self):
        with self.session() as s:
            self.open(s)
            s.send("configuracion")
            listed = json.loads(answer(s))["lista"]
            self.close(s)
        # Buttons are not elements; everything else is, in the library's order.
        tree = [w for w in self.cam.library("--tree")["tree"] if w[1] in TYPES]
        self.assertEqual([[e["ruta"], e["tipo"], e["soloLectura"], e["opciones"]] for e in listed],
                         [[p, TYPES[t], ro, c] for p, t, ro, c in tree])
        by_path = {e["ruta"]: e for e in listed}
        self.assertEqual(by_path["/main/imgsettings/iso"]["valor"], "100")
        self.assertEqual(by_path["/main/status/serialnumber"]["soloLectura"], True)
        self.assertEqual(by_path["/main/settings/fastfs"]["tipo"], "interruptor")
        self.assertRegex(by_path["/main/settings/datetime"]["valor"], r"^[1-9][0-9]*$")
        self.assertEqual(self.cam.ops(SET_DEVICE_PROP_VALUE), [])

    def test_a_radio_a_toggle_and_a_date_are_set_and_read_back(self):
        cases = (  # widget, by, value
            ("f-number", "/main/capturesettings/f-number", "f/8"),
            ("fastfs", "/main/settings/fastfs", "0"),
            ("datetime", "/main/settings/datetime", "1700000000"),
        )
        with self.session() as s:
            self.open(s)
            for name, ruta, value in cases:
                s.send(f"leer {name}")
                before = json.loads(answer(s))
                self.assertEqual(before["ruta"], ruta)
                self.assertNotEqual(before["valor"], value)
                s.send(f"ajustar {ruta} {value}", f"leer {name}")
                after = json.loads(answer(s))
                self.assertEqual(after, dict(before, e="control", valor=value))
                self.assertEqual(json.loads(answer(s)), after)
            # Refused before the camera is asked: not a choice, not 0/1, not
            # an integer, read-only.
            for command in ("ajustar f-number 5.6", "ajustar fastfs 2", "ajustar datetime 1e9",
                            "ajustar serialnumber x", "leer nothing"):
                s.send(command)
                self.assertEqual(json.loads(answer(s))["texto"],
                                 command.split()[0] + ": Bad parameters")
            self.close(s)
        self.assertEqual([p[0] for p in self.cam.ops(SET_DEVICE_PROP_VALUE)], [F_NUMBER, DATE_TIME])
        self.assertEqual(self.cam.settings().get("ptp2.nikon.fastfilesystem"), "0")
