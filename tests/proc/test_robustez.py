"""Hostile input at scale, and crash safety of downloads."""

import json
import os
import random
import signal
import time
import unittest

from puente import CameraTest, Sesion, Tarjeta, directive as d, error, generated

ORDEN = '{"e":"cerrada","motivo":"orden"}'
EMPTY = '{"e":"camaras","lista":[]}'


class HostileInput(unittest.TestCase):
    def test_ten_thousand_commands_in_one_burst(self):
        with Sesion() as s:
            lines = []
            for i in range(10000):
                lines.append("cerrar" if i % 2 == 0 else f"ignored {i}")
            s.send(*lines, "buscar")
            for _ in range(5000):
                s.expect(ORDEN)
            s.expect(EMPTY)

    def test_binary_garbage(self):
        rng = random.Random(7)
        with Sesion() as s:
            without_lf = bytes(rng.choice(range(256)) for _ in range(200000)).replace(b"\n", b"")
            s.send_raw(without_lf)
            s.send_raw(b"\n")
            with_lf = bytes(rng.choice(range(256)) for _ in range(200000))
            s.send_raw(with_lf.replace(b"cerrar", b"xx") + b"\n")
            s.send("buscar")
            s.expect(EMPTY)

    def test_abrir_arguments(self):
        with Sesion() as s:
            for index in ("99999999999999999999999", "-1", "-99999999999999999999",
                          "4294967296", "zz", "0x1"):
                s.send(f"abrir {index} folder")
                s.expect(error("abrir", -105))
            s.send("abrir 0 " + "f" * 5000)
            s.expect(error("abrir", -105))


class HostileInputWithCamera(CameraTest):
    def test_huge_index_never_wraps_to_a_real_camera(self):
        with Sesion([Tarjeta()]) as s:
            s.send("abrir 4294967296 x", "abrir -4294967296 x", "abrir 18446744073709551616 x")
            for _ in range(3):
                s.expect(error("abrir", -105))

    def test_overlong_download_folder(self):
        card = Tarjeta()
        with Sesion([card]) as s:
            s.open_camera(folder="/" + "d" * 5000)
            card.control(d("shoot", "/capt", "Z.JPG", 10))
            s.expect('{"e":"error","texto":"No se puede guardar en la carpeta"}')
            s.expect_event("ajustes")
            s.send("cerrar")
            s.expect(ORDEN)
        self.assertEqual(card.calls("delete"), [])


class CrashSafety(CameraTest):
    SIZE = 64 * 1024 * 80

    def test_killed_mid_download_loses_nothing(self):
        card = Tarjeta([d("chunkdelay", 10000)])
        with Sesion([card]) as s:
            s.open_camera()
            card.control(d("shoot", "/capt", "K.JPG", self.SIZE))
            partial = os.path.join(s.fotos, "K.JPG.parcial")
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                if os.path.exists(partial) and os.path.getsize(partial) > 0:
                    break
                time.sleep(0.005)
            s.proc.send_signal(signal.SIGKILL)
            s.proc.wait()
            self.assertFalse(os.path.exists(os.path.join(s.fotos, "K.JPG")))
            self.assertEqual(card.calls("delete"), [])

            # A new bridge on the same card and folder gets the photo whole,
            # under its own name: the leftover partial file is no collision.
            # The simulated camera starts each session from its scenario and
            # replays the control file: the photo is still there, announced anew.
            open(card.path("control"), "w").close()
            card.control(d("chunkdelay", 0), d("shoot", "/capt", "K.JPG", self.SIZE))
            with Sesion([card]) as again:
                again.open_camera(folder=s.fotos)
                self.assertEqual(again.expect_event("foto")["nombre"], "K.JPG")
            with open(os.path.join(s.fotos, "K.JPG"), "rb") as f:
                self.assertEqual(f.read(), generated("K.JPG", self.SIZE))
            self.assertEqual(sorted(os.listdir(s.fotos)), ["K.JPG"])

    def test_host_closing_standard_output(self):
        card = Tarjeta()
        with Sesion([card], pump=False) as s:
            s.send("abrir 0 " + s.fotos)
            self.assertEqual(json.loads(s.proc.stdout.readline())["e"], "abierta")
            self.assertEqual(json.loads(s.proc.stdout.readline())["e"], "ajustes")
            s.proc.stdout.close()
            card.control(d("shoot", "/capt", "S.JPG", 100000))
            # The bridge saves the photo; writing `foto` fails, and a host
            # that no longer reads is its end of input: the camera is closed
            # and the bridge exits in order instead of dying of SIGPIPE.
            self.assertEqual(s.proc.wait(10), 0)
            with open(os.path.join(s.fotos, "S.JPG"), "rb") as f:
                self.assertEqual(f.read(), generated("S.JPG", 100000))
            self.assertEqual(card.log()[-1][1], "exit")


if __name__ == "__main__":
    unittest.main()
