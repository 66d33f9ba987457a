"""Every call of the client against the real bridge and the simulated
camera: what it returns when it works and what it raises when it does not."""

import os
import shutil
import tempfile
import threading
import unittest

from clienttest import DEFAULT_SETTINGS, MODEL, ClientTest
from puente import Tarjeta, directive as d, generated

from gpbridge import (BridgeError, BridgeExited, CameraClosed, Camera, Closed, FolderError, Opened, Photo,
                      SettingChoices, Settings)


class Cameras(ClientTest):
    def test_list_cameras(self):
        b, rig = self.start(Tarjeta(), Tarjeta())
        cams = b.list_cameras()
        self.assertEqual(sorted(cams), sorted(Camera(MODEL, "disk:" + c.mount) for c in rig.cards))
        empty = tempfile.mkdtemp(prefix="gpbridge-nodrivers-")
        self.addCleanup(shutil.rmtree, empty, True)
        b, _ = self.start(camlibs=empty)
        self.assertEqual(b.list_cameras(), [])

    def test_open(self):
        card = Tarjeta([d("widget", "iso", "radio", "400", "100", "400")])
        b, rig = self.start(card)
        got = b.open(0, rig.fotos)
        self.assertEqual(got, Opened(MODEL, Settings("400", "f/5.6", "1/125", "100%")))
        self.assertEqual((b.is_open, b.model, b.settings), (True, MODEL, got.settings))
        self.assertTrue(os.path.isdir(rig.fotos), "the download folder is made")
        # Opening again closes the first camera; that close is part of the answer.
        self.assertEqual(b.open(0, rig.fotos + "2").model, MODEL)
        self.assertIn(b'{"e":"cerrada","motivo":"otra"}', rig.lines)
        self.assertEqual([e for e in self.drain(b) if isinstance(e, Closed)], [])
        with self.assertRaises(BridgeError) as cm:
            b.open(5, rig.fotos)
        self.assertEqual((cm.exception.text, cm.exception.operation), ("abrir: Unknown model", "open"))
        self.assertFalse(b.is_open)
        for bad in ((-1, rig.fotos), ("0", rig.fotos), (0, rig.fotos + "\nsalir")):
            with self.assertRaises(ValueError):
                b.open(*bad)
        self.assertEqual(b.list_cameras()[0].model, MODEL, "the bridge still answers")

    def test_a_download_folder_that_cannot_be_used_fails_at_open_naming_it(self):
        b, rig = self.start(Tarjeta())
        nested = os.path.join(rig.fotos, "a", "b")
        self.assertEqual(b.open(0, nested).model, MODEL, "missing folders are made")
        self.assertTrue(os.path.isdir(nested))
        b.close()
        plain = os.path.join(rig.root, "plain")
        open(plain, "w").close()
        for folder, options in ((os.path.join(rig.root, "missing"), {"create_folder": False}),
                                (plain, {}), (os.path.join(plain, "under"), {})):
            with self.subTest(folder=folder):
                with self.assertRaises(FolderError) as cm:
                    b.open(0, folder, **options)
                self.assertEqual((cm.exception.folder, cm.exception.code), (folder, "FOLDER_NOT_WRITABLE"))
                self.assertIn(folder, str(cm.exception))
                self.assertFalse(os.path.exists(os.path.join(rig.root, "missing")))
        self.assertFalse(b.is_open)
        self.assertEqual(len(rig.cards[0].calls("init")), 1, "the camera was not asked to open")

    def test_open_failing_in_the_camera(self):
        b, rig = self.start(Tarjeta([d("initfail", -7)]))
        with self.assertRaises(BridgeError) as cm:
            b.open(0, rig.fotos)
        self.assertEqual(cm.exception.text, "abrir: I/O problem")
        self.assertFalse(b.is_open)


class Capture(ClientTest):
    def test_capture_with_remote_trigger_and_with_the_full_capture_fallback(self):
        for scenario, op in (([], "trigger"), ([d("trigger", "unsupported")], "capture")):
            with self.subTest(op=op):
                b, rig = self.opened(Tarjeta(scenario))
                photo = b.capture()
                self.assertEqual(photo, Photo(os.path.join(rig.fotos, "IMG_0001.JPG"), "IMG_0001.JPG"))
                with open(photo.path, "rb") as f:
                    self.assertEqual(f.read(), generated("IMG_0001.JPG", 4096))
                self.assertEqual(b.capture().name, "IMG_0002.JPG")
                self.assertEqual(len(rig.cards[0].calls(op)), 2)
                if op == "trigger":  # a photo the camera announces is followed by its settings
                    self.assertIn(Settings(*DEFAULT_SETTINGS), self.drain(b))

    def test_capture_failures(self):
        cases = [
            ([d("trigger", -7)], True, "disparar: I/O problem", "capture"),
            ([d("next", "/c", "X.JPG", 100), d("downloadfail", "X.JPG", -7)], True,
             "bajar la foto: I/O problem", "download"),
            ([], False, "No se puede guardar en la carpeta", "save"),
        ]
        for scenario, keep, text, op in cases:
            with self.subTest(text=text):
                b, rig = self.start(Tarjeta(scenario))
                b.open(0, rig.fotos)
                if not keep:  # the folder goes after open() checked it
                    os.rmdir(rig.fotos)
                with self.assertRaises(BridgeError) as cm:
                    b.capture()
                self.assertEqual((cm.exception.text, cm.exception.operation), (text, op))
                self.assertTrue(b.is_open, "a failed shot leaves the camera open")
                self.assertEqual(os.listdir(rig.fotos) if keep else [], [])

    def test_capture_with_no_camera_open_sends_nothing(self):
        b, rig = self.start(Tarjeta())
        with self.assertRaises(CameraClosed):
            b.capture()
        b.open(0, rig.fotos)
        b.close()
        with self.assertRaises(CameraClosed):
            b.capture()
        self.assertEqual(rig.cards[0].calls("trigger"), [])


class ExposureSettings(ClientTest):
    def test_choices_then_setting_each_key(self):
        card = Tarjeta([d("widget", "iso", "menu", "100", "Auto ISO", "100", "400")])
        b, rig = self.start(card)
        with self.assertRaises(CameraClosed):
            b.setting_choices()
        b.open(0, rig.fotos)
        self.assertEqual(b.setting_choices(), SettingChoices(
            ["Auto ISO", "100", "400"], ["f/2.8", "f/4", "f/5.6", "f/8", "f/11"],
            ["1/30", "1/60", "1/125", "1/250", "1/500"]))
        self.assertEqual(b.set_setting("iso", "Auto ISO"), Settings("Auto ISO", "f/5.6", "1/125", "100%"))
        self.assertEqual(b.set_setting("aperture", "f/8").aperture, "f/8")
        got = b.set_setting("shutter_speed", "1/500")
        self.assertEqual(got, Settings("Auto ISO", "f/8", "1/500", "100%"))
        self.assertEqual(b.settings, got)
        self.assertEqual([f for f in card.calls("set_config") if f[0] != "capturetarget"],
                         [["iso", "Auto ISO"], ["f-number", "f/8"], ["shutterspeed", "1/500"]])

    def test_refused_values(self):
        card = Tarjeta()
        b, rig = self.opened(card)
        for key, value in (("iso", "401"), ("aperture", ""), ("shutter_speed", "1/125 ")):
            with self.subTest(key=key, value=value):
                with self.assertRaises(BridgeError) as cm:
                    b.set_setting(key, value)
                self.assertEqual((cm.exception.text, cm.exception.code),
                                 ("ajustar: Bad parameters", "SETTING_REJECTED"))
        self.assertEqual([f for f in card.calls("set_config") if f[0] != "capturetarget"], [],
                         "the camera was not asked")
        card.control(d("setfail", -1))
        with self.assertRaises(BridgeError) as cm:
            b.set_setting("iso", "400")
        self.assertEqual((cm.exception.text, cm.exception.code), ("ajustar: Unspecified error", "SETTING_REJECTED"))
        self.assertEqual(b.set_setting("iso", "800").iso, "800", "the camera takes the next one")
        self.assertTrue(b.is_open)
        self.assertEqual([e for e in self.drain(b) if not isinstance(e, Settings)], [])


class LiveView(ClientTest):
    def test_frames_then_leaving_turns_live_view_off(self):
        b, rig = self.opened()
        frames = []
        for frame in b.live_view():
            frames.append((frame.n, frame.read()[:2]))
            if len(frames) == 3:
                break
        ns = [n for n, _ in frames]
        self.assertEqual(ns, sorted(set(ns)), "newest frames, in order")
        self.assertEqual({head for _, head in frames}, {b"\xff\xd8"})
        self.assertEqual(b.close(), "requested")  # a sync point: vista 0 was handled before
        self.assertEqual(rig.cards[0].calls("set_config")[-1], ["viewfinder", "0"])
        frame_lines = [l for l in rig.lines if l.startswith(b'{"e":"vista",')]
        self.assertTrue(all(l.startswith(b'{"e":"vista","ruta":"' + b.live_view_dir.encode() + b'/vista.jpg","n":')
                            for l in frame_lines))

    def test_live_view_in_a_given_relative_folder_and_through_a_with_block(self):
        base = tempfile.mkdtemp(prefix="gpbridge-cwd-test-")
        self.addCleanup(shutil.rmtree, base, True)
        os.mkdir(os.path.join(base, "live"))
        b, rig = self.opened(live_view_dir="live", cwd=base)
        with b.live_view() as lv:
            frame = lv.next_frame(timeout=10)
            self.assertTrue(frame.read().startswith(b"\xff\xd8"), "read from any working directory")
        self.assertEqual(frame.path, os.path.join(base, "live", "vista.jpg"))
        self.assertIsNone(lv.next_frame(timeout=10), "a closed live view hands out nothing")
        self.assertEqual(b.quit(), 0)
        self.assertTrue(os.path.isdir(os.path.join(base, "live")), "a folder the host gave is left alone")

    def test_live_view_on_one_thread_while_another_takes_photos(self):
        # The supported pattern: the live view's own thread shows frames,
        # the program's thread takes photos whenever it likes.
        b, rig = self.opened()
        counts = []
        stop = threading.Event()

        def show():
            with b.live_view() as live:
                for frame in live:
                    counts.append(frame.n)
                    if stop.is_set():
                        break

        viewer = threading.Thread(target=show)
        viewer.start()
        photos = []
        for _ in range(3):
            seen = len(counts)
            while len(counts) < seen + 5:
                self.assertTrue(viewer.is_alive(), "live view ended")
                threading.Event().wait(0.01)
            photos.append(b.capture().name)
        stop.set()
        viewer.join(30)
        self.assertFalse(viewer.is_alive())
        self.assertEqual(photos, ["IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.JPG"])
        self.assertEqual(counts, sorted(set(counts)))
        self.assertEqual([e for e in self.drain(b, quiet=0.5) if isinstance(e, Photo)], [],
                         "every photo went to its capture")

    def test_live_view_failure_ends_the_iteration(self):
        b, rig = self.opened(Tarjeta([d("preview", "fail", -7)]))
        lv = b.live_view()
        self.assertEqual(list(lv), [])
        self.assertEqual((lv.error.text, lv.error.operation), ("vista en directo: I/O problem", "live_view"))
        self.assertEqual(self.drain(b), [], "the error and the end belong to the live view")
        b.close()
        with self.assertRaises(CameraClosed):
            b.live_view()


class Ending(ClientTest):
    def test_close_and_quit(self):
        b, rig = self.opened()
        live = b.live_view_dir
        self.assertTrue(os.path.isdir(live))
        self.assertEqual(b.close(), "requested")
        self.assertFalse(b.is_open)
        self.assertEqual(b.close(), "requested", "closing with no camera open is answered too")
        b.open(0, rig.fotos)
        self.assertEqual(b.quit(), 0)
        self.assertEqual(rig.lines[-1], b'{"e":"cerrada","motivo":"orden"}', "quit closed the camera")
        self.assertFalse(os.path.exists(live), "the client's own live-view folder is removed")
        self.assertFalse(b.running)
        for call in (b.list_cameras, b.capture, b.close):
            with self.assertRaises(BridgeExited):
                call()
        self.assertEqual(b.quit(), 0)
        self.assertEqual([e for e in b.events() if isinstance(e, Closed)], [])


if __name__ == "__main__":
    unittest.main()
