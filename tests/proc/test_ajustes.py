"""The settings report: fallbacks between names, types, cuts, timing."""

import json
import time
import unittest

from puente import CameraTest, Sesion, Tarjeta, directive as d, error


def report(*scenario):
    with Sesion([Tarjeta(["nodefaults", *scenario])]) as s:
        return s.open_camera()


class Values(CameraTest):
    def test_fallback_names(self):
        got = report(d("widget", "exposureindex", "radio", "400", "400"),
                     d("widget", "aperture", "menu", "8", "8"),
                     d("widget", "shutterspeed2", "text", "1/60"))
        self.assertEqual(got, {"e": "ajustes", "iso": "400", "diafragma": "8",
                               "velocidad": "1/60", "bateria": ""})

    def test_empty_value_falls_through_and_first_name_wins(self):
        got = report(d("widget", "iso", "text", ""), d("widget", "exposureindex", "text", "800"),
                     d("widget", "f-number", "text", "f/2"), d("widget", "aperture", "text", "9"))
        self.assertEqual((got["iso"], got["diafragma"]), ("800", "f/2"))

    def test_non_string_widgets_give_nothing(self):
        got = report(d("widget", "iso", "range", "100"), d("widget", "f-number", "toggle", "1"),
                     d("widget", "shutterspeed", "date", "1700000000"),
                     d("widget", "batterylevel", "range", "50"))
        self.assertEqual(got, {"e": "ajustes", "iso": "", "diafragma": "", "velocidad": "",
                               "bateria": ""})

    def test_long_values_are_cut_to_63_bytes(self):
        got = report(d("widget", "batterylevel", "text", "b" * 300),
                     d("widget", "iso", "text", "\u00e1" * 40))
        self.assertEqual(got["bateria"], "b" * 63)
        # 63 bytes of two-byte characters: the cut leaves half a character.
        raw = ("\u00e1" * 40).encode()[:63].decode("utf-8", "surrogateescape")
        self.assertEqual(got["iso"], raw)


class Timing(CameraTest):
    def test_idle_reports_every_three_seconds(self):
        with Sesion([Tarjeta()]) as s:
            s.open_camera()
            start = time.monotonic()
            s.expect_event("ajustes", timeout=6)
            first = time.monotonic() - start
            s.expect_event("ajustes", timeout=6)
            second = time.monotonic() - start - first
            # Whole-second clock: between just over 2 s and 3 s plus a turn.
            for gap in (first, second):
                self.assertGreater(gap, 1.8)
                self.assertLess(gap, 4.5)

    def test_no_timed_reports_while_the_wait_keeps_failing(self):
        with Sesion([Tarjeta()]) as s:
            s.open_camera()
            s.send_raw(b"")
            card = s.cards[0]
            card.control(*[d("event", "fail", -10)] * 25)
            for _ in range(25):
                s.expect(error("c\u00e1mara", -10), timeout=5)


if __name__ == "__main__":
    unittest.main()
