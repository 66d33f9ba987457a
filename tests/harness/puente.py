"""Test harness: runs the real bridge binary, optionally inside a private
mount namespace with simulated camera cards, and talks to it through pipes.

    with Sesion([Tarjeta(scenario=[...])]) as s:
        s.send("abrir 0 " + s.fotos)
        s.expect('{"e":"abierta","modelo":"Mass Storage Camera"}')
"""

import json
import os
import queue
import shutil
import subprocess
import tempfile
import threading
import time
import unittest

import esquema

GPBRIDGE = os.environ.get("GPBRIDGE", "")
CAMLIBS_DIR = os.environ.get("CAMLIBS_DIR", "")
NS_RUN = os.environ.get("NS_RUN", "")
MODEL = "Mass Storage Camera"

# libgphoto2's texts for the statuses the tests meet.
TEXTS = {
    -1: "Unspecified error",
    -2: "Bad parameters",
    -3: "Out of memory",
    -6: "Unsupported operation",
    -7: "I/O problem",
    -35: "Error writing to the port",
    -10: "Timeout reading from or writing to the port",
    -52: "Could not find the requested device on the USB port",
    -105: "Unknown model",
    -108: "File not found",
    -110: "I/O in progress",
    -113: "Camera could not complete operation",
}


def error(label, status):
    """The exact error event line for a library status."""
    return json.dumps({"e": "error", "texto": f"{label}: {TEXTS[status]}"},
                      ensure_ascii=False, separators=(",", ":"))


def preload(library, **variables):
    """Environment that preloads one of the test shims into the bridge.
    A sanitized bridge must be told that its runtime is not loaded first."""
    asan = os.environ.get("ASAN_OPTIONS", "")
    env = {"LD_PRELOAD": library,
           "ASAN_OPTIONS": (asan + ":" if asan else "") + "verify_asan_link_order=0"}
    env.update({k: str(v) for k, v in variables.items()})
    return env


def escape_field(value):
    if isinstance(value, int):
        return str(value)
    out = []
    for b in value.encode() if isinstance(value, str) else value:
        c = chr(b)
        if c == "\\":
            out.append("\\\\")
        elif c == "\t":
            out.append("\\t")
        elif c == "\n":
            out.append("\\n")
        elif c == "\r":
            out.append("\\r")
        elif b < 0x20 or b >= 0x7F:
            out.append("\\x%02x" % b)
        else:
            out.append(c)
    return "".join(out)


def directive(*fields):
    """One line of the simulated camera's scenario language."""
    return "\t".join(escape_field(f) for f in fields)


def generated(name, size):
    """The bytes of a generated photo of `size` bytes named `name`."""
    raw = name.encode() if isinstance(name, str) else name
    h = sum(raw) % 256
    return bytes(((i * 131 + h) & 0xFF) for i in range(size))


class Tarjeta:
    """A simulated camera's memory card: a folder bind-mounted in the
    bridge's namespace. Scenario lines are read when the camera opens;
    control lines are picked up at run time."""

    def __init__(self, scenario=(), name=None):
        self.scenario = list(scenario)
        self.name = name
        self.src = None
        self.mount = None
        self.saved_log = b""

    def prepare(self, root, index):
        if self.src is not None:  # already laid out: reuse it as it is
            return
        name = self.name or f"card{index}"
        self.src = os.path.join(root, "cards", name)
        self.mount = os.path.join(root, "mnt", name)
        os.makedirs(os.path.join(self.src, "DCIM"))
        os.makedirs(os.path.join(self.src, "sim"))
        with open(self.path("scenario"), "w") as f:
            f.write("".join(line + "\n" for line in self.scenario))

    def path(self, *parts):
        return os.path.join(self.src, "sim", *parts)

    def control(self, *lines):
        with open(self.path("control"), "a") as f:
            f.write("".join(line + "\n" for line in lines))

    def log(self):
        """The driver's call log as (time, op, fields) tuples."""
        raw = self.read_log().decode("utf-8", "surrogateescape")
        entries = []
        for line in raw.splitlines():
            stamp, _, rest = line.partition(" ")
            op, *fields = rest.split("\t")
            entries.append((float(stamp), op, fields))
        return entries

    def read_log(self):
        try:
            with open(self.path("log"), "rb") as f:
                self.saved_log = f.read()
        except (FileNotFoundError, TypeError):
            pass  # the card is gone with its session: the last copy read
        return self.saved_log

    def calls(self, op):
        return [fields for _, o, fields in self.log() if o == op]


class Sesion:
    """One running bridge. Every event line read is checked to be a JSON
    object; nothing may ever appear on standard error."""

    def __init__(self, cards=(), args=None, tmpfs=(), namespace=None, pump=True, camlibs=None,
                 env=None, preexec=None):
        self.cards = list(cards)
        self.args = args
        self.tmpfs = list(tmpfs)
        self.namespace = bool(self.cards or self.tmpfs) if namespace is None else namespace
        self.root = tempfile.mkdtemp(prefix="gpbridge-test-")
        self.fotos = os.path.join(self.root, "fotos")
        os.makedirs(self.fotos)
        self.lines = queue.Queue()
        self.proc = None
        self.pump = pump
        self.camlibs = CAMLIBS_DIR if camlibs is None else camlibs
        # Variables added to (or, as None, removed from) the bridge's environment.
        self.env = dict(env or {})
        self.preexec = preexec  # run in the child before the bridge starts

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        for card in self.cards:
            card.read_log()
        shutil.rmtree(self.root, ignore_errors=True)

    def start(self):
        if not GPBRIDGE:
            raise RuntimeError("GPBRIDGE is not set; run the tests through ctest")
        args = self.args
        if args is None:
            # Live-view frames go to a folder of the session's own, never to
            # the bridge's default /tmp (a test that wants that passes []).
            args = [os.path.join(self.root, ".live")]
            os.makedirs(args[0], exist_ok=True)
        cmd = [GPBRIDGE] + list(args)
        if self.namespace:
            ns = [NS_RUN]
            for i, card in enumerate(self.cards):
                card.prepare(self.root, i)
                ns += ["--card", f"{card.mount}={card.src}"]
            for mount, size in self.tmpfs:
                ns += ["--tmpfs", f"{mount}={size}"]
            cmd = ns + ["--", "env", f"CAMLIBS={self.camlibs}"] + cmd
        env = None
        if self.env:
            env = {k: v for k, v in os.environ.items() if k not in self.env}
            env.update({k: v for k, v in self.env.items() if v is not None})
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, cwd=self.root, env=env,
                                     preexec_fn=self.preexec)
        if self.pump:
            threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        for raw in self.proc.stdout:
            self.lines.put(raw)
        self.lines.put(None)

    def send(self, *lines):
        data = b"".join((l.encode() if isinstance(l, str) else l) + b"\n" for l in lines)
        self.send_raw(data)

    def send_raw(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def _next(self, timeout):
        """The next raw line, None at end of output; queue.Empty on timeout."""
        raw = self.lines.get(timeout=timeout)
        if raw is None:
            self.lines.put(None)  # end of output stays visible to later reads
        return raw

    @staticmethod
    def _checked(raw):
        """A raw event line as text, after checking it against the schema."""
        assert raw.endswith(b"\n") and not raw.endswith(b"\r\n"), raw
        text = raw[:-1].decode("utf-8", "surrogateescape")
        esquema.validate_line(text)
        return text

    def event(self, timeout=10):
        """The next event line, as text without its line feed, or None at end."""
        try:
            raw = self._next(timeout)
        except queue.Empty:
            raise AssertionError(f"no event within {timeout} s") from None
        return None if raw is None else self._checked(raw)

    def expect(self, *expected, timeout=10):
        for line in expected:
            got = self.event(timeout)
            if got != line:
                raise AssertionError(f"expected {line!r}\n     got {got!r}")

    def expect_event(self, name, timeout=10, skip=()):
        """Reads until an event named `name`, skipping only events in `skip`."""
        while True:
            got = self.event(timeout)
            if got is None:
                raise AssertionError(f"end of output while waiting for {name}")
            ev = json.loads(got)
            if ev["e"] == name:
                return ev
            if ev["e"] not in skip:
                raise AssertionError(f"expected {name}, got {got!r}")

    def expect_nothing(self, seconds=0.5):
        try:
            raw = self.lines.get(timeout=seconds)
        except queue.Empty:
            return
        self.lines.put(raw)
        raise AssertionError(f"unexpected output {raw!r}")

    def drain(self, name, quiet=0.5):
        """Reads events named `name` until none comes for `quiet` seconds."""
        got = []
        while True:
            try:
                raw = self._next(quiet)
            except queue.Empty:
                return got
            if raw is None:
                return got
            ev = json.loads(self._checked(raw))
            if ev["e"] != name:
                raise AssertionError(f"expected only {name} events, got {raw!r}")
            got.append(ev)

    def collect(self, seconds):
        """Every event line that arrives within `seconds`, as (monotonic time
        of arrival, text) pairs; stops early at end of output."""
        got = []
        end = time.monotonic() + seconds
        while (left := end - time.monotonic()) > 0:
            try:
                raw = self._next(left)
            except queue.Empty:
                break
            if raw is None:
                break
            got.append((time.monotonic(), self._checked(raw)))
        return got

    def close_input(self):
        self.proc.stdin.close()

    def wait(self, timeout=10):
        rc = self.proc.wait(timeout)
        err = self.proc.stderr.read()
        self.proc.stderr.close()
        assert err == b"", f"the bridge wrote to standard error: {err!r}"
        return rc

    def stop(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for pipe in (self.proc.stdin, self.proc.stderr, None if self.pump else self.proc.stdout):
            if pipe is not None and not pipe.closed:
                try:
                    pipe.close()
                except BrokenPipeError:
                    pass

    def open_camera(self, index=0, folder=None, model=MODEL):
        """Opens a camera and consumes `abierta` and the first `ajustes`."""
        self.send(f"abrir {index} {self.fotos if folder is None else folder}")
        self.expect(f'{{"e":"abierta","modelo":"{model}"}}')
        return self.expect_event("ajustes")


def require_namespace(test):
    """Camera tests need a private mount namespace (root, or an ordinary user
    where user namespaces are on). They fail with a clear message where it
    cannot be made; they are never skipped."""
    r = subprocess.run([NS_RUN, "--", "true"], capture_output=True)
    if r.returncode != 0:
        raise AssertionError("cannot run camera tests: " + r.stderr.decode().strip())


class CameraTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require_namespace(cls)
