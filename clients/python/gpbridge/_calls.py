"""The call queue and the dispatch of events to calls.

Calls run one at a time, because the protocol matches answers to commands
only by their order. The reader thread hands every event line here; each
event goes to the call waiting for it, to the live view (frames) or, when
nobody claims it, to the host as an unsolicited event.
"""

from __future__ import annotations

import traceback
from typing import Any, Callable, Protocol

from . import _liveview, _shots
from ._liveview import LiveView
from ._process import Process
from ._state import Call, Deadline, State
from ._types import (
    Camera,
    Closed,
    Control,
    Disconnected,
    Event,
    Failure,
    File,
    LiveViewEnded,
    Opened,
    SettingChoices,
    Settings,
)
from ._errors import BridgeExited, BridgeTimeout, CameraClosed, CameraUnavailable, GpbridgeError, ProtocolError
from ._wire import BridgeError, command_line, operation_of, parse_event

# Error operations each kind of call takes as its own failure.
CLAIMS = {"open": {"open"}, "capture": {"capture", "download", "save"}, "set_setting": {"set_setting"},
          "set": {"set_setting"}, "get": {"get"}, "serial": {"get"}, "config": {"config"}}
# Calls that need the camera: they fail at once when none is open, wait
# for it while it is away (reconnect on) and fail when it closes.
CAMERA_CALLS = ("capture", "setting_choices", "set_setting", "config", "get", "set", "serial")
# Calls whose command goes with an `opciones` behind it, in the same write:
# its answer ends them, so an answer that never comes (a bridge too old to
# know the command) or one that came before cannot be taken for theirs.
SYNCED = ("set_setting", "serial")


class NotWanted(GpbridgeError):
    """The keeper's open was no longer wanted when its turn came."""


class Reports(Protocol):
    """Where the latest model and settings are kept for the host to read."""

    model: str | None
    settings: Settings | None


class Calls:
    def __init__(self, state: State, process: Process, deliver: Callable[[list[Event]], None],
                 reports: Reports, trace: Callable[[bytes], None] | None) -> None:
        self._st = state
        self._process = process
        self._deliver = deliver
        self._reports = reports
        self._trace = trace
        self._handlers: dict[str, Callable[[dict[str, Any], LiveView | None], list[Event]]] = {
            "frame": self._frame, "live_view_ended": self._live_view_ended, "error": self._error,
            "cameras": self._cameras, "setting_choices": self._setting_choices, "opened": self._opened,
            "settings": self._settings, "closed": self._closed, "photo": self._photo,
            "config": self._config, "control": self._control,
        }

    # -- calls -----------------------------------------------------------------

    def call(self, kind: str, line: bytes, timeout: float | None, internal: bool = False,
             wanted: Callable[[], bool] | None = None) -> Any:
        """Sends `line` and waits for its answer. `internal`: the keeper,
        which holds the call lock already. `wanted`: checked just before
        sending; NotWanted if it says no."""
        st = self._st
        deadline = Deadline(timeout)
        while not internal:
            # Never while holding the call lock: the keeper needs it to
            # bring the camera back.
            with st.cond:
                self._wait_present(kind, deadline)
            left = deadline.left()
            if not st.call_lock.acquire(timeout=-1 if left is None else left):
                raise BridgeTimeout(f"{kind}: another call was still waiting after {timeout} s")
            with st.cond:
                if st.away is None:
                    break
            st.call_lock.release()  # it went away again meanwhile
        try:
            call = Call(kind, deadline.limit)
            self._send(call, line, wanted)
            with st.cond:
                if kind == "capture":
                    _shots.gather(st, call, deadline)
                    if not call.done:
                        self.finish(call, _shots.photo(call))
                    _shots.gathered(st, call)
                elif not st.cond.wait_for(lambda: call.done, deadline.left()):
                    # The answer always comes, late or not, and stays owed
                    # to this call so that the next call does not take it.
                    raise BridgeTimeout(f"no answer to {kind} within {timeout} s")
            if call.error is not None:
                raise call.error
            return call.result
        finally:
            if not internal:
                st.call_lock.release()

    def _send(self, call: Call, line: bytes, wanted: Callable[[], bool] | None) -> None:
        st = self._st
        with self._process.write_lock:
            with st.cond:
                self._process.check_running()
                if call.kind in CAMERA_CALLS and not st.open:
                    raise CameraClosed("no camera is open")
                if wanted is not None and not wanted():
                    raise NotWanted()
                line = self._probe() + line
                st.calls.append(call)
                stdin = self._process.proc.stdin
            try:
                self._process.write_to(stdin, line)
            except BridgeExited:
                with st.cond:
                    if call in st.calls:
                        st.calls.remove(call)
                raise

    def _probe(self) -> bytes:
        """With a close's echo pending, `buscar` first: its answer comes
        after the echo's `cerrada orden`, if there is one. Lock held."""
        st = self._st
        if not st.echo:
            return b""
        st.echo = False
        if not any(c.kind == "echo" for c in st.calls):
            return b""
        probe = Call("list_cameras")
        probe.probe = True
        st.calls.append(probe)
        return command_line("list_cameras")

    def _wait_present(self, kind: str, deadline: Deadline) -> None:
        """While the camera is away (reconnect on), waits for it to be back;
        CameraUnavailable when the time limit passes first. Lock held."""
        st = self._st
        if st.away is None:
            return
        came = st.cond.wait_for(lambda: st.away is None or st.over or st.quitting, deadline.left())
        if st.away is None:
            return
        if not came:
            raise CameraUnavailable(f"{kind}: the camera was away for the whole "
                                    f"{deadline.limit} s ({st.away})")
        raise CameraUnavailable(f"{kind}: the camera is away ({st.away}) and the bridge is ending")

    def fail_all(self, error: Callable[[], GpbridgeError]) -> None:
        """Ends every call in flight with `error`; a capture that has its
        photo keeps it, and a set_setting that has its settings report (the
        bridge applied it) keeps them. Lock held."""
        for call in self._st.calls:
            call.done = True
            if call.files:
                call.result = _shots.photo(call)
            elif not (call.kind == "set_setting" and call.result is not None and call.error is None):
                call.error = error()
        self._st.calls.clear()

    def finish(self, call: Call, result: Any = None, error: GpbridgeError | None = None) -> None:
        call.done, call.result, call.error = True, result, error
        calls = self._st.calls
        i = calls.index(call)
        del calls[i]
        if call.probe:  # no echo before it has an answer coming any more
            calls[:i] = [c for c in calls[:i] if c.kind != "echo"]

    def _first(self, test: Callable[[Call], bool]) -> Call | None:
        return next((c for c in self._st.calls if test(c)), None)

    # -- lines and events ----------------------------------------------------------

    def line(self, line: bytes | ProtocolError) -> None:
        """One line from the reader thread."""
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
            with self._st.cond:
                # The answers can no longer be matched to the calls: fail them.
                self.fail_all(lambda: err)
                self._st.cond.notify_all()
            self._deliver([err])
            return
        with self._st.cond:
            out = self._handlers[kind](fields, self._st.live)
            self._st.cond.notify_all()
        self._deliver(out)

    # Each handler routes one event, with the lock held, and returns the
    # events nobody claimed.

    def _frame(self, f: dict[str, Any], live: LiveView | None) -> list[Event]:
        if live is not None:
            _liveview.frame_came(live, f["n"], f["path"])
        return []

    def _live_view_ended(self, f: dict[str, Any], live: LiveView | None) -> list[Event]:
        st = self._st
        if live is None:
            return [LiveViewEnded()]
        if st.reconnect and not st.quitting and _liveview.first_retry(live):
            # Once: the camera may be going (a cerrada follows) or the
            # failure may pass. The keeper turns live view on again.
            st.live_pending = True  # decided once this read's lines are in
            return []
        _liveview.end(live, None)
        st.live = None
        return []

    def _error(self, f: dict[str, Any], live: LiveView | None) -> list[Event]:
        text = f["text"]
        op = operation_of(text)
        if op == "live_view" and live is not None:
            live.error = BridgeError(text)  # its end follows
            return []
        call = self._first(lambda c: op in CLAIMS.get(c.kind, ()) and not c.files and c.error is None)
        if call is None:
            return [Failure(text, op)]
        if call.kind in SYNCED:
            call.error = BridgeError(text)  # the answer to its `opciones` ends it
        else:
            self.finish(call, error=BridgeError(text))
        return []

    def _answer(self, kind: str, result: Any, what: str) -> list[Event]:
        """Ends the first call of `kind` with `result`; without one, the
        line is reported as `what` nobody asked for."""
        call = self._first(lambda c: c.kind == kind)
        if call is None:
            return [ProtocolError(f"{what} nobody asked for")]
        self.finish(call, result)
        return []

    def _cameras(self, f: dict[str, Any], live: LiveView | None) -> list[Event]:
        return self._answer("list_cameras", [Camera(**c) for c in f["cameras"]], "a camera list")

    def _setting_choices(self, f: dict[str, Any], live: LiveView | None) -> list[Event]:
        call = self._first(lambda c: c.kind in ("setting_choices",) + SYNCED)
        if call is None:
            return [ProtocolError("setting choices nobody asked for")]
        if call.kind == "setting_choices":
            self.finish(call, SettingChoices(**f))
        elif call.kind == "serial":
            self.finish(call, call.result, call.error)  # neither: the bridge does not know `leer`
        elif call.error is None and call.result is None:
            self.finish(call, error=ProtocolError("no settings report answered ajustar"))
        else:
            self.finish(call, call.result, call.error)
        return []

    def _opened(self, f: dict[str, Any], live: LiveView | None) -> list[Event]:
        self._st.open, self._reports.model = True, f["model"]
        self._st.siblings = None  # perhaps another camera: learn again
        call = self._first(lambda c: c.kind == "open" and c.model is None)
        if call is None:
            return [ProtocolError("a camera opened that nobody asked for")]
        call.model = f["model"]
        return []

    def _settings(self, f: dict[str, Any], live: LiveView | None) -> list[Event]:
        self._reports.settings = settings = Settings(**f)
        call = self._first(lambda c: (c.kind == "open" and c.model is not None) or c.kind == "set_setting")
        if call is None:
            return [settings]
        if call.kind == "set_setting":
            call.result = settings  # the last one before its `opciones` answer
        else:
            self.finish(call, Opened(call.model, settings))
        return []

    def _config(self, f: dict[str, Any], live: LiveView | None) -> list[Event]:
        return self._answer("config", [Control(**c) for c in f["controls"]], "a configuration")

    def _control(self, f: dict[str, Any], live: LiveView | None) -> list[Event]:
        call = self._first(lambda c: c.kind in ("get", "set") or (c.kind == "serial" and c.result is None))
        if call is None:
            return [ProtocolError("a control nobody asked for")]
        if call.kind == "serial":
            call.result = Control(**f)  # the answer to its `opciones` ends it
        else:
            self.finish(call, Control(**f))
        return []

    def _disconnected_answers_close(self) -> bool:
        """`cerrada desconectada` is the answer to a close in flight (the
        camera went while the bridge closed it) or came before the bridge
        read the `cerrar`; either way the close is settled now, and a stand-in
        takes the `cerrada orden` that may follow. True if a close was
        settled. Lock held."""
        st = self._st
        for i, c in enumerate(st.calls):
            c.disconnected = True
            if c.kind == "close":
                st.calls[i] = Call("echo")
                c.done, c.result = True, "disconnected"
                st.echo = True
        return st.echo

    def _photo(self, f: dict[str, Any], live: LiveView | None) -> list[Event]:
        return _shots.photo_came(self._st, File(f["path"], f["name"]))

    def _closed(self, f: dict[str, Any], live: LiveView | None) -> list[Event]:
        st = self._st
        reason = f["reason"]
        st.open = False
        coming_back = reason == "disconnected" and st.reconnect and st.session is not None and not st.quitting
        for call in [c for c in st.calls if c.kind in CAMERA_CALLS]:
            if call.files:
                self.finish(call, _shots.photo(call))
            else:
                self.finish(call, error=CameraClosed(f"the camera closed ({reason})", reason))
        out: list[Event] = []
        if coming_back:
            if st.away is None:
                out.append(Disconnected("disconnected"))
            st.away = "disconnected"
        elif live is not None:
            _liveview.end(live, reason)
            st.live = None
        answered = False
        if reason == "replaced":
            call = self._first(lambda c: c.kind == "open" and c.model is None)
        elif reason == "requested":
            call = self._first(lambda c: c.kind in ("close", "quit", "echo"))
        else:
            call = None
            answered = self._disconnected_answers_close()
        if call is None:
            if not coming_back and not (reason == "disconnected" and answered):
                out.append(Closed(reason))
            if reason != "disconnected":
                # Closed in order by someone else (a signal to the bridge):
                # not to be brought back.
                st.session = None
            return out
        if call.kind != "open":
            self.finish(call, "disconnected" if call.disconnected else "requested")
        return out
