"""Live view: the iterator of frames a host reads, always the newest one.
The dispatcher and the keeper act on a LiveView only through the
functions at the end of this module."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Iterator

from ._state import Deadline, State
from ._types import Frame
from ._errors import BridgeExited, BridgeTimeout, CameraUnavailable
from ._wire import BridgeError, command_line

if TYPE_CHECKING:
    from ._bridge import Bridge
    from ._process import Process


class LiveView:
    """Live view, as an iterator of frames that always yields the newest one:
    a consumer slower than the camera skips frames, and nothing piles up.
    Leaving it (break, close(), the end of a with block) turns live view
    off. Iteration ends when live view stops by itself: then `error` holds
    the failure, or `closed_reason` says why the camera closed. With
    reconnect on it goes on across the camera's absence."""

    def __init__(self, bridge: Bridge, frame_timeout: float | None) -> None:
        self._bridge = bridge  # its owner; start() binds the parts it works with
        self._state: State = None  # type: ignore[assignment]
        self._process: Process = None  # type: ignore[assignment]
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
        st = self._state
        deadline = Deadline(timeout)

        def ready() -> bool:
            return (self._latest is not None or self.ended or self._closed or st.over
                    or (st.exited and st.away is None))

        with st.cond:
            while not ready():
                if across_gaps and st.away is not None:
                    # The camera is away: the frame time limit starts again
                    # once it is back.
                    st.cond.wait_for(lambda: ready() or st.away is None)
                    deadline = Deadline(timeout)
                    continue
                left = deadline.left()
                if left == 0:
                    if st.away is not None:
                        raise CameraUnavailable(f"the camera was away for the whole {timeout} s ({st.away})")
                    raise BridgeTimeout(f"no live-view frame within {timeout} s")
                st.cond.wait(left)
            if self._latest is not None and not self._closed:
                (n, path), self._latest = self._latest, None
                self.delivered += 1
                return Frame(n, path)
            if self.ended or self._closed or st.quitting:
                return None
            raise BridgeExited(self._process.returncode, st.hung)

    def __iter__(self) -> Iterator[Frame]:
        try:
            while (frame := self._next(self.frame_timeout, across_gaps=True)) is not None:
                yield frame
        finally:
            self.close()

    def close(self) -> None:
        """Turns live view off (sends the command unless a newer live view
        has taken over). Safe to call more than once."""
        st = self._state
        with st.cond:
            if self._closed:
                return
            self._closed = True
            mine = st.live is self or st.live is None
            if st.live is self:
                st.live = None
            st.cond.notify_all()
            present = st.away is None
        if mine and present:
            try:
                self._process.write(command_line("live_view_off"))
            except BridgeExited:
                pass

    def __enter__(self) -> LiveView:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


# -- for the dispatcher and the keeper -------------------------------------------

def start(bridge: Any, state: State, process: Process, frame_timeout: float | None) -> LiveView:
    live = LiveView(bridge, frame_timeout)
    live._state, live._process = state, process
    return live


def frame_came(live: LiveView, n: int, path: str) -> None:
    """A frame event. Lock held."""
    live._frame(n, path)


def end(live: LiveView, closed_reason: str | None) -> None:
    """Live view stopped by itself, or the camera closed. Lock held."""
    live._end(closed_reason)


def is_closed(live: LiveView) -> bool:
    return live._closed


def first_retry(live: LiveView) -> bool:
    """True the first time live view fails since it last gave a frame (or
    came back): then it is worth turning on again. Lock held."""
    if live._retried:
        return False
    live._retried = True
    return True


def back(live: LiveView) -> None:
    """The camera is back: a failure before is forgotten. Lock held."""
    live._retried = False
    live.error = None


def after_read(state: State) -> None:
    """Live view failed: turn it on again (the keeper does) unless the
    lines read with the failure said the camera has gone."""
    if state.live_pending:
        with state.cond:
            state.live_pending = False
            state.live_again = state.open and state.live is not None
            state.cond.notify_all()


def turn_on_again(state: State, process: Process) -> None:
    with state.cond:
        live = state.live
        if live is None or live._closed or not state.open:
            return
    try:
        process.write(command_line("live_view_on"))
    except BridgeExited:
        pass
