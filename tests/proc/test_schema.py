"""The event schema and its validator: every event kind the bridge writes is
accepted, and lines that break the wire format are refused with a message
that says why."""

import json
import os
import subprocess
import tempfile
import unittest

import esquema

GOOD = {
    "camaras": [
        '{"e":"camaras","lista":[]}',
        '{"e":"camaras","lista":[{"modelo":"Canon EOS 80D","puerto":"usb:001,005"},'
        '{"modelo":"Canon EOS 80D","puerto":"usb:001,006"}]}',
    ],
    "abierta": ['{"e":"abierta","modelo":"Nikon DSC D750"}'],
    "cerrada": ['{"e":"cerrada","motivo":"orden"}', '{"e":"cerrada","motivo":"otra"}',
                '{"e":"cerrada","motivo":"desconectada"}'],
    "error": ['{"e":"error","texto":"abrir: Unknown model"}',
              '{"e":"error","texto":"disparar: Unsupported operation"}',
              '{"e":"error","texto":"vista en directo: I/O problem"}',
              '{"e":"error","texto":"cámara: Timeout reading from or writing to the port"}',
              '{"e":"error","texto":"bajar la foto: File not found"}',
              '{"e":"error","texto":"ajustar: Bad parameters"}',
              '{"e":"error","texto":"configuracion: I/O in progress"}',
              '{"e":"error","texto":"leer: Bad parameters"}',
              '{"e":"error","texto":"No se puede guardar en la carpeta"}'],
    "foto": ['{"e":"foto","ruta":"fotos/IMG_0001-2.JPG","nombre":"IMG_0001-2.JPG"}',
             '{"e":"foto","ruta":"/IMG_0001.JPG","nombre":"IMG_0001.JPG"}'],
    "vista": ['{"e":"vista","ruta":"/tmp/vista.jpg","n":1}',
              '{"e":"vista","ruta":"live dir/vista.jpg","n":2147483647}'],
    "vistaFin": ['{"e":"vistaFin"}'],
    "ajustes": ['{"e":"ajustes","iso":"100","diafragma":"f/5.6","velocidad":"1/125","bateria":"100%"}',
                '{"e":"ajustes","iso":"","diafragma":"","velocidad":"","bateria":""}'],
    "opciones": ['{"e":"opciones","iso":["Auto ISO","100"],"diafragma":[],"velocidad":["1/60"]}',
                 r'{"e":"opciones","iso":[],"diafragma":["f/\\\"\u0009"],"velocidad":[]}'],
    "configuracion": [
        '{"e":"configuracion","lista":[]}',
        '{"e":"configuracion","lista":[{"ruta":"/main/capturesettings/zoom","etiqueta":"Zoom",'
        '"tipo":"rango","valor":"2.5","soloLectura":false,"opciones":[],"rango":["1","10","0.5"]},'
        '{"ruta":"/main/status/serialnumber","etiqueta":"Serial Number","tipo":"texto",'
        '"valor":"","soloLectura":true,"opciones":[],"rango":[]}]}',
    ],
    "control": ['{"e":"control","ruta":"/main/imgsettings/iso","etiqueta":"ISO Speed",'
                '"tipo":"radio","valor":"100","soloLectura":false,"opciones":["100","200"],'
                '"rango":[]}'],
}


class Accepted(unittest.TestCase):
    def test_every_event_kind(self):
        for kind, lines in GOOD.items():
            for line in lines:
                with self.subTest(line=line):
                    self.assertEqual(esquema.validate_line(line)["e"], kind)

    def test_the_schema_names_every_event_kind(self):
        alternatives = esquema.schema().root["oneOf"]
        tags = {esquema.schema()._discriminators(a)["e"] for a in alternatives}
        self.assertEqual(tags, set(GOOD))

    def test_strings_as_the_bridge_escapes_them(self):
        # Quote and backslash get a backslash, bytes below 0x20 are \u00xx in
        # lowercase, everything else (UTF-8, 0x7f, bytes that are not UTF-8)
        # passes unchanged.
        raw = (b'{"e":"abierta","modelo":"say \\"cheese\\" \\\\ tab\\u0009'
               b'nl\\u000a esc\\u001b del\x7f \xc3\xa1 half\xc3"}')
        obj = esquema.validate_line(raw)
        self.assertEqual(obj["modelo"].encode("utf-8", "surrogateescape"),
                         b'say "cheese" \\ tab\tnl\n esc\x1b del\x7f \xc3\xa1 half\xc3')

    def test_parsed_objects_in_the_bridge_order(self):
        esquema.validate({"e": "foto", "ruta": "a/b.jpg", "nombre": "b.jpg"})
        esquema.validate(json.loads(GOOD["camaras"][1]))


class Refused(unittest.TestCase):
    def refused(self, line, why):
        with self.assertRaisesRegex(AssertionError, why):
            esquema.validate_line(line)

    def test_missing_and_extra_keys(self):
        self.refused('{"e":"foto","ruta":"f/a.jpg"}', "missing key 'nombre'")
        self.refused('{"e":"vista","n":3}', "missing key 'ruta'")
        self.refused('{"e":"cerrada","motivo":"orden","extra":1}', "unexpected key 'extra'")
        self.refused('{"e":"vistaFin","texto":""}', "unexpected key 'texto'")
        self.refused('{"motivo":"orden"}', "unknown kind")
        self.refused('{"e":"camaras","lista":[{"modelo":"X"}]}', "/lista/0: missing key 'puerto'")
        self.refused('{"e":"camaras","lista":[{"modelo":"X","puerto":"usb:","bus":1}]}',
                     "unexpected key 'bus'")

    def test_wrong_types_and_values(self):
        self.refused('{"e":"vista","ruta":"/tmp/vista.jpg","n":"1"}', "/n: expected integer")
        self.refused('{"e":"vista","ruta":"/tmp/vista.jpg","n":1.0}', "/n: expected integer")
        self.refused('{"e":"vista","ruta":"/tmp/vista.jpg","n":true}', "/n: expected integer")
        self.refused('{"e":"vista","ruta":"/tmp/vista.jpg","n":0}', "below the minimum")
        self.refused('{"e":"vista","ruta":"/tmp/vista.jpg","n":2147483648}', "above the maximum")
        self.refused('{"e":"vista","ruta":"/tmp/vista.tmp","n":1}', "does not match")
        self.refused('{"e":"camaras","lista":{}}', "/lista: expected array")
        self.refused('{"e":"abierta","modelo":null}', "/modelo: expected string")
        self.refused('{"e":"ajustes","iso":100,"diafragma":"","velocidad":"","bateria":""}',
                     "/iso: expected string")
        self.refused('{"e":"cerrada","motivo":"Orden"}', "expected one of")
        self.refused('{"e":"fotos","ruta":"a/b","nombre":"b"}', "unknown kind")
        self.refused('{"e":"foto","ruta":"a/b/c","nombre":"b/c"}', "/nombre")
        self.refused('{"e":"foto","ruta":"a/","nombre":""}', "/ruta")
        self.refused('{"e":"error","texto":"camara: I/O problem"}', "/texto")
        self.refused('{"e":"error","texto":"abrir:Unknown model"}', "/texto")
        self.refused('{"e":"abierta","modelo":"%s"}' % ("m" * 256), "longer than 255")
        self.refused('["e","vistaFin"]', "expected object")

    def test_wrong_order(self):
        self.refused('{"e":"foto","nombre":"a.jpg","ruta":"f/a.jpg"}', "order")
        self.refused('{"ruta":"/tmp/vista.jpg","e":"vista","n":1}', "order")
        self.refused('{"e":"ajustes","iso":"","diafragma":"","bateria":"","velocidad":""}', "order")
        self.refused('{"e":"camaras","lista":[{"puerto":"usb:","modelo":"X"}]}', "/lista/0: keys in the order")

    def test_lines_not_written_the_bridge_way(self):
        self.refused('{"e": "vistaFin"}', "bridge's form")
        self.refused('{"e":"vistaFin"}\r', "bridge's form")
        self.refused('{"e":"abierta","modelo":"a\\nb"}', "bridge's form")
        self.refused('{"e":"abierta","modelo":"a\\u000Ab"}', "bridge's form")
        self.refused('{"e":"abierta","modelo":"a\\/b"}', "bridge's form")
        self.refused('{"e":"abierta","modelo":"\\u00e1"}', "bridge's form")
        self.refused('{"e":"abierta","modelo":"a","modelo":"b"}', "duplicate key 'modelo'")
        self.refused('{"e":"vistaFin"', "not a valid JSON line")
        self.refused('', "not a valid JSON line")


class Validator(unittest.TestCase):
    def test_unsupported_keywords_are_refused_at_load(self):
        for schema in ({"unevaluatedProperties": False},
                       {"properties": {"a": {"format": "date"}}},
                       {"$defs": {"x": {"prefixItems": []}}},
                       {"$ref": "#/$defs/missing"}):
            with self.subTest(schema=schema), self.assertRaises(ValueError):
                esquema.Schema(schema)

    def test_schema_file_is_draft_2020_12(self):
        self.assertEqual(esquema.schema().root["$schema"],
                         "https://json-schema.org/draft/2020-12/schema")


class BridgeOutput(unittest.TestCase):
    """What the built bridge writes without any camera follows the schema."""

    def test_events_without_a_camera(self):
        bridge = os.environ.get("GPBRIDGE")
        if not bridge:
            raise AssertionError("GPBRIDGE is not set; run the tests through ctest")
        with tempfile.TemporaryDirectory() as root:
            # An empty driver folder: no camera can be found, whatever is plugged in.
            env = dict(os.environ, CAMLIBS=root)
            r = subprocess.run([bridge], input=b"buscar\nabrir 0 fotos\ncerrar\n",
                               capture_output=True, timeout=30, cwd=root, env=env)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stderr, b"")
        lines = r.stdout.split(b"\n")
        self.assertEqual(lines[-1], b"")
        kinds = [esquema.validate_line(line)["e"] for line in lines[:-1]]
        self.assertEqual(kinds, ["camaras", "error", "cerrada"])


if __name__ == "__main__":
    unittest.main()
