"""What the client's parts share: one lock with its condition, the calls in
flight, and what the bridge and its camera are doing now. Every part names
this one object and changes its fields with `cond` held; none keeps a copy.
Time limits are here too, since every part waits on `cond`."""

from __future__ import annotations

import math
import threading
import time
from typing import TYPE_CHECKING, Any, NamedTuple

from ._errors import GpbridgeError

if TYPE_CHECKING:
    from ._liveview import LiveView
    from ._shots import Shot
    from ._types import File


def limit(timeout: float | None) -> float | None:
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


class Deadline:
    def __init__(self, timeout: float | None) -> None:
        self.limit = limit(timeout)
        self.end = None if self.limit is None else time.monotonic() + self.limit

    def left(self) -> float | None:
        return None if self.end is None else max(self.end - time.monotonic(), 0.0)

    def passed(self) -> bool:
        return self.end is not None and time.monotonic() >= self.end


class Call:
    """One command in flight, waiting for its answer."""

    __slots__ = ("kind", "done", "result", "error", "model", "disconnected", "limit", "files", "probe")

    def __init__(self, kind: str, limit: float | None = None) -> None:
        self.kind = kind
        self.done = False
        self.result: Any = None
        self.error: GpbridgeError | None = None
        self.model: str | None = None
        self.disconnected = False
        self.limit = limit  # its time limit; None: none
        self.files: list[File] = []  # capture: the files of its shot so far
        self.probe = False  # its answer shows no echo before it is still coming (see State.echo)


class Session(NamedTuple):
    """What reconnect needs to open the same camera again."""

    folder: str
    model: str | None
    port: str | None
    # The ports of the other cameras detected beside it: a camera there is
    # never taken for it, even of the same model.
    others: frozenset[str] = frozenset()
    # Its serial number, the one sure sign that a camera opened is this
    # one; None where it has none (then its port, through a fresh detection).
    serial: str | None = None
    # The values set through the client, to set again after a reconnect:
    # (call kind, name) -> (value as given, the command line that set it).
    remembered: dict[tuple[str, str], tuple[str, bytes]] | None = None


class State:
    """The shared state. Fields change only with `cond` held (the reader
    sets `last_output` without it: a float, read as a hint)."""

    def __init__(self, reconnect: bool, watchdog: float | None, sibling_wait: float) -> None:
        self.cond = threading.Condition(threading.Lock())
        # Held by a call from sending its command until its answer, so that
        # answers match commands by their order.
        self.call_lock = threading.Lock()
        self.reconnect = reconnect
        self.watchdog = watchdog
        self.sibling_wait = sibling_wait
        self.calls: list[Call] = []
        self.live: LiveView | None = None
        self.open = False
        self.exited = False  # the current bridge process has ended
        self.over = False  # ... and no other will be started
        self.quitting = False
        self.hung = False  # the current process was killed as hung
        self.session: Session | None = None
        self.folder: str | None = None
        self.away: str | None = None  # why the camera is away, while reconnecting
        self.live_pending = False  # live view failed once: perhaps turn it on again
        self.live_again = False  # ... yes: the keeper does
        self.shot: Shot | None = None
        # Whether this camera gives a shot more than one file (RAW+JPEG),
        # as learned since it was opened: None until its first capture.
        self.siblings: bool | None = None
        # A close answered by `cerrada desconectada` leaves an "echo" call in
        # its place: a `cerrada orden` may still follow for it (the camera
        # went before the bridge read the `cerrar`) or not. The echo takes
        # it, until the answer to a probe sent before the next command
        # shows that none is coming. True: a probe is still to be sent.
        self.echo = False
        self.last_output = time.monotonic()
