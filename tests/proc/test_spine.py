"""The bridge as a process: framing, command matching, discovery, exit."""

import os
import unittest

from puente import CameraTest, Sesion, Tarjeta

EMPTY = '{"e":"camaras","lista":[]}'


class Commands(unittest.TestCase):
    def test_buscar_without_cameras(self):
        with Sesion() as s:
            s.send("buscar")
            s.expect(EMPTY)
            s.send("buscar\r")  # CR LF ending
            s.expect(EMPTY)
            s.send("buscar\rjunk")
            s.expect(EMPTY)

    def test_unknown_and_near_miss_lines_are_ignored(self):
        with Sesion() as s:
            s.send("", "Buscar", "buscar ", " buscar", "BUSCAR", "disparar",
                   "vista 1", "vista 0", "vista", "abrir", "abrir 0", "abrir 1",
                   "hola", "cerrar ", "salir ")
            s.send_raw(b"bus\x00car\nbuscar\x00\n\xff\xfe\n")
            s.expect_nothing(0.6)
            s.close_input()
            self.assertEqual(s.wait(), 0)
            s.expect(None)

    def test_end_of_input_exits_zero_silently(self):
        with Sesion() as s:
            s.close_input()
            self.assertEqual(s.wait(), 0)
            s.expect(None)

    def test_cerrar_always_answers_and_salir_ends_at_once(self):
        with Sesion() as s:
            s.send("cerrar", "salir", "buscar")
            s.expect('{"e":"cerrada","motivo":"orden"}', None)
            self.assertEqual(s.wait(), 0)

    def test_overlong_line_is_dropped_and_the_bridge_keeps_running(self):
        with Sesion() as s:
            s.send_raw(b"x" * 10000 + b"\nbuscar\n")
            s.expect(EMPTY)
            s.send_raw(b"y" * (1 << 20))
            s.send("", "buscar")
            s.expect(EMPTY)
            self.assertIsNone(s.proc.poll())
            s.send("cerrar")
            s.expect('{"e":"cerrada","motivo":"orden"}')

    def test_commands_split_across_writes(self):
        with Sesion() as s:
            s.send_raw(b"bus")
            s.expect_nothing(0.4)
            s.send_raw(b"car\ncerr")
            s.expect(EMPTY)
            s.send_raw(b"ar\n")
            s.expect('{"e":"cerrada","motivo":"orden"}')

    def test_abrir_with_no_camera(self):
        with Sesion() as s:
            s.send("abrir 0 x", "abrir -1 x", "abrir 99999999999999999999 x",
                   "abrir 4294967296 x")
            for _ in range(4):
                s.expect('{"e":"error","texto":"abrir: Unknown model"}')


class LiveViewDirectoryArgument(CameraTest):
    def frame_path(self, args, make_dir=None):
        s = Sesion([Tarjeta()], args=args)
        if make_dir:
            os.makedirs(os.path.join(s.root, make_dir))
        with s:
            s.open_camera()
            s.send("vista 1")
            ev = s.expect_event("vista", skip=("ajustes",))
            self.assertEqual(ev["n"], 1)
            return ev["ruta"]

    @unittest.skipIf(os.getuid() != 0 and os.path.exists("/tmp/vista.jpg")
                     and os.stat("/tmp/vista.jpg").st_uid != os.getuid(),
                     "/tmp/vista.jpg belongs to another user, who alone may replace it")
    def test_default_is_tmp(self):
        made = [p for p in ("/tmp/vista.jpg", "/tmp/vista.tmp") if not os.path.lexists(p)]
        try:
            self.assertEqual(self.frame_path([]), "/tmp/vista.jpg")
        finally:
            # Leave /tmp as it was found.
            for p in made:
                if os.path.lexists(p):
                    os.unlink(p)

    def test_first_argument_is_taken_and_the_rest_ignored(self):
        self.assertEqual(self.frame_path(["live", "extra"], make_dir="live"), "live/vista.jpg")


class Discovery(CameraTest):
    def test_two_cards_same_model_different_ports_escaped(self):
        cards = [Tarjeta(name='we"ird'), Tarjeta(name="plain")]
        with Sesion(cards) as s:
            s.send("buscar")
            line = s.event()
            ports = sorted(["disk:" + c.mount for c in cards])
            import json
            got = json.loads(line)
            self.assertEqual(got["e"], "camaras")
            self.assertEqual(sorted(c["puerto"] for c in got["lista"]), ports)
            self.assertEqual({c["modelo"] for c in got["lista"]}, {"Mass Storage Camera"})
            self.assertIn('we\\"ird', line)


if __name__ == "__main__":
    unittest.main()
