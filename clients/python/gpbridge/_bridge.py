"""The bridge as a child process, driven from plain blocking calls.

`Bridge` is a thin facade over the parts that do the work: the process
(_process), the call queue and the dispatch of events (_calls), shots and
their files (_shots), the keeper that watches and reconnects (_keeper),
folders (_folders) and live view (_liveview). They share one State
(_state); the wire format is _wire.
"""

from __future__ import annotations

import os
import subprocess
import traceback
from collections import deque
from datetime import datetime
from typing import Any, Callable, Iterator

from . import _config, _folders, _keeper, _liveview
from ._calls import Calls
from ._keeper import Keeper
from ._liveview import LiveView
from ._process import Process
from ._state import Call, Deadline, State, limit
from ._types import Camera, Control, Event, Opened, Photo, SettingChoices, Settings
from ._errors import BridgeExited, BridgeTimeout, CameraClosed, GpbridgeError
from ._wire import SETTINGS, BridgeError, command_line


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
    `busy_retries` is how many times a capture the camera was too busy to
    take is tried again (0: never).
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
        busy_retries: int = 3,
    ) -> None:
        if isinstance(busy_retries, bool) or not isinstance(busy_retries, int) or busy_retries < 0:
            raise ValueError(f"busy_retries must be an int >= 0, not {busy_retries!r}")
        self._busy_retries = busy_retries
        self._cwd = None if cwd is None else os.fspath(cwd)
        self._remove_dir: Callable[[], object] = lambda: None
        if live_view_dir is None:
            # Removed by quit(), or at the latest when the program ends.
            live_view_dir, self._remove_dir = _folders.private_live_view_dir(self)
        # Absolute, so that frame paths name the same file here and there.
        self.live_view_dir = _folders.absolute(self._cwd, live_view_dir)
        self._on_event = on_event
        self._st = st = State(bool(reconnect), limit(watchdog) or None,  # 0 is off too
                              limit(sibling_wait) or 0.0)
        self._events: deque[Event] = deque(maxlen=max(1, max_events))
        self.events_dropped = 0
        self.model: str | None = None
        self.settings: Settings | None = None
        self._process = Process(st, [os.fspath(executable), self.live_view_dir], env, self._cwd,
                                on_line=lambda line: self._calls.line(line),
                                after_read=lambda: _liveview.after_read(st),
                                on_tail=lambda tail: self._deliver([tail]),
                                on_end=lambda proc, rc: self._keeper.ended(proc, rc))
        self._calls = Calls(st, self._process, self._deliver, self, trace)
        self._keeper = Keeper(st, self._process, self._calls, self._deliver)
        try:
            self._process.spawn()
        except FileNotFoundError as exc:
            self._remove_dir()
            raise _not_found(os.fspath(executable), exc) from None
        except BaseException:
            self._remove_dir()
            raise
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
        return self._process.pid

    @property
    def returncode(self) -> int | None:
        return self._process.returncode

    @property
    def running(self) -> bool:
        with self._st.cond:
            return not self._st.exited

    @property
    def is_open(self) -> bool:
        """Whether a camera is open, as far as the events read so far tell."""
        with self._st.cond:
            return self._st.open

    @property
    def away(self) -> str | None:
        """With reconnect on: why the camera is away while the client brings
        it back ("disconnected", "exited", "hung"), else None."""
        with self._st.cond:
            return self._st.away

    # -- calls ---------------------------------------------------------------

    def list_cameras(self, timeout: float | None = 20.0) -> list[Camera]:
        return self._calls.call("list_cameras", command_line("list_cameras"), timeout)

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
        path = _folders.absolute(self._cwd, folder)
        if len(os.fsencode(path)) > 4095:
            raise ValueError("download folder longer than 4095 bytes")
        line = command_line("open", str(index), path)
        deadline = Deadline(timeout)
        _folders.check_folder(path, create_folder)
        with self._st.cond:
            # A new camera, or the same one again: the old one is not to be
            # brought back any more.
            self._st.session = None
            self._st.cond.notify_all()
        return _keeper.open_camera(self._st, self._calls, index, path, deadline)

    def capture(self, timeout: float | None = 60.0) -> Photo:
        """Fires the shutter and returns the first photo that arrives after
        it, with the other files of the shot in `files`. A shot the camera
        was too busy to take (code CAMERA_BUSY) is tried again up to
        `busy_retries` times, a little later each time, within the time
        limit. Raises BridgeError if the shot or its download failed,
        CameraClosed if no camera is open or it closes meanwhile."""
        deadline = Deadline(timeout)
        pause = 0.1
        for tries_left in range(self._busy_retries, -1, -1):
            try:
                return self._calls.call("capture", command_line("capture"), deadline.left())
            except BridgeError as err:
                # A busy error only ever ends a capture that has no file
                # yet: the shot was not taken, so trying again takes one.
                left = deadline.left()
                if err.code != "CAMERA_BUSY" or tries_left == 0 or (left is not None and left <= pause):
                    raise
            with self._st.cond:
                self._st.cond.wait_for(lambda: self._st.quitting, pause)
            pause = min(pause * 2, 1.0)
        raise AssertionError("not reached")

    # -- the camera's configuration --------------------------------------------

    def config(self, timeout: float | None = 30.0) -> list[Control]:
        """Every control of the camera's configuration, in the camera's
        order. Reading the whole tree takes seconds on some cameras; get()
        reads one control fast. Raises CameraClosed if no camera is open."""
        return _config.config(self._calls, timeout)

    def get(self, name: str, timeout: float | None = 20.0) -> Control:
        """One control, by its name ("whitebalance") or its whole path
        ("/main/imgsettings/whitebalance"). Raises BridgeError (code
        CONFIG_FAILED, text `leer: Bad parameters`) when there is none."""
        return _config.get(self._calls, name, timeout)

    def set(self, name: str, value: bool | float | datetime | str, timeout: float | None = 20.0) -> Control:
        """Sets a control and returns it read back. `value` is typed as
        get() gives it: a bool for a toggle, a number for a range, a
        datetime for a date, a str otherwise. Raises BridgeError (code
        SETTING_REJECTED) when the bridge or the camera refuses it."""
        return _config.set_control(self._calls, self._st, name, value, timeout)

    def serial_number(self, timeout: float | None = 20.0) -> str | None:
        """The camera's serial number, or None when it has none."""
        return _config.serial_number(self._calls, timeout)

    def focus(self, timeout: float | None = 20.0) -> None:
        """Autofocuses now. Raises BridgeError with code FOCUS_FAILED when
        the camera refuses (could not focus), NotSupported when it has no
        autofocus control."""
        _config.focus(self._calls, timeout)

    def set_alert(self, on: bool) -> None:
        """Alert mode: while on (a camera open, live view off) the bridge
        takes a command within about a millisecond, at some cost in CPU.
        Every close ends it. Nothing is awaited beyond writing the line."""
        self._process.write(command_line("alert_on" if on else "alert_off"))

    def setting_choices(self, timeout: float | None = 20.0) -> SettingChoices:
        """The values the camera offers for ISO, aperture and shutter speed.
        Raises CameraClosed if no camera is open."""
        return self._calls.call("setting_choices", command_line("setting_choices"), timeout)

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
        settings = self._calls.call("set_setting", line, timeout)
        _config.remember(self._st, "set_setting", key, value, line)
        return settings

    def close(self, timeout: float | None = 15.0) -> str:
        """Closes the camera (if any). Returns "disconnected" if the camera
        went away before the bridge got to close it, else "requested". With
        reconnect on, it also stops bringing the camera back."""
        with self._st.cond:
            had, self._st.session = self._st.session, None
            if had is not None and self._st.away is not None and not self._st.open:
                # Away: nothing to close; the keeper stops bringing it back
                # (a bridge that died is still started again).
                if self._st.live is not None:
                    _liveview.end(self._st.live, "disconnected")
                    self._st.live = None
                if not self._st.exited:
                    self._st.away = None
                self._st.cond.notify_all()
                return "disconnected"
        return self._calls.call("close", command_line("close"), timeout)

    def live_view(self, frame_timeout: float | None = 10.0) -> LiveView:
        """Turns live view on; iterate the result for frames. While the
        camera is away (reconnect on), live view starts when it is back."""
        with self._st.cond:
            if self._st.away is None or self._st.session is None:
                if self._st.away is None:
                    self._process.check_running()
                if not self._st.open:
                    raise CameraClosed("no camera is open")
            old, self._st.live = self._st.live, _liveview.start(self, self._st, self._process, frame_timeout)
            live = self._st.live
            if old is not None:
                _liveview.end(old, None)
            self._st.cond.notify_all()
            send = self._st.away is None
        if send:
            self._process.write(command_line("live_view_on"))
        return live

    def quit(self, timeout: float | None = 10.0) -> int:
        """Ends the bridge (closing the camera) and returns its exit status.
        Does not wait for a call in progress: `salir` is sent at once, and
        that call gets what was already on its way (a capture its photo) or
        fails with CameraClosed or BridgeExited. If the bridge does not exit
        in time it is killed and BridgeTimeout is raised. Also stops
        reconnecting."""
        deadline = Deadline(timeout)
        try:
            with self._st.cond:
                self._st.quitting = True
                self._st.session = None
                proc, reader, running = self._process.proc, self._process.reader, not self._st.exited
                self._st.cond.notify_all()
            if running:
                with self._st.cond:
                    self._st.calls.append(Call("quit"))
                try:
                    self._process.write(command_line("quit"))
                except BridgeExited:
                    pass
            self._process.close_stdin()
            try:
                proc.wait(deadline.left())
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                raise BridgeTimeout(f"the bridge did not exit within {timeout} s; killed it") from None
            finally:
                reader.join(None if deadline.limit is None else max(deadline.limit, 5.0))
                self._keeper.join(5.0)
            with self._st.cond:
                self._st.over = True
                self._st.cond.notify_all()
            return proc.returncode
        finally:
            self._remove_dir()

    # -- unsolicited events ----------------------------------------------------

    def next_event(self, timeout: float | None = None) -> Event | None:
        """The oldest unsolicited event; None if none came within `timeout`
        or the bridge has exited (for good) and all were read."""
        wait = limit(timeout)
        with self._st.cond:
            self._st.cond.wait_for(lambda: self._events or self._st.over, wait)
            return self._events.popleft() if self._events else None

    def events(self, timeout: float | None = None) -> Iterator[Event]:
        """Unsolicited events as they come, until the bridge exits (or, with
        a timeout, until none came for that long)."""
        while (event := self.next_event(timeout)) is not None:
            yield event

    # -- for the parts ---------------------------------------------------------

    def _deliver(self, events: list[Event]) -> None:
        """Hands unsolicited events to the host: to `on_event`, else to the
        queue `next_event()` reads."""
        if not events:
            return
        if self._on_event is not None:
            for event in events:
                try:
                    self._on_event(event)
                except Exception:
                    traceback.print_exc()
            return
        with self._st.cond:
            for event in events:
                if len(self._events) == self._events.maxlen:
                    self.events_dropped += 1
                self._events.append(event)
            self._st.cond.notify_all()


def _not_found(executable: str, exc: FileNotFoundError) -> FileNotFoundError:
    """What to do when the bridge program is not there."""
    where = "on PATH" if os.sep not in executable else "there"
    return FileNotFoundError(exc.errno, f"the bridge program {executable!r} was not found {where}: install "
                             "gpbridge (its package puts gpbridge and gpbridge-sim on PATH), or pass "
                             "executable= with the path of a built one (build/gpbridge), or use gpbridge-sim "
                             "to try the client without a camera", executable)
