"""PTP sessions: every way the bridge opens and closes a camera opens and
closes a real PTP session, and releases the port, in order."""

import vcam

ONE = ["open", "OpenSession", "CloseSession", "close"]
ORDEN = '{"e":"cerrada","motivo":"orden"}'


class SessionTest(vcam.PtpTest):
    def test_cerrar_closes_the_session(self):
        with self.session() as s:
            self.open(s)
            self.assertEqual(self.cam.sessions(), ["open", "OpenSession"])
            s.send("cerrar")
            s.expect(ORDEN)
            self.assertEqual(self.cam.sessions(), ONE)
            s.send("disparar")  # no camera: ignored
            self.finish(s)
        self.assertEqual(self.cam.ops(vcam.INITIATE_CAPTURE), [])

    def test_second_abrir_closes_the_first_session_first(self):
        with self.session() as s:
            self.open(s)
            s.send(f"abrir 0 {s.fotos}")
            s.expect('{"e":"cerrada","motivo":"otra"}', vcam.ABIERTA, vcam.AJUSTES)
            self.assertEqual(self.cam.sessions(), ONE + ["open", "OpenSession"])
            s.send("disparar")
            s.expect(f'{{"e":"foto","ruta":"{s.fotos}/GPH_0099.JPG","nombre":"GPH_0099.JPG"}}',
                     vcam.AJUSTES)
            self.finish(s, ORDEN)
        self.assertEqual(self.cam.sessions(), ONE * 2)

    def test_reopen_after_cerrar(self):
        with self.session() as s:
            self.open(s)
            s.send("cerrar")
            s.expect(ORDEN)
            self.open(s)
            s.send("disparar")
            s.expect(f'{{"e":"foto","ruta":"{s.fotos}/GPH_0099.JPG","nombre":"GPH_0099.JPG"}}',
                     vcam.AJUSTES)
            s.send("cerrar")
            s.expect(ORDEN)
            self.finish(s)
        self.assertEqual(self.cam.sessions(), ONE * 2)

    def test_end_of_input_closes_with_orden(self):
        with self.session() as s:
            self.open(s)
            self.finish(s, ORDEN)
        self.assertEqual(self.cam.sessions(), ONE)

    def test_salir_closes_and_ignores_what_follows(self):
        with self.session() as s:
            self.open(s)
            s.send("salir", f"abrir 0 {s.fotos}")
            self.finish(s, ORDEN)
        self.assertEqual(self.cam.sessions(), ONE)

    def test_full_session_is_clean(self):
        # Every command once: each line is checked against the schema as it
        # is read, and finish() checks standard error stayed empty.
        with self.session() as s:
            s.send("buscar")
            s.expect_event("camaras")
            self.open(s)
            s.send("disparar")
            s.expect_event("foto")
            s.expect(vcam.AJUSTES)
            s.send("vista 1")
            s.expect_event("error")
            s.expect('{"e":"vistaFin"}')
            s.send("vista 0", "cerrar")
            s.expect(ORDEN)
            self.finish(s)
