"""Live view: frames published whole and numbered, busy and failing previews."""

import os
import threading
import time
import unittest

from puente import CameraTest, Sesion, Tarjeta, directive as d, error

ORDEN = '{"e":"cerrada","motivo":"orden"}'


def live_session(card, live="live"):
    s = Sesion([card], args=[live])
    os.makedirs(os.path.join(s.root, live))
    return s


def start_live(s):
    """Opens the camera, turns live view on and returns the first frame event."""
    s.open_camera()
    s.send("vista 1")
    return s.expect_event("vista")


class LiveView(CameraTest):
    def test_frames_are_numbered_and_the_counter_never_resets(self):
        with live_session(Tarjeta()) as s:
            s.open_camera()
            s.send("vista 1")
            for n in (1, 2, 3):
                self.assertEqual(s.expect_event("vista"),
                                 {"e": "vista", "ruta": "live/vista.jpg", "n": n})
            s.send("vista 0")
            rest = [ev["n"] for ev in s.drain("vista")]
            self.assertEqual(rest, list(range(4, 4 + len(rest))))
            last = rest[-1] if rest else 3
            s.send("vista 1")
            self.assertEqual(s.expect_event("vista")["n"], last + 1)
            s.send("abrir 0 " + s.fotos)
            s.expect_event("cerrada", skip=("vista",))
            s.expect_event("ajustes", skip=("abierta",))
            s.send("vista 1")
            self.assertGreater(s.expect_event("vista", skip=("ajustes",))["n"], last + 1)

    def test_published_frame_is_whole_and_identical(self):
        card = Tarjeta()
        s = live_session(card)
        with s:
            frames = [bytes([i]) * 300000 + os.urandom(1000) for i in (1, 2)]
            for i, data in enumerate(frames):
                with open(card.path(f"f{i}.jpg"), "wb") as f:
                    f.write(data)
            card.control(d("frame", "@f0.jpg"), d("frame", "@f1.jpg"))
            start_live(s)
            published = os.path.join(s.root, "live", "vista.jpg")
            seen = set()
            deadline = time.monotonic() + 1.5
            while time.monotonic() < deadline:
                with open(published, "rb") as f:
                    data = f.read()
                self.assertIn(data, frames, "a reader saw a partial or foreign frame")
                seen.add(data)
            self.assertEqual(len(seen), 2)

    def test_an_empty_frame_is_published_like_any_other(self):
        card = Tarjeta()
        with live_session(card) as s:
            card.control(d("frame", "0"), d("frame", "10"))
            start_live(s)
            published = os.path.join(s.root, "live", "vista.jpg")
            sizes = set()
            for n in range(2, 8):
                self.assertEqual(s.expect_event("vista")["n"], n)
                sizes.add(os.path.getsize(published))
            self.assertLessEqual(sizes, {0, 10})
            s.send("vista 0")
            rest = s.drain("vista")
            # Every preview became a frame: none was dropped for being empty.
            self.assertEqual(rest[-1]["n"] if rest else 7, len(card.calls("preview")))

    def test_busy_previews_are_retried_silently(self):
        card = Tarjeta([d("preview", "busy", 5)])
        with live_session(card) as s:
            s.open_camera()
            s.send("vista 1")
            self.assertEqual(s.expect_event("vista")["n"], 1)
            self.assertGreaterEqual(len(card.calls("preview")), 6)

    def test_failing_preview_ends_live_view(self):
        card = Tarjeta()
        with live_session(card) as s:
            start_live(s)
            card.control(d("preview", "fail", -7))
            s.expect_event("error", skip=("vista",))
            s.expect('{"e":"vistaFin"}')
            s.expect_nothing(0.6)
            s.send("cerrar")
            s.expect(ORDEN)

    def test_failing_preview_and_disconnection_in_one_turn(self):
        card = Tarjeta()
        with live_session(card) as s:
            start_live(s)
            card.control(d("preview", "unplug", -7))
            ev = s.expect_event("error", skip=("vista",))
            self.assertEqual(ev["texto"], "vista en directo: I/O problem")
            s.expect('{"e":"vistaFin"}', '{"e":"cerrada","motivo":"desconectada"}')

    def test_vista_0_turns_the_viewfinder_off_even_when_already_off(self):
        card = Tarjeta()
        with Sesion([card]) as s:
            s.open_camera()
            s.send("vista 0", "cerrar")
            s.expect(ORDEN)
        self.assertEqual(card.calls("set_config")[-1], ["viewfinder", "0"])

    def test_vista_1_without_camera_stays_off(self):
        card = Tarjeta()
        with Sesion([card]) as s:
            s.send("vista 1")
            s.open_camera()
            s.expect_nothing(0.6)
        self.assertEqual(card.calls("preview"), [])

    def test_unusable_live_view_directory_is_silent(self):
        for live in ("/nonexistent/gpbridge", "/proc"):
            card = Tarjeta()
            with Sesion([card], args=[live]) as s:
                s.open_camera()
                s.send("vista 1")
                s.expect_nothing(0.6)
                s.send("cerrar")
                s.expect(ORDEN)
            self.assertGreater(len(card.calls("preview")), 3)

    def test_photo_during_live_view(self):
        card = Tarjeta()
        with live_session(card) as s:
            start_live(s)
            card.control(d("shoot", "/capt", "L.JPG", 100))
            self.assertEqual(s.expect_event("foto", skip=("vista",))["nombre"], "L.JPG")
            s.expect_event("ajustes")
            s.expect_event("vista")

    def test_no_timed_reports_during_live_view(self):
        with live_session(Tarjeta()) as s:
            s.open_camera()
            s.send("vista 1")
            deadline = time.monotonic() + 4.5
            while time.monotonic() < deadline:
                self.assertEqual(s.expect_event("vista")["e"], "vista")


class Pace(CameraTest):
    """Live view runs at the camera's own speed, up to 100 frames a second."""

    def frames_over(self, s, seconds):
        s.open_camera()
        s.send("vista 1")
        s.expect_event("vista")
        got = [t for t, line in s.collect(seconds) if '"e":"vista"' in line]
        return len(got) - 1, got[-1] - got[0]

    def test_a_slow_camera_is_shown_at_its_own_speed(self):
        delay = 0.030
        card = Tarjeta([d("previewdelay", int(delay * 1e6))])
        with live_session(card) as s:
            frames, span = self.frames_over(s, 2)
            # A bare preview loop would give span / delay frames in that time;
            # a fixed 10 ms wait after each preview would give three quarters
            # of them. Generous, for a loaded machine or a sanitized build.
            self.assertGreaterEqual(frames, 0.8 * span / delay)
        # The preview used up the turn: the camera waits between frames ask
        # for nothing more (the driver logs each wait's timeout).
        log = card.log()
        first = next(i for i, (_, op, _) in enumerate(log) if op == "preview")
        waits = [int(f[0]) for _, op, f in log[first:] if op == "wait"]
        self.assertGreater(len(waits), 20)
        self.assertLessEqual(sum(w > 1 for w in waits), len(waits) // 10, waits)

    def test_instant_previews_stay_near_a_hundred_a_second(self):
        with live_session(Tarjeta()) as s:
            frames, span = self.frames_over(s, 2)
            self.assertLessEqual(frames, 105 * span + 5)


if __name__ == "__main__":
    unittest.main()
