"""Sessions that survive the real world: reconnect across a pulled cable and
a bridge that died, the watchdog for a hung bridge, the files of a shot.

First against a stand-in bridge whose camera a test can pull and whose
process it can hang or end (fakebridge.py), for the client's bookkeeping;
then against the real bridge and the simulated camera."""

import os
import shutil
import signal
import sys
import tempfile
import time
import unittest

from clienttest import MODEL, ClientTest, in_thread, joined
from puente import Tarjeta, directive as d

from gpbridge import (Bridge, BridgeExited, BridgeTimeout, CameraClosed, CameraUnavailable, Closed,
                      Disconnected, NotRestored, Photo, Reconnected)

FAKE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fakebridge.py")
PORT = "usb:001,004"



def until(test, timeout=30, what="the condition"):
    deadline = time.monotonic() + timeout
    while not test():
        if time.monotonic() > deadline:
            raise AssertionError(f"{what} did not come within {timeout} s")
        time.sleep(0.01)


class StandIn(unittest.TestCase):
    """A Bridge on the stand-in, with its state folder and download folder."""

    def start(self, period=0.2, **options):
        self.root = tempfile.mkdtemp(prefix="gpbridge-standin-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.state = os.path.join(self.root, "state")
        os.mkdir(self.state)
        self.fotos = os.path.join(self.root, "fotos")
        exe = os.path.join(self.root, "bridge")
        with open(exe, "w") as f:
            f.write(f"#!/bin/sh\nexec {sys.executable} {FAKE} \"$@\"\n")
        os.chmod(exe, 0o755)
        self.plug()
        env = dict(os.environ, FAKE_STATE=self.state, FAKE_PERIOD=str(period))
        events = []
        self.events = events
        options.setdefault("on_event", events.append)
        b = Bridge.start(exe, env=env, **options)
        self.addCleanup(self.stop, b)
        return b

    @staticmethod
    def stop(b):
        try:
            b.quit(timeout=10)
        except BridgeTimeout:
            pass

    def plug(self, port=PORT):
        with open(os.path.join(self.state, "present"), "w") as f:
            f.write(port)

    def unplug(self):
        os.unlink(os.path.join(self.state, "present"))

    def touch(self, name, text=""):
        with open(os.path.join(self.state, name), "w") as f:
            f.write(text)

    def hang(self):
        """Hangs the stand-in: it stops reading and writing for good."""
        self.touch("hang")
        until(lambda: not os.path.exists(os.path.join(self.state, "hang")), what="the hang")

    def log(self):
        try:
            with open(os.path.join(self.state, "log")) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def of(self, kind):
        return [e for e in self.events if isinstance(e, kind)]


class ReconnectOnAStandIn(StandIn):
    def test_a_pulled_cable_calls_wait_for_the_camera_and_it_comes_back(self):
        b = self.start(reconnect=True)
        b.open(0, self.fotos)
        self.assertEqual(b.capture().name, "IMG_0001.JPG")
        self.unplug()
        until(lambda: self.of(Disconnected), what="Disconnected")
        self.assertEqual(self.of(Disconnected), [Disconnected("disconnected")])
        self.assertEqual(self.of(Closed), [], "no Closed while it is being brought back")
        self.assertEqual(b.away, "disconnected")
        # A call made while it is away waits up to its limit, then says so.
        with self.assertRaises(CameraUnavailable) as cm:
            b.capture(timeout=0.5)
        self.assertEqual(cm.exception.code, "CAMERA_UNAVAILABLE")
        self.assertEqual(self.log().count("disparar"), 1, "nothing was sent for it")
        # One that waits long enough gets the camera back.
        shot = in_thread(lambda: b.capture(timeout=60))
        time.sleep(0.5)
        self.plug()
        photo = joined(self, shot).get("result")
        self.assertEqual(photo, Photo(os.path.join(self.fotos, "IMG_0002.JPG"), "IMG_0002.JPG"))
        self.assertEqual(len(self.of(Reconnected)), 1)
        self.assertEqual(self.of(Reconnected)[0].model, "Fake Camera")
        self.assertIsNone(b.away)
        self.assertEqual(self.log().count("disparar"), 2, "the shot was fired once the camera was back")
        self.assertIn(f"abrir 0 {self.fotos}", self.log()[-4:], "reopened with the same folder")

    def test_a_camera_opened_in_the_place_of_the_one_away_is_closed_before_any_command(self):
        for serial in ("SN1", None):  # by its serial number; by its port where it has none
            with self.subTest(serial=serial):
                b = self.start(reconnect=True)
                if serial:
                    self.touch("serial", serial)
                b.open(0, self.fotos)
                self.unplug()
                until(lambda: self.of(Disconnected), what="Disconnected")
                if serial:  # another body of the model, on the same port
                    self.touch("serial", "SN2")
                else:  # pulled again just before the reopen: its index names a neighbour
                    self.touch("swap", "usb:009,009")
                self.plug()
                until(lambda: "cerrar" in self.log(), what="the wrong camera closed")
                self.assertEqual(self.of(Reconnected), [])
                after = self.log()[self.log().index("abrir 0 " + self.fotos, 2):]
                self.assertEqual(after[1:3], ["leer serialnumber", "opciones"] if serial else ["buscar", "cerrar"])
                self.assertNotIn("vista 1", after)
                if serial:
                    self.touch("serial", serial)
                else:
                    self.plug()
                until(lambda: self.of(Reconnected), what="Reconnected")
                self.assertEqual(b.capture().name, "IMG_0001.JPG")

    def test_values_set_through_the_client_are_set_again_before_reconnected(self):
        b = self.start(reconnect=True)
        b.open(0, self.fotos)
        b.set_setting("iso", "400")
        b.set_setting("aperture", "f/8")
        b.set_setting("iso", "200")  # the latest of each is set again
        self.unplug()
        until(lambda: self.of(Disconnected), what="Disconnected")
        self.touch("refuse", "f/8")  # the camera no longer takes this one
        self.plug()
        until(lambda: self.of(Reconnected), what="Reconnected")
        kinds = [type(e) for e in self.events if isinstance(e, (NotRestored, Reconnected))]
        self.assertEqual(kinds, [NotRestored, Reconnected], "reported before the reconnect is")
        refused = self.of(NotRestored)[0]
        self.assertEqual((refused.name, refused.value, refused.error.text), ("aperture", "f/8", "ajustar: Bad parameters"))
        self.assertEqual(self.of(Reconnected)[0].settings.iso, "200")
        self.assertEqual(b.settings.iso, "200")
        log = self.log()
        reopened = log[max(i for i, line in enumerate(log) if line.startswith("abrir")):]
        self.assertEqual([c for c in reopened if c.startswith("ajustar")], ["ajustar diafragma f/8", "ajustar iso 200"])

    def test_live_view_goes_on_across_the_gap(self):
        b = self.start(reconnect=True)
        b.open(0, self.fotos)
        frames = []

        def watch():
            for frame in b.live_view(frame_timeout=5):
                frames.append(frame.read())
                if len(frames) == 5:
                    self.unplug()
                if len(frames) == 5 and not self.of(Reconnected):
                    continue
                if self.of(Reconnected) and len(frames) >= 10:
                    break
            return len(frames)

        out = in_thread(watch)
        until(lambda: self.of(Disconnected), what="Disconnected")
        time.sleep(6)  # longer than the frame time limit: the iteration still waits
        self.plug()
        self.assertGreaterEqual(joined(self, out).get("result", 0), 10, out.get("error"))
        self.assertTrue(all(f.startswith(b"\xff\xd8frame") for f in frames))
        log = self.log()
        last_open = max(i for i, line in enumerate(log) if line.startswith("abrir"))
        self.assertIn("vista 1", log[last_open:], "live view turned back on")

    def test_a_bridge_that_died_is_started_again_and_reopens_the_camera(self):
        b = self.start(reconnect=True)
        b.open(0, self.fotos)
        first = b.pid
        live = b.live_view(frame_timeout=5)
        self.assertIsNotNone(live.next_frame(timeout=10))
        os.kill(first, signal.SIGKILL)
        until(lambda: self.of(Reconnected), what="Reconnected")
        self.assertEqual(self.of(Disconnected), [Disconnected("exited")])
        self.assertNotEqual(b.pid, first)
        self.assertTrue(b.running and b.is_open)
        self.assertIsNotNone(live.next_frame(timeout=10), "live view is back on in the new bridge")
        live.close()
        self.assertEqual(b.capture().name, "IMG_0001.JPG")
        self.assertEqual(b.quit(), 0)

    def test_close_and_quit_stop_reconnecting(self):
        b = self.start(reconnect=True)
        b.open(0, self.fotos)
        self.unplug()
        until(lambda: b.away, what="away")
        self.assertEqual(b.close(), "disconnected")
        self.assertIsNone(b.away)
        self.plug()
        time.sleep(1.5)
        self.assertFalse(b.is_open)
        # Nothing more is opened (an open already on its way when close()
        # came is closed again at once).
        after = [line for line in self.log() if line.startswith(("abrir", "cerrar"))]
        self.assertIn(after, ([f"abrir 0 {self.fotos}"], [f"abrir 0 {self.fotos}"] * 2 + ["cerrar"]))
        with self.assertRaises(CameraClosed):
            b.capture(timeout=1)
        # quit() while away ends at once, and so do calls waiting for the
        # camera.
        b.open(0, self.fotos)
        self.unplug()
        until(lambda: b.away, what="away")
        waiting = in_thread(lambda: b.capture(timeout=None))
        time.sleep(0.3)
        self.assertEqual(b.quit(timeout=10), 0)
        self.assertIsInstance(joined(self, waiting).get("error"), CameraUnavailable)
        self.assertEqual(self.of(Reconnected), [])

    def test_a_camera_back_on_another_port_is_found_by_its_model(self):
        b = self.start(reconnect=True)
        b.open(0, self.fotos)
        self.unplug()
        until(lambda: b.away, what="away")
        self.plug("usb:001,009")
        until(lambda: self.of(Reconnected), what="Reconnected")
        self.assertTrue(b.is_open)

    def test_without_reconnect_a_pulled_cable_closes_the_camera(self):
        b = self.start()
        b.open(0, self.fotos)
        self.unplug()
        until(lambda: self.of(Closed), what="Closed")
        self.assertEqual(self.of(Closed), [Closed("disconnected")])
        self.plug()
        time.sleep(1)
        self.assertFalse(b.is_open)
        self.assertEqual(self.of(Reconnected), [])


class WatchdogOnAStandIn(StandIn):
    def test_a_hung_bridge_is_killed_and_with_reconnect_started_again(self):
        b = self.start(reconnect=True, watchdog=1.0)
        b.open(0, self.fotos)
        hung = b.pid
        self.hang()
        until(lambda: self.of(Reconnected), what="Reconnected")
        self.assertEqual(self.of(Disconnected), [Disconnected("hung")])
        self.assertNotEqual(b.pid, hung)
        self.assertEqual(b.capture().name, "IMG_0001.JPG")

    def test_without_reconnect_the_waiting_call_fails_instead_of_hanging(self):
        b = self.start(watchdog=1.0)
        b.open(0, self.fotos)
        self.hang()
        with self.assertRaises(BridgeExited) as cm:
            b.close(timeout=None)  # it would wait for ever
        self.assertTrue(cm.exception.hung)
        self.assertEqual(b.quit(), -signal.SIGKILL)

    def test_a_long_silent_download_is_a_sign_of_life(self):
        # A video fired on the body, downloading for 3 s with no line
        # written, past a watchdog of 1 s.
        for reconnect in (False, True):
            with self.subTest(reconnect=reconnect):
                b = self.start(watchdog=1.0, reconnect=reconnect)
                b.open(0, self.fotos)
                self.touch("slow", "3")
                self.touch("shoot")
                until(lambda: self.of(Photo), what="the photo")
                self.assertEqual([p.name for p in self.of(Photo)], ["BODY.MOV"])
                self.assertEqual(self.of(Disconnected), [])
                self.assertTrue(b.running and b.is_open)
                self.assertEqual(b.quit(), 0)

    def test_an_idle_bridge_that_reports_is_left_alone(self):
        b = self.start(watchdog=2.0, period=0.2)
        b.open(0, self.fotos)
        time.sleep(3)
        self.assertTrue(b.running and b.is_open)
        self.assertEqual(b.list_cameras()[0].model, "Fake Camera")
        b2 = self.start(watchdog=None, period=3600)
        b2.open(0, self.fotos)
        time.sleep(2)
        self.assertTrue(b2.running, "watchdog=None never kills")


class ShotFilesOnAStandIn(StandIn):
    def test_the_files_of_a_shot_come_with_it_and_never_with_a_later_one(self):
        b = self.start()
        self.touch("siblings", ".CR2\n.XMP\n")
        b.open(0, self.fotos)
        photo = b.capture()
        self.assertEqual(photo.name, "IMG_0001.JPG")
        self.assertEqual([f.name for f in photo.files], ["IMG_0001.JPG", "IMG_0001.CR2", "IMG_0001.XMP"])
        self.assertTrue(all(os.path.isfile(f.path) for f in photo.files))
        # Files that come after the capture returned are events, even when
        # they come while the next capture waits for its photo.
        self.touch("late", "1")
        self.assertEqual([f.name for f in b.capture().files], ["IMG_0002.JPG"])
        self.touch("delay", "2")
        third = b.capture(timeout=10)
        self.assertEqual([f.name for f in third.files], ["IMG_0003.JPG"])
        self.assertEqual(sorted(p.name for p in self.of(Photo)), ["IMG_0002.CR2", "IMG_0002.XMP"])
        until(lambda: len(self.of(Photo)) == 4, what="the late files")
        self.assertEqual(sorted(p.name for p in self.of(Photo)),
                         ["IMG_0002.CR2", "IMG_0002.XMP", "IMG_0003.CR2", "IMG_0003.XMP"])


    def test_a_camera_that_gives_one_file_per_shot_costs_no_wait_for_siblings(self):
        # The wait for siblings (2 s here) is learned per session: a camera
        # whose shot gave one file is not waited for again, until a shot of
        # it gives two; a camera opened again is learned again.
        b = self.start(sibling_wait=2.0)
        b.open(0, self.fotos)
        self.assertEqual([f.name for f in b.capture().files], ["IMG_0001.JPG"])
        self.touch("siblings", ".CR2\n")
        self.touch("late", "1")  # within the 2 s a capture would wait
        self.assertEqual([f.name for f in b.capture().files], ["IMG_0002.JPG"], "returned at once")
        until(lambda: self.of(Photo), what="the late sibling")
        self.assertEqual([p.name for p in self.of(Photo)], ["IMG_0002.CR2"])
        self.assertEqual([f.name for f in b.capture().files], ["IMG_0003.JPG", "IMG_0003.CR2"], "kept whole now")
        os.unlink(os.path.join(self.state, "siblings"))
        b.open(0, self.fotos)
        self.assertEqual([f.name for f in b.capture().files], ["IMG_0004.JPG"])
        self.touch("siblings", ".CR2\n")
        self.assertEqual([f.name for f in b.capture().files], ["IMG_0005.JPG"])
        b.open(0, self.fotos)
        self.assertEqual([f.name for f in b.capture().files], ["IMG_0006.JPG", "IMG_0006.CR2"])


def unplug(card, status=-52):
    """Pulls a simulated camera's cable as gpbridge-sim unplug does: no new
    session opens, the running one fails, detection no longer sees it."""
    open(card.path("unplugged"), "w").close()
    card.control(d("unplug", status))
    os.rename(os.path.join(card.src, "DCIM"), os.path.join(card.src, "DCIM.unplugged"))


def plug(card):
    card.control("plug")
    os.unlink(card.path("unplugged"))
    os.rename(os.path.join(card.src, "DCIM.unplugged"), os.path.join(card.src, "DCIM"))


class ReconnectOnTheSimulatedCamera(ClientTest):
    def events_into(self, events):
        return {"on_event": events.append, "reconnect": True}

    def test_across_a_pulled_cable_no_photo_is_lost_or_reported_twice_and_live_view_resumes(self):
        events = []
        card = Tarjeta()
        b, rig = self.opened(card, **self.events_into(events))
        got = [b.capture()]
        live = b.live_view(frame_timeout=10)
        self.assertIsNotNone(live.next_frame(timeout=10))
        unplug(card)
        until(lambda: Disconnected("disconnected") in events, what="Disconnected")
        with self.assertRaises(CameraUnavailable):
            b.capture(timeout=0.5)
        shot = in_thread(lambda: b.capture(timeout=60))
        plug(card)
        got.append(joined(self, shot)["result"])
        self.assertEqual([type(e) for e in events if isinstance(e, (Disconnected, Reconnected, Closed))],
                         [Disconnected, Reconnected])
        reconnected = next(e for e in events if isinstance(e, Reconnected))
        self.assertEqual(reconnected.model, MODEL)
        before = live.received
        self.assertIsNotNone(live.next_frame(timeout=10))
        until(lambda: live.received > before + 3, what="frames after the reconnection")
        live.close()
        card.control(d("shoot", "/store_00010001/DCIM/100SIMUL", "BODY.JPG", 1000))
        until(lambda: any(isinstance(e, Photo) for e in events), what="the photo fired on the camera")
        got.append(b.capture())
        reported = [p.name for p in got] + [e.name for e in events if isinstance(e, Photo)]
        self.assertEqual(sorted(reported), sorted(set(reported)), "none reported twice")
        self.assertEqual(sorted(reported), sorted(os.listdir(rig.fotos)), "every photo in the folder reported")
        self.assertEqual(len(reported), 4)
        self.assertEqual(len(card.calls("init")), 2, "opened once more, not more")

    def test_another_camera_of_the_same_model_is_never_taken_for_the_one_away(self):
        # Two bodies of one model: the one in use is pulled and comes back
        # on another port; the other stays where it was all along.
        events = []
        first, second = Tarjeta(), Tarjeta()
        b, rig = self.opened(first, second, **self.events_into(events))
        self.assertEqual(len(first.calls("init")), 1)
        unplug(first)
        until(lambda: Disconnected("disconnected") in events, what="Disconnected")
        time.sleep(3)  # several tries of the reconnection
        self.assertEqual(second.calls("init"), [], "the other camera was opened in its place")
        self.assertNotIn(Reconnected, [type(e) for e in events])
        plug(first)
        until(lambda: any(isinstance(e, Reconnected) for e in events), what="Reconnected")
        self.assertEqual(len(first.calls("init")), 2)
        self.assertEqual(second.calls("init"), [])

    def test_a_killed_bridge_is_started_again_with_the_camera_and_live_view(self):
        events = []
        b, rig = self.opened(**self.events_into(events))
        live = b.live_view(frame_timeout=10)
        self.assertIsNotNone(live.next_frame(timeout=10))
        first = b.pid
        os.kill(first, signal.SIGKILL)
        until(lambda: any(isinstance(e, Reconnected) for e in events), what="Reconnected")
        self.assertEqual(events[0], Disconnected("exited"))
        self.assertNotEqual(b.pid, first)
        self.assertIsNotNone(live.next_frame(timeout=10))
        live.close()
        self.assertEqual(b.capture().name, "IMG_0001.JPG")
        self.assertEqual(b.quit(), 0)

    def test_a_bridge_stopped_in_order_by_a_signal_is_not_started_again(self):
        events = []
        b, rig = self.opened(**self.events_into(events))
        os.kill(b.pid, signal.SIGTERM)
        until(lambda: not b.running, what="the end of the bridge")
        time.sleep(1)
        with self.assertRaises(BridgeExited) as cm:
            b.capture(timeout=30)
        self.assertEqual(cm.exception.returncode, 0)
        self.assertFalse(b.running)
        self.assertEqual(events, [Closed("requested")])
        self.assertEqual(b.quit(), 0)

    def test_a_hung_bridge_is_killed_then_started_again(self):
        events = []
        card = Tarjeta()
        b, rig = self.opened(card, watchdog=5.0, **self.events_into(events))
        hung = b.pid
        # The new bridge must not hang the same way: its camera waits until
        # the hang is off the control file (a new process reads it anew).
        open(card.path("unplugged"), "w").close()
        card.control(d("waithang", 3600))
        until(lambda: Disconnected("hung") in events, what="Disconnected")
        with open(card.path("control"), "w"):
            pass
        os.unlink(card.path("unplugged"))
        until(lambda: any(isinstance(e, Reconnected) for e in events), what="Reconnected")
        self.assertNotEqual(b.pid, hung)
        self.assertEqual(b.capture().name, "IMG_0001.JPG")

    def test_without_reconnect_a_hung_bridge_fails_the_waiting_call(self):
        card = Tarjeta()
        b, rig = self.opened(card, watchdog=5.0)
        card.control(d("waithang", 3600))
        time.sleep(0.5)
        with self.assertRaises(BridgeExited) as cm:
            b.list_cameras(timeout=None)
        self.assertTrue(cm.exception.hung)
        self.assertEqual(b.quit(), -signal.SIGKILL)


class ShotFiles(ClientTest):
    def test_a_shot_s_files_all_come_with_its_capture(self):
        for op, scenario in (("trigger", []), ("capture", [d("trigger", "unsupported")])):
            with self.subTest(op=op):
                b, rig = self.opened(Tarjeta(scenario + [d("siblings", ".CR2", ".XMP")]))
                photo = b.capture()
                self.assertEqual([f.name for f in photo.files], ["IMG_0001.JPG", "IMG_0001.CR2", "IMG_0001.XMP"])
                self.assertEqual(sorted(os.listdir(rig.fotos)), sorted(f.name for f in photo.files))
                self.assertEqual([f.name for f in b.capture().files], ["IMG_0002.JPG", "IMG_0002.CR2", "IMG_0002.XMP"])
                self.assertEqual([e for e in self.drain(b) if isinstance(e, Photo)], [])

    def test_a_sibling_still_downloading_is_waited_for(self):
        # Each file takes about a second to download, far longer than the
        # 0.3 s the capture waits after a file: the partial file growing in
        # the folder keeps it waiting.
        card = Tarjeta([d("siblings", ".CR2"), d("chunkdelay", 250000),
                        d("next", "/store_00010001/DCIM/100SIMUL", "BIG.JPG", 4 * 65536)])
        b, rig = self.opened(card)
        photo = b.capture()
        self.assertEqual([f.name for f in photo.files], ["BIG.JPG", "BIG.CR2"])
        self.assertEqual(os.path.getsize(photo.files[1].path), 4 * 65536)

    def test_files_that_come_late_are_never_the_next_capture_s(self):
        # Not waiting for them: each sibling comes with its capture if it
        # is already in, else as an event; never with another capture.
        card = Tarjeta([d("siblings", ".CR2")])
        b, rig = self.opened(card, sibling_wait=0)
        shots = [b.capture() for _ in range(4)]
        self.assertEqual([p.name for p in shots], [f"IMG_000{i}.JPG" for i in range(1, 5)])
        for photo in shots:
            self.assertTrue(all(f.name.startswith(photo.name[:8]) for f in photo.files), photo)
        reported = [f.name for p in shots for f in p.files[1:]]
        reported += [e.name for e in self.drain(b, quiet=1.0) if isinstance(e, Photo)]
        self.assertEqual(sorted(reported), [f"IMG_000{i}.CR2" for i in range(1, 5)])


class ShotsInFlight(ClientTest):
    def test_a_close_or_quit_right_after_a_shot_still_brings_its_photo(self):
        for end in ("close", "quit"):
            with self.subTest(end=end):
                card = Tarjeta([d("filedelay", 1500)])
                b, rig = self.opened(card)
                shot = in_thread(b.capture)
                until(lambda: card.calls("trigger"), what="the trigger")
                if end == "close":
                    ending = in_thread(b.close)
                else:
                    self.assertEqual(b.quit(), 0)
                self.assertEqual(joined(self, shot).get("result"),
                                 Photo(os.path.join(rig.fotos, "IMG_0001.JPG"), "IMG_0001.JPG"))
                if end == "close":
                    self.assertEqual(joined(self, ending).get("result"), "requested")


    def test_a_close_the_camera_leaves_during_is_settled_and_the_next_calls_get_their_own(self):
        # The camera is pulled while the bridge, closing, waits for a shot
        # in flight: `cerrada desconectada` is then the close's only answer.
        card = Tarjeta([d("filedelay", 4000)])
        b, rig = self.opened(card)
        with self.assertRaises(BridgeTimeout):
            b.capture(timeout=0.2)
        ending = in_thread(lambda: b.close(timeout=20))
        until(lambda: card.calls("trigger"), what="the trigger")
        time.sleep(0.3)  # the bridge is in its wait for the shot
        unplug(card)
        self.assertEqual(joined(self, ending).get("result"), "disconnected")
        self.assertEqual(b.list_cameras(timeout=20), [])
        self.assertEqual(b.close(timeout=20), "requested")
        self.assertEqual(b.close(timeout=20), "requested")


if __name__ == "__main__":
    unittest.main()
