"""The camera's configuration: every control, one control read or set,
focus and the serial number, as calls on the call queue."""

from __future__ import annotations

from typing import Any

from ._calls import Calls
from ._state import Deadline
from ._types import Control
from ._wire import SETTINGS, WIDGETS, BridgeError, NotSupported, command_line, library_text, wire_value


def _checked(name: str) -> str:
    if not isinstance(name, str):
        raise TypeError(f"a control's name is a str, not {type(name).__name__}")
    if not name or any(c in name for c in " \t\n\r\0"):
        raise ValueError(f"{name!r} is not a control's name or path")
    return name


def config(calls: Calls, timeout: float | None) -> list[Control]:
    return calls.call("config", command_line("config"), timeout)


def get(calls: Calls, name: str, timeout: float | None) -> Control:
    return calls.call("get", command_line("get", _checked(name)), timeout)


def set_control(calls: Calls, name: str, value: Any, timeout: float | None) -> Control:
    text = wire_value(value)
    deadline = Deadline(timeout)
    target = _checked(name)
    if target in SETTINGS.values():
        # `ajustar` of these words sets an exposure setting by the bridge's
        # own choice of widget and answers with a settings report; the
        # widget of that name is set by its path, and answers with itself.
        target = get(calls, target, deadline.left()).path
    return calls.call("set", command_line("set_setting", target, text), deadline.left())


def _absent(calls: Calls, name: str, deadline: Deadline) -> bool:
    """Whether the camera has no control of that name."""
    try:
        get(calls, name, deadline.left())
    except BridgeError as err:
        return library_text(err.text) == "bad_parameters"
    return False


def focus(calls: Calls, timeout: float | None) -> None:
    widget = WIDGETS["focus"]
    deadline = Deadline(timeout)
    try:
        calls.call("set", command_line("set_setting", widget, "1"), deadline.left())
    except BridgeError as err:
        # A refusal without asking the camera is also what a missing
        # control gets: ask whether it is there.
        if library_text(err.text) == "bad_parameters" and _absent(calls, widget, deadline):
            raise NotSupported(f"the camera has no autofocus control ({widget})") from None
        raise BridgeError(err.text, "FOCUS_FAILED") from None


def serial_number(calls: Calls, timeout: float | None) -> str | None:
    try:
        control = get(calls, WIDGETS["serial_number"], timeout)
    except BridgeError as err:
        if library_text(err.text) == "bad_parameters":
            return None  # the camera has none
        raise
    return str(control.value) or None
