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

from gpbridge import (Bridge, BridgeError, BridgeExited, BridgeTimeout, CameraClosed, Closed, Frame, Photo,
                      ProtocolError, SettingChoices, Settings)
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
                 "disparar": "BRIDGE_ERROR"}
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

    def start(self, script):
        root = self.root
        exe = os.path.join(root, "fake")
        with open(exe, "w") as f:
            f.write(f"#!{sys.executable}\n{FAKE}")
        os.chmod(exe, 0o755)
        self.log = os.path.join(root, "log")
        env = dict(os.environ, FAKE_SCRIPT=json.dumps(script), FAKE_LOG=self.log)
        bridge = Bridge.start(exe, env=env)
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
