"""Listing and changing the exposure settings: opciones and ajustar."""

import json
import unittest

from puente import CameraTest, Sesion, Tarjeta, directive as d, error

BAD = error("ajustar", -2)


def answers(s, count, last=None):
    """The next `count` answers, leaving out idle settings reports: those
    repeat the report before them (`last`, a line) unchanged."""
    got = []
    while len(got) < count:
        line = s.event()
        if line == last:
            continue
        if '"e":"ajustes"' in line:
            last = line
        got.append(line)
    return got


def sets(card):
    return [f for f in card.calls("set_config") if f[0] != "capturetarget"]


class Choices(CameraTest):
    def test_each_key_lists_the_choices_of_the_widget_the_report_reads(self):
        with Sesion([Tarjeta(["nodefaults",
                              d("widget", "iso", "range", "100"),
                              d("widget", "exposureindex", "menu", "Auto ISO", "Auto ISO", "1600",
                                "3200"),
                              d("widget", "aperture", "radio", "8", "5.6", "8", 'f/"\\'),
                              d("widget", "shutterspeed", "text", "1/60", "ignored")])]) as s:
            s.open_camera()
            s.send("opciones")
            s.expect('{"e":"opciones","iso":["Auto ISO","1600","3200"],'
                     '"diafragma":["5.6","8","f/\\"\\\\"],"velocidad":[]}')

    def test_missing_and_other_widgets_give_empty_lists(self):
        with Sesion([Tarjeta(["nodefaults", d("widget", "shutterspeed2", "toggle", "1"),
                              d("widget", "shutterspeed", "date", "1")])]) as s:
            s.open_camera()
            s.send("opciones")
            s.expect('{"e":"opciones","iso":[],"diafragma":[],"velocidad":[]}')

    def test_second_names_are_used_when_the_first_are_missing(self):
        with Sesion([Tarjeta(["nodefaults", d("widget", "exposureindex", "radio", "200", "200"),
                              d("widget", "shutterspeed2", "menu", "30", "15", "30")])]) as s:
            s.open_camera()
            s.send("opciones")
            s.expect('{"e":"opciones","iso":["200"],"diafragma":[],"velocidad":["15","30"]}')

    def test_without_a_camera_both_commands_are_ignored(self):
        with Sesion([Tarjeta()]) as s:
            s.send("opciones", "ajustar iso 400", "ajustar", "buscar")
            self.assertEqual(s.expect_event("camaras")["e"], "camaras")
            s.expect_nothing(0.3)


class Setting(CameraTest):
    def test_a_choice_is_set_and_reported_for_each_key(self):
        card = Tarjeta()
        with Sesion([card]) as s:
            s.open_camera()
            for line, key, value in (("ajustar iso 800", "iso", "800"),
                                     ("ajustar diafragma f/2.8", "diafragma", "f/2.8"),
                                     ("ajustar velocidad 1/500", "velocidad", "1/500")):
                s.send(line)
                self.assertEqual(s.expect_event("ajustes")[key], value)
            self.assertEqual(sets(card), [["iso", "800"], ["f-number", "f/2.8"],
                                          ["shutterspeed", "1/500"]])

    def test_refused_values_never_reach_the_camera(self):
        card = Tarjeta([d("widget", "shutterspeed", "text", "1/60")])
        with Sesion([card]) as s:
            opened = s.open_camera()
            last = json.dumps(opened, separators=(",", ":"))
            for line in ("ajustar iso 401", "ajustar iso 4000", "ajustar iso ", "ajustar iso",
                         "ajustar ISO 400", "ajustar bateria 50%", "ajustar", "ajustar  iso 400",
                         "ajustar diafragma f/5.6 "):
                s.send(line)
                self.assertEqual(answers(s, 1, last), [BAD], line)
            self.assertEqual(sets(card), [])
            # A text widget takes any value.
            s.send("ajustar velocidad 1/4000")
            self.assertEqual(s.expect_event("ajustes")["velocidad"], "1/4000")

    def test_a_value_with_spaces_is_taken_whole(self):
        card = Tarjeta([d("widget", "iso", "menu", "100", "100", "Auto ISO", "Auto  ISO ")])
        with Sesion([card]) as s:
            s.open_camera()
            s.send("ajustar iso Auto ISO", "ajustar iso Auto  ISO ")
            self.assertEqual(s.expect_event("ajustes")["iso"], "Auto ISO")
            self.assertEqual(s.expect_event("ajustes")["iso"], "Auto  ISO ")
            self.assertEqual(sets(card), [["iso", "Auto ISO"], ["iso", "Auto  ISO "]])

    def test_a_key_with_no_widget_is_refused(self):
        with Sesion([Tarjeta(["nodefaults", d("widget", "iso", "range", "100")])]) as s:
            s.open_camera()
            s.send("ajustar iso 100", "ajustar velocidad 1/60")
            self.assertEqual(answers(s, 2), [BAD, BAD])

    def test_a_failing_set_is_reported_and_changes_nothing(self):
        card = Tarjeta()
        with Sesion([card]) as s:
            s.open_camera()
            card.control(d("setfail", -1))
            s.send("ajustar iso 200", "ajustar iso 400")
            failed, report = answers(s, 2)
            self.assertEqual(failed, error("ajustar", -1))
            self.assertEqual(json.loads(report)["iso"], "400")

    def test_a_camera_that_goes_away_is_closed(self):
        for when in (0, 1):  # during the read of the widget, or during the set
            with self.subTest(when=when), Sesion([Tarjeta()]) as s:
                s.open_camera()
                s.cards[0].control(d("unplug", -7, when))
                s.send("ajustar iso 200")
                s.expect('{"e":"cerrada","motivo":"desconectada"}')
                s.send("opciones", "ajustar iso 200", "buscar")
                self.assertEqual(s.expect_event("camaras")["e"], "camaras")

    def test_an_over_long_value_is_set_whole_never_cut(self):
        card = Tarjeta([d("widget", "iso", "text", "100")])
        with Sesion([card]) as s:
            s.open_camera()
            s.send("ajustar iso " + "9" * 8000)
            self.assertEqual(s.expect_event("ajustes")["iso"], "9" * 63)
            self.assertEqual(sets(card), [["iso", "9" * 8000]])


if __name__ == "__main__":
    unittest.main()
