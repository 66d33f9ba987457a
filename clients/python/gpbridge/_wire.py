"""The bridge's wire format: the word table, line framing and event parsing.

Nothing here touches a process; `_bridge` feeds it the bytes it reads.
"""

from __future__ import annotations

import json
import math
from datetime import datetime, timezone
from typing import Any

from ._errors import GpbridgeError, ProtocolError

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
    ("command", "config", "configuracion"),
    ("command", "get", "leer"),
    ("command", "alert_on", "alerta 1"),
    ("command", "alert_off", "alerta 0"),
    ("event", "cameras", "camaras"),
    ("event", "opened", "abierta"),
    ("event", "closed", "cerrada"),
    ("event", "error", "error"),
    ("event", "photo", "foto"),
    ("event", "frame", "vista"),
    ("event", "live_view_ended", "vistaFin"),
    ("event", "settings", "ajustes"),
    ("event", "setting_choices", "opciones"),
    ("event", "config", "configuracion"),
    ("event", "control", "control"),
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
    ("key config", "controls", "lista"),
    # A control: one widget of the camera's configuration (an element of
    # `configuracion`'s list, or the whole of a `control` event).
    ("key control", "path", "ruta"),
    ("key control", "label", "etiqueta"),
    ("key control", "type", "tipo"),
    ("key control", "value", "valor"),
    ("key control", "read_only", "soloLectura"),
    ("key control", "choices", "opciones"),
    ("key control", "range", "rango"),
    ("control type", "text", "texto"),
    ("control type", "range", "rango"),
    ("control type", "toggle", "interruptor"),
    ("control type", "radio", "radio"),
    ("control type", "menu", "menu"),
    ("control type", "date", "fecha"),
    # Widgets the client asks for by name.
    ("widget", "focus", "autofocusdrive"),
    ("widget", "serial_number", "serialnumber"),
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
    ("operation", "config", "configuracion"),
    ("operation", "get", "leer"),
    ("fixed error", "save", "No se puede guardar en la carpeta"),
    # The library's own texts after "label: " that the client tells apart.
    ("library text", "camera_busy", "I/O in progress"),
    ("library text", "bad_parameters", "Bad parameters"),
)


def _section(what: str) -> dict[str, str]:
    return {english: wire for kind, english, wire in WIRE if kind == what}


COMMANDS = _section("command")
SETTINGS = _section("setting")
WIDGETS = _section("widget")
LIBRARY_TEXTS = _section("library text")
_CONTROL_TYPES = {wire: english for english, wire in _section("control type").items()}
_EVENT_NAMES = {wire: english for english, wire in _section("event").items()}
_KEYS = {english: _section("key " + english) for english in _section("event")}
_CAMERA_KEYS = _section("key camera")
_CONTROL_KEYS = _section("key control")
_REASONS = {wire: english for english, wire in _section("reason").items()}
_OPERATIONS = {wire + ": ": english for english, wire in _section("operation").items()}
_FIXED_ERRORS = {wire: english for english, wire in _section("fixed error").items()}
# Fields that are not a text, by (event, field); every other field is one.
_TYPES: dict[tuple[str, str], type] = {("cameras", "cameras"): list, ("frame", "n"): int}
_TYPES.update({("setting_choices", key): list for key in _KEYS["setting_choices"]})
_TYPES.update({("config", "controls"): list, ("control", "read_only"): bool, ("control", "choices"): list,
               ("control", "range"): list})

# A stable English code for every error the bridge reports, by the failed
# operation its text names (None: a text the client does not know).
ERROR_CODES: dict[str | None, str] = {
    "save": "FOLDER_NOT_WRITABLE",
    "open": "OPEN_FAILED",
    "capture": "CAPTURE_FAILED",
    "download": "DOWNLOAD_FAILED",
    "live_view": "LIVE_VIEW_FAILED",
    "set_setting": "SETTING_REJECTED",
    "config": "CONFIG_FAILED",
    "get": "CONFIG_FAILED",
    "camera": "CAMERA_ERROR",
    None: "BRIDGE_ERROR",
}

# The longest line the client accepts: 64 MiB. A camera's whole
# configuration (a thousand controls of two hundred choices each) is a few
# MiB; a longer line is not the bridge talking, and is skipped rather than
# buffered without end, failing the calls waiting at once.
MAX_LINE = 64 << 20


class BridgeError(GpbridgeError):
    """The bridge reported a failure. `text` is its error text as written on
    the wire; `operation` names what failed (open, capture, live_view,
    camera, download, save, set_setting, config, get) or is None for a text
    the client does not know; `code` is the stable code for it (see
    ERROR_CODES), CAMERA_BUSY for a shot the camera was too busy to take,
    or the `code` given (FOCUS_FAILED). `detail`, when given, is the
    client's own explanation, added to the message after the text."""

    def __init__(self, text: str, code: str | None = None, detail: str | None = None) -> None:
        super().__init__(text if detail is None else f"{text} ({detail})")
        self.text = text
        self.operation = operation_of(text)
        if code is None and self.operation == "capture" and library_text(text) == "camera_busy":
            code = "CAMERA_BUSY"
        self.code = code or ERROR_CODES[self.operation]


def library_text(text: str) -> str | None:
    """The English name of the library's text after an error's label, when
    it is one the client tells apart ("camera_busy", "bad_parameters")."""
    rest = text.partition(": ")[2]
    return next((english for english, wire in LIBRARY_TEXTS.items() if rest == wire), None)


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
        return ProtocolError(f"the bridge wrote a line longer than the client's limit of {self.limit} bytes", head)

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
        if not isinstance(value, wanted) or (isinstance(value, bool) and wanted is not bool):
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
    if kind == "control":
        return kind, _control(obj, line)
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
    elif kind == "config":
        fields["controls"] = [_control(c, line) for c in fields["controls"]]
    return kind, fields


def _texts(values: list[Any], line: bytes, what: str) -> list[str]:
    if not all(isinstance(v, str) for v in values):
        raise ProtocolError(f"{what} holds something that is not a text", line)
    return values


def _control(obj: Any, line: bytes) -> dict[str, Any]:
    """One widget, as the fields of a Control: its type in English, its
    value typed (bool for a toggle, float for a range, an aware datetime in
    UTC for a date, else a text), its range as (min, max, step) or None."""
    f = _fields(obj, "control", _CONTROL_KEYS, line, "control")
    kind = _CONTROL_TYPES.get(f["type"])
    if kind is None or not f["path"].startswith("/"):
        raise ProtocolError(f"control: unknown type {f['type']!r} or a path not from the top", line)
    f["type"] = kind
    f["name"] = f["path"].rpartition("/")[2]
    f["choices"] = _texts(f["choices"], line, "control: opciones")
    bounds = _texts(f["range"], line, "control: rango")
    try:
        f["range"] = tuple(float(b) for b in bounds) if bounds else None
        f["value"] = _typed(kind, f["value"])
    except (ValueError, OverflowError, OSError):
        raise ProtocolError(f"control: {f['value']!r} is not a {kind} value", line) from None
    if f["range"] is not None and len(f["range"]) != 3:
        raise ProtocolError("control: rango is not [min, max, step]", line)
    return f


def _typed(kind: str, text: str) -> Any:
    if kind == "toggle":
        return int(text) != 0
    if kind == "range":
        return float(text)
    if kind == "date":
        return datetime.fromtimestamp(int(text), timezone.utc)
    return text


def wire_value(value: Any) -> str:
    """A control's value as `ajustar` takes it: a bool as 1 or 0, a number
    in decimal, a datetime as its seconds since 1970, a text as it is."""
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError(f"{value!r} is not a value a camera takes")
        return repr(value)
    if isinstance(value, datetime):
        return str(math.floor(value.timestamp()))
    if isinstance(value, str):
        return value
    raise TypeError(f"a control's value is a bool, number, datetime or str, not {type(value).__name__}")


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
