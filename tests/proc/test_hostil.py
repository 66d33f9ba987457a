"""A hostile or failing environment: objects planted in the folders the
bridge writes to, camera names that collide with the bridge's own files,
full filesystems, limits, odd descriptors and a wall clock that steps back.
Whatever happens, nothing outside the folders changes, the bridge keeps
answering, and every photo is whole in the folder or still on the camera."""

import json
import os
import resource
import socket
import stat
import subprocess
import time
import unittest

from puente import (GPBRIDGE, CameraTest, Sesion, Tarjeta, directive as d, error, generated,
                    preload)

ORDEN = '{"e":"cerrada","motivo":"orden"}'
SECRET = b"not the bridge's to touch\n"
FOREIGN_UID = 65534  # nobody


def foto(folder, name):
    return json.dumps({"e": "foto", "ruta": os.path.join(folder, name), "nombre": name},
                      separators=(",", ":"))


def refused_then_saved(s, card, refused, status, saved):
    """A photo the download refuses with `status`, then one it saves; both
    announced with their `ajustes`."""
    card.control(d("shoot", "/capt", refused, 300000))
    s.expect(error("bajar la foto", status))
    s.expect_event("ajustes")
    card.control(d("shoot", "/capt", saved, 4000))
    s.expect(foto(s.fotos, saved))
    s.expect_event("ajustes")
    with open(os.path.join(s.fotos, saved), "rb") as f:
        assert f.read() == generated(saved, 4000)


def snapshot(path):
    """What a planted object is, as far as the bridge could change it."""
    st = os.lstat(path)
    content = None
    if stat.S_ISREG(st.st_mode):
        with open(path, "rb") as f:
            content = f.read()
    elif stat.S_ISLNK(st.st_mode):
        content = os.readlink(path)
    return (stat.S_IFMT(st.st_mode), st.st_ino, st.st_uid, content)


def plant_fifo(path, outside):
    os.mkfifo(path)


def plant_symlink(path, outside):
    os.symlink(outside, path)


def plant_dangling_symlink(path, outside):
    os.symlink(outside + ".missing", path)


def plant_hard_link(path, outside):
    os.link(outside, path)


def plant_directory(path, outside):
    os.mkdir(path)


def plant_socket(path, outside):
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(path)
    sock.close()


def plant_foreign_file(path, outside):
    with open(path, "wb") as f:
        f.write(SECRET)
    os.chown(path, FOREIGN_UID, FOREIGN_UID)


PLANTS = [plant_fifo, plant_symlink, plant_dangling_symlink, plant_hard_link, plant_directory,
          plant_socket, plant_foreign_file]


class PlantedObjects(CameraTest):
    def outside_file(self, s):
        os.makedirs(os.path.join(s.root, "outside"))
        path = os.path.join(s.root, "outside", "secret")
        with open(path, "wb") as f:
            f.write(SECRET)
        return path

    def test_objects_at_the_partial_name_are_taken_names(self):
        for plant in PLANTS:
            with self.subTest(plant.__name__):
                card = Tarjeta()
                with Sesion([card]) as s:
                    outside = self.outside_file(s)
                    planted = os.path.join(s.fotos, "IMG_0001.JPG.parcial")
                    plant(planted, outside)
                    before = snapshot(planted)
                    s.open_camera()
                    card.control(d("shoot", "/capt", "IMG_0001.JPG", 70000))
                    s.expect(foto(s.fotos, "IMG_0001-2.JPG"), timeout=5)
                    s.expect_event("ajustes")
                    s.send("cerrar")
                    s.expect(ORDEN)
                    final = os.path.join(s.fotos, "IMG_0001-2.JPG")
                    self.assertTrue(stat.S_ISREG(os.lstat(final).st_mode))
                    with open(final, "rb") as f:
                        self.assertEqual(f.read(), generated("IMG_0001.JPG", 70000))
                    with open(outside, "rb") as f:
                        self.assertEqual(f.read(), SECRET)
                    self.assertEqual(snapshot(planted), before)
                    self.assertFalse(os.path.lexists(os.path.join(s.fotos, "IMG_0001.JPG")))

    def test_objects_at_the_frame_name_never_stop_live_view(self):
        def plant_own_leftover(path, outside):
            with open(path, "wb") as f:
                f.write(b"half a frame")

        for plant in PLANTS + [plant_own_leftover]:
            with self.subTest(plant.__name__):
                with Sesion([Tarjeta()], args=["live"]) as s:
                    outside = self.outside_file(s)
                    live = os.path.join(s.root, "live")
                    os.makedirs(live)
                    planted = os.path.join(live, "vista.tmp")
                    plant(planted, outside)
                    before = snapshot(planted)
                    s.open_camera()
                    s.send("vista 1")
                    for n in (1, 2, 3):
                        self.assertEqual(s.expect_event("vista", timeout=5)["n"], n)
                    s.send("vista 0")
                    s.drain("vista")
                    published = os.path.join(live, "vista.jpg")
                    self.assertTrue(stat.S_ISREG(os.lstat(published).st_mode))
                    with open(published, "rb") as f:
                        self.assertEqual(f.read(2), b"\xff\xd8")
                    with open(outside, "rb") as f:
                        self.assertEqual(f.read(), SECRET)
                    if plant is plant_own_leftover:
                        self.assertFalse(os.path.lexists(planted))
                    else:
                        self.assertEqual(snapshot(planted), before)
                    # Whatever name stood in for vista.tmp is gone again.
                    self.assertEqual(sorted(set(os.listdir(live)) - {"vista.tmp"}),
                                     ["vista.jpg"])
                    s.send("cerrar")
                    s.expect(ORDEN)


class OwnNames(CameraTest):
    def test_a_photo_named_like_a_partial_file_stays_on_the_camera(self):
        card = Tarjeta()
        with Sesion([card]) as s:
            s.open_camera()
            refused_then_saved(s, card, "IMG_0001.JPG.parcial", -2, "IMG_0001.JPG")
        deleted = [(f[0], f[1]) for f in card.calls("delete")]
        self.assertEqual(deleted, [("/capt", "IMG_0001.JPG")])

    def test_live_view_names_are_refused_only_in_the_live_view_directory(self):
        card = Tarjeta()
        with Sesion([card], args=["."]) as s:
            s.open_camera(folder=s.root)
            for name in ("vista.jpg", "vista.tmp", "vista.tmp.12"):
                card.control(d("shoot", "/capt", name, 3000))
                s.expect(error("bajar la foto", -2))
                s.expect_event("ajustes")
            s.send("vista 1")
            s.expect_event("vista")
            s.send("vista 0")
            s.drain("vista")
            # Another folder: the same name is an ordinary photo.
            s.send("abrir 0 " + s.fotos)
            s.expect(json.dumps({"e": "cerrada", "motivo": "otra"}, separators=(",", ":")))
            s.expect_event("abierta")
            s.expect_event("ajustes")
            card.control(d("shoot", "/capt", "vista.jpg", 3000))
            s.expect(foto(s.fotos, "vista.jpg"))
        deleted = [(f[0], f[1]) for f in card.calls("delete")]
        self.assertEqual(deleted, [("/capt", "vista.jpg")])


class FullAndLimited(CameraTest):
    def test_frames_that_do_not_fit_are_never_announced(self):
        s = Sesion([Tarjeta()])
        live = os.path.join(s.root, "live-tmpfs")
        s.tmpfs = [(live, "64k")]
        s.args = [live]
        with s:
            s.open_camera()
            # The tmpfs exists only in the bridge's namespace; reach it there.
            inside = f"/proc/{s.proc.pid}/root{live}"
            filler = os.path.join(inside, "filler")
            fd = os.open(filler, os.O_WRONLY | os.O_CREAT, 0o644)
            try:
                while os.write(fd, b"\0" * 4096):
                    pass
            except OSError:
                pass
            finally:
                os.close(fd)
            s.send("vista 1")
            s.expect_nothing(1.0)
            self.assertEqual(sorted(os.listdir(inside)), ["filler"])
            os.unlink(filler)
            for _ in range(5):
                ev = s.expect_event("vista")
                with open(os.path.join(inside, "vista.jpg"), "rb") as f:
                    self.assertEqual(f.read(2), b"\xff\xd8")
            s.send("vista 0")
            s.drain("vista")
            s.send("cerrar")
            s.expect(ORDEN)

    def test_a_photo_over_the_file_size_limit_is_a_failed_download(self):
        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (100000, 100000))

        card = Tarjeta()
        with Sesion([card], preexec=limit) as s:
            s.open_camera()
            refused_then_saved(s, card, "BIG.JPG", -35, "SMALL.JPG")
            s.send("cerrar")
            s.expect(ORDEN)
            self.assertEqual(os.listdir(s.fotos), ["SMALL.JPG"])
            s.close_input()
            self.assertEqual(s.wait(), 0)
        deleted = [(f[0], f[1]) for f in card.calls("delete")]
        self.assertEqual(deleted, [("/capt", "SMALL.JPG")])


class ProcessEnvironment(CameraTest):
    def test_closed_standard_input_is_the_end_of_input(self):
        proc = subprocess.Popen(["sh", "-c", 'exec "$0" 0<&-', GPBRIDGE],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            out, err = proc.communicate(timeout=10)
        finally:
            proc.kill()
        self.assertEqual((proc.returncode, out, err), (0, b"", b""))

    def test_closed_standard_output_never_lands_in_a_file(self):
        card = Tarjeta()
        with Sesion([card], pump=False, preexec=lambda: os.close(1)) as s:
            s.send("abrir 0 " + s.fotos)
            card.control(d("shoot", "/capt", "O.JPG", 50000))
            path = os.path.join(s.fotos, "O.JPG")
            deadline = time.monotonic() + 10
            while not card.calls("delete") and time.monotonic() < deadline:
                time.sleep(0.05)
            s.send("vista 1")
            time.sleep(0.3)
            s.send("salir")
            self.assertEqual(s.wait(), 0)
            with open(path, "rb") as f:
                self.assertEqual(f.read(), generated("O.JPG", 50000))
            for folder, _, files in os.walk(s.root):
                for name in files:
                    with open(os.path.join(folder, name), "rb") as f:
                        self.assertNotIn(b'{"e":', f.read(), os.path.join(folder, name))

    def test_descriptors_of_a_download_are_closed_on_exec(self):
        card = Tarjeta([d("chunkdelay", 100000)])
        with Sesion([card]) as s:
            s.open_camera()
            card.control(d("shoot", "/capt", "X.JPG", 2000000))
            seen = {}
            deadline = time.monotonic() + 10
            while len(seen) < 2 and time.monotonic() < deadline:
                fds = f"/proc/{s.proc.pid}/fd"
                for fd in os.listdir(fds):
                    try:
                        target = os.readlink(os.path.join(fds, fd))
                        with open(f"/proc/{s.proc.pid}/fdinfo/{fd}") as f:
                            flags = int(f.read().split("flags:")[1].split()[0], 8)
                    except (OSError, IndexError):
                        continue
                    if target.startswith(s.fotos):
                        seen[int(fd)] = flags
                time.sleep(0.02)
            s.expect_event("foto", timeout=30)
        # The partial file and the bridge's own duplicate of it.
        self.assertGreaterEqual(len(seen), 2, seen)
        for fd, flags in seen.items():
            self.assertTrue(flags & os.O_CLOEXEC, f"descriptor {fd} is inherited across exec")

    def test_wall_clock_stepping_back_keeps_the_idle_report(self):
        card = Tarjeta()
        s = Sesion([card])
        marker = os.path.join(s.root, "clock-back")
        s.env = preload(os.environ["RELOJ_SO"], GPB_RELOJ_MARCA=marker, GPB_RELOJ_ATRAS=3600)
        with s:
            s.open_camera()
            with open(marker, "w"):
                pass
            # The clock now reads an hour earlier; the idle report goes on.
            s.expect_event("ajustes", timeout=6)
            s.expect_event("ajustes", timeout=6)


if __name__ == "__main__":
    unittest.main()
