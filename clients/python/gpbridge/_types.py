"""The values the client hands to a host: cameras, settings, photos,
frames and the unsolicited events. Plain named tuples, so a host can
compare, print and unpack them."""

from __future__ import annotations

import errno
import os
import stat
from datetime import datetime
from typing import NamedTuple, Union

from ._errors import GpbridgeError, ProtocolError


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


class Control(NamedTuple):
    """One setting of the camera's configuration. `path` is its place in
    the tree ("/main/imgsettings/iso"), `name` the last part of it. `type`
    is "text", "range", "toggle", "radio", "menu" or "date"; `value` is
    typed by it: a bool for a toggle, a float for a range, a datetime (in
    UTC) for a date, else a str. `choices` lists a radio's or menu's values
    in the camera's order; `range` is (min, max, step) for a range, else
    None."""

    path: str
    name: str
    label: str
    type: str
    value: bool | float | datetime | str
    read_only: bool
    choices: list[str]
    range: tuple[float, float, float] | None


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


class NotRestored(NamedTuple):
    """With reconnect on: a value set through the client (`name` as given to
    set_setting() or set()) that could not be set again on the camera once
    it was back; reported before its Reconnected. `error` says why."""

    name: str
    value: str
    error: GpbridgeError


class Reconnected(NamedTuple):
    """With reconnect on: the camera is open again, in the same folder, with
    live view back on if it was on."""

    model: str
    settings: Settings


Event = Union[Photo, Settings, Closed, Failure, LiveViewEnded, Disconnected, NotRestored, Reconnected, ProtocolError]
