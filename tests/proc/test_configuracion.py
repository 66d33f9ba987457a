"""The whole configuration: configuracion, leer and ajustar of any widget,
on the simulated camera's tree."""

import json
import unittest

from puente import CameraTest, Sesion, Tarjeta, directive as d, error

BAD = error("ajustar", -2)

# One widget of each kind, in two sections, as the scenario defines them and
# as the bridge must describe them.
TREE = [
    d("widget", "settings/artist", "text", 'say "hi"\t\\'),
    d("label", "artist", "Artist \u00e9"),
    d("widget", "settings/zoom", "range", "2.5", "1", "10", "0.5"),
    d("widget", "settings/flash", "toggle", "1"),
    d("widget", "capturesettings/wb", "radio", "Auto", "Auto", "Daylight", ""),
    d("widget", "capturesettings/format", "menu", "RAW", "JPEG", "RAW"),
    d("widget", "capturesettings/clock", "date", "1700000000"),
    d("widget", "capturesettings/press", "button"),
    d("widget", "status/model", "text", "Sim"),
    d("readonly", "model"),
]


def element(ruta, label, kind, value, readonly=False, choices=(), rango=()):
    return {"ruta": ruta, "etiqueta": label, "tipo": kind, "valor": value,
            "soloLectura": readonly, "opciones": list(choices), "rango": list(rango)}


ELEMENTS = [
    element("/main/settings/artist", "Artist \u00e9", "texto", 'say "hi"\t\\'),
    element("/main/settings/zoom", "zoom", "rango", "2.5", rango=("1", "10", "0.5")),
    element("/main/settings/flash", "flash", "interruptor", "1"),
    element("/main/capturesettings/wb", "wb", "radio", "Auto", choices=("Auto", "Daylight", "")),
    element("/main/capturesettings/format", "format", "menu", "RAW", choices=("JPEG", "RAW")),
    element("/main/capturesettings/clock", "clock", "fecha", "1700000000"),
    element("/main/status/model", "model", "texto", "Sim", readonly=True),
]


def event(e, **keys):
    return dict({"e": e}, **keys)


def answer(s, timeout=10):
    """The next event that is not a settings report (idle ones come any time)."""
    while True:
        got = s.event(timeout)
        if got is None or '"e":"ajustes"' not in got:
            return got


def sets(card):
    return [f for f in card.calls("set_config") if f[0] != "capturetarget"]


class Tree(CameraTest):
    def test_every_element_in_tree_order_with_its_keys(self):
        with Sesion([Tarjeta(["nodefaults", *TREE])]) as s:
            s.open_camera()
            s.send("configuracion")
            self.assertEqual(json.loads(answer(s)), event("configuracion", lista=ELEMENTS))

    def test_leer_by_name_or_ruta_answers_the_element_of_the_tree(self):
        # On the default tree too: every kind of widget the simulated camera has.
        for scenario in (["nodefaults", *TREE], []):
            with self.subTest(defaults=not scenario), Sesion([Tarjeta(scenario)]) as s:
                s.open_camera()
                s.send("configuracion")
                listed = json.loads(answer(s))["lista"]
                if not scenario:
                    self.assertEqual({e["tipo"] for e in listed},
                                     {"texto", "rango", "interruptor", "radio", "menu", "fecha"})
                for e in listed:
                    for name in (e["ruta"].rsplit("/", 1)[1], e["ruta"]):
                        s.send("leer " + name)
                        self.assertEqual(json.loads(answer(s)), event("control", **e), name)

    def test_a_thousand_widgets_of_200_choices_are_written_whole(self):
        with Sesion([Tarjeta(["nodefaults", d("widgets", 1000, 200)])]) as s:
            s.open_camera()
            s.send("configuracion", "leer big0999")
            # A bound, not a speed check: sanitizer builds on a loaded
            # machine take seconds over this tree.
            raw = answer(s, timeout=300)
            listed = json.loads(raw)["lista"]
            self.assertGreater(len(raw), 1_000_000)
            self.assertEqual(len(listed), 1000)
            choices = [f"choice {k}" for k in range(1, 201)]
            for i, e in enumerate(listed, 1):
                self.assertEqual((e["ruta"], e["opciones"]), (f"/main/other/big{i:04d}", choices))
            self.assertEqual(json.loads(answer(s))["valor"], "choice 200")

    def test_ignored_without_a_camera(self):
        with Sesion([Tarjeta()]) as s:
            s.send("configuracion", "leer iso", "ajustar artist x", "buscar")
            self.assertEqual(s.expect_event("camaras")["e"], "camaras")
            s.expect_nothing(0.3)


class Setting(CameraTest):
    def test_each_kind_is_set_and_read_back(self):
        card = Tarjeta(["nodefaults", *TREE])
        cases = (  # command, ruta, value read back, value the camera got
            # First, before any ruta is known: set through the whole tree.
            ("ajustar /main/settings/zoom 7.5", "/main/settings/zoom", "7.5", "7.5"),
            ("ajustar artist two  words ", "/main/settings/artist", "two  words ", "two  words "),
            ("ajustar artist ", "/main/settings/artist", "", ""),
            ("ajustar zoom 1", "/main/settings/zoom", "1", "1"),
            ("ajustar flash 0", "/main/settings/flash", "0", "0"),
            ("ajustar wb Daylight", "/main/capturesettings/wb", "Daylight", "Daylight"),
            ("ajustar format JPEG", "/main/capturesettings/format", "JPEG", "JPEG"),
            ("ajustar clock -5", "/main/capturesettings/clock", "-5", "-5"),
        )
        with Sesion([card]) as s:
            s.open_camera()
            for command, ruta, value, _ in cases:
                s.send(command)
                got = json.loads(answer(s))
                self.assertEqual((got["e"], got["ruta"], got["valor"]), ("control", ruta, value),
                                 command)
            s.send("leer zoom")
            self.assertEqual(json.loads(answer(s))["valor"], "1")
        self.assertEqual([f[1] for f in sets(card)], [c[3] for c in cases])

    def test_refusals_never_ask_the_camera_to_change_anything(self):
        card = Tarjeta(["nodefaults", *TREE])
        refused = (
            "ajustar nothing 1",               # no such widget
            "ajustar /main/settings/wb Auto",  # a ruta that is not there
            "ajustar settings x",              # a section
            "ajustar press 1",                 # a button
            "ajustar model Other",             # read-only
            "ajustar wb daylight",             # not one of the choices (case)
            "ajustar wb ",                     # a listed empty choice
            "ajustar format RAW ",             # trailing space
            "ajustar flash 2", "ajustar flash true", "ajustar flash ",
            "ajustar zoom 10.5", "ajustar zoom abc", "ajustar zoom nan", "ajustar zoom  5",
            "ajustar zoom ",
            "ajustar clock 1.5", "ajustar clock 99999999999", "ajustar clock x1", "ajustar clock ",
            "ajustar zoom", "ajustar  zoom 5",
        )
        with Sesion([card]) as s:
            s.open_camera()
            for command in refused:
                s.send(command)
                self.assertEqual(answer(s), BAD, command)
            for command in ("leer nothing", "leer press", "leer settings", "leer /main/zoom",
                            "leer", "leer  zoom"):
                s.send(command)
                self.assertEqual(answer(s), error("leer", -2), command)
        self.assertEqual(sets(card), [])

    def test_library_failures_are_passed_on(self):
        card = Tarjeta()
        with Sesion([card]) as s:
            s.open_camera()
            for directive, command, status in (
                    (d("setfail", -110), "ajustar artist x", -110),
                    (d("focusfail", -1), "ajustar autofocusdrive 1", -1),
                    (d("getfail", -10, "artist"), "ajustar artist x", -10),
                    (d("getfail", -1, "artist"), "leer artist", -1),
                    (d("getfail", -110, "/"), "configuracion", -110),
                    (d("trigger", "busy", 1), "disparar", -110)):
                card.control(directive)
                s.send(command)
                self.assertEqual(answer(s), error(command.split()[0], status), command)
            # Nothing stuck: the camera answers again.
            card.control(d("focusfail", "ok"))
            s.send("ajustar autofocusdrive 1")
            self.assertEqual(json.loads(answer(s))["valor"], "1")

    def test_a_camera_that_goes_away_is_closed(self):
        # After 1 call: possibly gone between the read and the set.
        for command, after in (("configuracion", 0), ("leer iso", 0), ("ajustar artist x", 0),
                               ("ajustar artist x", 1)):
            with self.subTest(command=command, after=after), Sesion([Tarjeta()]) as s:
                s.open_camera()
                s.cards[0].control(d("unplug", -7, after))
                s.send(command)
                self.assertEqual(answer(s), '{"e":"cerrada","motivo":"desconectada"}')


class Camera(CameraTest):
    def test_serial_numbers_differ_between_cards_and_follow_the_scenario(self):
        cards = [Tarjeta(), Tarjeta(), Tarjeta([d("serial", "ABC 123")]), Tarjeta(["nodefaults"])]
        with Sesion(cards) as s:
            s.send("buscar")
            ports = [c["puerto"] for c in s.expect_event("camaras")["lista"]]
            serials = {}
            for i, card in enumerate(cards):
                s.open_camera(ports.index("disk:" + card.mount))
                s.send("leer serialnumber", "cerrar")
                got = json.loads(answer(s))
                self.assertEqual(answer(s), '{"e":"cerrada","motivo":"orden"}')
                serials[i] = got.get("valor", got.get("texto"))
                if i < 3:
                    self.assertEqual(got["ruta"], "/main/status/serialnumber")
                    self.assertTrue(got["soloLectura"])
        self.assertNotEqual(serials[0], serials[1])
        self.assertEqual(serials[2], "ABC 123")
        self.assertEqual(serials[3], "leer: Bad parameters")

    def test_a_drifting_value_changes_by_itself(self):
        with Sesion([Tarjeta([d("drift", "artist", "a", "b", "c")])]) as s:
            s.open_camera()
            s.send("configuracion", "leer artist", "leer artist", "leer /main/settings/artist")
            listed = json.loads(answer(s))["lista"]
            got = [e["valor"] for e in listed if e["ruta"] == "/main/settings/artist"]
            got += [json.loads(answer(s))["valor"] for _ in range(3)]
            self.assertEqual(got, ["a", "b", "c", "a"])


class ExposureKeys(CameraTest):
    """ajustes, opciones and ajustar agree on one widget per key."""

    def test_one_widget_for_every_command(self):
        card = Tarjeta(["nodefaults", d("widget", "iso", "radio", "", "100", "200"),
                        d("widget", "exposureindex", "radio", "800", "800", "1600")])
        with Sesion([card]) as s:
            self.assertEqual(s.open_camera()["iso"], "800")
            s.send("opciones", "ajustar iso 1600")
            self.assertEqual(json.loads(answer(s))["iso"], ["800", "1600"])
            self.assertEqual(s.expect_event("ajustes")["iso"], "1600")
        self.assertEqual(sets(card), [["exposureindex", "1600"]])

    def test_long_and_empty_choices(self):
        a = "q" * 255
        card = Tarjeta(["nodefaults", d("widget", "iso", "radio", "100", "100", a, a + "Z", "")])
        with Sesion([card]) as s:
            s.open_camera()
            s.send("ajustar iso " + a + "Z")
            self.assertEqual(s.expect_event("ajustes")["iso"], "q" * 63)
            for refused in (a + "ZZ", a[:-1], ""):  # never cut or matched short
                s.send("ajustar iso " + refused)
                self.assertEqual(answer(s), BAD)
        self.assertEqual(sets(card), [["iso", a + "Z"]])

    def test_a_failed_read_gives_the_librarys_text(self):
        card = Tarjeta()
        with Sesion([card]) as s:
            s.open_camera()
            for status in (-110, -10, -1):
                card.control(d("getfail", status, "iso"))
                s.send("ajustar iso 200")
                self.assertEqual(answer(s), error("ajustar", status))
        self.assertEqual(sets(card), [])


if __name__ == "__main__":
    unittest.main()
