"""Opening and closing cameras through the real library and the simulated camera."""

import os
import unittest

from puente import CameraTest, Sesion, Tarjeta, directive as d, error

ABIERTA = '{"e":"abierta","modelo":"Mass Storage Camera"}'
AJUSTES = '{"e":"ajustes","iso":"100","diafragma":"f/5.6","velocidad":"1/125","bateria":"100%"}'
ORDEN = '{"e":"cerrada","motivo":"orden"}'
OTRA = '{"e":"cerrada","motivo":"otra"}'


class OpenAndClose(CameraTest):
    def test_open_close_sequences(self):
        card = Tarjeta()
        with Sesion([card]) as s:
            s.send("abrir 0 " + s.fotos)
            s.expect(ABIERTA, AJUSTES)
            s.send("abrir 0 " + s.fotos)
            s.expect(OTRA, ABIERTA, AJUSTES)
            s.send("abrir 5 " + s.fotos)
            s.expect(OTRA, error("abrir", -105))
            s.send("cerrar", "cerrar")
            s.expect(ORDEN, ORDEN)
            s.send("abrir 0 " + s.fotos)
            s.expect(ABIERTA, AJUSTES)
            s.close_input()
            s.expect(ORDEN, None)
            self.assertEqual(s.wait(), 0)
        ops = [op for _, op, _ in card.log()]
        self.assertEqual(ops.count("init"), 3)
        self.assertEqual(ops.count("exit"), 3)

    def test_salir_closes_and_ignores_what_follows(self):
        with Sesion([Tarjeta()]) as s:
            s.open_camera()
            s.send("salir", "buscar", "abrir 0 x")
            s.expect(ORDEN, None)
            self.assertEqual(s.wait(), 0)

    def test_abrir_without_folder_separator_is_ignored_while_open(self):
        with Sesion([Tarjeta()]) as s:
            s.open_camera()
            s.send("abrir 0", "abrir", "abrir ")
            s.expect_nothing(0.5)
            s.send("cerrar")
            s.expect(ORDEN)

    def test_init_failure_leaves_no_camera(self):
        with Sesion([Tarjeta([d("initfail", -7)])]) as s:
            s.send("abrir 0 " + s.fotos)
            s.expect(error("abrir", -7))
            s.send("disparar", "vista 1")
            s.expect_nothing(0.5)
            s.send("cerrar")
            s.expect(ORDEN)

    def test_detected_camera_without_a_driver_is_refused_cleanly(self):
        # The card is detected, but no driver in the (empty) driver folder
        # knows its model: the lookup fails and nothing half-made is opened.
        s = Sesion([Tarjeta()], camlibs="/nonexistent-driver-folder")
        with s:
            s.send("buscar")
            self.assertIn("Mass Storage Camera", s.event())
            s.send("abrir 0 " + s.fotos, "disparar", "vista 1")
            s.expect(error("abrir", -105))
            s.expect_nothing(0.5)
            s.close_input()
            self.assertEqual(s.wait(), 0)
            s.expect(None)

    def test_second_card_is_index_one(self):
        cards = [Tarjeta(name="a"), Tarjeta(name="b")]
        with Sesion(cards) as s:
            s.send("buscar")
            import json
            ports = [c["puerto"] for c in json.loads(s.event())["lista"]]
            s.open_camera(1)
            opened = [c for c in cards if "disk:" + c.mount == ports[1]][0]
            self.assertEqual([op for _, op, _ in opened.log()][0], "init")
            other = [c for c in cards if c is not opened][0]
            self.assertEqual(other.log(), [])


class CaptureTarget(CameraTest):
    def chosen(self, *choices, value="Internal RAM"):
        card = Tarjeta([d("widget", "capturetarget", "radio", value, *choices)])
        with Sesion([card]) as s:
            s.open_camera()
        return [f[1] for f in card.calls("set_config") if f[0] == "capturetarget"]

    def test_first_choice_with_card_or_Card_wins(self):
        self.assertEqual(self.chosen("Internal RAM", "SD Card", "card 2"), ["SD Card"])
        self.assertEqual(self.chosen("sdcard", "Card"), ["sdcard"])

    def test_capitals_and_missing_words_change_nothing(self):
        self.assertEqual(self.chosen("Internal RAM", "CARD"), [])
        self.assertEqual(self.chosen(), [])

    def test_missing_widget_is_silent(self):
        card = Tarjeta([d("nowidget", "capturetarget")])
        with Sesion([card]) as s:
            s.open_camera()
            s.send("cerrar")
            s.expect(ORDEN)
        self.assertEqual(card.calls("set_config"), [])


if __name__ == "__main__":
    unittest.main()
