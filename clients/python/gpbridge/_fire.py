"""Captures on many bridges started at one instant.

Bridge.capture() sends and waits in one call, so firing many bridges from
a thread each leaves the writes to the threads' turns at the interpreter
lock: measured with 16 bridges, the last `disparar` went out 4 ms after the
first at the median and 40 ms at p99. Here one thread takes every bridge's
call lock, then writes all the lines back to back; each capture is then
waited for (its photo and the other files of its shot) on a thread of its
own, exactly as Bridge.capture() waits.
"""

from __future__ import annotations

import time
from typing import TYPE_CHECKING

from . import _shots
from ._state import Call, Deadline
from ._types import Photo
from ._errors import BridgeTimeout, CameraUnavailable, GpbridgeError
from ._wire import BridgeError, command_line

if TYPE_CHECKING:
    from ._bridge import Bridge

_LINE = command_line("capture")


class Pending:
    """A capture written (or refused before it was written) on one bridge."""

    __slots__ = ("bridge", "deadline", "call", "error", "locked")

    def __init__(self, bridge: Bridge, timeout: float | None) -> None:
        self.bridge = bridge
        self.deadline = Deadline(timeout)
        self.call: Call | None = None
        self.error: GpbridgeError | None = None
        self.locked = False


def send_captures(bridges: list[Bridge], timeout: float | None) -> list[Pending]:
    """Writes a capture to every bridge, back to back from this thread.
    Every call lock is taken first, so the writes that follow are only
    writes. Hand each result to wait_capture(), which must run even for
    a capture that failed here (it releases the lock)."""
    out = [Pending(b, timeout) for b in bridges]
    for p in out:
        st = p.bridge._st
        with st.cond:
            if st.away is not None:
                p.error = CameraUnavailable(f"capture: the camera is away ({st.away})")
                continue
        left = p.deadline.left()
        if not st.call_lock.acquire(timeout=-1 if left is None else left):
            p.error = BridgeTimeout(f"capture: another call was still waiting after {timeout} s")
            continue
        p.locked = True
    for p in out:
        if p.error is None:
            p.call = Call("capture", p.deadline.limit)
            try:
                p.bridge._calls._send(p.call, _LINE, None)
            except GpbridgeError as exc:
                p.error = exc
    return out


def wait_capture(p: Pending) -> Photo:
    """The photo of a capture send_captures() wrote, with the other files of
    its shot, as Bridge.capture() returns it; raises what it would raise. A
    shot the camera was too busy to take is tried again as Bridge.capture()
    does (up to its busy_retries, within the time limit), on its own."""
    try:
        return _wait(p)
    except BridgeError as err:
        last = err
    tries, pause = p.bridge._busy_retries, 0.1
    while True:
        left = p.deadline.left()
        if last.code != "CAMERA_BUSY" or tries == 0 or (left is not None and left <= pause):
            raise last
        time.sleep(pause)
        tries -= 1
        try:
            return p.bridge._calls.call("capture", _LINE, p.deadline.left())
        except BridgeError as err:
            last = err
        pause = min(pause * 2, 1.0)


def _wait(p: Pending) -> Photo:
    st = p.bridge._st
    try:
        if p.error is not None:
            raise p.error
        call = p.call
        assert call is not None
        with st.cond:
            _shots.gather(st, call, p.deadline)
            if not call.done:
                p.bridge._calls.finish(call, _shots.photo(call))
            _shots.gathered(st, call)
        if call.error is not None:
            raise call.error
        return call.result
    finally:
        if p.locked:
            p.locked = False
            st.call_lock.release()
