"""A camera pulled off the bus under the real driver: the driver's errors
must read as a disconnection, the camera must vanish from detection, and
plugging it back in must give a working camera again."""

import os

import vcam

GONE = '{"e":"cerrada","motivo":"desconectada"}'
EMPTY = '{"e":"camaras","lista":[]}'
LISTA = f'{{"e":"camaras","lista":[{{"modelo":"{vcam.MODEL}","puerto":"{vcam.PORT}"}}]}}'


class UnplugTest(vcam.PtpTest):
    def test_unplugged_while_idle_then_plugged_back(self):
        with self.session() as s:
            self.open(s)
            self.cam.unplug()
            # Noticed by the next event wait: no error, only the close.
            s.expect(GONE)
            s.send("disparar")  # no camera any more: ignored
            s.send("buscar")
            s.expect(EMPTY)
            s.send(f"abrir 0 {s.fotos}")
            s.expect('{"e":"error","texto":"abrir: Unknown model"}')
            self.cam.replug()
            s.send("buscar")
            s.expect(LISTA)
            self.open(s)
            s.send("disparar")
            s.expect(f'{{"e":"foto","ruta":"{s.fotos}/GPH_0099.JPG","nombre":"GPH_0099.JPG"}}',
                     vcam.AJUSTES)
            self.finish(s, '{"e":"cerrada","motivo":"orden"}')
        # The first session could not be closed on a camera that was gone;
        # the port was released all the same, and the second one is whole.
        self.assertEqual(self.cam.sessions(),
                         ["open", "OpenSession", "close", "open", "OpenSession", "CloseSession", "close"])
        self.assertEqual(self.cam.ops(vcam.INITIATE_CAPTURE), [[0, 0]])

    def test_unplugged_during_live_view(self):
        with self.cam.live_session() as s:
            self.open(s)
            s.send("vista 1")
            s.expect_event("vista")
            self.cam.unplug()
            # Whichever notices first: a frame that fails (its error, then
            # the end of live view), or the event wait, closing at once.
            seen = []
            while not seen or seen[-1] != GONE:
                line = s.event()
                self.assertIsNotNone(line)
                if '"e":"vista"' not in line:
                    seen.append(line)
            self.assertIn(seen, ([GONE], ['{"e":"error","texto":"vista en directo: I/O problem"}',
                                          '{"e":"vistaFin"}', GONE]))
            s.expect_nothing(0.5)
            s.send("cerrar")
            s.expect('{"e":"cerrada","motivo":"orden"}')
            self.finish(s)
