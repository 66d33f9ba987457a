"""gpbridge-sim, and the simulated camera without root: a host spawns
gpbridge-sim in place of the bridge and drives its cameras by name; the
card folders go away however the bridge ends; ns-run and gpbridge-sim work
for an ordinary user through a user namespace."""

import json
import os
import pwd
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

import esquema
from puente import CAMLIBS_DIR, GPBRIDGE, MODEL, NS_RUN, Sesion, generated

SIM = os.path.join(os.path.dirname(GPBRIDGE), "gpbridge-sim")
SETTINGS = '{"e":"ajustes","iso":"100","diafragma":"f/5.6","velocidad":"1/125","bateria":"100%"}'


def camaras(*ports):
    return json.dumps({"e": "camaras", "lista": [{"modelo": MODEL, "puerto": p} for p in ports]},
                      separators=(",", ":"))


class SimBridge(Sesion):
    """gpbridge-sim started the way a host starts the bridge, with its card
    folders under `<root>/sim`, run by `user` (a command prefix) if given."""

    def __init__(self, cameras=(), args=(), sim=SIM, user=(), env=None):
        super().__init__(namespace=False)
        self.dir = os.path.join(self.root, "sim")
        self.sim, self.user, self.env = sim, list(user), env
        self.cmd = self.user + [sim, "--dir", self.dir]
        for camera in cameras:
            self.cmd += ["--camera", camera]
        self.cmd += list(args)
        os.makedirs(os.path.join(self.root, "live"))

    def start(self):
        self.proc = subprocess.Popen(self.cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, cwd=self.root, env=self.env)
        threading.Thread(target=self._pump, daemon=True).start()

    def tool(self, *args):
        """One gpbridge-sim command for this bridge's cameras."""
        return subprocess.run(self.user + [self.sim, "--dir", self.dir] + list(args),
                              capture_output=True, text=True, timeout=30, env=self.env)

    def do(self, *args):
        r = self.tool(*args)
        assert (r.returncode, r.stdout, r.stderr) == (0, "", ""), (args, r)

    def __exit__(self, *exc):
        self.stop()
        try:  # let the watcher finish before the folder is removed
            self.wait_for_cleanup()
        except (AssertionError, FileNotFoundError):
            pass
        super().__exit__(*exc)

    def expect_skipping_settings(self, *lines, skip=("ajustes",)):
        """Expects these lines, letting settings reports (which the bridge
        also sends every few seconds on its own) come before each."""
        for line in lines:
            got = self.event()
            while got != line and got is not None and json.loads(got)["e"] in skip:
                got = self.event()
            if got != line:
                raise AssertionError(f"expected {line!r}\n     got {got!r}")

    def wait_for_cleanup(self, timeout=10):
        """The card folders are removed once the bridge has ended."""
        deadline = time.monotonic() + timeout
        while os.listdir(self.dir):
            if time.monotonic() > deadline:
                raise AssertionError(f"card folders left behind: {os.listdir(self.dir)}")
            time.sleep(0.05)


def tour(test, s):
    """What a host developer does with one camera, cam1: every command, each
    checked byte for byte. `s` runs with the live-view directory `live`."""
    s.send("buscar")
    s.expect(camaras(f"disk:{s.dir}/cam1"))
    s.open_camera(folder="fotos")

    s.do("shoot", "cam1")
    s.expect_skipping_settings('{"e":"foto","ruta":"fotos/SIM_0001.JPG","nombre":"SIM_0001.JPG"}')
    with open(os.path.join(s.fotos, "SIM_0001.JPG"), "rb") as f:
        test.assertEqual(f.read(), generated("SIM_0001.JPG", 100000))

    own = os.path.join(s.root, "my photo.jpg")
    with open(own, "wb") as f:
        f.write(b"\xff\xd8 a photo of my own \xff\xd9")
    s.do("shoot", "cam1", own)  # read at download time, under its own name
    s.expect_skipping_settings('{"e":"foto","ruta":"fotos/my photo.jpg","nombre":"my photo.jpg"}')
    with open(os.path.join(s.fotos, "my photo.jpg"), "rb") as f:
        test.assertEqual(f.read(), b"\xff\xd8 a photo of my own \xff\xd9")

    s.do("faildownload", "cam1")
    s.send("disparar")
    s.expect_skipping_settings('{"e":"error","texto":"bajar la foto: I/O problem"}', SETTINGS)
    test.assertEqual(sorted(os.listdir(s.fotos)), ["SIM_0001.JPG", "my photo.jpg"])
    s.send("disparar")  # only the next one fails
    s.expect_skipping_settings('{"e":"foto","ruta":"fotos/IMG_0001.JPG","nombre":"IMG_0001.JPG"}')

    s.send("vista 1")  # the live-view argument reached the bridge
    s.expect_skipping_settings('{"e":"vista","ruta":"live/vista.jpg","n":1}')
    s.do("control", "cam1", "preview", "fail", "-7")
    s.expect_skipping_settings('{"e":"error","texto":"vista en directo: I/O problem"}',
                               '{"e":"vistaFin"}', skip=("vista",))
    s.do("unplug", "cam1")
    s.expect_skipping_settings('{"e":"cerrada","motivo":"desconectada"}', skip=("ajustes", "vista"))
    s.close_input()
    test.assertEqual(s.wait(), 0)
    s.expect(None)
    s.wait_for_cleanup()
    r = s.tool("shoot", "cam1")
    test.assertEqual(r.returncode, 1)
    test.assertIn("no running camera 'cam1'", r.stderr)


def namespaces_or_fail():
    r = subprocess.run([NS_RUN, "--", "true"], capture_output=True)
    if r.returncode != 0:
        raise AssertionError("cannot run camera tests: " + r.stderr.decode().strip())


class Tool(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        namespaces_or_fail()

    def test_a_host_drives_the_camera_by_name(self):
        with SimBridge(args=["live"]) as s:
            tour(self, s)

    def test_several_cameras_one_bridge_per_folder_and_cleanup_after_a_kill(self):
        scenario = tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False)
        self.addCleanup(os.unlink, scenario.name)
        with scenario:
            scenario.write("widget\tiso\tradio\t400\t100\t400\n")
        with SimBridge(["front", f"back={scenario.name}"]) as s:
            s.send("buscar")
            s.expect(camaras(f"disk:{s.dir}/front", f"disk:{s.dir}/back"))
            s.send(f"abrir 1 {s.fotos}")  # the scenario belongs to back only
            s.expect(f'{{"e":"abierta","modelo":"{MODEL}"}}',
                     SETTINGS.replace('"iso":"100"', '"iso":"400"'))
            r = s.tool("list")
            self.assertEqual((r.returncode, r.stdout),
                             (0, f"back disk:{s.dir}/back\nfront disk:{s.dir}/front\n"))

            second = subprocess.run([SIM, "--dir", s.dir], input=b"buscar\n",
                                    capture_output=True, timeout=30)
            self.assertEqual((second.returncode, second.stdout), (1, b""))
            self.assertIn(b"another gpbridge-sim is running in", second.stderr)

            s.do("shoot", "front")  # not the open camera: no photo arrives
            s.drain("ajustes", quiet=0.6)
            for args, message in [(("shoot", "side"), "no running camera 'side'"),
                                  (("unplug", "../front"), "bad camera name"),
                                  (("control", "front"), "usage:")]:
                r = s.tool(*args)
                self.assertNotEqual(r.returncode, 0, args)
                self.assertIn(message, r.stderr, args)

            s.proc.send_signal(signal.SIGKILL)  # no chance to clean up itself
            s.proc.wait(10)
            s.wait_for_cleanup()

        with SimBridge() as s:  # the folder is free again
            s.send("buscar")
            s.expect(camaras(f"disk:{s.dir}/cam1"))
            s.close_input()
            self.assertEqual(s.wait(), 0)
            s.wait_for_cleanup()
            # A start that fails half-way leaves no card behind.
            r = subprocess.run([SIM, "--dir", s.dir, "--camera", "ok", "--camera", "bad=/nonexistent"],
                               capture_output=True, timeout=30)
            self.assertEqual(r.returncode, 1)
            self.assertIn(b"cannot read the scenario /nonexistent", r.stderr)
            self.assertEqual(os.listdir(s.dir), [])

    def test_unplug_takes_the_camera_away_until_plug(self):
        with SimBridge(["cam1", "cam2"]) as s:
            for folder in ("uno", "dos"):
                os.makedirs(os.path.join(s.root, folder))
            both = camaras(f"disk:{s.dir}/cam1", f"disk:{s.dir}/cam2")
            only1, only2 = camaras(f"disk:{s.dir}/cam1"), camaras(f"disk:{s.dir}/cam2")

            def photo(folder, name):
                return f'{{"e":"foto","ruta":"{folder}/{name}","nombre":"{name}"}}'

            def open_fails(index):
                s.send(f"abrir {index} {s.fotos}")
                while True:  # after cerrada otra if a camera was open
                    ev = s.expect_event("error", skip=("ajustes", "cerrada"))
                    if ev["texto"].startswith("abrir: "):
                        return

            # An open camera: the running session is cut off as before, and
            # the camera leaves the list until it is plugged back in.
            s.send("buscar")
            s.expect(both)
            s.open_camera(0, folder="uno")
            s.do("unplug", "cam1")
            s.expect_skipping_settings('{"e":"cerrada","motivo":"desconectada"}')
            s.send("buscar")
            s.expect(only2)
            open_fails(1)  # the index cam1 had
            s.do("plug", "cam1")
            s.send("buscar")
            s.expect(both)
            s.open_camera(0, folder="uno")
            s.send("disparar")
            s.expect_skipping_settings(photo("uno", "IMG_0001.JPG"))

            # A closed camera: it cannot be opened while away, and opens
            # normally once back (the unplug it never felt is undone).
            s.do("unplug", "cam2")
            s.send("buscar")
            s.expect_skipping_settings(only1)
            open_fails(1)
            # No session was ever started on it (a session logs its init).
            self.assertFalse(os.path.exists(os.path.join(s.dir, "cam2/sim/log")))
            s.do("plug", "cam2")
            s.send("buscar")
            s.expect(both)
            s.open_camera(1, folder="dos")
            s.send("disparar")
            s.expect_skipping_settings(photo("dos", "IMG_0001.JPG"))

            for args in (("unplug", "cam2", "x"), ("unplug", "cam2", "7"), ("plug", "cam2", "-7")):
                r = s.tool(*args)
                self.assertEqual(r.returncode, 2, args)

            # Left unplugged (DCIM set aside): the cards still go at the end.
            s.do("unplug", "cam2", "-7")
            s.expect_skipping_settings('{"e":"cerrada","motivo":"desconectada"}')
            self.assertFalse(os.path.exists(os.path.join(s.dir, "cam2/DCIM")))
            s.close_input()
            self.assertEqual(s.wait(), 0)
            s.wait_for_cleanup()


class OrdinaryUser(unittest.TestCase):
    """The simulated camera run by a user other than root: nobody when the
    tests run as root, else the user running them. The bridge, the driver
    and the tools are copied where that user can reach them."""

    @classmethod
    def setUpClass(cls):
        cls.user = []
        if os.getuid() == 0:
            cls.user = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
        r = subprocess.run(cls.user + ["unshare", "-m", "-r", "true"], capture_output=True)
        if r.returncode != 0:
            raise unittest.SkipTest("unprivileged user namespaces are off here "
                                    f"(unshare -m -r: {r.stderr.decode().strip()})")
        cls.tree = tempfile.mkdtemp(prefix="gpbridge-user-")
        os.chmod(cls.tree, 0o755)
        os.makedirs(os.path.join(cls.tree, "camlibs"))
        shutil.copy(GPBRIDGE, os.path.join(cls.tree, "gpbridge"))
        shutil.copy(SIM, os.path.join(cls.tree, "gpbridge-sim"))
        shutil.copy(NS_RUN, os.path.join(cls.tree, "ns-run"))
        shutil.copy(os.path.join(CAMLIBS_DIR, "simcam.so"), os.path.join(cls.tree, "camlibs"))
        cls.env = dict(os.environ)
        cls.env.pop("XDG_RUNTIME_DIR", None)
        # A sanitizer build's suppression file must be readable too.
        lsan = cls.env.get("LSAN_OPTIONS", "")
        m = re.search(r"suppressions=([^:]+)", lsan)
        if m:
            shutil.copy(m.group(1), os.path.join(cls.tree, "lsan.supp"))
            cls.env["LSAN_OPTIONS"] = lsan.replace(m.group(1), os.path.join(cls.tree, "lsan.supp"))
        for dirpath, dirs, files in os.walk(cls.tree):
            for name in dirs + files:
                os.chmod(os.path.join(dirpath, name), 0o755)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tree, ignore_errors=True)

    def give(self, path):
        """Hands a folder made by the test to the user."""
        if self.user:
            who = pwd.getpwnam("nobody")
            for dirpath, dirs, files in os.walk(path):
                for name in [dirpath] + [os.path.join(dirpath, n) for n in dirs + files]:
                    os.chown(name, who.pw_uid, who.pw_gid)
        return os.stat(path).st_uid

    def test_ns_run_mounts_a_card_and_the_photo_belongs_to_the_user(self):
        root = tempfile.mkdtemp(prefix="gpbridge-test-")
        self.addCleanup(shutil.rmtree, root, True)
        for folder in ("card/DCIM", "card/sim", "fotos"):
            os.makedirs(os.path.join(root, folder))
        uid = self.give(root)
        r = subprocess.run(self.user + [os.path.join(self.tree, "ns-run"),
                                        "--card", f"{root}/mnt={root}/card", "--",
                                        "env", f"CAMLIBS={self.tree}/camlibs",
                                        os.path.join(self.tree, "gpbridge")],
                           input=f"buscar\nabrir 0 {root}/fotos\ndisparar\n".encode(),
                           capture_output=True, timeout=60, cwd=root, env=self.env)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        lines = r.stdout.decode().splitlines()
        for line in lines:
            esquema.validate_line(line)
        self.assertGreaterEqual(lines.count(SETTINGS), 2, lines)  # after abierta and foto
        self.assertEqual([line for line in lines if line != SETTINGS], [
            camaras(f"disk:{root}/mnt"),
            f'{{"e":"abierta","modelo":"{MODEL}"}}',
            f'{{"e":"foto","ruta":"{root}/fotos/IMG_0001.JPG","nombre":"IMG_0001.JPG"}}',
            '{"e":"cerrada","motivo":"orden"}'])
        photo = os.path.join(root, "fotos", "IMG_0001.JPG")
        with open(photo, "rb") as f:
            self.assertEqual(f.read(), generated("IMG_0001.JPG", 4096))
        self.assertEqual(os.stat(photo).st_uid, uid, "the photo must belong to the user outside")

    def test_gpbridge_sim(self):
        s = SimBridge(args=["live"], sim=os.path.join(self.tree, "gpbridge-sim"),
                      user=self.user, env=self.env)
        self.give(s.root)
        with s:
            tour(self, s)


class Rig(unittest.TestCase):
    """`gpbridge-sim rig`: cameras shared by every bridge started with the
    rig's folder, on the same ports in each, as behind one USB hub."""

    @classmethod
    def setUpClass(cls):
        namespaces_or_fail()

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="gpbridge-test-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.dir = os.path.join(self.root, "rig")

    def bridge(self):
        """A bridge started the way a host of the rig starts one."""
        b = SimBridge()
        b.dir = self.dir
        b.cmd = [SIM, "--dir", self.dir]
        b.wait_for_cleanup = lambda timeout=10: None  # the rig's cards outlive it
        return b

    def test_two_bridges_see_the_same_cameras_on_the_same_ports(self):
        rig = subprocess.Popen([SIM, "--dir", self.dir, "rig", "3"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
        try:
            listed = [rig.stdout.readline().split() for _ in range(3)]
            self.assertEqual([n for n, _ in listed], ["cam1", "cam2", "cam3"])
            ports = [p for _, p in listed]
            with self.bridge() as a, self.bridge() as b:
                def lists():
                    got = []
                    for s in (a, b):
                        s.send("buscar")
                        got.append([c["puerto"] for c in
                                    s.expect_event("camaras", skip=("ajustes",))["lista"]])
                    return got

                self.assertEqual(lists(), [ports, ports])
                a.send(f"abrir 1 {a.fotos}")
                a.expect_event("abierta")
                a.do("shoot", "cam2")
                self.assertEqual(a.expect_event("foto", skip=("ajustes",))["nombre"][:4], "SIM_")
                a.do("unplug", "cam2")
                a.expect_event("cerrada", skip=("ajustes",))
                self.assertEqual(lists(), [[ports[0], ports[2]]] * 2)
                a.do("plug", "cam2")  # back on a new port, the same in both bridges
                after = lists()
                self.assertEqual(after[0], after[1])
                self.assertEqual(after[0][:2], [ports[0], ports[2]])
                self.assertNotIn(after[0][2], ports)
                r = a.tool("list")
                self.assertIn(f"cam2 {after[0][2]}\n", r.stdout)
        finally:
            rig.send_signal(signal.SIGTERM)
            rig.wait(10)
            rig.stdout.close()
            rig.stderr.close()
        self.assertEqual(os.listdir(self.dir), [])

    def test_a_host_command_runs_with_the_rig_and_ends_it(self):
        host = 'printf "buscar\\n" | "$0"; exit 7'
        r = subprocess.run([SIM, "--dir", self.dir, "rig", "2", "--", "sh", "-c", host, SIM],
                           capture_output=True, timeout=60, cwd=self.root)
        self.assertEqual((r.returncode, r.stderr), (7, b""))
        lista = json.loads(r.stdout)["lista"]
        self.assertEqual([c["puerto"] for c in lista],
                         [f"disk:{self.dir}/bus/cam{i}.1" for i in (1, 2)])
        self.assertEqual(os.listdir(self.dir), [])


if __name__ == "__main__":
    unittest.main()
