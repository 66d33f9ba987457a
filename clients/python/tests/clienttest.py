"""Shared set-up for the client's tests: simulated cards (tests/harness),
a wrapper script that starts the real bridge on them inside ns-run, and a
record of every raw line the client read, checked against the event schema."""

import os
import shlex
import shutil
import tempfile
import threading
import time
import unittest

import esquema
from puente import CAMLIBS_DIR, GPBRIDGE, NS_RUN, Tarjeta, require_namespace

from gpbridge import Bridge, BridgeTimeout

MODEL = "Mass Storage Camera"
DEFAULT_SETTINGS = ("100", "f/5.6", "1/125", "100%")
SLOW_FOLDER = "/store_00010001/DCIM/100SIMUL"



def in_thread(fn):
    """Runs fn on a thread; the returned dict gets "result" or "error"."""
    out = {}

    def run():
        try:
            out["result"] = fn()
        except Exception as exc:  # noqa: BLE001  (the test looks at it)
            out["error"] = exc

    out["thread"] = threading.Thread(target=run, daemon=True)
    out["thread"].start()
    return out


def joined(case, out, timeout=60):
    out["thread"].join(timeout)
    case.assertFalse(out["thread"].is_alive(), "the call hung")
    return out


class Rig:
    """A scratch folder holding the cards, the download folder and the
    wrapper script passed to Bridge as its executable."""

    def __init__(self, cards=(), camlibs=None, keep_lines=True):
        self.keep_lines = keep_lines
        self.checked = 0
        self.bad = []
        self.root = tempfile.mkdtemp(prefix="gpbridge-client-")
        self.cards = list(cards)
        self.fotos = os.path.join(self.root, "fotos")
        cmd = [NS_RUN]
        for i, card in enumerate(self.cards):
            card.prepare(self.root, i)
            cmd += ["--card", f"{card.mount}={card.src}"]
        cmd += ["--", "env", f"CAMLIBS={CAMLIBS_DIR if camlibs is None else camlibs}", GPBRIDGE]
        self.executable = os.path.join(self.root, "gpbridge-on-cards")
        with open(self.executable, "w") as f:
            f.write("#!/bin/sh\nexec " + " ".join(map(shlex.quote, cmd)) + ' "$@"\n')
        os.chmod(self.executable, 0o755)
        self.lines = []

    def trace(self, line):
        if self.keep_lines:
            self.lines.append(line)
            return
        # Checked as it comes and not kept, for tests that watch memory.
        try:
            esquema.validate_line(line.decode("utf-8", "surrogateescape"))
            self.checked += 1
        except AssertionError as exc:
            if len(self.bad) < 10:
                self.bad.append(exc)

    def check_lines(self):
        """Every line the client read is a valid event line."""
        for line in self.lines:
            esquema.validate_line(line.decode("utf-8", "surrogateescape"))
        if self.bad:
            raise self.bad[0]

    def wait_for_file(self, suffix, timeout=30):
        """Waits until a file ending in `suffix` shows in the download
        folder (a download under way shows as NAME.parcial)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if os.path.isdir(self.fotos) and any(n.endswith(suffix) for n in os.listdir(self.fotos)):
                return
            time.sleep(0.01)
        raise AssertionError(f"no *{suffix} in {self.fotos} within {timeout} s")

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)


class ClientTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not GPBRIDGE:
            raise RuntimeError("GPBRIDGE is not set; run the tests through ctest")
        require_namespace(cls)

    def start(self, *cards, camlibs=None, keep_lines=True, **options):
        """A bridge on these cards; stopped, its lines checked and its
        folder removed when the test ends."""
        rig = Rig(cards, camlibs, keep_lines)
        self.addCleanup(rig.cleanup)
        bridge = Bridge.start(rig.executable, trace=rig.trace, **options)
        self.addCleanup(rig.check_lines)
        self.addCleanup(self._stop, bridge)
        return bridge, rig

    @staticmethod
    def _stop(bridge):
        try:
            bridge.quit()
        except BridgeTimeout:
            pass

    def opened(self, *cards, **options):
        bridge, rig = self.start(*(cards or (Tarjeta(),)), **options)
        bridge.open(0, rig.fotos)
        return bridge, rig

    def drain(self, bridge, quiet=0.3):
        """The unsolicited events that came, until none comes for `quiet` s."""
        return list(bridge.events(timeout=quiet))
