"""The rig: four simulated cameras of the same model, one bridge each, told
apart by their serial numbers; shot sets on disk; a late photo; a camera
pulled and plugged back on another port. Then the shot book alone."""

import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest

import clienttest
from clienttest import MODEL
from puente import Tarjeta, directive as d

from gpbridge import CameraBack, CameraLost, Rig, RigCamera, RigError, ShotSet
from gpbridge._rigfiles import MANIFEST, ShotBook

SERIALS = ["SN-A1", "SN-B2", "SN-C3", "SN-D4"]


def card(serial, *lines):
    return Tarjeta([d("serial", serial), *lines], name=serial.lower())


class RigTest(clienttest.ClientTest):
    def cards(self, *cards, spare=False):
        """Cards every bridge of the rig sees at the same mount points, as
        on a hub; with `spare`, an empty mount point a card can move to (a
        cable plugged into another socket)."""
        cards = list(cards)
        if spare:
            cards.append(Tarjeta(name="spare"))
        setup = clienttest.Rig(cards)
        self.addCleanup(setup.cleanup)
        self.addCleanup(setup.check_lines)
        if spare:
            shutil.rmtree(os.path.join(cards[-1].src, "DCIM"))
            shutil.rmtree(os.path.join(cards[-1].src, "sim"))
        return setup

    def rig(self, setup, cameras=None, **options):
        rig = Rig.open(os.path.join(setup.root, "rig"), cameras, executable=setup.executable,
                       trace=setup.trace, **options)
        self.addCleanup(rig.close)
        return rig

    def manifest(self, rig):
        with open(os.path.join(rig.folder, MANIFEST), encoding="utf-8") as f:
            return [json.loads(line) for line in f]

    def test_a_set_fires_every_camera_and_lays_out_its_files(self):
        cards = [card(s) for s in SERIALS]
        cards[1].scenario.append(d("siblings", ".CR2"))  # RAW+JPEG on one body
        setup = self.cards(*cards)
        rig = self.rig(setup)
        self.assertEqual(sorted(rig.cameras, key=lambda c: c.id),
                         [RigCamera(s, MODEL, "disk:" + c.mount) for s, c in zip(SERIALS, cards)])
        for n in (1, 2):
            shot = rig.capture()
            folder = os.path.join(rig.folder, f"shot-{n:04d}")
            want = {s: [os.path.join(folder, s + ".JPG")] for s in SERIALS}
            want["SN-B2"].append(os.path.join(folder, "SN-B2.CR2"))
            self.assertEqual(shot, ShotSet(n, want, {}))
        for c in cards:
            self.assertEqual(len(c.calls("trigger")), 2, "each camera fired once per set")
        self.assertEqual(self.manifest(rig)[1]["files"]["SN-B2"], ["shot-0002/SN-B2.JPG", "shot-0002/SN-B2.CR2"])
        with open(os.path.join(rig.folder, MANIFEST), encoding="utf-8") as f:
            self.assertTrue(f.readline().startswith('{"shot":1,"files":{'), "keys in their order")
        self.assertEqual([n for _, _, names in os.walk(os.path.join(rig.folder, ".incoming")) for n in names], [],
                         "every file moved out of the download folders")
        # Framing on one camera, then another: the first one's live view ends.
        with rig.live_view("SN-A1") as live:
            self.assertIsNotNone(live.next_frame(10))
            other = rig.live_view("SN-D4")
            self.assertIsNotNone(other.next_frame(10))
            self.assertIsNone(live.next_frame(10), "the first camera's live view is over")
        other.close()
        self.assertEqual(len(rig.capture().files), 4, "a set after framing")
        # A setting on every camera, each reporting for itself.
        done = rig.set("capturetarget", "Memory card")
        self.assertEqual(sorted(done), SERIALS)
        self.assertTrue(all(r.ok and r.control.value == "Memory card" for r in done.values()), done)
        refused = rig.set("capturetarget", "Nowhere")
        self.assertEqual({r.code for r in refused.values()}, {"SETTING_REJECTED"})

    def test_cameras_of_one_model_are_chosen_by_serial_number(self):
        cards = [card(s) for s in SERIALS]
        setup = self.cards(*cards)
        rig = self.rig(setup, cameras=["SN-C3", "SN-A1"])
        self.assertEqual(sorted(c.id for c in rig.cameras), ["SN-A1", "SN-C3"])
        self.assertEqual({c.id: c.port for c in rig.cameras},
                         {"SN-A1": "disk:" + cards[0].mount, "SN-C3": "disk:" + cards[2].mount})
        shot = rig.capture()
        self.assertEqual(sorted(shot.files), ["SN-A1", "SN-C3"])
        self.assertEqual([len(c.calls("trigger")) for c in cards], [1, 0, 1, 0], "only the chosen ones fired")
        with self.assertRaises(RigError) as cm:
            self.rig(setup, cameras=["SN-B2", "SN-X9"])
        self.assertIn("SN-X9", str(cm.exception))

    def test_a_late_photo_and_a_body_fired_one_find_their_sets(self):
        slow = card("SN-D4", d("filedelay", "1500"))
        setup = self.cards(card("SN-A1"), slow)
        rig = self.rig(setup)
        first = rig.capture(timeout=0.5)
        self.assertEqual((list(first.files), first.missing), (["SN-A1"], {"SN-D4": "BRIDGE_TIMEOUT"}))
        late = os.path.join(rig.folder, "shot-0001", "SN-D4.JPG")
        until(lambda: os.path.exists(late), "the late photo in its set")
        until(lambda: self.manifest(rig)[0]["missing"] == {}, "the set's line written again")
        self.assertEqual(self.manifest(rig)[0]["files"]["SN-D4"], ["shot-0001/SN-D4.JPG"])
        slow.control(d("filedelay", "0"), d("shoot", "/store_00010001/DCIM/100SIMUL", "BODY.JPG", 1000))
        until(lambda: len(self.manifest(rig)) == 2, "a set for the body-fired photo")
        self.assertEqual(self.manifest(rig)[1], {"shot": 2, "files": {"SN-D4": ["shot-0002/SN-D4.JPG"]},
                                                 "missing": {}})
        self.assertEqual(rig.capture().number, 3, "the next set comes after it")
        rig.close()
        rig.close()  # twice is harmless

    def test_a_camera_pulled_out_and_plugged_into_another_socket(self):
        cards = [card(s) for s in SERIALS]
        stranger = card("SN-E5")  # on the hub, not in the rig: never taken for one of it
        setup = self.cards(*cards, stranger, spare=True)
        rig = self.rig(setup, cameras=SERIALS)
        gone, spare = cards[2], setup.cards[-1]
        unplug(gone)
        self.assertEqual(rig.next_event(30), CameraLost("SN-C3"))
        shot = rig.capture()
        self.assertEqual((sorted(shot.files), shot.missing),
                         (["SN-A1", "SN-B2", "SN-D4"], {"SN-C3": "CAMERA_UNAVAILABLE"}))
        self.assertEqual({i: r.code for i, r in rig.set("capturetarget", "Memory card").items()},
                         {"SN-A1": None, "SN-B2": None, "SN-C3": "CAMERA_UNAVAILABLE", "SN-D4": None})
        plug_into(gone, spare)
        self.assertEqual(rig.next_event(30), CameraBack("SN-C3"))
        self.assertIn(RigCamera("SN-C3", MODEL, "disk:" + spare.mount), rig.cameras)
        shot = rig.capture()
        self.assertEqual((sorted(shot.files), shot.missing), (SERIALS, {}))
        self.assertEqual(len(self.manifest(rig)), 2)
        self.assertEqual(stranger.calls("trigger"), [], "the stranger is never fired")


class SimulatedRig(unittest.TestCase):
    def test_gpbridge_sim_rig_with_the_cameras_own_serial_numbers(self):
        """The way a host developer tries a rig: `gpbridge-sim rig`, every
        bridge started as gpbridge-sim, the cameras' default serial numbers,
        and a camera replugged through the tool (it comes back on a new
        port, and is the same camera)."""
        sim = os.path.join(os.path.dirname(os.environ["GPBRIDGE"]), "gpbridge-sim")
        root = tempfile.mkdtemp(prefix="gpbridge-simrig-")
        self.addCleanup(shutil.rmtree, root, True)
        env = dict(os.environ, GPBRIDGE_SIM_DIR=os.path.join(root, "sim"))
        hub = subprocess.Popen([sim, "rig", "3"], env=env, stdout=subprocess.PIPE, text=True)
        self.addCleanup(hub.stdout.close)
        self.addCleanup(hub.wait, 30)
        self.addCleanup(hub.terminate)
        ports = [hub.stdout.readline().split()[1] for _ in range(3)]
        rig = Rig.open(os.path.join(root, "scan"), executable=sim, env=env)
        self.addCleanup(rig.close)
        before = {c.id: c.port for c in rig.cameras}
        self.assertEqual(sorted(before.values()), sorted(ports))
        self.assertEqual(len(before), 3, "three serial numbers")
        subprocess.run([sim, "unplug", "cam2"], env=env, check=True)
        lost = rig.next_event(30)
        subprocess.run([sim, "plug", "cam2"], env=env, check=True)
        self.assertEqual(rig.next_event(30), CameraBack(lost.id))
        after = {c.id: c.port for c in rig.cameras}
        self.assertNotEqual(after[lost.id], before[lost.id], "a new port")
        self.assertEqual(sorted(rig.capture().files), sorted(before))


def until(test, what, timeout=30):
    deadline = time.monotonic() + timeout
    while not test():
        if time.monotonic() > deadline:
            raise AssertionError(f"{what} did not come within {timeout} s")
        time.sleep(0.02)


def unplug(card):
    """The cable pulled: no new session, the running one fails, and the
    disk port no longer lists the card (it needs DCIM)."""
    open(card.path("unplugged"), "w").close()
    card.control(d("unplug", "-52"))
    os.rename(os.path.join(card.src, "DCIM"), os.path.join(card.src, "DCIM.unplugged"))


def plug_into(card, spare):
    """The card shows again at the spare mount point: a new port."""
    card.control(d("plug"))
    os.unlink(card.path("unplugged"))
    os.rename(os.path.join(card.src, "sim"), os.path.join(spare.src, "sim"))
    os.rename(os.path.join(card.src, "DCIM.unplugged"), os.path.join(spare.src, "DCIM"))


class Book(unittest.TestCase):
    def test_numbers_names_and_what_was_there_before(self):
        root = tempfile.mkdtemp(prefix="gpbridge-book-")
        self.addCleanup(shutil.rmtree, root, True)
        old = '{"shot":7,"files":{},"missing":{"x":"CAMERA_UNAVAILABLE"}}'
        with open(os.path.join(root, MANIFEST), "w") as f:
            f.write(old + "\nnot a set line\n")
        os.makedirs(os.path.join(root, "shot-0009"))
        book = ShotBook(root)
        incoming = book.incoming(1)
        os.makedirs(incoming)

        def photo(name):
            path = os.path.join(incoming, name)
            with open(path, "w") as f:
                f.write(name)
            return path

        # Numbers go on after the sets already there (lines or folders).
        n = book.new_set(["usb:001,004", ".hidden"], ["gone"], "CAMERA_UNAVAILABLE")
        self.assertEqual(n, 10)
        target = os.path.join(root, "shot-0010")
        os.makedirs(target)
        with open(os.path.join(target, "usb_001_004.JPG"), "w") as f:
            f.write("someone else's")
        got = book.give(n, "usb:001,004", [photo("IMG_1.JPG"), photo("IMG_1.CR2")])
        self.assertEqual([os.path.basename(p) for p in got], ["usb_001_004-2.JPG", "usb_001_004.CR2"],
                         "a taken name is never replaced; ids become file names")
        with open(os.path.join(target, "usb_001_004.JPG")) as f:
            self.assertEqual(f.read(), "someone else's")
        # A late sibling joins its shot; a photo nobody waited for makes a set.
        self.assertEqual(book.late("usb:001,004", [photo("IMG_1-2.XMP")], "IMG_1-2.XMP"), 10)
        self.assertEqual(book.late(".hidden", [photo("IMG_5.JPG")], "IMG_5.JPG"), 10)
        self.assertEqual(book.late(".hidden", [photo("IMG_6.JPG")], "IMG_6.JPG"), 11)
        with open(os.path.join(root, MANIFEST)) as f:
            lines = f.read().splitlines()
        self.assertEqual(lines[:2], [old, "not a set line"], "earlier lines are kept as they were")
        del lines[1]
        self.assertEqual(json.loads(lines[1]), {
            "shot": 10, "files": {"usb:001,004": ["shot-0010/usb_001_004-2.JPG", "shot-0010/usb_001_004.CR2",
                                                   "shot-0010/usb_001_004.XMP"],
                                  ".hidden": ["shot-0010/_.hidden.JPG"]},
            "missing": {"gone": "CAMERA_UNAVAILABLE"}})
        self.assertEqual(len(lines), 3)
        self.assertEqual(os.listdir(incoming), [])
        self.assertEqual([n for n in os.listdir(root) if n.endswith(".tmp")], [])


if __name__ == "__main__":
    unittest.main()
