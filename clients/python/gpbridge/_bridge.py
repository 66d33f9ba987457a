"""The bridge as a child process, driven from plain blocking calls.

One reader thread owns the bridge's standard output. It frames and parses
every line and hands each event to whoever is waiting for it: the call in
progress (answers), the live view (frames) or the queue of unsolicited
events (everything else). Calls run one at a time, because the protocol
matches answers to commands only by their order.

A second thread, the keeper, watches for a bridge that has stopped
answering (and kills it) and, with reconnect on, brings the camera back:
it restarts the bridge, waits for the same camera, reopens it and turns
live view back on.
"""

from __future__ import annotations

import errno
import math
import os
import re
import shutil
import signal
import stat
import subprocess
import tempfile
import threading
import time
import traceback
import weakref
from collections import deque
from typing import Any, Callable, Iterator, NamedTuple, Union

from ._wire import (
    SETTINGS,
    BridgeError,
    BridgeExited,
    BridgeTimeout,
    CameraClosed,
    CameraUnavailable,
    FolderError,
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


class SettingChoices(NamedTuple):
    """The values each setting can take, in the camera's order (empty when
    the camera offers no list for it)."""

    iso: list[str]
    aperture: list[str]
    shutter_speed: list[str]


class Opened(NamedTuple):
    model: str
    settings: Settings


class File(NamedTuple):
    """One file of a shot, complete in the download folder."""

    path: str
    name: str


class _PhotoFields(NamedTuple):
    path: str
    name: str


class Photo(_PhotoFields):
    """A photo complete in the download folder. `files` lists every file of
    the shot as File(path, name), the photo itself first, then the files
    with the same stem that came with it (RAW+JPEG). A Photo compares equal
    to Photo(path, name) whatever its files."""

    def __new__(cls, path: str, name: str, files: tuple[File, ...] | list[File] | None = None) -> Photo:
        self = super().__new__(cls, path, name)
        if files:
            self.__dict__["_files"] = tuple(files)
        return self

    @property
    def files(self) -> tuple[File, ...]:
        return self.__dict__.get("_files") or (File(self.path, self.name),)

    def __repr__(self) -> str:
        extra = f", files={list(self.files)!r}" if len(self.files) > 1 else ""
        return f"Photo(path={self.path!r}, name={self.name!r}{extra})"


# The most a frame file may hold: far more than any camera's preview.
_MAX_FRAME = 64 << 20


class Frame(NamedTuple):
    """A live-view frame. The bridge replaces its file whole with every new
    frame, so read() may return a newer frame than `n`, never a torn one."""

    n: int
    path: str

    def read(self) -> bytes:
        """The frame's bytes. The file is opened once, never through a
        symbolic link and without blocking, and read from that descriptor;
        anything but a plain file raises OSError."""
        fd = os.open(self.path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
        try:
            info = os.fstat(fd)
            if not stat.S_ISREG(info.st_mode):
                raise OSError(errno.EINVAL, "not a plain file", self.path)
            chunks = []
            size = 0
            while chunk := os.read(fd, max(info.st_size - size, 0) + 65536):
                size += len(chunk)
                if size > _MAX_FRAME:
                    raise OSError(errno.EFBIG, "larger than any live-view frame", self.path)
                chunks.append(chunk)
            return b"".join(chunks)
        finally:
            os.close(fd)


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


class Disconnected(NamedTuple):
    """With reconnect on: the camera went away and the client is bringing
    it back. reason: "disconnected" (the camera went), "exited" (the bridge
    ended by itself) or "hung" (the bridge stopped answering and the
    client killed it)."""

    reason: str


class Reconnected(NamedTuple):
    """With reconnect on: the camera is open again, in the same folder, with
    live view back on if it was on."""

    model: str
    settings: Settings


Event = Union[Photo, Settings, Closed, Failure, LiveViewEnded, Disconnected, Reconnected, ProtocolError]

# Error operations each kind of call takes as its own failure.
_CLAIMS = {"open": {"open"}, "capture": {"capture", "download", "save"}, "set_setting": {"set_setting"}}
# Calls that need the camera: they fail at once when none is open, wait
# for it while it is away (reconnect on) and fail when it closes.
_CAMERA_CALLS = ("capture", "setting_choices", "set_setting")


class _Call:
    __slots__ = ("kind", "done", "result", "error", "model", "disconnected", "limit", "files")

    def __init__(self, kind: str, limit: float | None = None) -> None:
        self.kind = kind
        self.done = False
        self.result: Any = None
        self.error: GpbridgeError | None = None
        self.model: str | None = None
        self.disconnected = False
        self.limit = limit  # its time limit; None: none
        self.files: list[File] = []  # capture: the files of its shot so far


class _Session(NamedTuple):
    """What reconnect needs to open the same camera again."""

    folder: str
    model: str | None
    port: str | None
    # The ports of the other cameras detected beside it: a camera there is
    # never taken for it, even of the same model.
    others: frozenset[str] = frozenset()


class _Shot:
    """The files of the latest shot: its photo's stem and the extensions
    seen. A file with that stem and a new extension belongs to it."""

    __slots__ = ("stems", "exts", "call")

    def __init__(self, name: str, call: _Call | None) -> None:
        stem, ext = _split(name)
        self.stems = {stem, _unsuffixed(stem)}
        self.exts = {ext.lower()}
        self.call = call  # the capture still gathering its files, or None

    def takes(self, name: str) -> bool:
        stem, ext = _split(name)
        return ext.lower() not in self.exts and (stem in self.stems or _unsuffixed(stem) in self.stems)

    def add(self, name: str) -> None:
        self.exts.add(_split(name)[1].lower())


def _split(name: str) -> tuple[str, str]:
    stem, dot, ext = name.rpartition(".")
    return (stem, "." + ext) if dot and stem else (name, "")


def _unsuffixed(stem: str) -> str:
    """A stem without the -N the bridge adds to a name already taken."""
    return re.sub(r"-[0-9]+$", "", stem)


def _limit(timeout: float | None) -> float | None:
    """A time limit in seconds, or None for none: None, infinity and
    anything longer than the threading primitives can wait all mean no
    limit; a negative one is 0."""
    if timeout is None:
        return None
    t = float(timeout)
    if math.isnan(t):
        raise ValueError("a time limit cannot be NaN")
    if t > threading.TIMEOUT_MAX:
        return None
    return max(t, 0.0)


class _Deadline:
    def __init__(self, timeout: float | None) -> None:
        self.limit = _limit(timeout)
        self.end = None if self.limit is None else time.monotonic() + self.limit

    def left(self) -> float | None:
        return None if self.end is None else max(self.end - time.monotonic(), 0.0)

    def passed(self) -> bool:
        return self.end is not None and time.monotonic() >= self.end


# -- the private live-view folders -----------------------------------------------

# Folders this process made and must remove, even when it is killed by a
# signal whose default action would end it without running any cleanup.
_OWN_FOLDERS: set[str] = set()
_OWN_LOCK = threading.Lock()
_FATAL = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP", "SIGINT"))
_handlers_installed = False


def _private_base() -> str | None:
    """Where to make the live-view directory: memory-backed if possible."""
    for base in ("/dev/shm", os.environ.get("XDG_RUNTIME_DIR")):
        if base and os.path.isdir(base) and os.access(base, os.W_OK | os.X_OK):
            return base
    return None


def _remove_tree(path: str) -> None:
    """Removes a folder of ours that a bridge may still be writing frames
    into: it is renamed first, so nothing new lands in it by its name."""
    gone = f"{path}.gone-{os.getpid()}"
    try:
        os.rename(path, gone)
    except FileNotFoundError:
        return
    except OSError:
        gone = path
    for _ in range(5):
        shutil.rmtree(gone, ignore_errors=True)
        if not os.path.lexists(gone):
            return


def _forget_folder(path: str, pid: int) -> None:
    if os.getpid() != pid:
        return  # a forked child: the folder is its parent's
    with _OWN_LOCK:
        _OWN_FOLDERS.discard(path)
    _remove_tree(path)


def _on_fatal_signal(signum: int, frame: object) -> None:
    # No lock: the main thread, which runs this, may hold it already.
    folders: list[str] = []
    if _owner_pid == os.getpid():
        for _ in range(10):
            try:
                folders = list(_OWN_FOLDERS)
                break
            except RuntimeError:  # changed size while copied
                continue
    for path in folders:
        _remove_tree(path)
    # Then the signal's own default action: the process ends by it, as it
    # would have without the client.
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)


_owner_pid = os.getpid()


def _keep_folder(path: str) -> None:
    """Registers a private folder for removal on SIGTERM, SIGHUP and SIGINT.
    A handler goes only where the host left the default action (for SIGINT
    Python's own handler raises KeyboardInterrupt, and the program's exit
    removes the folder), and only from the main thread, where Python lets
    handlers be set."""
    global _handlers_installed, _owner_pid
    with _OWN_LOCK:
        if _owner_pid != os.getpid():  # forked: the parent's folders are not ours
            _OWN_FOLDERS.clear()
            _owner_pid = os.getpid()
        _OWN_FOLDERS.add(path)
    if _handlers_installed or threading.current_thread() is not threading.main_thread():
        return
    for sig in _FATAL:
        try:
            if signal.getsignal(sig) == signal.SIG_DFL:
                signal.signal(sig, _on_fatal_signal)
        except (ValueError, OSError):
            pass
    _handlers_installed = True


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

    `reconnect=True` brings the camera back by itself when it goes away or
    the bridge dies (see the README). `watchdog` is how long (seconds) the
    bridge may stay silent with a camera open before the client takes it
    for hung and kills it (None: never). `sibling_wait` is how long a
    capture waits, after its photo, for more files of the same shot.
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
        reconnect: bool = False,
        watchdog: float | None = 30.0,
        sibling_wait: float = 0.3,
    ) -> None:
        self._cwd = None if cwd is None else os.fspath(cwd)
        self._executable = os.fspath(executable)
        self._env = env
        self._remove_dir: Callable[[], object] = lambda: None
        if live_view_dir is None:
            live_view_dir = tempfile.mkdtemp(prefix="gpbridge-live-", dir=_private_base())
            _keep_folder(live_view_dir)
            # Removed by quit(), or at the latest when the program ends.
            self._remove_dir = weakref.finalize(self, _forget_folder, live_view_dir, os.getpid())
        # Absolute, so that frame paths name the same file here and there.
        self.live_view_dir = self._absolute(live_view_dir)
        self._on_event = on_event
        self._trace = trace
        self._reconnect = bool(reconnect)
        self._watchdog = _limit(watchdog) or None  # 0 is off too
        self._sibling_wait = _limit(sibling_wait) or 0.0
        self._cond = threading.Condition(threading.Lock())
        self._call_lock = threading.Lock()
        self._write_lock = threading.Lock()
        self._calls: list[_Call] = []
        self._live: LiveView | None = None
        self._events: deque[Event] = deque(maxlen=max(1, max_events))
        self.events_dropped = 0
        self._open = False
        self._exited = False  # the current bridge process has ended
        self._over = False  # ... and no other will be started
        self._quitting = False
        self._hung = False  # the current process was killed as hung
        self._session: _Session | None = None
        self._folder: str | None = None
        self._away: str | None = None  # why the camera is away, while reconnecting
        self._mending = False  # the keeper is reconnecting
        self._live_pending = False  # live view failed once: perhaps turn it on again
        self._live_again = False  # ... yes: the keeper does
        self._shot: _Shot | None = None
        self._last_output = time.monotonic()
        self.model: str | None = None
        self.settings: Settings | None = None
        try:
            self._spawn()
        except BaseException:
            self._remove_dir()
            raise
        self._keeper = threading.Thread(target=self._keep, name=f"gpbridge-keeper-{self.pid}", daemon=True)
        self._keeper.start()

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

    @property
    def away(self) -> str | None:
        """With reconnect on: why the camera is away while the client brings
        it back ("disconnected", "exited", "hung"), else None."""
        with self._cond:
            return self._away

    # -- calls ---------------------------------------------------------------

    def list_cameras(self, timeout: float | None = 20.0) -> list[Camera]:
        return self._call("list_cameras", command_line("list_cameras"), timeout)

    def open(self, index: int = 0, folder: str | os.PathLike[str] = ".", *,
             create_folder: bool = True, timeout: float | None = 30.0,
             create: bool | None = None) -> Opened:
        """Opens camera `index` of a fresh detection, downloading photos into
        `folder` (made absolute against the bridge's working directory and
        created unless create_folder=False). Returns once its settings
        arrived. Raises FolderError, naming the folder, when the folder is
        missing or cannot be written. (`create` is the old name of
        `create_folder`.)"""
        if isinstance(index, bool) or not isinstance(index, int) or index < 0:
            raise ValueError(f"camera index must be an int >= 0, not {index!r}")
        if create is not None:
            create_folder = create
        path = self._absolute(folder)
        if len(os.fsencode(path)) > 4095:
            raise ValueError("download folder longer than 4095 bytes")
        line = command_line("open", str(index), path)
        deadline = _Deadline(timeout)
        _check_folder(path, create_folder)
        with self._cond:
            # A new camera, or the same one again: the old one is not to be
            # brought back any more.
            self._session = None
            self._cond.notify_all()
        camera = None
        cameras: list[Camera] = []
        if self._reconnect:
            # Learn the camera's port, to find it again after a pull.
            cameras = self._call("list_cameras", command_line("list_cameras"), deadline.left())
            camera = cameras[index] if index < len(cameras) else None
        opened = self._call("open", line, deadline.left())
        with self._cond:
            self._folder = path
            if self._reconnect and self._open:
                port = camera.port if camera is not None and camera.model == opened.model else None
                others = frozenset(c.port for c in cameras if port is not None and c.port != port)
                self._session = _Session(path, opened.model, port, others)
        return opened

    def capture(self, timeout: float | None = 60.0) -> Photo:
        """Fires the shutter and returns the first photo that arrives after
        it, with the other files of the shot in `files`. Raises BridgeError
        if the shot or its download failed, CameraClosed if no camera is
        open or it closes meanwhile."""
        return self._call("capture", command_line("capture"), timeout)

    def setting_choices(self, timeout: float | None = 20.0) -> SettingChoices:
        """The values the camera offers for ISO, aperture and shutter speed.
        Raises CameraClosed if no camera is open."""
        return self._call("setting_choices", command_line("setting_choices"), timeout)

    def set_setting(self, key: str, value: str, timeout: float | None = 20.0) -> Settings:
        """Sets "iso", "aperture" or "shutter_speed" to `value` (one of its
        choices, as the camera words it) and returns the fresh settings.
        Raises BridgeError (code SETTING_REJECTED) when the camera or the
        bridge refuses it, CameraClosed if no camera is open."""
        if key not in SETTINGS:
            raise ValueError(f"setting must be one of {sorted(SETTINGS)}, not {key!r}")
        if not isinstance(value, str):
            raise TypeError(f"a setting's value is a str, not {type(value).__name__}")
        # `opciones` behind it, in the same write: the answer is the last
        # settings report before the answer to `opciones`, so an idle report
        # the bridge wrote before reading `ajustar` is never taken for it.
        line = command_line("set_setting", SETTINGS[key], value) + command_line("setting_choices")
        return self._call("set_setting", line, timeout)

    def close(self, timeout: float | None = 15.0) -> str:
        """Closes the camera (if any). Returns "disconnected" if the camera
        went away before the bridge got to close it, else "requested". With
        reconnect on, it also stops bringing the camera back."""
        with self._cond:
            had, self._session = self._session, None
            if had is not None and self._away is not None and not self._open:
                # Away: nothing to close; the keeper stops bringing it back
                # (a bridge that died is still started again).
                if self._live is not None:
                    self._live._end("disconnected")
                    self._live = None
                if not self._exited:
                    self._away = None
                self._cond.notify_all()
                return "disconnected"
        return self._call("close", command_line("close"), timeout)

    def live_view(self, frame_timeout: float | None = 10.0) -> LiveView:
        """Turns live view on; iterate the result for frames. While the
        camera is away (reconnect on), live view starts when it is back."""
        with self._cond:
            if self._away is None or self._session is None:
                if self._away is None:
                    self._check_running()
                if not self._open:
                    raise CameraClosed("no camera is open")
            old, self._live = self._live, LiveView(self, frame_timeout)
            live = self._live
            if old is not None:
                old._end(None)
            self._cond.notify_all()
            send = self._away is None
        if send:
            self._write(command_line("live_view_on"))
        return live

    def quit(self, timeout: float | None = 10.0) -> int:
        """Ends the bridge (closing the camera) and returns its exit status.
        Does not wait for a call in progress: `salir` is sent at once, and
        that call gets what was already on its way (a capture its photo) or
        fails with CameraClosed or BridgeExited. If the bridge does not exit
        in time it is killed and BridgeTimeout is raised. Also stops
        reconnecting."""
        deadline = _Deadline(timeout)
        try:
            with self._cond:
                self._quitting = True
                self._session = None
                proc, reader, running = self._proc, self._reader, not self._exited
                self._cond.notify_all()
            if running:
                with self._cond:
                    self._calls.append(_Call("quit"))
                try:
                    self._write(command_line("quit"))
                except BridgeExited:
                    pass
            self._close_stdin()
            try:
                proc.wait(deadline.left())
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                raise BridgeTimeout(f"the bridge did not exit within {timeout} s; killed it") from None
            finally:
                reader.join(None if deadline.limit is None else max(deadline.limit, 5.0))
                self._keeper.join(5.0)
            with self._cond:
                self._over = True
                self._cond.notify_all()
            return proc.returncode
        finally:
            self._remove_dir()

    # -- unsolicited events ----------------------------------------------------

    def next_event(self, timeout: float | None = None) -> Event | None:
        """The oldest unsolicited event; None if none came within `timeout`
        or the bridge has exited (for good) and all were read."""
        limit = _limit(timeout)
        with self._cond:
            self._cond.wait_for(lambda: self._events or self._over, limit)
            return self._events.popleft() if self._events else None

    def events(self, timeout: float | None = None) -> Iterator[Event]:
        """Unsolicited events as they come, until the bridge exits (or, with
        a timeout, until none came for that long)."""
        while (event := self.next_event(timeout)) is not None:
            yield event

    # -- the process -------------------------------------------------------------

    def _spawn(self) -> None:
        """Starts a bridge process and its reader. Called with no lock held
        and, after the first, only by the keeper."""
        proc = subprocess.Popen([self._executable, self.live_view_dir], bufsize=0,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                env=self._env, cwd=self._cwd,
                                # Its own session: a terminal's Ctrl-C reaches
                                # the host, which closes the camera in order.
                                start_new_session=True)
        reader = threading.Thread(target=self._read, args=(proc,), name=f"gpbridge-{proc.pid}", daemon=True)
        with self._cond:
            if self._quitting:
                # quit() came while this one started: it never gets a turn.
                proc.stdin.close()
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
                proc.stdout.close()
                return
            self._proc, self._reader = proc, reader
            self._exited = self._hung = False
            self._last_output = time.monotonic()
        reader.start()

    # -- internals ---------------------------------------------------------------

    def _absolute(self, path: str | os.PathLike[str]) -> str:
        """A path as the bridge sees it: relative ones are taken against its
        working directory."""
        return os.path.abspath(os.path.join(self._cwd or os.getcwd(), os.fspath(path)))

    def _check_running(self) -> None:
        if self._exited:
            raise BridgeExited(self._proc.returncode, self._hung)

    def _write(self, data: bytes) -> None:
        with self._write_lock:
            with self._cond:
                self._check_running()
                stdin = self._proc.stdin
            self._write_to(stdin, data)

    def _write_to(self, stdin: Any, data: bytes) -> None:
        view = memoryview(data)
        try:
            while view:
                view = view[stdin.write(view):]
        except (OSError, ValueError):
            raise BridgeExited(self._proc.returncode, self._hung) from None

    def _close_stdin(self) -> None:
        with self._write_lock:
            try:
                self._proc.stdin.close()
            except OSError:
                pass

    def _wait_present(self, kind: str, deadline: _Deadline) -> None:
        """While the camera is away (reconnect on), waits for it to be back;
        CameraUnavailable when the time limit passes first. Lock held."""
        if self._away is None:
            return
        came = self._cond.wait_for(lambda: self._away is None or self._over or self._quitting, deadline.left())
        if self._away is None:
            return
        if not came:
            raise CameraUnavailable(f"{kind}: the camera was away for the whole "
                                    f"{deadline.limit} s ({self._away})")
        raise CameraUnavailable(f"{kind}: the camera is away ({self._away}) and the bridge is ending")

    def _call(self, kind: str, line: bytes, timeout: float | None, internal: bool = False,
              wanted: Callable[[], bool] | None = None) -> Any:
        deadline = _Deadline(timeout)
        while not internal:  # the keeper holds the call lock already
            # Never while holding the call lock: the keeper needs it to
            # bring the camera back.
            with self._cond:
                self._wait_present(kind, deadline)
            left = deadline.left()
            if not self._call_lock.acquire(timeout=-1 if left is None else left):
                raise BridgeTimeout(f"{kind}: another call was still waiting after {timeout} s")
            with self._cond:
                if self._away is None:
                    break
            self._call_lock.release()  # it went away again meanwhile
        try:
            call = _Call(kind, deadline.limit)
            with self._write_lock:
                with self._cond:
                    self._check_running()
                    if kind in _CAMERA_CALLS and not self._open:
                        raise CameraClosed("no camera is open")
                    if wanted is not None and not wanted():
                        raise _NotWanted()
                    self._calls.append(call)
                    stdin = self._proc.stdin
                try:
                    self._write_to(stdin, line)
                except BridgeExited:
                    with self._cond:
                        if call in self._calls:
                            self._calls.remove(call)
                    raise
            with self._cond:
                if kind == "capture":
                    self._gather(call, deadline)
                elif not self._cond.wait_for(lambda: call.done, deadline.left()):
                    # The answer always comes, late or not, and stays owed
                    # to this call so that the next call does not take it.
                    raise BridgeTimeout(f"no answer to {kind} within {timeout} s")
            if call.error is not None:
                raise call.error
            return call.result
        finally:
            if not internal:
                self._call_lock.release()

    def _gather(self, call: _Call, deadline: _Deadline) -> None:
        """Waits for a capture's photo, then for the other files of its shot
        for as long as more keep coming (or a download of one is visibly
        under way). Lock held."""
        if not self._cond.wait_for(lambda: call.done or call.files, deadline.left()):
            self._calls.remove(call)  # a photo may never come
            raise BridgeTimeout(f"no answer to capture within {deadline.limit} s")
        seen: dict[str, tuple[int, int]] = {}
        count = 0
        quiet_from = time.monotonic()
        while not call.done:
            if len(call.files) != count or self._downloading(call, seen):
                count = len(call.files)
                quiet_from = time.monotonic()
            wait = quiet_from + self._sibling_wait - time.monotonic()
            left = deadline.left()
            if wait <= 0 or left == 0:
                break
            self._cond.wait(min(wait, 0.05, left if left is not None else wait))
        if not call.done:
            self._finish(call, self._photo(call))
        if self._shot is not None and self._shot.call is call:
            self._shot.call = None

    def _downloading(self, call: _Call, seen: dict[str, tuple[int, int]]) -> bool:
        """Whether a partial file of a sibling of this shot appeared or grew
        since the last look (the bridge writes NAME.parcial while it
        downloads). Called with the lock held; the folder is listed without
        it, and only names and sizes are looked at."""
        shot, folder = self._shot, self._folder
        if shot is None or shot.call is not call or folder is None:
            return False
        self._cond.release()
        try:
            return self._partials_grew(shot, folder, seen)
        finally:
            self._cond.acquire()

    @staticmethod
    def _partials_grew(shot: _Shot, folder: str, seen: dict[str, tuple[int, int]]) -> bool:
        grew = False
        try:
            with os.scandir(folder) as entries:
                for entry in entries:
                    if not entry.name.endswith(".parcial") or not shot.takes(entry.name[:-8]):
                        continue
                    info = entry.stat(follow_symlinks=False)
                    now = (info.st_size, info.st_mtime_ns)
                    if seen.get(entry.name) != now:
                        seen[entry.name] = now
                        grew = True
        except OSError:
            return False
        return grew

    @staticmethod
    def _photo(call: _Call) -> Photo:
        first = call.files[0]
        return Photo(first.path, first.name, call.files)

    def _read(self, proc: subprocess.Popen[bytes]) -> None:
        splitter = LineSplitter()
        fd = proc.stdout.fileno()
        try:
            # Small reads: a reader that fell behind catches up in several
            # turns instead of holding hundreds of lines at once.
            while chunk := os.read(fd, 8192):
                self._last_output = time.monotonic()
                for line in splitter.feed(chunk):
                    self._line(line)
                if self._live_pending:
                    # Live view failed: turn it on again unless the lines
                    # read with the failure say the camera has gone.
                    with self._cond:
                        self._live_pending = False
                        self._live_again = self._open and self._live is not None
                        self._cond.notify_all()
            tail = splitter.end()
            if tail is not None:
                self._deliver([tail])  # reported, but the calls fail as BridgeExited
        except OSError:
            pass
        finally:
            self._ended(proc)

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

    def _ended(self, proc: subprocess.Popen[bytes]) -> None:
        try:
            proc.wait(2)
        except subprocess.TimeoutExpired:
            pass  # output closed but not exited yet: say so without a status
        rc = proc.returncode
        out: list[Event] = []
        with self._cond:
            if proc is not self._proc:
                return
            hung = self._hung
            self._exited = True
            self._open = False
            self._finish_all(lambda: BridgeExited(rc, hung))
            # A bridge that ended in order (status 0: told to by a signal,
            # having closed its camera) is not started again; one that died
            # or hung is.
            if self._reconnect and not self._quitting and (rc != 0 or hung):
                # The keeper starts another bridge and, if a camera was
                # open, opens it again.
                if self._session is not None:
                    if self._away is None:
                        out.append(Disconnected("hung" if hung else "exited"))
                    self._away = "hung" if hung else "exited"
                else:
                    self._away = self._away or ("hung" if hung else "exited")
                    if self._live is not None:
                        self._live._end(None)
                        self._live = None
            else:
                self._over = True  # a live view still iterated raises BridgeExited
            self._cond.notify_all()
        self._deliver(out)
        try:
            proc.stdout.close()
        except OSError:
            pass

    def _finish_all(self, error: Callable[[], GpbridgeError]) -> None:
        for call in self._calls:
            call.done = True
            if call.files:  # a capture that has its photo keeps it
                call.result = self._photo(call)
            else:
                call.error = error()
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
            if self._reconnect and not live._retried and not self._quitting:
                # Once: the camera may be going (a cerrada follows) or the
                # failure may pass. The keeper turns live view on again.
                live._retried = True
                self._live_pending = True  # decided once this read's lines are in
                return []
            live._end(None)
            self._live = None
            return []
        if kind == "error":
            text = f["text"]
            op = operation_of(text)
            if op == "live_view" and live is not None:
                live.error = BridgeError(text)  # its end follows
                return []
            call = self._first(lambda c: op in _CLAIMS.get(c.kind, ()) and not c.files and c.error is None)
            if call is None:
                return [Failure(text, op)]
            if call.kind == "set_setting":
                call.error = BridgeError(text)  # the answer to its `opciones` ends it
            else:
                self._finish(call, error=BridgeError(text))
            return []
        if kind == "cameras":
            call = self._first(lambda c: c.kind == "list_cameras")
            if call is None:
                return [ProtocolError("a camera list nobody asked for")]
            self._finish(call, [Camera(**c) for c in f["cameras"]])
            return []
        if kind == "setting_choices":
            call = self._first(lambda c: c.kind in ("setting_choices", "set_setting"))
            if call is None:
                return [ProtocolError("setting choices nobody asked for")]
            if call.kind == "setting_choices":
                self._finish(call, SettingChoices(**f))
            elif call.error is None and call.result is None:
                self._finish(call, error=ProtocolError("no settings report answered ajustar"))
            else:
                self._finish(call, call.result, call.error)
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
            call = self._first(lambda c: (c.kind == "open" and c.model is not None) or c.kind == "set_setting")
            if call is None:
                return [settings]
            if call.kind == "set_setting":
                call.result = settings  # the last one before its `opciones` answer
            else:
                self._finish(call, Opened(call.model, settings))
            return []
        if kind == "closed":
            return self._closed(f["reason"], live)
        return self._photo_came(File(f["path"], f["name"]))

    def _closed(self, reason: str, live: LiveView | None) -> list[Event]:
        self._open = False
        coming_back = (reason == "disconnected" and self._reconnect and self._session is not None
                       and not self._quitting)
        for call in [c for c in self._calls if c.kind in _CAMERA_CALLS]:
            if call.files:
                self._finish(call, self._photo(call))
            else:
                self._finish(call, error=CameraClosed(f"the camera closed ({reason})", reason))
        out: list[Event] = []
        if coming_back:
            if self._away is None:
                out.append(Disconnected("disconnected"))
            self._away = "disconnected"
        elif live is not None:
            live._end(reason)
            self._live = None
        if reason == "replaced":
            call = self._first(lambda c: c.kind == "open" and c.model is None)
        elif reason == "requested":
            call = self._first(lambda c: c.kind in ("close", "quit"))
        else:
            call = None
            for c in self._calls:
                c.disconnected = True
        if call is None:
            if not coming_back:
                out.append(Closed(reason))
            if reason != "disconnected":
                # Closed in order by someone else (a signal to the bridge):
                # not to be brought back.
                self._session = None
            return out
        if call.kind != "open":
            self._finish(call, "disconnected" if call.disconnected else "requested")
        return out

    def _photo_came(self, file: File) -> list[Event]:
        shot = self._shot
        if shot is not None and shot.takes(file.name):
            # Another file of the latest shot: to its capture while that
            # still gathers, else an event; never to a later capture.
            shot.add(file.name)
            if shot.call is not None and not shot.call.done:
                shot.call.files.append(file)
                return []
            return [Photo(file.path, file.name)]
        call = self._first(lambda c: c.kind == "capture" and not c.files)
        self._shot = _Shot(file.name, call)
        if call is None:
            return [Photo(file.path, file.name)]
        call.files.append(file)
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

    # -- the keeper ----------------------------------------------------------------

    def _silence_limit(self) -> float | None:
        """How long the bridge may write nothing before it counts as hung:
        the watchdog's time, plus the longest time limit of the calls in
        flight that may keep it busy (a download may run long). None: not
        watched now. Lock held."""
        if self._watchdog is None or self._exited or self._quitting or self._away is not None:
            return None
        if not self._open and self._live is None:
            return None  # an idle bridge with no camera writes nothing
        extra = 0.0
        for call in self._calls:
            if call.kind in ("capture", "open"):
                if call.limit is None:
                    return None  # told to wait as long as it takes
                extra = max(extra, call.limit)
        return self._watchdog + extra

    def _keep(self) -> None:
        backoff = 0.25
        while True:
            with self._cond:
                proc = self._proc
                while True:
                    if self._quitting or self._over:
                        return
                    if self._away is not None or (self._live_again and not self._exited):
                        break
                    limit = self._silence_limit()
                    if limit is not None:
                        left = self._last_output + limit - time.monotonic()
                        if left <= 0:
                            self._hung = True
                            proc = self._proc
                            break
                        self._cond.wait(min(left, 1.0))
                    else:
                        self._cond.wait(1.0)
                away, again, hung = self._away, self._live_again, self._hung and not self._exited
                self._live_again = False
            if hung:
                # It has written nothing for too long: kill it; its reader
                # then sees the end and, with reconnect on, we start over.
                try:
                    proc.kill()
                except OSError:
                    pass
                with self._cond:
                    self._cond.wait_for(lambda: self._exited or self._quitting, 10.0)
                continue
            if away is None:
                if again:
                    self._live_on()
                continue
            if self._mend():
                backoff = 0.25
                continue
            with self._cond:
                self._cond.wait_for(lambda: self._quitting or self._over or self._away is None
                                    or self._session is None, backoff)
            backoff = min(backoff * 2, 5.0)

    def _live_on(self) -> None:
        with self._cond:
            live = self._live
            if live is None or live._closed or not self._open:
                return
        try:
            self._write(command_line("live_view_on"))
        except BridgeExited:
            pass

    def _mend(self) -> bool:
        """One try at bringing the bridge and the camera back. True when
        done (or nothing is left to do)."""
        with self._cond:
            if self._quitting:
                return True
            dead = self._exited
            old = self._proc
        if dead:
            if old.poll() is None:  # output closed but still running
                old.kill()
                old.wait()
            with self._write_lock:
                try:
                    old.stdin.close()
                except OSError:
                    pass
            try:
                self._spawn()
            except OSError:
                return False
        # One try holds the call lock throughout, so that no call of the
        # host's comes between finding the camera, opening it and, if it
        # turns out not to be wanted any more, closing it again.
        with self._call_lock:
            return self._reopen()

    def _reopen(self) -> bool:
        with self._cond:
            session = self._session
            if session is None:
                self._away = None  # nothing to reopen: a bridge is enough
                self._cond.notify_all()
                return True
        try:
            cameras = self._call("list_cameras", command_line("list_cameras"), 20.0, internal=True)
            index = _find(cameras, session)
            if index is None:
                return False
            try:
                # Not sent once close(), open() or quit() has dropped the
                # session; dropped after it is sent, it is closed below.
                line = command_line("open", str(index), session.folder)
                opened = self._call("open", line, 30.0, internal=True,
                                    wanted=lambda: self._session is session and not self._quitting)
            except _NotWanted:
                with self._cond:
                    if self._session is None:
                        self._away = None
                        self._cond.notify_all()
                return True
            with self._cond:
                if self._session is not session or self._quitting:
                    stale = True
                elif session.model is not None and opened.model != session.model:
                    stale = True  # the list changed under us: not that camera
                else:
                    stale = False
            if stale:
                self._call("close", command_line("close"), 15.0, internal=True)
                with self._cond:
                    if self._session is None:
                        self._away = None
                        self._cond.notify_all()
                    return self._session is None or self._quitting
            with self._cond:
                if self._session is session:
                    # Found again, perhaps on a new port: look there next time.
                    port = cameras[index].port
                    others = session.others | {c.port for c in cameras if c.port != port}
                    self._session = session._replace(port=port, others=frozenset(others))
                live = self._live
                if live is not None and not live._closed:
                    live._retried = False
                    live.error = None
                self._away = None
                self._cond.notify_all()
            if live is not None and not live._closed:
                self._write(command_line("live_view_on"))
            self._deliver([Reconnected(opened.model, opened.settings)])
            return True
        except GpbridgeError:
            return False


class _NotWanted(GpbridgeError):
    """The keeper's open was no longer wanted when its turn came."""


def _find(cameras: list[Camera], session: _Session) -> int | None:
    """The index of the session's camera: on the same port, else the only
    camera of the same model (a port that changed, as USB re-enumeration
    does) that is not on the port of a camera detected beside it."""
    for i, cam in enumerate(cameras):
        if session.port is not None and cam.port == session.port and cam.model == session.model:
            return i
    same = [i for i, cam in enumerate(cameras) if cam.model == session.model and cam.port not in session.others]
    return same[0] if len(same) == 1 else None


def _check_folder(path: str, create: bool) -> None:
    """Makes sure the bridge can save photos in `path`."""
    if create:
        try:
            os.makedirs(path, exist_ok=True)
        except FileExistsError:
            raise FolderError(path, "it is not a folder") from None
        except OSError as exc:
            raise FolderError(path, exc.strerror or str(exc)) from None
    if not os.path.isdir(path):
        raise FolderError(path, "it is not a folder" if os.path.lexists(path) else "it does not exist")
    if not os.access(path, os.W_OK | os.X_OK):
        raise FolderError(path, "it is not writable")


class LiveView:
    """Live view, as an iterator of frames that always yields the newest one:
    a consumer slower than the camera skips frames, and nothing piles up.
    Leaving it (break, close(), the end of a with block) turns live view
    off. Iteration ends when live view stops by itself: then `error` holds
    the failure, or `closed_reason` says why the camera closed. With
    reconnect on it goes on across the camera's absence."""

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
        self._retried = False  # reconnect on: a failure was retried

    # Called by the reader with the bridge's lock held.
    def _frame(self, n: int, path: str) -> None:
        self._latest = (n, path)
        self.received += 1
        self._retried = False
        self.error = None

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
        None once live view has ended or was closed (or the bridge was
        quit). Raises CameraUnavailable if the camera was away for the whole
        time limit, BridgeTimeout if no frame came in it."""
        return self._next(timeout, across_gaps=False)

    def _next(self, timeout: float | None, across_gaps: bool) -> Frame | None:
        b = self._bridge
        deadline = _Deadline(timeout)

        def ready() -> bool:
            return (self._latest is not None or self.ended or self._closed or b._over
                    or (b._exited and b._away is None))

        with b._cond:
            while not ready():
                if across_gaps and b._away is not None:
                    # The camera is away: the frame time limit starts again
                    # once it is back.
                    b._cond.wait_for(lambda: ready() or b._away is None)
                    deadline = _Deadline(timeout)
                    continue
                left = deadline.left()
                if left == 0:
                    if b._away is not None:
                        raise CameraUnavailable(f"the camera was away for the whole {timeout} s ({b._away})")
                    raise BridgeTimeout(f"no live-view frame within {timeout} s")
                b._cond.wait(left)
            if self._latest is not None and not self._closed:
                (n, path), self._latest = self._latest, None
                self.delivered += 1
                return Frame(n, path)
            if self.ended or self._closed or b._quitting:
                return None
            raise BridgeExited(b._proc.returncode, b._hung)

    def __iter__(self) -> Iterator[Frame]:
        try:
            while (frame := self._next(self.frame_timeout, across_gaps=True)) is not None:
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
            present = b._away is None
        if mine and present:
            try:
                b._write(command_line("live_view_off"))
            except BridgeExited:
                pass

    def __enter__(self) -> LiveView:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
