"""What a rig's user gets back: its cameras, the answers to a setting, the
events it sends and the error it raises, in one place apart from the rig's
workings (the slots and the search name them without importing the rig)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Union

from ._errors import GpbridgeError


@dataclass(frozen=True)
class RigCamera:
    """A camera of the rig: `id` is its serial number, or its port where it
    has none."""

    id: str
    model: str
    port: str


@dataclass(frozen=True)
class SetResult:
    """What one camera made of rig.set(): the control read back, or the
    error's code and message."""

    ok: bool
    control: Any = None
    code: str | None = None
    message: str | None = None


@dataclass(frozen=True)
class CameraLost:
    """A camera went away (unplugged, switched off, its bridge died)."""

    id: str


@dataclass(frozen=True)
class CameraBack:
    """A camera that went away is open again and joins the next shot."""

    id: str


RigEvent = Union[CameraLost, CameraBack]


class RigError(GpbridgeError):
    """The rig could not be put together (a listed camera is not there)."""

    code = "RIG_ERROR"
