"""The virtual PTP camera tier: runs the bridge against libgphoto2's real
'ptp2' driver, which talks to a virtual Nikon D750 over the 'vusb' virtual
USB port, all from the private prefix scripts/build-vcamera.sh builds.

    class MyTest(vcam.PtpTest):
        def test_x(self):
            with self.session() as s:
                s.open_camera(model=vcam.MODEL)

Each test gets its own camera: a folder of files it serves (VCAMERADIR), a
private HOME (the driver keeps its capture target in ~/.gphoto/settings) and
the log of every PTP command the camera received (VCAMERALOG, written by
tests/ptp/01-vcamera-log.patch). Live view (02-vcamera-liveview.patch) is
offered only with VCAMERALIVEVIEW=1; unplug() pulls the camera off the bus
(03-vcamera-unplug.patch); 04-vcamera-settings.patch gives it an ISO setting.
"""

import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import puente

PREFIX = os.environ.get("VCAMERA_PREFIX", "")
MODEL = "Nikon DSC D750"
PORT = "usb:001,001"

# What the virtual camera's properties hold, as the driver words them (ISO is
# the property 04-vcamera-settings.patch adds).
AJUSTES = '{"e":"ajustes","iso":"100","diafragma":"f/2.8","velocidad":"0.0100s","bateria":"50%"}'
ABIERTA = f'{{"e":"abierta","modelo":"{MODEL}"}}'

# PTP operation codes the tests look for in the camera's log.
OPEN_SESSION = 0x1002
CLOSE_SESSION = 0x1003
GET_OBJECT = 0x1009
DELETE_OBJECT = 0x100B
INITIATE_CAPTURE = 0x100E


def jpeg(size, seed=0):
    """A JPEG-framed file of `size` bytes with content derived from `seed`."""
    body = bytes(((i * 131 + seed * 17) & 0xFF) for i in range(size - 6))
    return b"\xff\xd8\xff\xe0" + body + b"\xff\xd9"


def _only_dir(pattern):
    found = glob.glob(os.path.join(PREFIX, pattern))
    if len(found) != 1:
        raise AssertionError(f"expected one {pattern} in {PREFIX!r}, found {found}")
    return found[0]


class Camara:
    """One virtual camera and what it leaves behind."""

    def __init__(self):
        if not PREFIX or not os.path.isdir(os.path.join(PREFIX, "lib")):
            raise AssertionError(f"no virtual camera build at {PREFIX!r} "
                                 "(VCAMERA_PREFIX; run the tests through ctest)")
        self.root = tempfile.mkdtemp(prefix="gpbridge-ptp-")
        self.dir = os.path.join(self.root, "camera")
        self.home = os.path.join(self.root, "home")
        self.log_path = os.path.join(self.root, "ptp.log")
        self.unplug_path = os.path.join(self.root, "unplugged")
        os.makedirs(os.path.join(self.dir, "DCIM", "100TEST"))
        os.makedirs(self.home)

    def live_session(self):
        """A bridge session with live view on the camera and a fresh live-view
        folder of its own as the bridge's argument."""
        live = os.path.join(self.root, "live")
        os.makedirs(live)
        return puente.Sesion(env=dict(self.env(), VCAMERALIVEVIEW="1"), args=[live])

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def add_photo(self, name="IMG_0001.JPG", data=None):
        """Puts a photo on the card; the camera serves it (and copies the
        first JPEG it finds for every capture). Returns its bytes."""
        data = jpeg(4096) if data is None else data
        with open(os.path.join(self.dir, "DCIM", "100TEST", name), "wb") as f:
            f.write(data)
        return data

    def unplug(self):
        """Pulls the camera off the virtual bus (03-vcamera-unplug.patch)."""
        open(self.unplug_path, "w").close()

    def replug(self):
        os.remove(self.unplug_path)

    def env(self, log=True):
        """The environment that points the library at the private build."""
        return {
            "LD_LIBRARY_PATH": os.path.join(PREFIX, "lib"),
            "CAMLIBS": _only_dir("lib/libgphoto2/*"),
            "IOLIBS": _only_dir("lib/libgphoto2_port/*"),
            "VCAMERADIR": self.dir,
            "VCAMERALOG": self.log_path if log else None,
            "VCAMERAUNPLUG": self.unplug_path,
            "HOME": self.home,
        }

    def log(self):
        """The camera's log: ("open", port), ("close",) and (code, params)."""
        try:
            with open(self.log_path) as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        entries = []
        for line in lines:
            kind, *rest = line.split()
            if kind == "op":
                count = int(rest[1])
                entries.append((int(rest[0], 16), [int(p, 16) for p in rest[2:2 + min(count, 3)]]))
            else:
                entries.append((kind, *rest))
        return entries

    def ops(self, code):
        """The parameters of every command `code` the camera received."""
        return [entry[1] for entry in self.log() if entry[0] == code]

    def sessions(self):
        """The log reduced to port and session events, in order."""
        names = {OPEN_SESSION: "OpenSession", CLOSE_SESSION: "CloseSession"}
        out = []
        for entry in self.log():
            if entry[0] in ("open", "close"):
                out.append(entry[0])
            elif entry[0] in names:
                out.append(names[entry[0]])
        return out

    def settings(self):
        """The driver's persistent settings (~/.gphoto/settings) as a dict."""
        try:
            with open(os.path.join(self.home, ".gphoto", "settings")) as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return {}
        out = {}
        for line in lines:
            lib, key, value = line.split("=", 2)
            out[f"{lib}.{key}"] = value
        return out

    def library(self, *config_names):
        """What the library itself reports, asked from a separate process
        with the same build: the detected cameras and the named settings."""
        env = {k: v for k, v in os.environ.items() if k not in self.env()}
        env.update({k: v for k, v in self.env(log=False).items() if v is not None})
        helper = os.path.join(os.path.dirname(os.path.abspath(__file__)), "libreria.py")
        r = subprocess.run([sys.executable, helper, *config_names], env=env,
                           capture_output=True, timeout=60)
        if r.returncode != 0:
            raise AssertionError(f"libreria.py failed: {r.stderr.decode(errors='replace')}")
        return json.loads(r.stdout)


class PtpTest(unittest.TestCase):
    """A test with its own virtual camera, holding one photo by default."""

    def setUp(self):
        self.cam = Camara()
        self.addCleanup(self.cam.cleanup)
        self.served = self.cam.add_photo()

    def session(self, **kw):
        return puente.Sesion(env=self.cam.env(), **kw)

    def open(self, s, folder=None):
        """`abrir 0`, checking `abierta` and the first `ajustes` exactly."""
        s.send(f"abrir 0 {s.fotos if folder is None else folder}")
        s.expect(ABIERTA, AJUSTES)

    def close(self, s):
        """`cerrar` after a wait: idle settings reports may come before its
        `cerrada`; then ends the bridge as finish() does."""
        s.send("cerrar")
        s.expect_event("cerrada", skip=("ajustes",))
        self.finish(s)

    def finish(self, s, *last):
        """Ends the bridge by closing its input: `last` are the lines still
        expected, then end of output, exit status 0, nothing on standard error."""
        s.close_input()
        s.expect(*last)
        self.assertIsNone(s.event())
        self.assertEqual(s.wait(), 0)
