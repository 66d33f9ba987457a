"""The camera event pump: photos from the camera body, other events,
disconnection, and failing waits."""

import json
import time
import unittest

from puente import CameraTest, Sesion, Tarjeta, directive as d, error

DESCONECTADA = '{"e":"cerrada","motivo":"desconectada"}'


class Events(CameraTest):
    def test_disconnection_statuses_close_the_camera(self):
        for status in (-7, -52, -105, -113):
            card = Tarjeta()
            with Sesion([card]) as s:
                s.open_camera()
                card.control(d("event", "fail", status))
                s.expect(DESCONECTADA)
                s.send("disparar", "vista 1", "buscar")
                self.assertEqual(json.loads(s.event())["e"], "camaras")
                s.expect_nothing(0.3)
            self.assertEqual([op for _, op, _ in card.log()][-1], "exit")

    def test_unplugged_camera_closes(self):
        card = Tarjeta()
        with Sesion([card]) as s:
            s.open_camera()
            card.control(d("unplug", -52))
            s.expect(DESCONECTADA)

    def test_other_failures_are_reported_and_the_camera_stays(self):
        card = Tarjeta()
        with Sesion([card]) as s:
            s.open_camera()
            card.control(d("event", "fail", -10), d("event", "fail", -1))
            s.expect(error("c\u00e1mara", -10), error("c\u00e1mara", -1))
            card.control(d("shoot", "/capt", "X.JPG", 10))
            self.assertEqual(s.expect_event("foto")["nombre"], "X.JPG")

    def test_other_event_types_are_ignored(self):
        card = Tarjeta()
        with Sesion([card]) as s:
            s.open_camera()
            card.control(*(d("event", t) for t in
                           ("timeout", "unknown", "folder_added", "capture_complete",
                            "file_changed")))
            s.expect_nothing(0.8)
            s.send("cerrar")
            s.expect('{"e":"cerrada","motivo":"orden"}')

    def test_body_photo_gives_foto_then_ajustes(self):
        card = Tarjeta()
        with Sesion([card]) as s:
            s.open_camera()
            card.control(d("shoot", "/store_00010001/DCIM/100SIMUL", "B.JPG", 10))
            self.assertEqual(s.expect_event("foto")["nombre"], "B.JPG")
            s.expect_event("ajustes")

    def test_driver_without_event_wait_does_not_spin(self):
        card = Tarjeta([d("mode", "directory")])
        with Sesion([card]) as s:
            s.open_camera()
            start = time.monotonic()
            errors = 0
            while time.monotonic() - start < 2:
                self.assertEqual(s.event(), error("c\u00e1mara", -6))
                errors += 1
            # One per turn and a turn lasts its 200 ms: about ten, never thousands.
            self.assertLess(errors, 40)
            s.send("cerrar")
            s.expect_event("cerrada", skip=("error",))


if __name__ == "__main__":
    unittest.main()
