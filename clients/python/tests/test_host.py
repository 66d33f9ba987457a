"""The client inside a host program, as the host's terminal and service
manager treat it: Ctrl-C reaches the host and not the bridge, a host that
dies takes the bridge with it, and the private live-view folder goes when
the host is ended by a signal."""

import os
import signal
import subprocess
import sys
import textwrap
import time

from clienttest import ClientTest, Rig
from puente import Tarjeta
from test_reconnect import plug, unplug

STATION = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "station.py")

HOST_PRELUDE = textwrap.dedent("""\
    import os, signal, sys, time
    from gpbridge import Bridge
    exe, fotos = sys.argv[1], sys.argv[2]
    def say(*words):
        print(*words, flush=True)
    """)


def gone(pid):
    """Whether a process that is not our child has ended (or is a zombie
    waiting for its new parent)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


class Host(ClientTest):
    def host(self, body, *cards, quiet=False):
        """Starts a host program (in a process group of its own, as a shell
        runs a foreground job) on a bridge with these cards. Returns the
        process and a function reading its next line."""
        rig = Rig(cards or (Tarjeta(),))
        self.addCleanup(rig.cleanup)
        proc = subprocess.Popen([sys.executable, "-c", HOST_PRELUDE + textwrap.dedent(body),
                                 rig.executable, rig.fotos],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL if quiet else None,
                                text=True, start_new_session=True)
        self.addCleanup(self.reap, proc)

        def line():
            text = proc.stdout.readline()
            self.assertTrue(text, "the host ended early")
            return text.split()
        return proc, line, rig

    @staticmethod
    def reap(proc):
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        proc.stdout.close()

    def test_ctrl_c_reaches_the_host_which_then_still_uses_the_camera(self):
        proc, line, rig = self.host("""
            with Bridge.start(exe) as b:
                b.open(0, fotos)
                try:
                    # Inside the try: the Ctrl-C may come as soon as the
                    # line is out.
                    say("ready")
                    time.sleep(60)
                except KeyboardInterrupt:
                    say("photo", b.capture(timeout=30).name)
                    say("closed", b.close())
                    say("status", b.quit())
            """)
        self.assertEqual(line(), ["ready"])
        os.killpg(proc.pid, signal.SIGINT)  # what the terminal does on Ctrl-C
        self.assertEqual(line(), ["photo", "IMG_0001.JPG"])
        self.assertEqual(line(), ["closed", "requested"])
        self.assertEqual(line(), ["status", "0"])
        self.assertEqual(proc.wait(30), 0)

    def test_a_host_that_dies_takes_the_bridge_with_it(self):
        proc, line, rig = self.host("""
            # A folder of the test's: a private one cannot be removed after
            # a SIGKILL.
            b = Bridge.start(exe, live_view_dir=os.path.dirname(fotos))
            b.open(0, fotos)
            say("bridge", b.pid)
            time.sleep(60)
            """)
        _, pid = line()
        proc.kill()
        proc.wait()
        deadline = time.monotonic() + 30
        while not gone(int(pid)):
            self.assertLess(time.monotonic(), deadline, "the bridge outlived its host")
            time.sleep(0.05)
        self.assertEqual([op for _, op, _ in rig.cards[0].log() if op in ("init", "exit")], ["init", "exit"],
                         "the camera was closed")

    def test_the_private_live_view_folder_goes_when_the_host_is_ended_by_a_signal(self):
        for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
            with self.subTest(signal=sig.name):
                proc, line, rig = self.host("""
                    b = Bridge.start(exe)
                    b.open(0, fotos)
                    live = b.live_view()
                    live.next_frame(timeout=10)
                    say("folder", b.live_view_dir)
                    for frame in live:  # frames keep landing in the folder
                        pass
                    """, quiet=True)  # no KeyboardInterrupt traceback
                _, folder = line()
                self.assertTrue(os.path.isdir(folder))
                time.sleep(0.2)
                os.kill(proc.pid, sig)
                self.assertEqual(proc.wait(30), -sig, "the host still ends by the signal")
                self.assertFalse(os.path.lexists(folder), "the folder was left behind")
                self.assertEqual([n for n in os.listdir(os.path.dirname(folder))
                                  if n.startswith(os.path.basename(folder))], [])

    def test_a_host_s_own_signal_handler_is_kept(self):
        proc, line, rig = self.host("""
            def stop(signum, frame):
                raise SystemExit(5)
            signal.signal(signal.SIGTERM, stop)
            with Bridge.start(exe) as b:
                b.open(0, fotos)
                say("folder", b.live_view_dir)
                time.sleep(60)
            """)
        _, folder = line()
        os.kill(proc.pid, signal.SIGTERM)
        self.assertEqual(proc.wait(30), 5)
        self.assertFalse(os.path.lexists(folder))
        self.assertEqual(rig.cards[0].calls("exit"), [[]], "the with block closed the camera")


class Station(ClientTest):
    """examples/station.py: five photos beside live view, across a pulled
    cable and up to a Ctrl-C, with no recovery code of its own."""

    def station(self):
        rig = Rig((Tarjeta(),))
        self.addCleanup(rig.cleanup)
        proc = subprocess.Popen([sys.executable, STATION, rig.executable, rig.fotos],
                                stdout=subprocess.PIPE, text=True, start_new_session=True)
        self.addCleanup(Host.reap, proc)
        return proc, rig

    @staticmethod
    def next_line(proc, start):
        """The next line starting with `start` (live-view lines skipped)."""
        while True:
            line = proc.stdout.readline()
            if not line or line.startswith(start):
                return line.split()

    def test_five_photos_across_a_pulled_cable(self):
        proc, rig = self.station()
        card = rig.cards[0]
        self.assertEqual(self.next_line(proc, "photo")[0], "photo")
        unplug(card)
        self.assertEqual(self.next_line(proc, "camera"), ["camera", "disconnected"])
        time.sleep(1)
        plug(card)
        self.assertEqual(self.next_line(proc, "camera"), ["camera", "reconnected"])
        photos = [self.next_line(proc, "photo")[1] for _ in range(4)]
        self.assertEqual(proc.wait(60), 0)
        # The camera numbers its photos anew after the reconnection; the
        # bridge gives a name already taken the next free suffix.
        self.assertEqual(len(set(photos)), 4)
        self.assertEqual(len(os.listdir(rig.fotos)), 5)
        self.assertTrue(all(os.path.isfile(p) for p in photos))
        self.assertEqual([op for _, op, _ in card.log() if op in ("init", "exit")], ["init", "exit"] * 2)

    def test_ctrl_c_closes_the_camera_in_order(self):
        proc, rig = self.station()
        self.next_line(proc, "photo")
        os.killpg(proc.pid, signal.SIGINT)
        self.assertEqual(self.next_line(proc, "stopped"), ["stopped"])
        self.assertEqual(proc.wait(30), 0)
        self.assertEqual(rig.cards[0].calls("exit"), [[]], "the camera was closed")


if __name__ == "__main__":
    import unittest
    unittest.main()
