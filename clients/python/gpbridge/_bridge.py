"""The bridge as a child process, driven from plain blocking calls.

One reader thread owns the bridge's standard output. It frames and parses
every line and hands each event to whoever is waiting for it: the call in
progress (answers), the live view (frames) or the queue of unsolicited
events (everything else). Calls run one at a time, because the protocol
matches answers to commands only by their order.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
import threading
import time
import traceback
import weakref
from collections import deque
from typing import Any, Callable, Iterator, NamedTuple, Union

from ._wire import (
    BridgeError,
    BridgeExited,
    BridgeTimeout,
    CameraClosed,
    GpbridgeError,
    LineSplitter,
    ProtocolError,
    command_line,
    operation_of,
    parse_event,
)


class Camera(NamedTuple):
    model: str
    port: str


class Settings(NamedTuple):
    """The camera's settings, each as the camera words it ("" when it has
    no such setting)."""

    iso: str
    aperture: str
    shutter_speed: str
    battery: str


class Opened(NamedTuple):
    model: str
    settings: Settings


class Photo(NamedTuple):
    """A photo complete in the download folder."""

    path: str
    name: str


class Frame(NamedTuple):
    """A live-view frame. The bridge replaces its file whole with every new
    frame, so read() may return a newer frame than `n`, never a torn one."""

    n: int
    path: str

    def read(self) -> bytes:
        with open(self.path, "rb") as f:
            return f.read()


class Closed(NamedTuple):
    """The camera closed without being asked: reason is "disconnected", or
    "requested"/"replaced" when a command sent outside this client did it."""

    reason: str


class Failure(NamedTuple):
    """An error no call was waiting for (for example a download of a photo
    fired on the camera, or a `camera` warning)."""

    text: str
    operation: str | None


class LiveViewEnded(NamedTuple):
    """Live view stopped by itself while no live-view iterator was active."""


Event = Union[Photo, Settings, Closed, Failure, LiveViewEnded, ProtocolError]

# Error operations each kind of call takes as its own failure.
_CLAIMS = {"open": {"open"}, "capture": {"capture", "download", "save"}}


class _Call:
    __slots__ = ("kind", "done", "result", "error", "model", "disconnected")

    def __init__(self, kind: str) -> None:
        self.kind = kind
        self.done = False
        self.result: Any = None
        self.error: GpbridgeError | None = None
        self.model: str | None = None
        self.disconnected = False


def _private_base() -> str | None:
    """Where to make the live-view directory: memory-backed if possible."""
    for base in ("/dev/shm", os.environ.get("XDG_RUNTIME_DIR")):
        if base and os.path.isdir(base) and os.access(base, os.W_OK | os.X_OK):
            return base
    return None


def _wait_limit(timeout: float | None) -> float | None:
    """A time limit the threading primitives accept: None (no limit) for
    None, infinity or anything longer than they can wait."""
    if timeout is None or timeout > threading.TIMEOUT_MAX:
        return None
    return max(timeout, 0)


class Bridge:
    """A running gpbridge. Use it as a context manager; leaving the block
    ends the bridge (closing the camera) and removes the live-view
    directory if the client made it.

        with Bridge.start() as bridge:
            bridge.open(0, "photos")
            print(bridge.capture().path)

    `on_event` is called on the reader thread for every unsolicited event
    instead of queueing it for `events()`; it must return quickly and must
    not call methods that wait for the bridge. `trace` sees every raw line.
    """

    def __init__(
        self,
        executable: str | os.PathLike[str] = "gpbridge",
        live_view_dir: str | os.PathLike[str] | None = None,
        env: dict[str, str] | None = None,
        cwd: str | os.PathLike[str] | None = None,
        *,
        on_event: Callable[[Event], None] | None = None,
        trace: Callable[[bytes], None] | None = None,
        max_events: int = 1000,
    ) -> None:
        self._cwd = None if cwd is None else os.fspath(cwd)
        self._remove_dir: Callable[[], object] = lambda: None
        if live_view_dir is None:
            live_view_dir = tempfile.mkdtemp(prefix="gpbridge-live-", dir=_private_base())
            # Removed by quit(), or at the latest when the program ends.
            self._remove_dir = weakref.finalize(self, shutil.rmtree, live_view_dir, True)
        # Absolute, so that frame paths name the same file here and there.
        self.live_view_dir = self._absolute(live_view_dir)
        self._on_event = on_event
        self._trace = trace
        self._cond = threading.Condition(threading.Lock())
        self._call_lock = threading.Lock()
        self._write_lock = threading.Lock()
        self._calls: list[_Call] = []
        self._live: LiveView | None = None
        self._events: deque[Event] = deque(maxlen=max(1, max_events))
        self.events_dropped = 0
        self._open = False
        self._exited = False
        self.model: str | None = None
        self.settings: Settings | None = None
        try:
            self._proc = subprocess.Popen([os.fspath(executable), self.live_view_dir], bufsize=0,
                                          stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                          env=env, cwd=self._cwd)
        except BaseException:
            self._remove_dir()
            raise
        self._reader = threading.Thread(target=self._read, name=f"gpbridge-{self._proc.pid}", daemon=True)
        self._reader.start()

    @classmethod
    def start(cls, executable: str | os.PathLike[str] = "gpbridge",
              live_view_dir: str | os.PathLike[str] | None = None,
              env: dict[str, str] | None = None, cwd: str | os.PathLike[str] | None = None,
              **options: Any) -> Bridge:
        return cls(executable, live_view_dir, env, cwd, **options)

    def __enter__(self) -> Bridge:
        return self

    def __exit__(self, *exc: object) -> None:
        try:
            self.quit()
        except GpbridgeError:
            pass  # it was killed; the block's own exception, if any, matters more

    # -- state ---------------------------------------------------------------

    @property
    def pid(self) -> int:
        return self._proc.pid

    @property
    def returncode(self) -> int | None:
        return self._proc.returncode

    @property
    def running(self) -> bool:
        with self._cond:
            return not self._exited

    @property
    def is_open(self) -> bool:
        """Whether a camera is open, as far as the events read so far tell."""
        with self._cond:
            return self._open

    # -- calls ---------------------------------------------------------------

    def list_cameras(self, timeout: float = 20.0) -> list[Camera]:
        return self._call("list_cameras", command_line("list_cameras"), timeout)

    def open(self, index: int = 0, folder: str | os.PathLike[str] = ".", *,
             create: bool = True, timeout: float = 30.0) -> Opened:
        """Opens camera `index` of a fresh detection, downloading photos into
        `folder` (made absolute against the bridge's working directory and
        created unless create=False). Returns once its settings arrived."""
        if isinstance(index, bool) or not isinstance(index, int) or index < 0:
            raise ValueError(f"camera index must be an int >= 0, not {index!r}")
        path = self._absolute(folder)
        if len(os.fsencode(path)) > 4095:
            raise ValueError("download folder longer than 4095 bytes")
        line = command_line("open", str(index), path)
        if create:
            os.makedirs(path, exist_ok=True)
        return self._call("open", line, timeout)

    def capture(self, timeout: float = 60.0) -> Photo:
        """Fires the shutter and returns the first photo that arrives after
        it. Raises BridgeError if the shot or its download failed,
        CameraClosed if no camera is open or it closes meanwhile."""
        return self._call("capture", command_line("capture"), timeout)

    def close(self, timeout: float = 15.0) -> str:
        """Closes the camera (if any). Returns "disconnected" if the camera
        went away before the bridge got to close it, else "requested"."""
        return self._call("close", command_line("close"), timeout)

    def live_view(self, frame_timeout: float | None = 10.0) -> LiveView:
        """Turns live view on; iterate the result for frames."""
        with self._cond:
            self._check_running()
            if not self._open:
                raise CameraClosed("no camera is open")
            old, self._live = self._live, LiveView(self, frame_timeout)
            live = self._live
            if old is not None:
                old._end(None)
                self._cond.notify_all()
        self._write(command_line("live_view_on"))
        return live

    def quit(self, timeout: float = 10.0) -> int:
        """Ends the bridge (closing the camera) and returns its exit status.
        Does not wait for a call in progress: `salir` is sent at once, and
        that call gets what was already on its way (a capture its photo) or
        fails with CameraClosed or BridgeExited. If the bridge does not exit
        in time it is killed and BridgeTimeout is raised."""
        try:
            if self.running:
                with self._cond:
                    self._calls.append(_Call("quit"))
                try:
                    self._write(command_line("quit"))
                except BridgeExited:
                    pass
            self._close_stdin()
            try:
                self._proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self._proc.kill()
                self._proc.wait()
                raise BridgeTimeout(f"the bridge did not exit within {timeout} s; killed it") from None
            finally:
                self._reader.join(max(timeout, 5.0))  # output ends with the process
            return self._proc.returncode
        finally:
            self._remove_dir()

    # -- unsolicited events ----------------------------------------------------

    def next_event(self, timeout: float | None = None) -> Event | None:
        """The oldest unsolicited event; None if none came within `timeout`
        or the bridge has exited and all were read."""
        with self._cond:
            self._cond.wait_for(lambda: self._events or self._exited, _wait_limit(timeout))
            return self._events.popleft() if self._events else None

    def events(self, timeout: float | None = None) -> Iterator[Event]:
        """Unsolicited events as they come, until the bridge exits (or, with
        a timeout, until none came for that long)."""
        while (event := self.next_event(timeout)) is not None:
            yield event

    # -- internals ---------------------------------------------------------------

    def _absolute(self, path: str | os.PathLike[str]) -> str:
        """A path as the bridge sees it: relative ones are taken against its
        working directory."""
        return os.path.abspath(os.path.join(self._cwd or os.getcwd(), os.fspath(path)))

    def _check_running(self) -> None:
        if self._exited:
            raise BridgeExited(self._proc.returncode)

    def _write(self, data: bytes) -> None:
        with self._write_lock:
            with self._cond:
                self._check_running()
            view = memoryview(data)
            try:
                while view:
                    view = view[self._proc.stdin.write(view):]
            except (OSError, ValueError):
                raise BridgeExited(self._proc.returncode) from None

    def _close_stdin(self) -> None:
        with self._write_lock:
            try:
                self._proc.stdin.close()
            except OSError:
                pass

    def _call(self, kind: str, line: bytes, timeout: float) -> Any:
        deadline = time.monotonic() + timeout
        limit = _wait_limit(timeout)
        if not self._call_lock.acquire(timeout=-1 if limit is None else limit):
            raise BridgeTimeout(f"{kind}: another call was still waiting after {timeout} s")
        try:
            call = _Call(kind)
            with self._cond:
                self._check_running()
                if kind == "capture" and not self._open:
                    raise CameraClosed("no camera is open")
                self._calls.append(call)
            try:
                self._write(line)
            except BridgeExited:
                with self._cond:
                    if call in self._calls:
                        self._calls.remove(call)
                raise
            with self._cond:
                left = None if limit is None else max(deadline - time.monotonic(), 0)
                if not self._cond.wait_for(lambda: call.done, left):
                    # The other calls' answers always come, late or not, and
                    # stay owed to this call so that the next call does not
                    # take them. A photo may never come.
                    if kind == "capture":
                        self._calls.remove(call)
                    raise BridgeTimeout(f"no answer to {kind} within {timeout} s")
            if call.error is not None:
                raise call.error
            return call.result
        finally:
            self._call_lock.release()

    def _read(self) -> None:
        splitter = LineSplitter()
        fd = self._proc.stdout.fileno()
        try:
            # Small reads: a reader that fell behind catches up in several
            # turns instead of holding hundreds of lines at once.
            while chunk := os.read(fd, 8192):
                for line in splitter.feed(chunk):
                    self._line(line)
            tail = splitter.end()
            if tail is not None:
                self._deliver([tail])  # reported, but the calls fail as BridgeExited
        except OSError:
            pass
        finally:
            self._ended()

    def _line(self, line: bytes | ProtocolError) -> None:
        if self._trace is not None and isinstance(line, bytes):
            try:
                self._trace(line)
            except Exception:
                traceback.print_exc()
        try:
            if isinstance(line, ProtocolError):
                raise line
            kind, fields = parse_event(line)
        except ProtocolError as err:
            with self._cond:
                # The answers can no longer be matched to the calls: fail them.
                self._finish_all(lambda: err)
                self._cond.notify_all()
            self._deliver([err])
            return
        with self._cond:
            out = self._dispatch(kind, fields)
            self._cond.notify_all()
        self._deliver(out)

    def _ended(self) -> None:
        try:
            self._proc.wait(2)
        except subprocess.TimeoutExpired:
            pass  # output closed but not exited yet: say so without a status
        rc = self._proc.returncode
        with self._cond:
            self._exited = True
            self._finish_all(lambda: BridgeExited(rc))
            self._cond.notify_all()
        try:
            self._proc.stdout.close()
        except OSError:
            pass

    def _finish_all(self, error: Callable[[], GpbridgeError]) -> None:
        for call in self._calls:
            call.done, call.error = True, error()
        self._calls.clear()

    def _first(self, test: Callable[[_Call], bool]) -> _Call | None:
        return next((c for c in self._calls if test(c)), None)

    def _finish(self, call: _Call, result: Any = None, error: GpbridgeError | None = None) -> None:
        call.done, call.result, call.error = True, result, error
        self._calls.remove(call)

    def _dispatch(self, kind: str, f: dict[str, Any]) -> list[Event]:
        """Routes one event; called with the lock held. Returns the events
        nobody claimed."""
        live = self._live
        if kind == "frame":
            if live is not None:
                live._frame(f["n"], f["path"])
            return []
        if kind == "live_view_ended":
            if live is None:
                return [LiveViewEnded()]
            live._end(None)
            self._live = None
            return []
        if kind == "error":
            text = f["text"]
            op = operation_of(text)
            if op == "live_view" and live is not None:
                live.error = BridgeError(text)  # its end follows
                return []
            call = self._first(lambda c: op in _CLAIMS.get(c.kind, ()))
            if call is None:
                return [Failure(text, op)]
            self._finish(call, error=BridgeError(text))
            return []
        if kind == "cameras":
            call = self._first(lambda c: c.kind == "list_cameras")
            if call is None:
                return [ProtocolError("a camera list nobody asked for")]
            self._finish(call, [Camera(**c) for c in f["cameras"]])
            return []
        if kind == "opened":
            self._open, self.model = True, f["model"]
            call = self._first(lambda c: c.kind == "open" and c.model is None)
            if call is None:
                return [ProtocolError("a camera opened that nobody asked for")]
            call.model = f["model"]
            return []
        if kind == "settings":
            self.settings = settings = Settings(**f)
            call = self._first(lambda c: c.kind == "open" and c.model is not None)
            if call is None:
                return [settings]
            self._finish(call, Opened(call.model, settings))
            return []
        if kind == "closed":
            reason = f["reason"]
            self._open = False
            if live is not None:
                live._end(reason)
                self._live = None
            for call in [c for c in self._calls if c.kind == "capture"]:
                self._finish(call, error=CameraClosed(f"the camera closed ({reason})", reason))
            if reason == "replaced":
                call = self._first(lambda c: c.kind == "open" and c.model is None)
            elif reason == "requested":
                call = self._first(lambda c: c.kind in ("close", "quit"))
            else:
                call = None
                for c in self._calls:
                    c.disconnected = True
            if call is None:
                return [Closed(reason)]
            if call.kind != "open":
                self._finish(call, "disconnected" if call.disconnected else "requested")
            return []
        # a photo
        photo = Photo(f["path"], f["name"])
        call = self._first(lambda c: c.kind == "capture")
        if call is None:
            return [photo]
        self._finish(call, photo)
        return []

    def _deliver(self, events: list[Event]) -> None:
        if not events:
            return
        if self._on_event is not None:
            for event in events:
                try:
                    self._on_event(event)
                except Exception:
                    traceback.print_exc()
            return
        with self._cond:
            for event in events:
                if len(self._events) == self._events.maxlen:
                    self.events_dropped += 1
                self._events.append(event)
            self._cond.notify_all()


class LiveView:
    """Live view, as an iterator of frames that always yields the newest one:
    a consumer slower than the camera skips frames, and nothing piles up.
    Leaving it (break, close(), the end of a with block) turns live view
    off. Iteration ends when live view stops by itself: then `error` holds
    the failure, or `closed_reason` says why the camera closed."""

    def __init__(self, bridge: Bridge, frame_timeout: float | None) -> None:
        self._bridge = bridge
        self.frame_timeout = frame_timeout
        self._latest: tuple[int, str] | None = None
        self.received = 0  # frame events read from the bridge
        self.delivered = 0  # frames handed out
        self.ended = False
        self.error: BridgeError | None = None
        self.closed_reason: str | None = None
        self._closed = False

    # Called by the reader with the bridge's lock held.
    def _frame(self, n: int, path: str) -> None:
        self._latest = (n, path)
        self.received += 1

    def _end(self, closed_reason: str | None) -> None:
        self.ended = True
        self.closed_reason = closed_reason

    @property
    def backlog(self) -> int:
        """Frames waiting to be handed out: never more than one."""
        return 0 if self._latest is None else 1

    @property
    def skipped(self) -> int:
        return self.received - self.delivered - self.backlog

    def next_frame(self, timeout: float | None = None) -> Frame | None:
        """The newest frame not handed out yet, waiting for one if needed;
        None once live view has ended or was closed."""
        b = self._bridge
        with b._cond:
            b._cond.wait_for(lambda: self._latest is not None or self.ended or self._closed
                             or b._exited, _wait_limit(timeout))
            if self._latest is not None and not self._closed:
                (n, path), self._latest = self._latest, None
                self.delivered += 1
                return Frame(n, path)
            if self.ended or self._closed:
                return None
            if b._exited:
                raise BridgeExited(b._proc.returncode)
            raise BridgeTimeout(f"no live-view frame within {timeout} s")

    def __iter__(self) -> Iterator[Frame]:
        try:
            while (frame := self.next_frame(self.frame_timeout)) is not None:
                yield frame
        finally:
            self.close()

    def close(self) -> None:
        """Turns live view off (sends the command unless a newer live view
        has taken over). Safe to call more than once."""
        b = self._bridge
        with b._cond:
            if self._closed:
                return
            self._closed = True
            mine = b._live is self or b._live is None
            if b._live is self:
                b._live = None
            b._cond.notify_all()
        if mine:
            try:
                b._write(command_line("live_view_off"))
            except BridgeExited:
                pass

    def __enter__(self) -> LiveView:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
