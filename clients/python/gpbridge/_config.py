"""The camera's configuration: every control, one control read or set,
focus and the serial number, as calls on the call queue."""

from __future__ import annotations

from typing import Any

from ._calls import Calls
from ._state import Deadline, Session, State
from ._types import Control, NotRestored, Settings
from ._errors import NotSupported
from ._wire import SETTINGS, WIDGETS, BridgeError, command_line, library_text, wire_value


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


def remember(st: State, kind: str, name: str, value: str, line: bytes) -> None:
    """A value set through the client, to set again after a reconnect (the
    latest of each name, in the order they were last set)."""
    with st.cond:
        if st.session is not None and st.session.remembered is not None:
            st.session.remembered.pop((kind, name), None)
            st.session.remembered[(kind, name)] = (value, line)


def restore(calls: Calls, session: Session) -> tuple[list[NotRestored], Settings | None]:
    """Sets the remembered values again, on a camera just reopened (the
    keeper holds the call lock). Returns those the camera refused, and the
    settings after the last exposure setting set. CameraClosed and the
    like propagate: the camera went again."""
    refused: list[NotRestored] = []
    settings = None
    for (kind, name), (value, line) in list((session.remembered or {}).items()):
        try:
            result = calls.call(kind, line, 20.0, internal=True)
        except BridgeError as err:
            refused.append(NotRestored(name, value, err))
            continue
        if isinstance(result, Settings):
            settings = result
    return refused, settings


def set_control(calls: Calls, st: State, name: str, value: Any, timeout: float | None) -> Control:
    text = wire_value(value)
    deadline = Deadline(timeout)
    target = _checked(name)
    if target in SETTINGS.values():
        # `ajustar` of these words sets an exposure setting by the bridge's
        # own choice of widget and answers with a settings report; the
        # widget of that name is set by its path, and answers with itself.
        target = get(calls, target, deadline.left()).path
    line = command_line("set_setting", target, text)
    control = calls.call("set", line, deadline.left())
    remember(st, "set", name, text, line)
    return control


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


def serial_number(calls: Calls, timeout: float | None, internal: bool = False) -> str | None:
    """The camera's serial number; None where it has none, or where the
    bridge is too old to read one (it ignores `leer`: the `opciones` sent
    behind it answers alone)."""
    line = command_line("get", WIDGETS["serial_number"]) + command_line("setting_choices")
    try:
        control = calls.call("serial", line, timeout, internal=internal)
    except BridgeError as err:
        if library_text(err.text) == "bad_parameters":
            return None  # the camera has none
        raise
    return None if control is None else str(control.value) or None
