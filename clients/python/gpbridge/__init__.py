"""Python client for gpbridge, the headless tethered-camera bridge.

    from gpbridge import Bridge

    with Bridge.start() as bridge:
        bridge.open(0, "photos")
        print(bridge.capture().path)

See README.md beside this package for the whole API.
"""

from ._bridge import (
    Bridge,
    Camera,
    Closed,
    Event,
    Failure,
    Frame,
    LiveView,
    LiveViewEnded,
    Opened,
    Photo,
    Settings,
)
from ._wire import (
    WIRE,
    BridgeError,
    BridgeExited,
    BridgeTimeout,
    CameraClosed,
    GpbridgeError,
    ProtocolError,
)

__all__ = [
    "Bridge", "Camera", "Closed", "Event", "Failure", "Frame", "LiveView", "LiveViewEnded",
    "Opened", "Photo", "Settings", "WIRE", "BridgeError", "BridgeExited", "BridgeTimeout",
    "CameraClosed", "GpbridgeError", "ProtocolError",
]
__version__ = "0.1.0"
