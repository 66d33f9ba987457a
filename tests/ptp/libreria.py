"""Asks libgphoto2 itself, through ctypes, what it sees: prints as JSON the
cameras it detects (model, port) and, for each setting named on the command
line, the first camera's value (null when the camera has no such setting)
and, under "widgets", the widget's value, type and choices; with --tree, under
"tree", every leaf widget of the whole configuration as [path, type, read-only,
choices], depth first. Run with the same environment as the bridge (see
vcam.Camara.library).

    python3 libreria.py f-number shutterspeed
    python3 libreria.py --tree
"""

import ctypes
import json
import os
import sys
from typing import Optional

GP_WIDGET_WINDOW, GP_WIDGET_SECTION = 0, 1
GP_WIDGET_TEXT, GP_WIDGET_RADIO, GP_WIDGET_MENU = 2, 5, 6

lib = ctypes.CDLL(os.path.join(os.environ["LD_LIBRARY_PATH"], "libgphoto2.so.6"))
lib.gp_context_new.restype = ctypes.c_void_p
ctx = ctypes.c_void_p(lib.gp_context_new())


def check(status: int, what: str) -> None:
    if status < 0:
        raise SystemExit(f"{what} failed: {status}")


def detect() -> list:
    cameras = ctypes.c_void_p()
    check(lib.gp_list_new(ctypes.byref(cameras)), "gp_list_new")
    check(lib.gp_camera_autodetect(cameras, ctx), "gp_camera_autodetect")
    found = []
    for i in range(lib.gp_list_count(cameras)):
        name, value = ctypes.c_char_p(), ctypes.c_char_p()
        check(lib.gp_list_get_name(cameras, i, ctypes.byref(name)), "gp_list_get_name")
        check(lib.gp_list_get_value(cameras, i, ctypes.byref(value)), "gp_list_get_value")
        found.append([name.value.decode(), value.value.decode()])
    lib.gp_list_free(cameras)
    return found


def setting(camera: ctypes.c_void_p, name: str) -> Optional[dict]:
    """{"value", "type", "choices"} of the named widget, or None."""
    widget = ctypes.c_void_p()
    if lib.gp_camera_get_single_config(camera, name.encode(), ctypes.byref(widget), ctx) < 0:
        return None
    kind = ctypes.c_int()
    value = None
    lib.gp_widget_get_type(widget, ctypes.byref(kind))
    if kind.value in (GP_WIDGET_TEXT, GP_WIDGET_RADIO, GP_WIDGET_MENU):
        text = ctypes.c_char_p()
        if lib.gp_widget_get_value(widget, ctypes.byref(text)) >= 0 and text.value is not None:
            value = text.value.decode()
    choices = []
    if kind.value in (GP_WIDGET_RADIO, GP_WIDGET_MENU):
        for i in range(lib.gp_widget_count_choices(widget)):
            choice = ctypes.c_char_p()
            check(lib.gp_widget_get_choice(widget, i, ctypes.byref(choice)), "gp_widget_get_choice")
            choices.append(choice.value.decode())
    lib.gp_widget_free(widget)
    return {"value": value, "type": kind.value, "choices": choices}


def choices(widget: ctypes.c_void_p) -> list:
    out = []
    for i in range(lib.gp_widget_count_choices(widget)):
        choice = ctypes.c_char_p()
        check(lib.gp_widget_get_choice(widget, i, ctypes.byref(choice)), "gp_widget_get_choice")
        out.append(choice.value.decode())
    return out


def leaves(widget: ctypes.c_void_p, path: str, out: list) -> list:
    """[path, type, read-only, choices] of every leaf below `widget`."""
    name, kind, readonly = ctypes.c_char_p(), ctypes.c_int(), ctypes.c_int()
    lib.gp_widget_get_name(widget, ctypes.byref(name))
    lib.gp_widget_get_type(widget, ctypes.byref(kind))
    lib.gp_widget_get_readonly(widget, ctypes.byref(readonly))
    path += "/" + name.value.decode()
    if kind.value in (GP_WIDGET_WINDOW, GP_WIDGET_SECTION):
        for i in range(lib.gp_widget_count_children(widget)):
            child = ctypes.c_void_p()
            check(lib.gp_widget_get_child(widget, i, ctypes.byref(child)), "gp_widget_get_child")
            leaves(child, path, out)
    else:
        listed = choices(widget) if kind.value in (GP_WIDGET_RADIO, GP_WIDGET_MENU) else []
        out.append([path, kind.value, bool(readonly.value), listed])
    return out


def main(names: list) -> None:
    report = {"cameras": detect(), "settings": {}, "widgets": {}}
    if names:
        camera = ctypes.c_void_p()
        check(lib.gp_camera_new(ctypes.byref(camera)), "gp_camera_new")
        check(lib.gp_camera_init(camera, ctx), "gp_camera_init")
        if names == ["--tree"]:
            root = ctypes.c_void_p()
            check(lib.gp_camera_get_config(camera, ctypes.byref(root), ctx), "gp_camera_get_config")
            report["tree"] = leaves(root, "", [])
            lib.gp_widget_free(root)
            names = []
        report["widgets"] = {n: setting(camera, n) for n in names}
        report["settings"] = {n: w and w["value"] for n, w in report["widgets"].items()}
        lib.gp_camera_exit(camera, ctx)
        lib.gp_camera_free(camera)
    print(json.dumps(report))


if __name__ == "__main__":
    main(sys.argv[1:])
