"""Shots and their files: which file belongs to which shot (RAW+JPEG
siblings share a stem), and how long a capture waits for the rest of its
shot once its photo has come."""

from __future__ import annotations

import re
import time

from ._folders import partials_grew
from ._state import Call, Deadline, State
from ._types import Event, File, Photo
from ._errors import BridgeTimeout


class Shot:
    """The files of the latest shot: its photo's stem and the extensions
    seen. A file with that stem and a new extension belongs to it."""

    __slots__ = ("stems", "exts", "call")

    def __init__(self, name: str, call: Call | None) -> None:
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


def photo(call: Call) -> Photo:
    """The photo a capture returns: its first file, with all of them."""
    first = call.files[0]
    return Photo(first.path, first.name, call.files)


def photo_came(st: State, file: File) -> list[Event]:
    """A `foto` event: to the capture waiting for it, to the capture of the
    latest shot when it is that shot's sibling, else an unsolicited Photo.
    Lock held."""
    shot = st.shot
    if shot is not None and shot.takes(file.name):
        # Another file of the latest shot: to its capture while that
        # still gathers, else an event; never to a later capture.
        shot.add(file.name)
        st.siblings = True  # from now on, captures wait for them
        if shot.call is not None and not shot.call.done:
            shot.call.files.append(file)
            return []
        return [Photo(file.path, file.name)]
    call = next((c for c in st.calls if c.kind == "capture" and not c.files), None)
    st.shot = Shot(file.name, call)
    if call is None:
        return [Photo(file.path, file.name)]
    call.files.append(file)
    return []


def gather(st: State, call: Call, deadline: Deadline) -> None:
    """Waits for a capture's photo, then for the other files of its shot
    for as long as more keep coming (or a download of one is visibly under
    way). A camera known to give one file per shot costs no wait. The
    caller finishes the call if it is not done. Lock held."""
    if not st.cond.wait_for(lambda: call.done or call.files, deadline.left()):
        st.calls.remove(call)  # a photo may never come
        raise BridgeTimeout(f"no answer to capture within {deadline.limit} s")
    if st.siblings is False:
        return
    _wait_for_siblings(st, call, deadline)
    if st.siblings is None and not call.done:
        st.siblings = len(call.files) > 1


def _wait_for_siblings(st: State, call: Call, deadline: Deadline) -> None:
    seen: dict[str, tuple[int, int]] = {}
    count = 0
    quiet_from = time.monotonic()
    while not call.done:
        if len(call.files) != count or _downloading(st, call, seen):
            count = len(call.files)
            quiet_from = time.monotonic()
        wait = quiet_from + st.sibling_wait - time.monotonic()
        left = deadline.left()
        if wait <= 0 or left == 0:
            break
        st.cond.wait(min(wait, 0.05, left if left is not None else wait))


def gathered(st: State, call: Call) -> None:
    """The capture is done: later files of its shot are events. Lock held."""
    if st.shot is not None and st.shot.call is call:
        st.shot.call = None


def _downloading(st: State, call: Call, seen: dict[str, tuple[int, int]]) -> bool:
    """Whether a partial file of a sibling of this shot appeared or grew
    since the last look (the bridge writes NAME.parcial while it
    downloads). Called with the lock held; the folder is listed without it,
    and only names and sizes are looked at."""
    shot, folder = st.shot, st.folder
    if shot is None or shot.call is not call or folder is None:
        return False
    st.cond.release()
    try:
        return partials_grew(folder, seen, shot.takes)
    finally:
        st.cond.acquire()
