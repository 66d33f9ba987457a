"""The hard cases against the real bridge: a shot racing a photo fired on
the camera, a live-view consumer slower than the camera, the camera pulled
out during a call, and the bridge killed during calls."""

import gc
import math
import os
import signal
import time
import tracemalloc
import unittest

from clienttest import SLOW_FOLDER, ClientTest, in_thread, joined
from puente import Tarjeta, directive as d, generated

import gpbridge
from gpbridge import BridgeError, BridgeExited, CameraClosed, Closed, Photo

# A photo of 16 chunks of 64 KiB, each sent 0.2 s apart: its download takes
# over three seconds, long enough to act while it runs.
SLOW_SIZE = 16 * 65536
SLOW = d("chunkdelay", 200000)



class BodyFiredPhotos(ClientTest):
    """Without request ids a shot takes the first photo that arrives after
    it. Whatever the order, every photo is handed out exactly once: either
    as the result of capture() or as an unsolicited event."""

    def photos(self, bridge):
        return [e for e in self.drain(bridge, quiet=1.0) if isinstance(e, Photo)]

    def test_photo_fired_on_the_camera_before_the_shot(self):
        b, rig = self.opened()
        rig.cards[0].control(d("shoot", SLOW_FOLDER, "BODY.JPG", 1000))
        self.assertEqual(b.next_event(timeout=10), Photo(os.path.join(rig.fotos, "BODY.JPG"), "BODY.JPG"))
        self.assertEqual(b.capture().name, "IMG_0001.JPG")
        self.assertEqual(self.photos(b), [])

    def test_photo_fired_on_the_camera_while_the_shot_downloads(self):
        card = Tarjeta([SLOW, d("next", SLOW_FOLDER, "SHOT.JPG", SLOW_SIZE)])
        b, rig = self.opened(card)
        shot = in_thread(b.capture)
        rig.wait_for_file("SHOT.JPG.parcial")
        card.control(d("shoot", SLOW_FOLDER, "BODY.JPG", 1000))
        self.assertEqual(joined(self, shot).get("result"), Photo(os.path.join(rig.fotos, "SHOT.JPG"), "SHOT.JPG"))
        self.assertEqual([p.name for p in self.photos(b)], ["BODY.JPG"])
        with open(os.path.join(rig.fotos, "SHOT.JPG"), "rb") as f:
            self.assertEqual(f.read(), generated("SHOT.JPG", SLOW_SIZE))

    def test_shot_sent_while_a_photo_fired_on_the_camera_downloads(self):
        # The client cannot tell the two apart: the shot gets the photo that
        # was already on its way, and its own photo comes as an event.
        b, rig = self.opened(Tarjeta([SLOW]))
        rig.cards[0].control(d("shoot", SLOW_FOLDER, "BODY.JPG", SLOW_SIZE))
        rig.wait_for_file("BODY.JPG.parcial")
        got = b.capture()
        self.assertEqual(got.name, "BODY.JPG")
        self.assertEqual([p.name for p in self.photos(b)], ["IMG_0001.JPG"])
        self.assertEqual(len(rig.cards[0].calls("trigger")), 1)


class SlowConsumer(ClientTest):
    def test_a_slow_consumer_gets_the_newest_frame_and_memory_stays_flat(self):
        b, rig = self.opened(keep_lines=False)
        lv = b.live_view()
        self.addCleanup(lv.close)
        tracemalloc.start(16)
        self.addCleanup(tracemalloc.stop)
        # What the client holds: allocations made under its code, except the
        # schema check this test's trace runs. The smallest of five samples,
        # so that lines being parsed at that moment do not count.
        package = os.path.dirname(gpbridge.__file__)

        def held():
            gc.collect()
            total = 0
            for trace in tracemalloc.take_snapshot().traces:
                files = [f.filename for f in trace.traceback]
                if any(f.startswith(package) for f in files) and not any(f.endswith("esquema.py") for f in files):
                    total += trace.size
            return total

        sizes = {}
        last = 0
        for taken in range(1, 61):
            frame = lv.next_frame(timeout=10)
            self.assertGreater(frame.n, last)
            last = frame.n
            self.assertTrue(frame.read().startswith(b"\xff\xd8"))
            # Be slow: let at least 20 more frames come before asking again.
            target = lv.received + 20
            deadline = time.monotonic() + 30
            while lv.received < target:
                self.assertLess(time.monotonic(), deadline, "the frames stopped")
                self.assertLessEqual(lv.backlog, 1)
                time.sleep(0.005)
            if taken in range(11, 16) or taken in range(56, 61):
                phase = "early" if taken <= 15 else "late"
                sizes[phase] = min(sizes.get(phase, 1 << 40), held())
        self.assertGreaterEqual(lv.skipped, 60 * 18, "older frames were skipped, not queued")
        self.assertEqual(lv.delivered, 60)
        self.assertEqual(len(b._events), 0)
        self.assertGreater(rig.checked, 60 * 20, "every line was checked against the schema")
        grew = sizes["late"] - sizes["early"]
        # A reader that fell behind holds up to one read (8 KiB) of lines; a
        # client keeping anything per frame would hold over 100 kB more.
        self.assertLess(grew, 48 * 1024, f"memory grew by {grew} bytes over 800 frames")
        frame = lv.next_frame(timeout=10)
        self.assertGreaterEqual(frame.n, last + 20, "the frame handed out is the newest one")


class Disconnection(ClientTest):
    def test_camera_pulled_out_during_a_capture(self):
        card = Tarjeta([SLOW, d("next", SLOW_FOLDER, "SHOT.JPG", SLOW_SIZE)])
        b, rig = self.opened(card)
        shot = in_thread(b.capture)
        rig.wait_for_file("SHOT.JPG.parcial")
        card.control(d("unplug", -7))
        err = joined(self, shot).get("error")
        self.assertIsInstance(err, BridgeError)
        self.assertEqual((err.text, err.operation), ("bajar la foto: I/O problem", "download"))
        events = self.drain(b, quiet=2.0)
        self.assertEqual([e for e in events if isinstance(e, Closed)], [Closed("disconnected")])
        self.assertFalse(b.is_open)
        self.assertEqual(os.listdir(rig.fotos), [], "no partial file left")
        with self.assertRaises(CameraClosed):
            b.capture()
        self.assertEqual(b.list_cameras()[0].port, "disk:" + card.mount)

    def test_camera_pulled_out_during_live_view(self):
        b, rig = self.opened()
        lv = b.live_view()
        self.assertIsNotNone(lv.next_frame(timeout=10))
        rig.cards[0].control(d("preview", "unplug", -7))
        while lv.next_frame(timeout=10) is not None:
            pass
        self.assertEqual(lv.error.text, "vista en directo: I/O problem")
        self.assertEqual(self.drain(b, quiet=2.0), [Closed("disconnected")])


class Quit(ClientTest):
    def test_quit_during_a_capture_with_no_time_limit(self):
        card = Tarjeta([SLOW, d("next", SLOW_FOLDER, "SHOT.JPG", SLOW_SIZE)])
        b, rig = self.opened(card)
        shot = in_thread(lambda: b.capture(timeout=math.inf))
        rig.wait_for_file("SHOT.JPG.parcial")
        # The photo already on its way still reaches the capture.
        self.assertEqual(b.quit(timeout=60), 0)
        photo = joined(self, shot).get("result")
        self.assertEqual(photo, Photo(os.path.join(rig.fotos, "SHOT.JPG"), "SHOT.JPG"))
        with open(photo.path, "rb") as f:
            self.assertEqual(f.read(), generated("SHOT.JPG", SLOW_SIZE))


class Killed(ClientTest):
    def test_every_waiting_call_fails_when_the_bridge_is_killed(self):
        card = Tarjeta([SLOW, d("next", SLOW_FOLDER, "SHOT.JPG", SLOW_SIZE)])
        b, rig = self.opened(card)
        lv = b.live_view()
        self.assertIsNotNone(lv.next_frame(timeout=10))
        shot = in_thread(b.capture)
        rig.wait_for_file("SHOT.JPG.parcial")
        listing = in_thread(b.list_cameras)  # queued behind the shot
        events = in_thread(lambda: list(b.events()))
        os.kill(b.pid, signal.SIGKILL)
        with self.assertRaises(BridgeExited) as cm:
            while lv.next_frame(timeout=60) is not None:
                pass
        self.assertEqual(cm.exception.returncode, -signal.SIGKILL)
        for out in (shot, listing):
            self.assertIsInstance(joined(self, out).get("error"), BridgeExited)
        self.assertEqual(joined(self, events).get("result"), [])
        self.assertEqual(b.quit(), -signal.SIGKILL)
        with self.assertRaises(BridgeExited):
            b.open(0, rig.fotos)


if __name__ == "__main__":
    unittest.main()
