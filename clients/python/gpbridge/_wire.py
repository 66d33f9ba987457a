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
    ("event", "cameras", "camaras"),
    ("event", "opened", "abierta"),
    ("event", "closed", "cerrada"),
    ("event", "error", "error"),
    ("event", "photo", "foto"),
    ("event", "frame", "vista"),
    ("event", "live_view_ended", "vistaFin"),
    ("event", "settings", "ajustes"),
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
    ("fixed error", "save", "No se puede guardar en la carpeta"),
)


def _section(what: str) -> dict[str, str]:
    return {english: wire for kind, english, wire in WIRE if kind == what}


COMMANDS = _section("command")
_EVENT_NAMES = {wire: english for english, wire in _section("event").items()}
_KEYS = {english: _section("key " + english) for english in _section("event")}
_CAMERA_KEYS = _section("key camera")
_REASONS = {wire: english for english, wire in _section("reason").items()}
_OPERATIONS = {wire + ": ": english for english, wire in _section("operation").items()}
_FIXED_ERRORS = {wire: english for english, wire in _section("fixed error").items()}
_NOT_TEXT = {"cameras": list, "n": int}

# The longest line the client accepts. The bridge's lines are far shorter
# (a camera list of a dozen cameras is a few kB); anything longer is not the
# bridge talking and is dropped rather than buffered without end.
MAX_LINE = 1 << 20


class GpbridgeError(Exception):
    """Base of every error the client raises."""


class BridgeError(GpbridgeError):
    """The bridge reported a failure. `text` is its error text as written on
    the wire; `operation` names what failed (open, capture, live_view,
    camera, download, save) or is None for a text the client does not know."""

    def __init__(self, text: str) -> None:
        super().__init__(text)
        self.text = text
        self.operation = operation_of(text)


class CameraClosed(GpbridgeError):
    """No camera is open, or the camera closed while the call waited.
    `reason` is the close reason (requested, replaced, disconnected), or
    None when no camera was open to begin with."""

    def __init__(self, message: str, reason: str | None = None) -> None:
        super().__init__(message)
        self.reason = reason


class BridgeExited(GpbridgeError):
    """The bridge process has ended. `returncode` is its exit status
    (negative: killed by that signal), or None if not known yet."""

    def __init__(self, returncode: int | None) -> None:
        super().__init__(f"the bridge has exited (status {returncode})")
        self.returncode = returncode


class ProtocolError(GpbridgeError):
    """The bridge wrote something that is not a valid event line. `line` is
    the raw line (without its line feed), possibly cut short."""

    def __init__(self, message: str, line: bytes = b"") -> None:
        super().__init__(f"{message}: {line[:200]!r}" if line else message)
        self.line = line


class BridgeTimeout(GpbridgeError, TimeoutError):
    """A call got no answer within its time limit. The bridge may still
    answer later; the client then drops that late answer."""


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


def _fields(obj: Any, keys: dict[str, str], line: bytes, what: str) -> dict[str, Any]:
    if not isinstance(obj, dict) or set(obj) != set(keys.values()):
        raise ProtocolError(f"{what} does not have the keys {sorted(keys.values())}", line)
    out = {}
    for english, wire in keys.items():
        value = obj[wire]
        wanted = _NOT_TEXT.get(english, str)
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
    fields = _fields(obj, _KEYS[kind], line, wire_name)
    if kind == "cameras":
        fields["cameras"] = [_fields(c, _CAMERA_KEYS, line, "camera") for c in fields["cameras"]]
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
