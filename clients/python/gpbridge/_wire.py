"""The bridge's wire format: the word table, line framing and event parsing.

Nothing here touches a process; `_bridge` feeds it the bytes it reads.
"""

from __future__ import annotations

import json
from typing import Any

# Every Spanish word of the protocol, next to the English name the client
# uses for it. No other module spells a wire word.
#
#   (what, English name, wire word)
#
# "key K" rows are the keys of event K, in the order the bridge writes them.
WIRE: tuple[tuple[str, str, str], ...] = (
    ("command", "list_cameras", "buscar"),
    ("command", "open", "abrir"),
    ("command", "capture", "disparar"),
    ("command", "live_view_on", "vista 1"),
    ("command", "live_view_off", "vista 0"),
    ("command", "close", "cerrar"),
    ("command", "quit", "salir"),
    ("command", "setting_choices", "opciones"),
    ("command", "set_setting", "ajustar"),
    ("event", "cameras", "camaras"),
    ("event", "opened", "abierta"),
    ("event", "closed", "cerrada"),
    ("event", "error", "error"),
    ("event", "photo", "foto"),
    ("event", "frame", "vista"),
    ("event", "live_view_ended", "vistaFin"),
    ("event", "settings", "ajustes"),
    ("event", "setting_choices", "opciones"),
    ("key cameras", "cameras", "lista"),
    ("key camera", "model", "modelo"),
    ("key camera", "port", "puerto"),
    ("key opened", "model", "modelo"),
    ("key closed", "reason", "motivo"),
    ("key error", "text", "texto"),
    ("key photo", "path", "ruta"),
    ("key photo", "name", "nombre"),
    ("key frame", "path", "ruta"),
    ("key frame", "n", "n"),
    ("key settings", "iso", "iso"),
    ("key settings", "aperture", "diafragma"),
    ("key settings", "shutter_speed", "velocidad"),
    ("key settings", "battery", "bateria"),
    ("key setting_choices", "iso", "iso"),
    ("key setting_choices", "aperture", "diafragma"),
    ("key setting_choices", "shutter_speed", "velocidad"),
    # The settings set_setting() can change, as `ajustar KEY VALUE` names them.
    ("setting", "iso", "iso"),
    ("setting", "aperture", "diafragma"),
    ("setting", "shutter_speed", "velocidad"),
    ("reason", "requested", "orden"),
    ("reason", "replaced", "otra"),
    ("reason", "disconnected", "desconectada"),
    # Error texts start with the failed operation's label and ": ", except
    # the one fixed text for a download folder that cannot be written.
    ("operation", "open", "abrir"),
    ("operation", "capture", "disparar"),
    ("operation", "live_view", "vista en directo"),
    ("operation", "camera", "cámara"),
    ("operation", "download", "bajar la foto"),
    ("operation", "set_setting", "ajustar"),
    ("fixed error", "save", "No se puede guardar en la carpeta"),
)


def _section(what: str) -> dict[str, str]:
    return {english: wire for kind, english, wire in WIRE if kind == what}


COMMANDS = _section("command")
SETTINGS = _section("setting")
_EVENT_NAMES = {wire: english for english, wire in _section("event").items()}
_KEYS = {english: _section("key " + english) for english in _section("event")}
_CAMERA_KEYS = _section("key camera")
_REASONS = {wire: english for english, wire in _section("reason").items()}
_OPERATIONS = {wire + ": ": english for english, wire in _section("operation").items()}
_FIXED_ERRORS = {wire: english for english, wire in _section("fixed error").items()}
# Fields that are not a text, by (event, field); every other field is one.
_TYPES: dict[tuple[str, str], type] = {("cameras", "cameras"): list, ("frame", "n"): int}
_TYPES.update({("setting_choices", key): list for key in _KEYS["setting_choices"]})

# A stable English code for every error the bridge reports, by the failed
# operation its text names (None: a text the client does not know).
ERROR_CODES: dict[str | None, str] = {
    "save": "FOLDER_NOT_WRITABLE",
    "open": "OPEN_FAILED",
    "capture": "CAPTURE_FAILED",
    "download": "DOWNLOAD_FAILED",
    "live_view": "LIVE_VIEW_FAILED",
    "set_setting": "SETTING_REJECTED",
    "camera": "CAMERA_ERROR",
    None: "BRIDGE_ERROR",
}

# The longest line the client accepts. The bridge's lines are far shorter
# (a camera list of a dozen cameras is a few kB); anything longer is not the
# bridge talking and is dropped rather than buffered without end.
MAX_LINE = 1 << 20


class GpbridgeError(Exception):
    """Base of every error the client raises. `code` is a stable English
    name for the kind of failure."""

    code = "GPBRIDGE_ERROR"


class BridgeError(GpbridgeError):
    """The bridge reported a failure. `text` is its error text as written on
    the wire; `operation` names what failed (open, capture, live_view,
    camera, download, save, set_setting) or is None for a text the client
    does not know; `code` is the stable code for it (see ERROR_CODES)."""

    def __init__(self, text: str) -> None:
        super().__init__(text)
        self.text = text
        self.operation = operation_of(text)
        self.code = ERROR_CODES[self.operation]


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


def operation_of(text: str) -> str | None:
    if text in _FIXED_ERRORS:
        return _FIXED_ERRORS[text]
    for prefix, english in _OPERATIONS.items():
        if text.startswith(prefix):
            return english
    return None


class LineSplitter:
    """Cuts a byte stream into lines. `feed` takes any chunk and returns the
    complete lines in it (without their line feed), joined across chunk
    boundaries. A line longer than `limit` comes out as a ProtocolError
    (once) and the rest of it is skipped, so memory stays bounded."""

    def __init__(self, limit: int = MAX_LINE) -> None:
        self.limit = limit
        self._buf = bytearray()
        self._skipping = False

    def feed(self, chunk: bytes) -> list[bytes | ProtocolError]:
        out: list[bytes | ProtocolError] = []
        start = 0
        while True:
            end = chunk.find(b"\n", start)
            if end < 0:
                break
            if self._skipping:
                self._skipping = False
            elif len(self._buf) + end - start > self.limit:
                out.append(self._too_long(chunk[start:end]))
            else:
                self._buf += chunk[start:end]
                out.append(bytes(self._buf))
            self._buf.clear()
            start = end + 1
        if not self._skipping and start < len(chunk):
            if len(self._buf) + len(chunk) - start > self.limit:
                out.append(self._too_long(chunk[start:]))
                self._skipping = True
                self._buf.clear()
            else:
                self._buf += chunk[start:]
        return out

    def _too_long(self, tail: bytes) -> ProtocolError:
        head = bytes(self._buf[:200]) if self._buf else tail[:200]
        return ProtocolError(f"line longer than {self.limit} bytes", head)

    def end(self) -> ProtocolError | None:
        """At end of stream: a ProtocolError for an unfinished last line."""
        rest, self._buf = bytes(self._buf), bytearray()
        if rest and not self._skipping:
            return ProtocolError("output ended in the middle of a line", rest)
        return None


def _no_duplicates(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    obj = dict(pairs)
    if len(obj) != len(pairs):
        raise ValueError("a key appears twice")
    return obj


def _fields(obj: Any, kind: str, keys: dict[str, str], line: bytes, what: str) -> dict[str, Any]:
    if not isinstance(obj, dict) or set(obj) != set(keys.values()):
        raise ProtocolError(f"{what} does not have the keys {sorted(keys.values())}", line)
    out = {}
    for english, wire in keys.items():
        value = obj[wire]
        wanted = _TYPES.get((kind, english), str)
        if not isinstance(value, wanted) or isinstance(value, bool):
            raise ProtocolError(f"{what}: {wire} is not a {wanted.__name__}", line)
        out[english] = value
    return out


# One decoder for every line: a decoder made per call leaves a reference
# cycle behind for the garbage collector, 100 times a second in live view.
_DECODER = json.JSONDecoder(object_pairs_hook=_no_duplicates)


def parse_event(line: bytes) -> tuple[str, dict[str, Any]]:
    """One event line (without its line feed) as (English event name,
    fields by English name). Raises ProtocolError for anything that is not a
    well-formed event. Bytes that are not UTF-8 are kept as surrogate
    escapes, so paths still name the right file (os.fsencode undoes them)."""
    try:
        obj = _DECODER.decode(line.decode("utf-8", "surrogateescape"))
    except ValueError as exc:
        raise ProtocolError(f"not a JSON object ({exc})", line) from None
    if not isinstance(obj, dict) or not isinstance(obj.get("e"), str):
        raise ProtocolError("not an event object", line)
    wire_name = obj.pop("e")
    kind = _EVENT_NAMES.get(wire_name)
    if kind is None:
        raise ProtocolError(f"unknown event {wire_name!r}", line)
    fields = _fields(obj, kind, _KEYS[kind], line, wire_name)
    if kind == "cameras":
        fields["cameras"] = [_fields(c, "camera", _CAMERA_KEYS, line, "camera") for c in fields["cameras"]]
    elif kind == "setting_choices":
        for english, choices in fields.items():
            if not all(isinstance(c, str) for c in choices):
                raise ProtocolError(f"{wire_name}: {_KEYS[kind][english]} holds something that is not a text", line)
    elif kind == "closed":
        if fields["reason"] not in _REASONS:
            raise ProtocolError(f"unknown close reason {fields['reason']!r}", line)
        fields["reason"] = _REASONS[fields["reason"]]
    elif kind == "frame" and fields["n"] < 1:
        raise ProtocolError("frame number below 1", line)
    return kind, fields


def command_line(name: str, *args: str | bytes) -> bytes:
    """A command line, line feed included. Arguments are checked so that
    nothing can end the line early or smuggle in a second command."""
    parts = [COMMANDS[name].encode()]
    for arg in args:
        raw = arg if isinstance(arg, bytes) else arg.encode("utf-8", "surrogateescape")
        if any(b in raw for b in (b"\n", b"\r", b"\0")):
            raise ValueError(f"{arg!r}: line feeds, carriage returns and zero bytes are not allowed")
        parts.append(raw)
    line = b" ".join(parts)
    if len(line) > 8190:
        raise ValueError("command longer than the bridge's 8190-byte line limit")
    return line + b"\n"
