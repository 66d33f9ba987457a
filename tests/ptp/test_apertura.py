"""`abrir` against the real driver: the model, the settings the virtual
camera's properties really hold, and a failed open that touches nothing."""

import json

import vcam

# The bridge's settings and the library names it tries for each, in order.
NAMES = {
    "iso": ["iso", "exposureindex"],
    "diafragma": ["f-number", "aperture"],
    "velocidad": ["shutterspeed", "shutterspeed2"],
    "bateria": ["batterylevel"],
}


class OpenTest(vcam.PtpTest):
    def test_opens_with_the_model_and_the_real_settings(self):
        with self.session() as s:
            s.send(f"abrir 0 {s.fotos}")
            s.expect(vcam.ABIERTA)
            ajustes = json.loads(s.event())
            self.finish(s, '{"e":"cerrada","motivo":"orden"}')
        # Exactly what the camera holds: ISO 100 (the standard exposure index
        # property), f/2.8, 1/100 s worded by the driver as seconds, battery
        # at 50 %.
        self.assertEqual(json.dumps(ajustes, separators=(",", ":")), vcam.AJUSTES)
        library = self.cam.library(*[n for names in NAMES.values() for n in names])["settings"]
        for key, names in NAMES.items():
            expected = next((library[n] for n in names if library[n] is not None), "")
            self.assertEqual(ajustes[key], expected, key)
        self.assertEqual(library["iso"], "100")
        self.assertIsNone(library["exposureindex"])

    def test_index_out_of_range_opens_nothing(self):
        with self.session() as s:
            s.send(f"abrir 1 {s.fotos}", f"abrir -1 {s.fotos}")
            s.expect('{"e":"error","texto":"abrir: Unknown model"}',
                     '{"e":"error","texto":"abrir: Unknown model"}')
            s.send("disparar")  # ignored: no camera open
            s.send("cerrar")
            s.expect('{"e":"cerrada","motivo":"orden"}')
            self.finish(s)
        self.assertEqual(self.cam.log(), [])
