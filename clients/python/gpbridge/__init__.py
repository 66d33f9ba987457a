"""Python client for gpbridge, the headless tethered-camera bridge.

    from gpbridge import Bridge

    with Bridge.start() as bridge:
        bridge.open(0, "photos")
        print(bridge.capture().path)

See README.md beside this package for the whole API.
"""

from ._bridge import Bridge
from ._liveview import LiveView
from ._types import (
    Camera,
    Closed,
    Control,
    Disconnected,
    Event,
    Failure,
    File,
    Frame,
    LiveViewEnded,
    NotRestored,
    Opened,
    Photo,
    Reconnected,
    SettingChoices,
    Settings,
)
from ._rig import Rig
from ._rigtypes import CameraBack, CameraLost, RigCamera, RigError, RigEvent, SetResult
from ._rigfiles import ShotSet
from ._errors import (
    BridgeExited,
    BridgeTimeout,
    CameraClosed,
    CameraUnavailable,
    FolderError,
    GpbridgeError,
    NotSupported,
    ProtocolError,
)
from ._wire import ERROR_CODES, WIRE, BridgeError

__all__ = [
    "Bridge", "Camera", "Closed", "Control", "Disconnected", "Event", "Failure", "File", "Frame", "LiveView",
    "LiveViewEnded", "NotRestored", "Opened", "Photo", "Reconnected", "SettingChoices", "Settings",
    "ERROR_CODES", "WIRE", "BridgeError", "BridgeExited", "BridgeTimeout", "CameraClosed",
    "CameraUnavailable", "FolderError", "GpbridgeError", "NotSupported", "ProtocolError",
    "Rig", "RigCamera", "RigError", "RigEvent", "SetResult", "ShotSet", "CameraLost", "CameraBack",
]
__version__ = "0.1.0"
