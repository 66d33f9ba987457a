"""Alert mode: `alerta 1` makes the loop sleep on standard input and give
the camera only short waits; live view keeps its own pace; every close ends
it. The mode shows in the camera waits the bridge asks the simulated camera
for (each logged with its timeout)."""

import json
import time
import unittest

from puente import CameraTest, Sesion, Tarjeta, directive as d

FOLDER = "/store_00010001/DCIM/100SIMUL"
REPOSO, ALERTA = 200, 0


def barrier(s):
    """Every command written so far has been handled once `opciones` answers."""
    s.send("opciones")
    while json.loads(s.event())["e"] != "opciones":
        pass


def waits_from_now(s, card, seconds=0.8):
    """The timeouts of the camera waits that start within `seconds` from now
    (the wait already running when this is called is left out)."""
    barrier(s)
    mark = len(card.log())
    time.sleep(seconds)
    return [int(f[0]) for _, op, f in card.log()[mark:] if op == "wait"][1:]


class Alerta(CameraTest):
    def test_when_alert_applies(self):
        # Commands before the check, and the one camera wait expected after them.
        cases = {
            "ignored with no camera": (["alerta 1", "abrir"], REPOSO),
            "on": (["abrir", "alerta 1"], ALERTA),
            "off again": (["abrir", "alerta 1", "alerta 0"], REPOSO),
            "ended by cerrar": (["abrir", "alerta 1", "cerrar", "abrir"], REPOSO),
            "ended by abrir": (["abrir", "alerta 1", "abrir"], REPOSO),
            "ended by a disconnection": (["abrir", "alerta 1", "unplug", "plug", "abrir"], REPOSO),
            "back after live view": (["abrir", "alerta 1", "vista 1", "vista 0"], ALERTA),
        }
        for name, (commands, expected) in cases.items():
            card = Tarjeta()
            with self.subTest(name), Sesion([card], args=["."]) as s:
                for c in commands:
                    if c == "abrir":
                        s.send("abrir 0 " + s.fotos)
                        s.expect_event("abierta", skip=("ajustes", "cerrada"))
                    elif c == "unplug":
                        barrier(s)
                        card.control(d("unplug", -52))
                        s.expect_event("cerrada", skip=("ajustes",))
                    elif c == "plug":
                        card.control(d("plug"))
                    else:
                        s.send(c)
                waits = waits_from_now(s, card)
                self.assertTrue(waits, "no camera wait was logged")
                self.assertEqual(set(waits), {expected}, waits)

    def test_live_view_keeps_its_pace_while_alert_is_on(self):
        card = Tarjeta()
        with Sesion([card], args=["."]) as s:
            s.open_camera()
            s.send("alerta 1", "vista 1")
            s.expect_event("vista")
            waits = waits_from_now(s, card, 0.3)
            self.assertTrue(waits)
            # Live-view turns ask for what is left of 10 ms, never the glance.
            self.assertTrue(all(0 <= w <= 10 for w in waits), waits)
            self.assertGreater(len(card.calls("preview")), 1)
            s.send("vista 0")

    def test_the_camera_is_still_heard_while_alert_is_on(self):
        card = Tarjeta()
        with Sesion([card]) as s:
            s.open_camera()
            s.send("alerta 1")
            barrier(s)
            card.control(d("shoot", FOLDER, "BODY.JPG", 10))
            self.assertEqual(s.expect_event("foto")["nombre"], "BODY.JPG")
            s.send("disparar")
            self.assertEqual(s.expect_event("foto", skip=("ajustes",))["nombre"], "IMG_0001.JPG")
            card.control(d("unplug", -52))
            s.expect_event("cerrada", skip=("ajustes",))


if __name__ == "__main__":
    unittest.main()
