"""Failing filesystems, reached by injecting faults into the bridge's own
file calls (tests/fallos): whatever call fails, a photo is whole under a
final name or still on the camera, no partial file is left behind, and the
host gets the error text it is documented to get."""

import json
import os
import unittest

from puente import CameraTest, Sesion, Tarjeta, directive as d, error, generated, preload

NAME = "F.JPG"
SIZE = 200000
ORDEN = '{"e":"cerrada","motivo":"orden"}'
CARPETA = '{"e":"error","texto":"No se puede guardar en la carpeta"}'


def foto(folder, name):
    return json.dumps({"e": "foto", "ruta": os.path.join(folder, name), "nombre": name},
                      separators=(",", ":"))


def faulty_session(card, rules, trace=None):
    s = Sesion([card])
    variables = {"GPB_FALLOS_RUTA": s.fotos, "GPB_FALLOS": rules}
    if trace:
        variables["GPB_TRAZA"] = os.path.join(s.root, trace)
    s.env = preload(os.environ["FALLOS_SO"], **variables)
    return s


class InjectedFaults(CameraTest):
    # rule, the event the download ends with, and the name the photo is
    # saved under (None: it must still be on the camera).
    CASES = [
        ("open:1:EACCES", CARPETA, None),
        ("open:1:ENOSPC", CARPETA, None),
        ("write:1:ENOSPC", error("bajar la foto", -35), None),
        ("write:3:EIO", error("bajar la foto", -35), None),
        ("dup:1:EMFILE", error("bajar la foto", -3), None),
        ("fsync:1:EIO", CARPETA, None),
        ("renameat2:1:EIO", CARPETA, None),
        ("renameat2:1:EXDEV", CARPETA, None),
        ("fsync:2:EIO", CARPETA, None),  # the folder's flush
        ("close:2:EIO", CARPETA, None),  # the bridge's own close of the photo
        # A filesystem without the no-replace rename, then one without hard
        # links either: the fallbacks save the photo.
        ("renameat2:*:EINVAL", "foto", NAME),
        ("renameat2:*:ENOSYS,link:*:EPERM", "foto", NAME),
        ("renameat2:*:EINVAL,link:*:EOPNOTSUPP", "foto", NAME),
        # Another program takes the name between the probe and the rename.
        ("renameat2:1:CREA", "foto", "F-2.JPG"),
        ("renameat2:*:EINVAL,link:1:CREA", "foto", "F-2.JPG"),
        # A directory flush this filesystem cannot do is no failure.
        ("fsync:2:EINVAL", "foto", NAME),
        # Nor is a filesystem without locks, for a partial file just created.
        ("flock:*:ENOLCK", "foto", NAME),
    ]

    def test_every_injected_failure_keeps_the_photo(self):
        for rules, ending, saved in self.CASES:
            with self.subTest(rules):
                card = Tarjeta()
                with faulty_session(card, rules) as s:
                    s.open_camera()
                    card.control(d("shoot", "/capt", NAME, SIZE))
                    want = foto(s.fotos, saved) if ending == "foto" else ending
                    s.expect(want)
                    s.expect_event("ajustes")
                    s.send("cerrar")
                    s.expect(ORDEN)
                    names = sorted(os.listdir(s.fotos))
                    self.assertFalse([n for n in names if n.endswith(".parcial")], names)
                    deleted = [(f[0], f[1]) for f in card.calls("delete")]
                    if saved is None:
                        self.assertEqual(deleted, [])
                        self.assertEqual(names, [])
                        continue
                    self.assertEqual(deleted, [("/capt", NAME)])
                    with open(os.path.join(s.fotos, saved), "rb") as f:
                        self.assertEqual(f.read(), generated(NAME, SIZE))
                    others = [n for n in names if n != saved]
                    for other in others:  # the stranger's file, untouched
                        with open(os.path.join(s.fotos, other), "rb") as f:
                            self.assertEqual(f.read(), b"ajeno\n")

    def test_fallbacks_never_replace_an_existing_file(self):
        for rules in ("renameat2:*:EINVAL", "renameat2:*:EINVAL,link:*:EPERM"):
            with self.subTest(rules):
                card = Tarjeta()
                with faulty_session(card, rules) as s:
                    with open(os.path.join(s.fotos, NAME), "wb") as f:
                        f.write(b"the host's own\n")
                    s.open_camera()
                    card.control(d("shoot", "/capt", NAME, SIZE))
                    s.expect(foto(s.fotos, "F-2.JPG"))
                    with open(os.path.join(s.fotos, NAME), "rb") as f:
                        self.assertEqual(f.read(), b"the host's own\n")
                    with open(os.path.join(s.fotos, "F-2.JPG"), "rb") as f:
                        self.assertEqual(f.read(), generated(NAME, SIZE))
                    self.assertEqual(sorted(os.listdir(s.fotos)), ["F-2.JPG", NAME])

    def test_a_partial_file_swapped_before_the_rename_is_never_announced(self):
        for rules in ("renameat2:1:CAMBIA", "renameat2:*:EINVAL,link:1:CAMBIA"):
            with self.subTest(rules):
                card = Tarjeta()
                s = faulty_session(card, rules)
                outside = os.path.join(s.root, "secret")
                with open(outside, "wb") as f:
                    f.write(b"secret\n")
                s.env["GPB_FALLOS_AJENO"] = outside
                with s:
                    s.open_camera()
                    card.control(d("shoot", "/capt", NAME, SIZE))
                    s.expect(CARPETA)
                    s.expect_event("ajustes")
                    s.send("cerrar")
                    s.expect(ORDEN)
                    self.assertEqual(card.calls("delete"), [])
                    with open(outside, "rb") as f:
                        self.assertEqual(f.read(), b"secret\n")

    def test_a_partial_file_that_cannot_be_removed_is_reused_later(self):
        card = Tarjeta()
        with faulty_session(card, "write:1:ENOSPC,unlink:1:EIO") as s:
            s.open_camera()
            card.control(d("shoot", "/capt", NAME, SIZE))
            s.expect(error("bajar la foto", -35))
            s.expect_event("ajustes")
            self.assertEqual(os.listdir(s.fotos), [NAME + ".parcial"])
            self.assertEqual(card.calls("delete"), [])
            card.control(d("shoot", "/capt", NAME, SIZE))
            s.expect(foto(s.fotos, NAME))
            self.assertEqual(os.listdir(s.fotos), [NAME])
            with open(os.path.join(s.fotos, NAME), "rb") as f:
                self.assertEqual(f.read(), generated(NAME, SIZE))


class ForeignOwner(CameraTest):
    # On a filesystem mounted with a fixed uid (a FAT card or stick), or an
    # NFS export that squashes root, the files the bridge creates show
    # another owner than the one it runs as.
    def test_files_the_bridge_creates_count_as_its_own(self):
        card = Tarjeta()
        s = faulty_session(card, "")
        s.env["GPB_FALLOS_UID"] = "54321"
        with s:
            s.open_camera()
            for saved in (NAME, "F-2.JPG"):
                card.control(d("shoot", "/capt", NAME, SIZE))
                s.expect(foto(s.fotos, saved))
                s.expect_event("ajustes")
                with open(os.path.join(s.fotos, saved), "rb") as f:
                    self.assertEqual(f.read(), generated(NAME, SIZE))
            self.assertEqual(sorted(os.listdir(s.fotos)), ["F-2.JPG", NAME])
            # A leftover partial file then counts as a stranger's: left as it
            # is, and the photo takes the next name.
            with open(os.path.join(s.fotos, "G.JPG.parcial"), "wb") as f:
                f.write(b"half\n")
            card.control(d("shoot", "/capt", "G.JPG", SIZE))
            s.expect(foto(s.fotos, "G-2.JPG"))
            s.expect_event("ajustes")
            with open(os.path.join(s.fotos, "G.JPG.parcial"), "rb") as f:
                self.assertEqual(f.read(), b"half\n")
            s.send("vista 1")
            s.expect_event("vista")
            s.send("vista 0")
        self.assertEqual(len(card.calls("delete")), 3)


class DurabilityOrder(CameraTest):
    def test_data_flush_rename_folder_flush_then_camera_delete(self):
        card = Tarjeta()
        with faulty_session(card, "", trace="trace") as s:
            s.open_camera()
            card.control(d("shoot", "/capt", NAME, SIZE))
            s.expect(foto(s.fotos, NAME))
            s.expect_event("ajustes")
            with open(os.path.join(s.root, "trace")) as f:
                trace = [line.split() for line in f]
        final = os.path.join(s.fotos, NAME)
        partial = final + ".parcial"
        writes = [float(t[0]) for t in trace if t[1] == "write" and t[2] == partial]
        self.assertGreater(sum(int(t[3]) for t in trace if t[1] == "write"), SIZE - 1)

        def when(op, *paths):
            hits = [float(t[0]) for t in trace if t[1] == op and tuple(t[2:-1]) == paths]
            self.assertEqual(len(hits), 1, f"{op} {paths} in {trace}")
            return hits[0]

        deletes = [stamp for stamp, op, fields in card.log() if op == "delete"]
        self.assertEqual(len(deletes), 1)
        steps = [max(writes), when("fsync", partial), when("renameat2", partial, final),
                 when("fsync", s.fotos), deletes[0]]
        self.assertEqual(steps, sorted(steps), "data, flush, rename, folder flush, delete")
        self.assertEqual(len(set(steps)), len(steps))


if __name__ == "__main__":
    unittest.main()
