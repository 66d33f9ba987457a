"""Firing the shutter: remote trigger and the full-capture fallback."""

import json
import os
import unittest

from puente import CameraTest, Sesion, Tarjeta, directive as d, error, generated

ORDEN = '{"e":"cerrada","motivo":"orden"}'


class Disparar(CameraTest):
    def test_trigger_photo_comes_from_the_event_pump(self):
        card = Tarjeta([d("next", "/store_00010001/DCIM/100SIMUL", "T1.JPG", 2000)])
        with Sesion([card]) as s:
            s.open_camera()
            s.send("disparar")
            self.assertEqual(s.expect_event("foto")["nombre"], "T1.JPG")
            s.expect_event("ajustes")
            self.assertEqual(len(card.calls("trigger")), 1)
            self.assertEqual(card.calls("capture"), [])

    def test_fallback_downloads_before_the_next_command_without_ajustes(self):
        card = Tarjeta([d("trigger", "unsupported"), d("next", "/capt", "C1.JPG", 3000)])
        with Sesion([card]) as s:
            s.open_camera()
            s.send("disparar", "cerrar")
            s.expect(json.dumps({"e": "foto", "ruta": os.path.join(s.fotos, "C1.JPG"),
                                 "nombre": "C1.JPG"}, separators=(",", ":")), ORDEN)
            with open(os.path.join(s.fotos, "C1.JPG"), "rb") as f:
                self.assertEqual(f.read(), generated("C1.JPG", 3000))
        self.assertEqual(card.calls("delete")[0][:2], ["/capt", "C1.JPG"])

    def test_failures(self):
        cases = [([d("trigger", -7)], error("disparar", -7)),
                 ([d("trigger", "unsupported"), d("capture", -10)], error("disparar", -10)),
                 ([d("mode", "directory")], error("disparar", -6))]
        for scenario, expected in cases:
            card = Tarjeta(scenario)
            with Sesion([card]) as s:
                s.open_camera()
                s.send("disparar", "cerrar")
                got = s.event()
                while got == error("c\u00e1mara", -6):  # directory mode's failing wait
                    got = s.event()
                self.assertEqual(got, expected)
            if scenario[0] == d("trigger", -7):
                self.assertEqual(card.calls("capture"), [])

    def test_fallback_download_failure_is_reported_once(self):
        card = Tarjeta([d("trigger", "unsupported"), d("next", "/capt", "D.JPG", 3000),
                        d("downloadfail", "D.JPG", -7)])
        with Sesion([card]) as s:
            s.open_camera()
            s.send("disparar", "cerrar")
            s.expect(error("bajar la foto", -7), ORDEN)

    def test_without_camera_nothing_happens(self):
        with Sesion([Tarjeta()]) as s:
            s.send("disparar")
            s.expect_nothing(0.4)


if __name__ == "__main__":
    unittest.main()
