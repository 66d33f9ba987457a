"""Ending in order: end signals, a host that stops reading, and shots still
in flight when the camera is closed."""

import json
import os
import signal
import time
import unittest

from puente import CameraTest, Sesion, Tarjeta, directive as d, generated

ORDEN = '{"e":"cerrada","motivo":"orden"}'
FOLDER = "/store_00010001/DCIM/100SIMUL"


def rest_of_output(s, timeout=15):
    """Every event until the end of output."""
    got = []
    while (line := s.event(timeout)) is not None:
        got.append(json.loads(line))
    return got


class Signals(CameraTest):
    def test_each_end_signal_closes_the_camera_and_exits_zero(self):
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            card = Tarjeta()
            with self.subTest(signal=sig.name), Sesion([card]) as s:
                s.open_camera()
                s.proc.send_signal(sig)
                self.assertEqual(rest_of_output(s)[-1:], [{"e": "cerrada", "motivo": "orden"}])
                self.assertEqual(s.wait(), 0)
                self.assertEqual(card.log()[-1][1], "exit")

    def test_a_signal_with_no_camera_ends_quietly(self):
        with Sesion([Tarjeta()]) as s:
            s.send("buscar")
            s.expect_event("camaras")
            s.proc.send_signal(signal.SIGTERM)
            self.assertEqual(rest_of_output(s), [])
            self.assertEqual(s.wait(), 0)

    def test_during_live_view(self):
        s = Sesion([Tarjeta()], args=["live"])
        os.makedirs(os.path.join(s.root, "live"))
        with s:
            s.open_camera()
            s.send("vista 1")
            s.expect_event("vista")
            s.proc.send_signal(signal.SIGTERM)
            events = rest_of_output(s)
            self.assertEqual(events[-1], {"e": "cerrada", "motivo": "orden"})
            self.assertEqual({e["e"] for e in events[:-1]} - {"vista"}, set())
            self.assertEqual(s.wait(), 0)

    def test_mid_download_the_photo_lands_whole_before_the_close(self):
        size = 2_000_000  # 31 chunks of 64 KiB at 40 ms each: over a second
        card = Tarjeta([d("chunkdelay", 40000)])
        with Sesion([card]) as s:
            s.open_camera()
            card.control(d("shoot", "/DCIM", "BIG.JPG", size))
            deadline = time.monotonic() + 10
            while not any(f.endswith(".parcial") for f in os.listdir(s.fotos)):
                self.assertLess(time.monotonic(), deadline, "the download never started")
                time.sleep(0.01)
            s.proc.send_signal(signal.SIGTERM)
            events = rest_of_output(s)
            self.assertEqual([e["e"] for e in events], ["foto", "ajustes", "cerrada"])
            self.assertEqual(events[-1]["motivo"], "orden")
            self.assertEqual(s.wait(), 0)
            self.assertEqual(os.listdir(s.fotos), ["BIG.JPG"])
            with open(os.path.join(s.fotos, "BIG.JPG"), "rb") as f:
                self.assertEqual(f.read(), generated("BIG.JPG", size))

    def test_a_signal_ignored_by_whoever_started_the_bridge_stays_ignored(self):
        # nohup: a hang-up must not end a bridge started to outlive it.
        def ignore_hangup():
            signal.signal(signal.SIGHUP, signal.SIG_IGN)

        with Sesion([Tarjeta()], preexec=ignore_hangup) as s:
            s.open_camera()
            s.proc.send_signal(signal.SIGHUP)
            s.send("cerrar")
            s.expect(ORDEN)
            s.send("buscar")
            s.expect_event("camaras")

    def test_a_host_that_stops_reading_ends_the_bridge_in_order(self):
        card = Tarjeta()
        with Sesion([card], pump=False) as s:
            s.send("abrir 0 " + s.fotos)
            s.proc.stdout.readline()
            s.proc.stdout.close()
            # The next settings report cannot be written: that is the end.
            self.assertEqual(s.proc.wait(10), 0)
            self.assertEqual(card.log()[-1][1], "exit")


class ShotsInFlight(CameraTest):
    def test_a_close_waits_for_the_file_of_a_shot_just_fired(self):
        enders = {
            "cerrar": lambda s: s.send("cerrar"),
            "salir": lambda s: s.send("salir"),
            "end of input": lambda s: s.close_input(),
            "signal": lambda s: s.proc.send_signal(signal.SIGTERM),
        }
        for how, end in enders.items():
            card = Tarjeta([d("filedelay", 700)])
            with self.subTest(how=how), Sesion([card]) as s:
                s.open_camera()
                s.send("disparar")
                time.sleep(0.1)  # the trigger is read before the end
                end(s)
                s.expect(f'{{"e":"foto","ruta":"{s.fotos}/IMG_0001.JPG","nombre":"IMG_0001.JPG"}}')
                s.expect_event("ajustes")
                s.expect(ORDEN)
                with open(os.path.join(s.fotos, "IMG_0001.JPG"), "rb") as f:
                    self.assertEqual(f.read(), generated("IMG_0001.JPG", 4096))

    def test_another_abrir_lets_the_shot_land_first(self):
        card = Tarjeta([d("filedelay", 500)])
        with Sesion([card]) as s:
            s.open_camera()
            s.send("disparar", "abrir 0 " + s.fotos)
            self.assertEqual(s.expect_event("foto")["nombre"], "IMG_0001.JPG")
            s.expect_event("ajustes")
            s.expect('{"e":"cerrada","motivo":"otra"}')
            s.expect_event("abierta")

    def test_the_files_that_follow_a_shot_come_too(self):
        card = Tarjeta([d("filedelay", 300), d("siblings", ".CR2", ".XMP")])
        with Sesion([card]) as s:
            s.open_camera()
            s.send("disparar", "cerrar")
            names = [e["nombre"] for e in rest_until_closed(s) if e["e"] == "foto"]
            self.assertEqual(names, ["IMG_0001.JPG", "IMG_0001.CR2", "IMG_0001.XMP"])

    def test_shots_are_counted_by_stem_and_a_body_photo_settles_none(self):
        # Each step: ("send", line), ("sleep", s), ("trigger", n): until the
        # camera has logged n triggers, ("foto", name): until that photo is in,
        # ("shoot", name): the body's own button.
        raw_pair = [d("filedelay", 1200), d("siblings", ".CR2")]
        cases = {
            "two RAW+JPEG shots in flight": (raw_pair, [
                ("send", "disparar"), ("sleep", 0.6), ("send", "disparar"), ("sleep", 0.2),
                ("send", "cerrar")],
                ["IMG_0001.JPG", "IMG_0001.CR2", "IMG_0002.JPG", "IMG_0002.CR2"]),
            "the first pair lands before the close": (raw_pair, [
                ("send", "disparar"), ("sleep", 0.6), ("send", "disparar"),
                ("foto", "IMG_0001.CR2"), ("send", "cerrar")],
                ["IMG_0001.JPG", "IMG_0001.CR2", "IMG_0002.JPG", "IMG_0002.CR2"]),
            "a body photo during the close's wait": ([d("filedelay", 1500)], [
                ("send", "disparar"), ("trigger", 1), ("send", "cerrar"), ("sleep", 0.6),
                ("shoot", "BODY.JPG")],
                ["BODY.JPG", "IMG_0001.JPG"]),
        }
        for name, (scenario, steps, expected) in cases.items():
            card = Tarjeta(scenario)
            with self.subTest(name), Sesion([card]) as s:
                s.open_camera()
                names = []
                for what, arg in steps:
                    if what == "send":
                        s.send(arg)
                    elif what == "sleep":
                        time.sleep(arg)
                    elif what == "trigger":
                        deadline = time.monotonic() + 5
                        while len(card.calls("trigger")) < arg:
                            self.assertLess(time.monotonic(), deadline, "no trigger")
                            time.sleep(0.01)
                    elif what == "shoot":
                        card.control(d("shoot", FOLDER, arg, 10))
                    else:
                        while not names or names[-1] != arg:
                            names.append(s.expect_event("foto", skip=("ajustes",))["nombre"])
                names += [e["nombre"] for e in rest_until_closed(s) if e["e"] == "foto"]
                self.assertEqual(names, expected)
                self.assertEqual(sorted(os.listdir(s.fotos)), sorted(expected))

    def test_a_file_that_never_comes_is_waited_for_a_bounded_time(self):
        card = Tarjeta([d("filedelay", 60000)])
        with Sesion([card]) as s:
            s.open_camera()
            s.send("disparar", "cerrar")
            # Bounded: the close comes after a few seconds, not a minute.
            s.expect(ORDEN, timeout=15)
            self.assertEqual(card.calls("get_file"), [])
            self.assertEqual(os.listdir(s.fotos), [])

    def test_a_camera_that_goes_away_meanwhile_is_closed_once(self):
        card = Tarjeta([d("filedelay", 60000)])
        with Sesion([card]) as s:
            s.open_camera()
            s.send("disparar")
            time.sleep(0.3)
            card.control(d("unplug", -7))
            s.send("cerrar")
            s.expect('{"e":"cerrada","motivo":"desconectada"}')
            s.send("buscar")
            s.expect_event("camaras")


def rest_until_closed(s):
    got = []
    while True:
        ev = json.loads(s.event(10))
        got.append(ev)
        if ev["e"] == "cerrada":
            return got


if __name__ == "__main__":
    unittest.main()
