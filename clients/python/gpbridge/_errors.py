"""The errors the client raises, each with a stable English `code`.
BridgeError, the failures the bridge reports, is in _wire beside the
labels its code comes from."""

from __future__ import annotations


class GpbridgeError(Exception):
    """Base of every error the client raises. `code` is a stable English
    name for the kind of failure."""

    code = "GPBRIDGE_ERROR"



class FolderError(GpbridgeError):
    """open() cannot use the download folder: it is missing (and was not to
    be created), cannot be created, is not a folder or is not writable.
    `folder` is the folder as the bridge would see it."""

    code = "FOLDER_NOT_WRITABLE"

    def __init__(self, folder: str, why: str) -> None:
        super().__init__(f"cannot save photos in {folder}: {why}")
        self.folder = folder



class CameraClosed(GpbridgeError):
    """No camera is open, or the camera closed while the call waited.
    `reason` is the close reason (requested, replaced, disconnected), or
    None when no camera was open to begin with."""

    code = "CAMERA_CLOSED"

    def __init__(self, message: str, reason: str | None = None) -> None:
        super().__init__(message)
        self.reason = reason



class CameraUnavailable(GpbridgeError):
    """With reconnect on: the camera was away (unplugged, or its bridge
    being restarted) for the whole of the call's time limit."""

    code = "CAMERA_UNAVAILABLE"



class BridgeExited(GpbridgeError):
    """The bridge process has ended. `returncode` is its exit status
    (negative: killed by that signal), or None if not known yet. `hung` is
    true when the client killed it because it had stopped answering."""

    code = "BRIDGE_EXITED"

    def __init__(self, returncode: int | None, hung: bool = False) -> None:
        why = " (killed: it had stopped answering)" if hung else ""
        super().__init__(f"the bridge has exited (status {returncode}){why}")
        self.returncode = returncode
        self.hung = hung



class ProtocolError(GpbridgeError):
    """The bridge wrote something that is not a valid event line. `line` is
    the raw line (without its line feed), possibly cut short."""

    code = "PROTOCOL_ERROR"

    def __init__(self, message: str, line: bytes = b"") -> None:
        super().__init__(f"{message}: {line[:200]!r}" if line else message)
        self.line = line



class BridgeTimeout(GpbridgeError, TimeoutError):
    """A call got no answer within its time limit. The bridge may still
    answer later; the client then drops that late answer."""

    code = "BRIDGE_TIMEOUT"



class NotSupported(GpbridgeError):
    """The camera has no way to do what was asked (for example focus(), on a
    camera without an autofocus control)."""

    code = "NOT_SUPPORTED"
