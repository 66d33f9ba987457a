"""Photo download: names, partial files, deletion, failures, and the rule
that a photo is always either complete in the folder or still on the camera."""

import json
import os
import tempfile
import threading
import time
import unittest

from puente import CameraTest, Sesion, Tarjeta, directive as d, error, generated

STORE = "/store_00010001/DCIM/100SIMUL"


def foto(folder, name):
    path = os.path.join(folder, name)
    return json.dumps({"e": "foto", "ruta": path, "nombre": name}, separators=(",", ":"))


class Download(CameraTest):
    def deleted(self, card):
        return [(f[0], f[1]) for f in card.calls("delete")]

    def assert_safe(self, s, card, folder, name, size, foreign=()):
        """The photo is complete and byte-identical under some name in the
        download folder, or it is still on the camera; never neither, and
        no file under a final name is incomplete."""
        want = generated(name, size)
        kept = []
        for entry in os.listdir(s.fotos):
            if entry.endswith(".parcial") or entry in foreign:
                continue
            with open(os.path.join(s.fotos, entry), "rb") as f:
                data = f.read()
            if entry.startswith(os.path.splitext(name)[0]):
                self.assertEqual(data, want, f"{entry} is not the photo, whole")
                kept.append(entry)
        on_camera = (folder, name) not in self.deleted(card)
        self.assertTrue(kept or on_camera, f"{name} was lost")

    def test_body_photos_in_store_folders_stay_on_camera(self):
        card = Tarjeta()
        with Sesion([card]) as s:
            s.open_camera()
            card.control(d("shoot", STORE, "IMG_0001.JPG", 5000))
            s.expect(foto(s.fotos, "IMG_0001.JPG"))
            s.expect_event("ajustes")
            with open(os.path.join(s.fotos, "IMG_0001.JPG"), "rb") as f:
                self.assertEqual(f.read(), generated("IMG_0001.JPG", 5000))
            self.assertEqual(os.stat(os.path.join(s.fotos, "IMG_0001.JPG")).st_mode & 0o777, 0o644)
            self.assertEqual(self.deleted(card), [])

    def test_photos_elsewhere_are_deleted_after_success(self):
        card = Tarjeta()
        with Sesion([card]) as s:
            s.open_camera()
            card.control(d("shoot", "/", "A.JPG", 10), d("shoot", "/capt", "B.JPG", 10),
                         d("shoot", "/store", "C.JPG", 10))
            for name in ("A.JPG", "B.JPG", "C.JPG"):
                s.expect(foto(s.fotos, name))
                s.expect_event("ajustes")
        self.assertEqual(self.deleted(card), [("/", "A.JPG"), ("/capt", "B.JPG"),
                                              ("/store", "C.JPG")])

    def test_collision_names(self):
        card = Tarjeta()
        cases = [("IMG_0001.JPG", ["IMG_0001.JPG", "IMG_0001-2.JPG", "IMG_0001-3.JPG"]),
                 ("README", ["README", "README-2"]),
                 ("a.b.c.jpg", ["a.b.c.jpg", "a.b.c-2.jpg"]),
                 (".hidden", [".hidden", "-2.hidden"])]
        with Sesion([card]) as s:
            s.open_camera()
            for name, expected in cases:
                for i, final in enumerate(expected):
                    card.control(d("shoot", f"/{i}", name, 100 + i))
                    s.expect(foto(s.fotos, final))
                    s.expect_event("ajustes")
                    with open(os.path.join(s.fotos, final), "rb") as f:
                        self.assertEqual(f.read(), generated(name, 100 + i))

    def test_leftover_partial_file_is_reused(self):
        card = Tarjeta()
        with Sesion([card]) as s:
            with open(os.path.join(s.fotos, "P.JPG.parcial"), "wb") as f:
                f.write(b"x" * 100000)
            s.open_camera()
            card.control(d("shoot", "/capt", "P.JPG", 300))
            s.expect(foto(s.fotos, "P.JPG"))
            self.assertEqual(sorted(os.listdir(s.fotos)), ["P.JPG"])
            with open(os.path.join(s.fotos, "P.JPG"), "rb") as f:
                self.assertEqual(f.read(), generated("P.JPG", 300))

    @unittest.skipUnless(os.access("/", os.W_OK), "writes a photo into /, which only root may")
    def test_empty_folder_writes_at_the_root(self):
        card = Tarjeta()
        name = f"gpbridge-test-{os.getpid()}.jpg"
        try:
            with Sesion([card]) as s:
                s.open_camera(folder="")
                card.control(d("shoot", STORE, name, 10))
                s.expect(json.dumps({"e": "foto", "ruta": "/" + name, "nombre": name},
                                    separators=(",", ":")))
        finally:
            if os.path.exists("/" + name):
                os.unlink("/" + name)

    def test_unwritable_folder_keeps_the_photo(self):
        card = Tarjeta()
        with Sesion([card]) as s:
            s.open_camera(folder=os.path.join(s.root, "missing"))
            card.control(d("shoot", "/capt", "M.JPG", 10))
            s.expect('{"e":"error","texto":"No se puede guardar en la carpeta"}')
            s.expect_event("ajustes")
        self.assertEqual(self.deleted(card), [])

    def test_failed_download_removes_partial_and_keeps_photo(self):
        card = Tarjeta([d("downloadfail", "F.JPG", -7, 70000)])
        with Sesion([card]) as s:
            s.open_camera()
            card.control(d("shoot", "/capt", "F.JPG", 200000))
            s.expect(error("bajar la foto", -7))
            s.expect_event("ajustes")
            self.assertEqual(os.listdir(s.fotos), [])
            # The same photo, announced again once the fault is gone, arrives whole.
            card.control(d("downloadok", "F.JPG"), d("event", "file_added", "/capt", "F.JPG"))
            s.expect(foto(s.fotos, "F.JPG"))
            self.assert_safe(s, card, "/capt", "F.JPG", 200000)

    def test_hostile_names_are_refused(self):
        card = Tarjeta()
        with Sesion([card]) as s:
            s.open_camera()
            for name in ("../x.jpg", "a/b.jpg", ".", "..", ""):
                card.control(d("event", "file_added", "/capt", name))
                s.expect(error("bajar la foto", -2))
                s.expect_event("ajustes")
            self.assertEqual(os.listdir(s.fotos), [])
            self.assertFalse(os.path.exists(os.path.join(s.root, "x.jpg")))
        self.assertEqual(card.calls("get_file"), [])

    def test_disk_full(self):
        card = Tarjeta()
        # The mount point must exist outside the namespace too, so it is a
        # folder of this test's own, gone with it.
        with tempfile.TemporaryDirectory(prefix="gpbridge-full-") as small, \
                Sesion([card], tmpfs=[(small, "256k")]) as s:
            s.open_camera(folder=small)
            card.control(d("shoot", "/capt", "BIG.JPG", 1 << 20))
            ev = json.loads(s.event())
            self.assertEqual(ev["e"], "error")
            self.assertTrue(ev["texto"].startswith("bajar la foto: ") or
                            ev["texto"] == "No se puede guardar en la carpeta", ev)
            s.expect_event("ajustes")
            card.control(d("shoot", "/capt", "SMALL.JPG", 1000))
            s.expect(foto(small, "SMALL.JPG"))
            listing = os.listdir(f"/proc/{s.proc.pid}/root{small}")
            self.assertEqual(sorted(listing), ["SMALL.JPG"])
        self.assertEqual(self.deleted(card), [("/capt", "SMALL.JPG")])

    def test_never_overwrites_a_file_that_appears_during_the_download(self):
        card = Tarjeta([d("chunkdelay", 20000)])
        with Sesion([card]) as s:
            s.open_camera()
            card.control(d("shoot", "/capt", "R.JPG", 64 * 1024 * 40))
            partial = os.path.join(s.fotos, "R.JPG.parcial")
            deadline = time.monotonic() + 10
            while not os.path.exists(partial) and time.monotonic() < deadline:
                time.sleep(0.005)
            with open(os.path.join(s.fotos, "R.JPG"), "wb") as f:
                f.write(b"someone else's")
            s.expect(foto(s.fotos, "R-2.JPG"))
            with open(os.path.join(s.fotos, "R.JPG"), "rb") as f:
                self.assertEqual(f.read(), b"someone else's")
            self.assert_safe(s, card, "/capt", "R.JPG", 64 * 1024 * 40, foreign=["R.JPG"])

    def test_partial_file_held_by_another_process_is_left_alone(self):
        import fcntl
        card = Tarjeta()
        with Sesion([card]) as s:
            held = os.path.join(s.fotos, "H.JPG.parcial")
            with open(held, "wb") as other:
                other.write(b"another bridge's download")
                other.flush()
                fcntl.flock(other, fcntl.LOCK_EX)
                s.open_camera()
                card.control(d("shoot", "/capt", "H.JPG", 500))
                s.expect(foto(s.fotos, "H-2.JPG"))
            with open(held, "rb") as f:
                self.assertEqual(f.read(), b"another bridge's download")
            with open(os.path.join(s.fotos, "H-2.JPG"), "rb") as f:
                self.assertEqual(f.read(), generated("H.JPG", 500))

    def test_every_suffix_taken(self):
        card = Tarjeta()
        with Sesion([card]) as s:
            for i in range(1, 100000):
                open(os.path.join(s.fotos, "T.JPG" if i == 1 else f"T-{i}.JPG"), "w").close()
            s.open_camera()
            card.control(d("shoot", "/capt", "T.JPG", 10))
            s.expect('{"e":"error","texto":"No se puede guardar en la carpeta"}', timeout=30)
            self.assertFalse(os.path.exists(os.path.join(s.fotos, "T.JPG.parcial")))
        self.assertEqual(self.deleted(card), [])

    def test_input_closed_during_a_download(self):
        card = Tarjeta([d("chunkdelay", 10000)])
        with Sesion([card]) as s:
            s.open_camera()
            card.control(d("shoot", "/capt", "E.JPG", 64 * 1024 * 30))
            deadline = time.monotonic() + 10
            while not card.calls("get_file") and time.monotonic() < deadline:
                time.sleep(0.005)
            s.close_input()
            s.expect(foto(s.fotos, "E.JPG"))
            s.expect_event("ajustes")
            s.expect('{"e":"cerrada","motivo":"orden"}', None)
            self.assertEqual(s.wait(), 0)
            self.assert_safe(s, card, "/capt", "E.JPG", 64 * 1024 * 30)

    def test_unplugged_during_download(self):
        card = Tarjeta([d("downloadfail", "U.JPG", -7, 100000)])
        with Sesion([card]) as s:
            s.open_camera()
            card.control(d("shoot", "/capt", "U.JPG", 300000))
            s.expect(error("bajar la foto", -7))
            card.control(d("unplug", -7))
            ev = s.expect_event("cerrada", skip=("ajustes",))
            self.assertEqual(ev["motivo"], "desconectada")
            self.assertEqual(os.listdir(s.fotos), [])
        self.assertEqual(self.deleted(card), [])


if __name__ == "__main__":
    unittest.main()
