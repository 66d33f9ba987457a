"""The keeper: a thread that watches for a bridge that has stopped
answering (and kills it) and, with reconnect on, brings the camera back:
it starts the bridge again, waits for the same camera, reopens it and
turns live view back on."""

from __future__ import annotations

import subprocess
import threading
import time
from typing import Callable

from . import _config, _liveview
from ._calls import Calls, NotWanted
from ._folders import partials_grew
from ._process import Process
from ._state import Deadline, Session, State
from ._types import Camera, Disconnected, Event, Opened, Reconnected
from ._errors import BridgeExited, GpbridgeError
from ._wire import BridgeError, command_line


class Keeper:
    def __init__(self, state: State, process: Process, calls: Calls,
                 deliver: Callable[[list[Event]], None]) -> None:
        self._st = state
        self._process = process
        self._calls = calls
        self._deliver = deliver
        self.thread: threading.Thread | None = None
        self._partials: dict[str, tuple[int, int]] = {}  # the downloads seen, by name

    def start(self) -> None:
        """Starts watching, once the first bridge has been started."""
        self.thread = threading.Thread(target=self._keep, name=f"gpbridge-keeper-{self._process.pid}", daemon=True)
        self.thread.start()

    def join(self, timeout: float) -> None:
        if self.thread is not None:
            self.thread.join(timeout)

    def ended(self, proc: subprocess.Popen[bytes], rc: int | None) -> None:
        """The output of bridge process `proc` has ended (status `rc`):
        every call in flight fails, and the keeper decides whether a new
        bridge is to be started."""
        st = self._st
        out: list[Event] = []
        with st.cond:
            if not self._process.is_current(proc):
                return
            hung = st.hung
            st.exited = True
            st.open = False
            self._calls.fail_all(lambda: BridgeExited(rc, hung))
            # A bridge that ended in order (status 0: told to by a signal,
            # having closed its camera) is not started again; one that died
            # or hung is.
            if st.reconnect and not st.quitting and (rc != 0 or hung):
                # The keeper starts another bridge and, if a camera was
                # open, opens it again.
                if st.session is not None:
                    if st.away is None:
                        out.append(Disconnected("hung" if hung else "exited"))
                    st.away = "hung" if hung else "exited"
                else:
                    st.away = st.away or ("hung" if hung else "exited")
                    if st.live is not None:
                        _liveview.end(st.live, None)
                        st.live = None
            else:
                st.over = True  # a live view still iterated raises BridgeExited
            st.cond.notify_all()
        self._deliver(out)

    def _silence_limit(self) -> float | None:
        """How long the bridge may write nothing before it counts as hung:
        the watchdog's time, plus the longest time limit of the calls in
        flight that may keep it busy (a download may run long). None: not
        watched now. Lock held."""
        st = self._st
        if st.watchdog is None or st.exited or st.quitting or st.away is not None:
            return None
        if not st.open and st.live is None:
            return None  # an idle bridge with no camera writes nothing
        extra = 0.0
        for call in st.calls:
            if call.kind in ("capture", "open"):
                if call.limit is None:
                    return None  # told to wait as long as it takes
                extra = max(extra, call.limit)
        return st.watchdog + extra

    def _wait_for_work(self) -> tuple[str | None, bool, bool] | None:
        """Waits until there is something to do: (why the camera is away,
        live view to turn on again, the bridge hung). None: stop. Lock held."""
        st = self._st
        while True:
            if st.quitting or st.over:
                return None
            if st.away is not None or (st.live_again and not st.exited):
                break
            limit = self._silence_limit()
            if limit is not None:
                left = st.last_output + limit - time.monotonic()
                if left <= 0 and (self._downloading() or self._silence_limit() is None):
                    continue  # a sign of life, counted as output; or no longer watched
                if left <= 0:
                    st.hung = True
                    break
                st.cond.wait(min(left, 1.0))
            else:
                st.cond.wait(1.0)
        work = (st.away, st.live_again, st.hung and not st.exited)
        st.live_again = False
        return work

    def _downloading(self) -> bool:
        """Whether a download into the camera's folder has started or grown
        since the last look: a bridge busy with a long one (a video fired
        on the body) writes no line meanwhile, yet is not hung. Lock held;
        the folder is listed without it."""
        st = self._st
        folder = st.folder
        if folder is None:
            return False
        st.cond.release()
        try:
            grew = partials_grew(folder, self._partials, lambda name: True)
        finally:
            st.cond.acquire()
        if grew:
            st.last_output = time.monotonic()
        return grew

    def _keep(self) -> None:
        st = self._st
        backoff = 0.25
        while True:
            with st.cond:
                work = self._wait_for_work()
                if work is None:
                    return
                proc = self._process.proc
            away, again, hung = work
            if hung:
                # It has written nothing for too long: kill it; its reader
                # then sees the end and, with reconnect on, we start over.
                self._process.kill(proc)
                with st.cond:
                    st.cond.wait_for(lambda: st.exited or st.quitting, 10.0)
                continue
            if away is None:
                if again:
                    _liveview.turn_on_again(st, self._process)
                continue
            if self._mend():
                backoff = 0.25
                continue
            with st.cond:
                st.cond.wait_for(lambda: st.quitting or st.over or st.away is None or st.session is None, backoff)
            backoff = min(backoff * 2, 5.0)

    def _mend(self) -> bool:
        """One try at bringing the bridge and the camera back. True when
        done (or nothing is left to do)."""
        st = self._st
        with st.cond:
            if st.quitting:
                return True
            dead = st.exited
            old = self._process.proc
        if dead:
            self._process.bury(old)
            try:
                self._process.spawn()
            except OSError:
                return False
        # One try holds the call lock throughout, so that no call of the
        # host's comes between finding the camera, opening it and, if it
        # turns out not to be wanted any more, closing it again.
        with st.call_lock:
            return self._reopen()

    def _forget_if_dropped(self) -> None:
        """close() or open() dropped the session meanwhile: nothing is
        away any more. Lock held."""
        if self._st.session is None:
            self._st.away = None
            self._st.cond.notify_all()

    def _reopen(self) -> bool:
        st = self._st
        with st.cond:
            session = st.session
            if session is None:
                st.away = None  # nothing to reopen: a bridge is enough
                st.cond.notify_all()
                return True
        try:
            cameras = self._calls.call("list_cameras", command_line("list_cameras"), 20.0, internal=True)
            index = find(cameras, session)
            if index is None:
                return False
            try:
                # Not sent once close(), open() or quit() has dropped the
                # session; dropped after it is sent, it is closed below.
                line = command_line("open", str(index), session.folder)
                opened = self._calls.call("open", line, 30.0, internal=True,
                                          wanted=lambda: st.session is session and not st.quitting)
            except NotWanted:
                with st.cond:
                    self._forget_if_dropped()
                return True
            with st.cond:
                # Another session, or the list changed under us: not that camera.
                stale = (st.session is not session or st.quitting
                         or (session.model is not None and opened.model != session.model))
            if stale or not self._same_camera(session, cameras[index].port):
                self._calls.call("close", command_line("close"), 15.0, internal=True)
                with st.cond:
                    self._forget_if_dropped()
                    return st.session is None or st.quitting
            refused, settings = _config.restore(self._calls, session)
            self._back(session, cameras, index)
            self._deliver([*refused, Reconnected(opened.model, settings or opened.settings)])
            return True
        except GpbridgeError:
            return False

    def _same_camera(self, session: Session, port: str) -> bool:
        """Whether the camera just opened is the session's, before any other
        command reaches it: by its serial number, or, where it has none, by
        a fresh detection still showing the session's camera on the port it
        was found on (a camera pulled just before `abrir` detected again
        leaves the index to a neighbour)."""
        if session.serial is not None:
            return _config.serial_number(self._calls, 20.0, internal=True) == session.serial
        fresh = self._calls.call("list_cameras", command_line("list_cameras"), 20.0, internal=True)
        return any(c.port == port and c.model == session.model for c in fresh)

    def _back(self, session: Session, cameras: list[Camera], index: int) -> None:
        """The camera is open again: remember where it was found, and turn
        live view back on if it was on."""
        st = self._st
        with st.cond:
            if st.session is session:
                # Found again, perhaps on a new port: look there next time.
                port = cameras[index].port
                others = session.others | {c.port for c in cameras if c.port != port}
                st.session = session._replace(port=port, others=frozenset(others))
            live = st.live
            if live is not None and not _liveview.is_closed(live):
                _liveview.back(live)
            st.away = None
            st.cond.notify_all()
        if live is not None and not _liveview.is_closed(live):
            self._process.write(command_line("live_view_on"))


def find(cameras: list[Camera], session: Session) -> int | None:
    """The index of the session's camera: on the same port, else the only
    camera of the same model (a port that changed, as USB re-enumeration
    does) that is not on the port of a camera detected beside it."""
    for i, cam in enumerate(cameras):
        if session.port is not None and cam.port == session.port and cam.model == session.model:
            return i
    same = [i for i, cam in enumerate(cameras) if cam.model == session.model and cam.port not in session.others]
    return same[0] if len(same) == 1 else None


def open_camera(st: State, calls: Calls, index: int, folder: str, deadline: Deadline) -> Opened:
    """Opens camera `index` for the host. With reconnect on, it first lists
    the cameras, to learn the port to find this one on again. A failed
    open of an index past the list says so, and how many were found."""
    cameras: list[Camera] | None = None
    if st.reconnect:
        cameras = calls.call("list_cameras", command_line("list_cameras"), deadline.left())
    try:
        opened = calls.call("open", command_line("open", str(index), folder), deadline.left())
    except BridgeError as err:
        if err.operation != "open":
            raise
        if cameras is None:
            try:
                cameras = calls.call("list_cameras", command_line("list_cameras"), deadline.left())
            except GpbridgeError:
                raise err from None
        if index < len(cameras):
            raise
        found = f"{len(cameras)} camera was found" if len(cameras) == 1 else f"{len(cameras)} cameras were found"
        raise BridgeError(err.text, detail=f"there is no camera {index}: {found}") from None
    camera = cameras[index] if cameras is not None and index < len(cameras) else None
    serial = None
    if st.reconnect:
        try:
            serial = _config.serial_number(calls, deadline.left())
        except GpbridgeError:
            pass  # gone already, or slow: known by its port then
    with st.cond:
        st.folder = folder
        if st.reconnect and st.open:
            port = camera.port if camera is not None and camera.model == opened.model else None
            others = frozenset(c.port for c in cameras or () if port is not None and c.port != port)
            st.session = Session(folder, opened.model, port, others, serial, {})
    return opened
