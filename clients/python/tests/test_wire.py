"""Framing, parsing and command lines, then the client's bookkeeping against
a scripted stand-in for the bridge: malformed output, late answers and a
bridge that dies mid-call. No camera needed."""

import json
import math
import os
import shutil
import sys
import tempfile
import threading
import time
import unittest
from datetime import datetime, timezone

from gpbridge import (Bridge, BridgeError, BridgeExited, BridgeTimeout, CameraClosed, Closed, Control, Failure, Frame,
                      NotSupported, Photo, ProtocolError, SettingChoices, Settings)
from gpbridge._wire import LineSplitter, command_line, parse_event

STREAM = (b'{"e":"camaras","lista":[{"modelo":"Mass Storage Camera","puerto":"disk:/media/card"}]}\n'
          b'{"e":"error","texto":"c\xc3\xa1mara: Unsupported operation"}\n'
          b'{"e":"foto","ruta":"/f/IMG_\xff.JPG","nombre":"IMG_\xff.JPG"}\n'
          b'{"e":"vistaFin"}\n')


class Framing(unittest.TestCase):
    def test_lines_come_out_whole_wherever_the_chunks_are_cut(self):
        want = STREAM.split(b"\n")[:-1]
        for cut in range(len(STREAM) + 1):
            s = LineSplitter()
            self.assertEqual(s.feed(STREAM[:cut]) + s.feed(b"") + s.feed(STREAM[cut:]), want, cut)
            self.assertIsNone(s.end())
        s = LineSplitter()
        self.assertEqual([l for b in STREAM for l in s.feed(bytes([b]))], want)

    def test_overlong_lines_are_reported_once_and_skipped_with_bounded_memory(self):
        good = b'{"e":"vistaFin"}'
        for chunk in (1, 7, 64, 1000):
            with self.subTest(chunk=chunk):
                s = LineSplitter(limit=64)
                data = b"x" * 200 + b"\n" + good + b"\n" + b"y" * 65 + b"\n" + good + b"\n" + b"z" * 100
                out = []
                for i in range(0, len(data), chunk):
                    out += s.feed(data[i:i + chunk])
                    self.assertLessEqual(len(s._buf), 64)
                kinds = [type(x) for x in out]
                self.assertEqual(kinds, [ProtocolError, bytes, ProtocolError, bytes, ProtocolError])
                self.assertEqual(out[1], good)
                self.assertIsNone(s.end(), "the rest of an overlong line is not reported twice")

    def test_an_unfinished_last_line_is_a_protocol_error(self):
        s = LineSplitter()
        self.assertEqual(s.feed(b'{"e":"vistaFin"}\n{"e":"vis'), [b'{"e":"vistaFin"}'])
        err = s.end()
        self.assertIsInstance(err, ProtocolError)
        self.assertEqual(err.line, b'{"e":"vis')


class Parsing(unittest.TestCase):
    def test_events_come_out_under_english_names(self):
        self.assertEqual(parse_event(b'{"e":"cerrada","motivo":"desconectada"}'),
                         ("closed", {"reason": "disconnected"}))
        self.assertEqual(parse_event(b'{"e":"ajustes","iso":"","diafragma":"f/2","velocidad":"1/8","bateria":"5%"}'),
                         ("settings", {"iso": "", "aperture": "f/2", "shutter_speed": "1/8", "battery": "5%"}))
        kind, f = parse_event(STREAM.split(b"\n")[2])
        self.assertEqual(os.fsencode(f["path"]), b"/f/IMG_\xff.JPG", "bytes that are not UTF-8 survive")
        self.assertEqual(BridgeError("c\u00e1mara: I/O problem").operation, "camera")
        self.assertEqual(BridgeError("No se puede guardar en la carpeta").operation, "save")
        self.assertEqual(BridgeError("bajar la foto: x").operation, "download")
        self.assertIsNone(BridgeError("something else").operation)
        self.assertEqual(parse_event(b'{"e":"opciones","iso":["100","Auto ISO"],"diafragma":[],"velocidad":["1/8"]}'),
                         ("setting_choices", {"iso": ["100", "Auto ISO"], "aperture": [], "shutter_speed": ["1/8"]}))

    def test_every_bridge_error_has_a_stable_code_beside_its_text(self):
        codes = {"No se puede guardar en la carpeta": "FOLDER_NOT_WRITABLE", "abrir: I/O problem": "OPEN_FAILED",
                 "disparar: I/O problem": "CAPTURE_FAILED", "bajar la foto: I/O problem": "DOWNLOAD_FAILED",
                 "vista en directo: I/O problem": "LIVE_VIEW_FAILED", "ajustar: Bad parameters": "SETTING_REJECTED",
                 "c\u00e1mara: Unsupported operation": "CAMERA_ERROR", "something new: x": "BRIDGE_ERROR",
                 "disparar": "BRIDGE_ERROR", "disparar: I/O in progress": "CAMERA_BUSY",
                 "ajustar: I/O in progress": "SETTING_REJECTED", "leer: Bad parameters": "CONFIG_FAILED",
                 "configuracion: I/O problem": "CONFIG_FAILED"}
        for text, code in codes.items():
            with self.subTest(text=text):
                err = BridgeError(text)
                self.assertEqual((err.code, err.text, str(err)), (code, text, text))

    def test_malformed_lines_are_refused(self):
        bad = [b"", b"hello", b"[1]", b'{"e":1}', b'{"x":"camaras"}', b'{"e":"camara","lista":[]}',
               b'{"e":"abierta"}', b'{"e":"abierta","modelo":"x","extra":1}',
               b'{"e":"abierta","modelo":"x","modelo":"y"}', b'{"e":"abierta","modelo":3}',
               b'{"e":"vista","ruta":"/v/vista.jpg","n":"1"}', b'{"e":"vista","ruta":"/v/vista.jpg","n":true}',
               b'{"e":"vista","ruta":"/v/vista.jpg","n":0}', b'{"e":"vista","ruta":"/v/vista.jpg","n":1.5}',
               b'{"e":"camaras","lista":{}}', b'{"e":"camaras","lista":[{"modelo":"x"}]}',
               b'{"e":"camaras","lista":["x"]}', b'{"e":"cerrada","motivo":"ya"}',
               b'{"e":"error","texto":null}', b'{"e":"vistaFin"', b'{"e":"vistaFin"} x',
               b'{"e":"opciones","iso":["1"],"diafragma":[]}',
               b'{"e":"opciones","iso":"1","diafragma":[],"velocidad":[]}',
               b'{"e":"opciones","iso":[1],"diafragma":[],"velocidad":[]}',
               b'{"e":"opciones","iso":[["1"]],"diafragma":[],"velocidad":[]}']
        good = {"ruta": "/main/a/b", "etiqueta": "B", "tipo": "rango", "valor": "1", "soloLectura": False,
                "opciones": [], "rango": ["0", "2", "1"]}
        for change in ({"soloLectura": "false"}, {"soloLectura": 0}, {"tipo": "boton"}, {"valor": "x"},
                       {"valor": 1}, {"rango": ["0", "2"]}, {"rango": ["0", "2", "z"]}, {"opciones": [1]},
                       {"ruta": "main"}, {"tipo": "fecha", "valor": "1.5"}, {"tipo": "interruptor", "valor": "no"}):
            element = json.dumps(dict(good, **change)).encode()
            bad += [b'{"e":"control",' + element[1:], b'{"e":"configuracion","lista":[' + element + b"]}"]
        self.assertEqual(parse_event(b'{"e":"control",' + json.dumps(good).encode()[1:])[1]["value"], 1.0)
        for line in bad:
            with self.subTest(line=line):
                with self.assertRaises(ProtocolError):
                    parse_event(line)

    def test_command_arguments_cannot_break_the_line(self):
        self.assertEqual(command_line("open", "2", "/home/My Photos"), b"abrir 2 /home/My Photos\n")
        self.assertEqual(command_line("live_view_off"), b"vista 0\n")
        for folder in ("/a\nsalir", "/a\rb", "/a\0b"):
            with self.assertRaises(ValueError):
                command_line("open", "0", folder)
        with self.assertRaises(ValueError):
            command_line("open", "0", "/" + "a" * 8190)
        self.assertEqual(command_line("set_setting", "iso", "Auto ISO"), b"ajustar iso Auto ISO\n")


class FrameFiles(unittest.TestCase):
    """Frame.read() in a live-view folder others can write to: it reads the
    file it opened, never through a link, and never blocks."""

    def test_read_takes_only_a_plain_file_by_its_own_name(self):
        root = tempfile.mkdtemp(prefix="gpbridge-frame-")
        self.addCleanup(shutil.rmtree, root, True)
        path = os.path.join(root, "vista.jpg")
        with open(path, "wb") as f:
            f.write(b"\xff\xd8" + b"x" * 300000)
        self.assertEqual(Frame(1, path).read(), b"\xff\xd8" + b"x" * 300000)
        secret = os.path.join(root, "secret")
        with open(secret, "wb") as f:
            f.write(b"not yours")
        os.unlink(path)
        os.symlink(secret, path)
        with self.assertRaises(OSError):
            Frame(2, path).read()
        os.unlink(path)
        os.mkfifo(path)
        reader = threading.Thread(target=lambda: self.assertRaises(OSError, Frame(3, path).read))
        reader.start()
        reader.join(10)
        self.assertFalse(reader.is_alive(), "read() blocked on a FIFO")
        os.unlink(path)
        os.mkdir(path)
        with self.assertRaises(OSError):
            Frame(4, path).read()


FAKE = r'''
import json, os, sys, time
script = json.loads(os.environ["FAKE_SCRIPT"])
seen = {}
for line in sys.stdin.buffer:
    cmd = line.rstrip(b"\n").decode()
    with open(os.environ["FAKE_LOG"], "a") as log:
        log.write(cmd + "\n")
    turn = seen.get(cmd, 0)
    seen[cmd] = turn + 1
    answers = script.get(cmd, [])
    for item in answers[turn] if turn < len(answers) else []:
        if isinstance(item, (int, float)):
            time.sleep(item)
        elif isinstance(item, list):  # [text, n]: the text n times
            sys.stdout.buffer.write(item[0].encode("latin-1") * item[1])
        elif item.startswith("EXIT "):
            sys.exit(int(item[5:]))
        else:
            sys.stdout.buffer.write(item.encode("latin-1"))
            sys.stdout.buffer.flush()
'''

OPEN = ['{"e":"abierta","modelo":"M"}\n{"e":"ajustes","iso":"1","diafragma":"2","velocidad":"3","bateria":"4"}\n']


class AgainstAScriptedBridge(unittest.TestCase):
    """The bridge's side is a script: for the k-th time a command arrives,
    write the k-th list of items (text, a pause in seconds, "EXIT n")."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="gpbridge-fake-")
        self.addCleanup(shutil.rmtree, self.root, True)
        # The download folder the tests open, made here so that nothing
        # outside the test's own folder is needed.
        self.p = os.path.join(self.root, "p")
        os.mkdir(self.p)

    def start(self, script, **options):
        root = self.root
        exe = os.path.join(root, "fake")
        with open(exe, "w") as f:
            f.write(f"#!{sys.executable}\n{FAKE}")
        os.chmod(exe, 0o755)
        self.log = os.path.join(root, "log")
        env = dict(os.environ, FAKE_SCRIPT=json.dumps(script), FAKE_LOG=self.log)
        bridge = Bridge.start(exe, env=env, **options)
        self.addCleanup(self.stop, bridge)
        return bridge

    @staticmethod
    def stop(bridge):
        try:
            bridge.quit(timeout=5)  # also when it has exited: removes its live-view folder
        except BridgeTimeout:
            pass

    def commands(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            return f.read().splitlines()

    def commands_once(self, count, timeout=10):
        """The commands logged, once there are `count` (or the time is up)."""
        deadline = time.monotonic() + timeout
        while len(got := self.commands()) < count and time.monotonic() < deadline:
            time.sleep(0.01)
        return got

    def test_garbage_fails_the_waiting_call_and_is_reported_then_the_next_call_works(self):
        cam = '{"e":"camaras","lista":[{"modelo":"A","puerto":"p"}]}\n'
        b = self.start({"buscar": [['{"e":"camaras"}\n'], [cam[:20], 0.05, cam[20:]]]})
        with self.assertRaises(ProtocolError):
            b.list_cameras()
        self.assertIsInstance(b.next_event(timeout=5), ProtocolError)
        self.assertEqual([tuple(c) for c in b.list_cameras()], [("A", "p")])

    def test_a_late_answer_goes_to_the_call_that_timed_out_not_to_the_next(self):
        b = self.start({"buscar": [[2, '{"e":"camaras","lista":[{"modelo":"OLD","puerto":"p"}]}\n'],
                                   ['{"e":"camaras","lista":[{"modelo":"NEW","puerto":"p"}]}\n']],
                        "cerrar": [[2, '{"e":"cerrada","motivo":"orden"}\n'],
                                   ['{"e":"cerrada","motivo":"orden"}\n']]})
        with self.assertRaises(BridgeTimeout):
            b.list_cameras(timeout=0.2)
        self.assertEqual(b.list_cameras()[0].model, "NEW")
        with self.assertRaises(BridgeTimeout):
            b.close(timeout=0.2)
        self.assertEqual(b.close(), "requested")
        self.assertIsNone(b.next_event(timeout=0.3), "the late answers are not unsolicited events")

    def test_a_close_the_camera_s_going_answers_is_settled_and_no_later_call_takes_a_stale_answer(self):
        gone = '{"e":"cerrada","motivo":"desconectada"}\n'
        done = '{"e":"cerrada","motivo":"orden"}\n'
        cams = '{"e":"camaras","lista":[{"modelo":"%s","puerto":"p"}]}\n'
        probed = ["cerrar", "buscar", "cerrar", "buscar", "cerrar"]
        cases = [  # the answers to the first `cerrar`, the first close()'s time limit, what it gives, the commands
            ([0.2, gone], 15, "disconnected", probed),  # the camera went while the bridge closed it
            ([0.5, gone], 0.1, BridgeTimeout, probed),  # ... and the close had given up by then
            # The camera went before the bridge read the `cerrar`: its
            # `cerrada orden` follows, and no probe is needed.
            ([gone + done], 15, "disconnected", ["cerrar", "cerrar", "buscar", "cerrar"]),
        ]
        for first, limit, outcome, commands in cases:
            with self.subTest(first=first, limit=limit):
                b = self.start({f"abrir 0 {self.p}": [OPEN], "cerrar": [first, [done], [done]],
                                "buscar": [[cams % "PROBE"], [cams % "HOST"]]})
                b.open(0, self.p, create_folder=False)
                try:
                    got = b.close(timeout=limit)
                except BridgeTimeout as err:
                    got = type(err)
                self.assertEqual(got, outcome)
                time.sleep(0.6)  # the late answers are in
                self.assertEqual(b.close(timeout=5), "requested")
                self.assertEqual([c.model for c in b.list_cameras(timeout=5)],
                                 ["HOST" if commands is probed else "PROBE"])
                self.assertEqual(b.close(timeout=5), "requested")
                self.assertEqual(self.commands()[1:], commands)
                self.assertEqual(b.next_event(timeout=0.2), None, "no answer is left over as an event")
                self.stop(b)
                os.unlink(self.log)

    def test_messages_for_a_camera_past_the_list_and_a_missing_bridge(self):
        unknown = '{"e":"error","texto":"abrir: Unknown model"}\n'
        two = '{"e":"camaras","lista":[{"modelo":"A","puerto":"p1"},{"modelo":"B","puerto":"p2"}]}\n'
        b = self.start({f"abrir {i} {self.p}": [[unknown]] for i in (1, 2, 5)} | {"buscar": [[two]] * 3})
        for index, message in ((5, "abrir: Unknown model (there is no camera 5: 2 cameras were found)"),
                               (2, "abrir: Unknown model (there is no camera 2: 2 cameras were found)"),
                               (1, "abrir: Unknown model")):  # a camera that is there but failed
            with self.subTest(index=index):
                with self.assertRaises(BridgeError) as cm:
                    b.open(index, self.p)
                self.assertEqual((str(cm.exception), cm.exception.text, cm.exception.code),
                                 (message, "abrir: Unknown model", "OPEN_FAILED"))
        for exe, env in ((os.path.join(self.root, "gpbridge"), None), ("gpbridge", {"PATH": self.root})):
            with self.subTest(exe=exe):
                with self.assertRaises(FileNotFoundError) as cm:
                    Bridge.start(exe, env=env)
                for hint in ("install gpbridge", "executable=", "gpbridge-sim", repr(exe)):
                    self.assertIn(hint, str(cm.exception))

    def test_long_lines_are_taken_and_a_set_the_bridge_applied_is_never_reported_failed(self):
        self.assertGreaterEqual(LineSplitter().limit, 64 << 20)
        choice = '"' + "q" * 248 + '",'
        # 5,000 choices of 250 bytes: a line of 1.25 MB, written at once.
        long = ['{"e":"opciones","iso":[', [choice, 4999], '"Z"],"diafragma":[],"velocidad":[]}\n']
        report = '{"e":"ajustes","iso":"Z","diafragma":"2","velocidad":"3","bateria":"4"}\n'
        b = self.start({f"abrir 0 {self.p}": [OPEN], "opciones": [long, long, ["not json\n"]],
                        "ajustar iso Z": [[report]] * 2})
        b.open(0, self.p, create_folder=False)
        self.assertEqual(len(b.setting_choices().iso), 5000)
        self.assertEqual(b.set_setting("iso", "Z").iso, "Z")
        # Applied (its settings report came): a bad line after it does not
        # make it a failure, though the line is reported.
        self.assertEqual(b.set_setting("iso", "Z").iso, "Z")
        self.assertIsInstance(b.next_event(timeout=5), ProtocolError)

    def test_events_nobody_asked_for_are_queued_in_order(self):
        b = self.start({f"abrir 0 {self.p}": [OPEN + ['{"e":"foto","ruta":"%s/B.JPG","nombre":"B.JPG"}\n' % self.p +
                                                      '{"e":"error","texto":"bajar la foto: I/O problem"}\n'
                                                      '{"e":"camaras","lista":[]}\n'
                                                      '{"e":"cerrada","motivo":"desconectada"}\n']]})
        opened = b.open(0, self.p, create=False)
        self.assertEqual(opened, ("M", Settings("1", "2", "3", "4")))
        got = [b.next_event(timeout=5) for _ in range(4)]
        self.assertEqual(got[0], Photo(self.p + "/B.JPG", "B.JPG"))
        self.assertEqual(tuple(got[1]), ("bajar la foto: I/O problem", "download"))
        self.assertIsInstance(got[2], ProtocolError)
        self.assertEqual(got[3], Closed("disconnected"))
        self.assertFalse(b.is_open)

    def test_a_capture_fails_when_the_camera_closes_meanwhile(self):
        b = self.start({f"abrir 0 {self.p}": [OPEN], "disparar": [['{"e":"cerrada","motivo":"desconectada"}\n']]})
        b.open(0, self.p, create=False)
        with self.assertRaises(CameraClosed) as cm:
            b.capture()
        self.assertEqual(cm.exception.reason, "disconnected")
        self.assertEqual(b.next_event(timeout=5), Closed("disconnected"), "the close is also reported")
        self.assertFalse(b.is_open)

    def test_when_the_bridge_dies_every_waiting_call_fails_and_nothing_hangs(self):
        b = self.start({f"abrir 0 {self.p}": [OPEN], "disparar": [[0.3, '{"e":"foto","ru', "EXIT 3"]]})
        b.open(0, self.p, create=False)
        results = {}

        def call(name, fn):
            try:
                results[name] = fn()
            except Exception as exc:  # noqa: BLE001  (the test looks at it)
                results[name] = exc

        threads = [threading.Thread(target=call, args=("capture", b.capture))]
        threads[0].start()
        threads.append(threading.Thread(target=call, args=("list", b.list_cameras)))
        threads[1].start()
        for t in threads:
            t.join(30)
            self.assertFalse(t.is_alive(), "a call hung after the bridge died")
        for name in ("capture", "list"):
            self.assertIsInstance(results[name], BridgeExited, name)
            self.assertEqual(results[name].returncode, 3)
        events = list(b.events())
        self.assertEqual(len(events), 1)
        self.assertEqual(events[0].line, b'{"e":"foto","ru')
        with self.assertRaises(BridgeExited):
            b.list_cameras()
        self.assertEqual(b.quit(), 3)

    def test_setting_choices_and_set_setting(self):
        choices = '{"e":"opciones","iso":["100","200","Auto ISO"],"diafragma":[],"velocidad":["1/8"]}\n'
        report = '{"e":"ajustes","iso":"%s","diafragma":"2","velocidad":"3","bateria":"4"}\n'
        b = self.start({f"abrir 0 {self.p}": [OPEN], "opciones": [[choices]] * 5,  # the 6th: no camera, ignored
                        # The second time, an idle report written before the
                        # bridge read the command crosses it.
                        "ajustar iso Auto ISO": [[report % "Auto ISO"], [report % "STALE", report % "AGAIN"]],
                        "ajustar iso 7": [['{"e":"error","texto":"ajustar: Bad parameters"}\n']],
                        "ajustar velocidad ": [['{"e":"error","texto":"ajustar: Bad parameters"}\n']],
                        "ajustar diafragma f/8": [['{"e":"cerrada","motivo":"desconectada"}\n']]})
        with self.assertRaises(CameraClosed):
            b.setting_choices()
        with self.assertRaises(CameraClosed):
            b.set_setting("iso", "100")
        self.assertEqual(self.commands(), [], "nothing is sent with no camera open")
        b.open(0, self.p, create_folder=False)
        self.assertEqual(b.setting_choices(), SettingChoices(["100", "200", "Auto ISO"], [], ["1/8"]))
        self.assertEqual(b.set_setting("iso", "Auto ISO"), Settings("Auto ISO", "2", "3", "4"))
        self.assertEqual(b.settings.iso, "Auto ISO")
        self.assertEqual(b.set_setting("iso", "Auto ISO").iso, "AGAIN")
        self.assertEqual(b.settings.iso, "AGAIN")
        for key, value in (("iso", "7"), ("shutter_speed", "")):
            with self.subTest(key=key, value=value):
                with self.assertRaises(BridgeError) as cm:
                    b.set_setting(key, value)
                self.assertEqual((cm.exception.text, cm.exception.code, cm.exception.operation),
                                 ("ajustar: Bad parameters", "SETTING_REJECTED", "set_setting"))
        for key, value, error in (("ISO", "100", ValueError), ("velocidad", "1/8", ValueError),
                                  ("iso", 100, TypeError), ("iso", "1\nsalir", ValueError)):
            with self.assertRaises(error):
                b.set_setting(key, value)
        with self.assertRaises(CameraClosed) as cm:
            b.set_setting("aperture", "f/8")
        self.assertEqual(cm.exception.reason, "disconnected")
        # The stand-in logs the last `opciones` after it answered the
        # `ajustar` before it: give it the time to.
        self.assertEqual(self.commands_once(12)[1:], ["opciones", "ajustar iso Auto ISO", "opciones",
                                                      "ajustar iso Auto ISO", "opciones", "ajustar iso 7", "opciones",
                                                      "ajustar velocidad ", "opciones", "ajustar diafragma f/8",
                                                      "opciones"])
        self.assertEqual(b.next_event(timeout=5), Closed("disconnected"))
        self.assertIsNone(b.next_event(timeout=0.3))
        self.assertEqual(b.quit(), 0)

    def test_controls_come_typed_and_go_back_typed(self):
        rows = [  # path, tipo, valor, opciones, rango, the Control's type and value
            ("/main/settings/datetime", "fecha", "1700000000", [], [], "date",
             datetime(2023, 11, 14, 22, 13, 20, tzinfo=timezone.utc)),
            ("/main/actions/capture", "interruptor", "1", [], [], "toggle", True),
            ("/main/imgsettings/exposurecompensation", "rango", "-0.5", [], ["-3", "3", "0.5"], "range", -0.5),
            ("/main/imgsettings/iso", "radio", "100", ["100", "400"], [], "radio", "100"),
            ("/main/settings/artist", "texto", "", [], [], "text", ""),
            ("/main/capturesettings/drive", "menu", "Single", ["Single", "Burst"], [], "menu", "Single"),
        ]

        def element(path, tipo, valor, opciones=(), rango=()):
            return json.dumps({"ruta": path, "etiqueta": path.upper(), "tipo": tipo, "valor": valor,
                               "soloLectura": tipo == "texto", "opciones": list(opciones), "rango": list(rango)})

        def control(path, tipo, valor, *rest):
            return '{"e":"control",' + element(path, tipo, valor, *rest)[1:] + "\n"

        sets = [  # name, value as given, the command it makes, the answer's valor, the value read back
            ("capture", False, "ajustar capture 0", "0", False),
            ("exposurecompensation", 1.5, "ajustar exposurecompensation 1.5", "1.5", 1.5),
            ("exposurecompensation", 2, "ajustar exposurecompensation 2", "2", 2.0),
            ("datetime", datetime(2024, 1, 1, tzinfo=timezone.utc), "ajustar datetime 1704067200", "1704067200",
             datetime(2024, 1, 1, tzinfo=timezone.utc)),
            ("artist", "Ana María", "ajustar artist Ana María", "Ana María", "Ana María"),
            # The three exposure words set their own widget by its path.
            ("iso", "400", "ajustar /main/imgsettings/iso 400", "400", "400"),
        ]
        paths = {row[0].rpartition("/")[2]: row for row in rows}
        script = {f"abrir 0 {self.p}": [OPEN],
                  "configuracion": [['{"e":"configuracion","lista":[' + ",".join(element(*r[:5]) for r in rows)
                                     + "]}\n"]],
                  "leer iso": [[control(*rows[3][:5])]],
                  "leer nope": [['{"e":"error","texto":"leer: Bad parameters"}\n']],
                  "ajustar capture x": [['{"e":"error","texto":"ajustar: Bad parameters"}\n']]}
        for name, _, line, valor, _ in sets:
            path, tipo, _, opciones, rango = paths[name][:5]
            script.setdefault(line, []).append([control(path, tipo, valor, opciones, rango)])
        b = self.start(script)
        with self.assertRaises(CameraClosed):
            b.config()
        self.assertEqual(self.commands(), [], "nothing is sent with no camera open")
        b.open(0, self.p, create_folder=False)
        got = b.config()
        self.assertEqual([(c.path, c.name, c.label, c.type, c.value, c.read_only) for c in got],
                         [(r[0], r[0].rpartition("/")[2], r[0].upper(), r[5], r[6], r[1] == "texto") for r in rows])
        self.assertEqual((got[2].range, got[3].choices, got[0].range), ((-3.0, 3.0, 0.5), ["100", "400"], None))
        for name, value, line, _, back in sets:
            with self.subTest(name=name, value=value):
                read = b.set(name, value)
                self.assertIsInstance(read, Control)
                self.assertEqual((read.name, read.value, type(read.value)), (name, back, type(back)))
        for name, value, error in (("a b", 1, ValueError), ("", 1, ValueError), ("capture", object(), TypeError),
                                   ("capture", math.nan, ValueError), (3, "x", TypeError)):
            with self.assertRaises(error):
                b.set(name, value)
        with self.assertRaises(BridgeError) as cm:
            b.get("nope")
        self.assertEqual((cm.exception.code, cm.exception.operation), ("CONFIG_FAILED", "get"))
        with self.assertRaises(BridgeError) as cm:
            b.set("capture", "x")
        self.assertEqual(cm.exception.code, "SETTING_REJECTED")
        self.assertEqual(self.commands_once(11)[1:], ["configuracion"] + [s[2] for s in sets[:5]]
                         + ["leer iso", sets[5][2], "leer nope", "ajustar capture x"])

    def test_busy_shots_are_tried_again_a_bounded_number_of_times_and_never_after_a_file(self):
        busy = '{"e":"error","texto":"disparar: I/O in progress"}\n'
        photo = '{"e":"foto","ruta":"%s/A.JPG","nombre":"A.JPG"}\n' % self.p
        cases = [  # busy_retries, the answers to each disparar, the outcome, how many were sent
            (3, [busy, busy, photo], "A.JPG", 3),
            (3, [busy] * 4, "CAMERA_BUSY", 4),
            (0, [busy], "CAMERA_BUSY", 1),
            (1, ['{"e":"error","texto":"disparar: I/O problem"}\n'], "CAPTURE_FAILED", 1),
            # A file came: the shot was taken, whatever follows it.
            (3, [photo + busy], "A.JPG", 1),
        ]
        for retries, answers, outcome, sent in cases:
            with self.subTest(retries=retries, answers=answers):
                b = self.start({f"abrir 0 {self.p}": [OPEN], "disparar": [[a] for a in answers]},
                               busy_retries=retries)
                b.open(0, self.p, create_folder=False)
                try:
                    got = b.capture(timeout=30).name
                except BridgeError as err:
                    got = err.code
                self.assertEqual(got, outcome)
                self.assertEqual(self.commands().count("disparar"), sent)
                if answers[-1] == photo + busy:
                    self.assertEqual(b.next_event(timeout=5), Failure("disparar: I/O in progress", "capture"))
                self.stop(b)
                os.unlink(self.log)
        with self.assertRaises(ValueError):
            self.start({}, busy_retries=-1)

    def test_focus_serial_number_and_alert(self):
        def control(name, tipo, valor):
            return ('{"e":"control","ruta":"/main/x/%s","etiqueta":"%s","tipo":"%s","valor":"%s",'
                    '"soloLectura":false,"opciones":[],"rango":[]}\n' % (name, name, tipo, valor))

        bad = '{"e":"error","texto":"%s: Bad parameters"}\n'
        b = self.start({f"abrir 0 {self.p}": [OPEN],
                        "ajustar autofocusdrive 1": [[control("autofocusdrive", "interruptor", "0")],
                                                     ['{"e":"error","texto":"ajustar: Unspecified error"}\n'],
                                                     [bad % "ajustar"], [bad % "ajustar"]],
                        "leer autofocusdrive": [[bad % "leer"], [control("autofocusdrive", "interruptor", "0")]],
                        "leer serialnumber": [[control("serialnumber", "texto", "SN 42")], [bad % "leer"],
                                              [control("serialnumber", "texto", "")]],
                        # The fourth: a bridge that does not know `leer` ignores it.
                        "opciones": [['{"e":"opciones","iso":[],"diafragma":[],"velocidad":[]}\n']] * 4})
        with self.assertRaises(CameraClosed):
            b.focus()
        b.open(0, self.p, create_folder=False)
        self.assertIsNone(b.focus())
        for want in (BridgeError, NotSupported, BridgeError):  # refused; no such control; one it cannot set
            with self.assertRaises(want) as cm:
                b.focus()
            self.assertEqual(cm.exception.code, "FOCUS_FAILED" if want is BridgeError else "NOT_SUPPORTED")
        self.assertEqual([b.serial_number() for _ in range(4)], ["SN 42", None, None, None])
        b.set_alert(True)
        b.set_alert(False)
        self.assertEqual(self.commands_once(17)[1:], ["ajustar autofocusdrive 1"] * 3 + ["leer autofocusdrive"]
                         + ["ajustar autofocusdrive 1", "leer autofocusdrive"] + ["leer serialnumber", "opciones"] * 4
                         + ["alerta 1", "alerta 0"])

    def test_no_time_limit_is_none_or_infinity_everywhere(self):
        b = self.start({"buscar": [['{"e":"camaras","lista":[]}\n']] * 3,
                        f"abrir 0 {self.p}": [OPEN] * 2, "cerrar": [['{"e":"cerrada","motivo":"orden"}\n']] * 2,
                        "disparar": [[0.3, '{"e":"foto","ruta":"%s/A.JPG","nombre":"A.JPG"}\n' % self.p]] * 2})
        for limit in (None, math.inf, 1e300):
            with self.subTest(limit=limit):
                self.assertEqual(b.list_cameras(timeout=limit), [])
        for limit in (None, math.inf):
            with self.subTest(limit=limit):
                b.open(0, self.p, create_folder=False, timeout=limit)
                self.assertEqual(b.capture(timeout=limit).name, "A.JPG")
                self.assertEqual(b.close(timeout=limit), "requested")
        self.assertIsNone(b.next_event(timeout=0))
        with self.assertRaises(ValueError):
            b.list_cameras(timeout=math.nan)
        self.assertEqual(b.quit(timeout=math.inf), 0)
        self.assertIsNone(b.next_event(timeout=math.inf), "nothing more, and it does not wait")

    def test_a_bridge_that_does_not_exit_is_killed(self):
        b = self.start({"salir": [[3600]]})
        with self.assertRaises(BridgeTimeout):
            b.quit(timeout=0.5)
        self.assertEqual(b.returncode, -9)
        self.assertFalse(b.running)


if __name__ == "__main__":
    unittest.main()
