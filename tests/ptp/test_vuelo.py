"""A shot in flight when the session ends, through the real driver: `disparar`
returns once the camera has been triggered, and the camera announces the
photo by an event a moment later. A `cerrar`, `salir`, end of input or
SIGTERM that comes before that event must not lose the photo: the bridge
keeps servicing the camera until the file has come (or its bounded wait has
passed), downloads it, and only then closes the PTP session."""

import os
import signal

import vcam

CLOSED = '{"e":"cerrada","motivo":"orden"}'
NAME = "GPH_0099.JPG"


class ShotInFlightTest(vcam.PtpTest):
    def foto(self, s: vcam.puente.Sesion) -> str:
        return f'{{"e":"foto","ruta":"{s.fotos}/{NAME}","nombre":"{NAME}"}}'

    def assert_downloaded_before_the_close(self, s: vcam.puente.Sesion) -> None:
        """The photo is whole under its own name, and the camera sent it
        before its session was closed."""
        self.assertEqual(os.listdir(s.fotos), [NAME])
        with open(os.path.join(s.fotos, NAME), "rb") as f:
            self.assertEqual(f.read(), self.served)
        order = [e[0] for e in self.cam.log()
                 if e[0] in (vcam.INITIATE_CAPTURE, vcam.GET_OBJECT, vcam.CLOSE_SESSION)]
        self.assertEqual(order, [vcam.INITIATE_CAPTURE, vcam.GET_OBJECT, vcam.CLOSE_SESSION])
        self.assertEqual(self.cam.ops(vcam.DELETE_OBJECT), [])

    def test_cerrar_right_after_disparar(self):
        with self.session() as s:
            self.open(s)
            # One write: the close is read while the trigger has only just
            # returned, long before the camera's event.
            s.send("disparar", "cerrar")
            s.expect(self.foto(s), vcam.AJUSTES, CLOSED)
            self.assert_downloaded_before_the_close(s)
            # The bridge goes on as after any close.
            s.send("buscar")
            s.expect_event("camaras")
            self.finish(s)

    def test_end_of_input_right_after_disparar(self):
        with self.session() as s:
            self.open(s)
            s.send("disparar")
            self.finish(s, self.foto(s), vcam.AJUSTES, CLOSED)
            self.assert_downloaded_before_the_close(s)

    def test_salir_right_after_disparar(self):
        with self.session() as s:
            self.open(s)
            s.send("disparar", "salir")
            s.expect(self.foto(s), vcam.AJUSTES, CLOSED)
            self.assertIsNone(s.event())
            self.assertEqual(s.wait(), 0)
            self.assert_downloaded_before_the_close(s)

    def test_sigterm_right_after_disparar(self):
        with self.session() as s:
            self.open(s)
            s.send("disparar")
            s.proc.send_signal(signal.SIGTERM)
            s.expect(self.foto(s), vcam.AJUSTES, CLOSED)
            self.assertIsNone(s.event())
            self.assertEqual(s.wait(), 0)
            self.assert_downloaded_before_the_close(s)

    def test_cerrar_during_live_view(self):
        # With live view on, the driver captures with Nikon's own operation
        # after starting live view; the photo still arrives before the close.
        with self.cam.live_session() as s:
            self.open(s)
            s.send("vista 1")
            s.expect_event("vista")
            s.send("disparar", "cerrar")
            self.assertEqual(s.expect_event("foto", skip=("vista",)),
                             {"e": "foto", "ruta": f"{s.fotos}/{NAME}", "nombre": NAME})
            s.expect_event("ajustes", skip=("vista",))
            self.assertEqual(s.expect_event("cerrada", skip=("vista",)), {"e": "cerrada", "motivo": "orden"})
            self.finish(s)
            self.assertEqual(os.listdir(s.fotos), [NAME])
            with open(os.path.join(s.fotos, NAME), "rb") as f:
                self.assertEqual(f.read(), self.served)
        order = [e[0] for e in self.cam.log() if e[0] in (vcam.GET_OBJECT, vcam.CLOSE_SESSION)]
        self.assertEqual(order, [vcam.GET_OBJECT, vcam.CLOSE_SESSION])
