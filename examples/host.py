#!/usr/bin/env python3
"""A small host application for gpbridge, built on the Python client
(clients/python, package `gpbridge`).

It starts the bridge, lists the cameras, opens the first one, takes one
photo, shows three live-view frames, closes the camera and lets the bridge
end, telling you in plain words what happens at every step:

    python3 examples/host.py [GPBRIDGE [FOLDER]]

GPBRIDGE is the bridge binary (default: the GPBRIDGE environment variable,
else ./build/gpbridge); FOLDER is where photos are downloaded (default
./photos, created if missing). Exit status: 0 when every step worked, 1 when
a step failed (the bridge is still shut down cleanly), 2 when the bridge
could not be started at all.

Every call has a time limit, so this program never hangs: if the bridge
stops answering, it is killed.
"""

import os
import sys

try:
    import gpbridge  # noqa: F401  (installed, or on PYTHONPATH)
except ImportError:  # run from the source tree without installing the client
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "clients", "python"))

from gpbridge import Bridge, BridgeError, BridgeTimeout, Closed, Failure, GpbridgeError, Photo, Settings

# Time limits in seconds. Detection and opening can take a few seconds on a
# real USB camera; a photo may take longer (long exposures, slow cards).
FIND_TIMEOUT = 20
OPEN_TIMEOUT = 30
PHOTO_TIMEOUT = 60
FRAME_TIMEOUT = 15
CLOSE_TIMEOUT = 15
EXIT_TIMEOUT = 10

MEANINGS = {
    "open": "the camera could not be opened",
    "capture": "the camera did not take the photo",
    "live_view": "live view stopped",
    "download": "the photo could not be downloaded (it is still on the camera)",
}
CLOSE_REASONS = {"disconnected": "the camera was disconnected",
                 "replaced": "the camera was replaced by another one",
                 "requested": "the camera was closed"}


def say(text):
    print(text, flush=True)


class StepFailed(Exception):
    """A step could not be completed; the message says why, in plain words."""


def explain(error):
    if error.operation == "save":
        return "the photo could not be saved in the download folder (it is still on the camera)"
    detail = error.text.partition(": ")[2]
    meaning = MEANINGS.get(error.operation)
    return f"{meaning}: {detail}" if meaning else error.text


def describe_settings(s):
    return (f"ISO {s.iso or '?'}, aperture {s.aperture or '?'}, "
            f"shutter {s.shutter_speed or '?'}, battery {s.battery or '?'}")


def show_news(bridge, state):
    """Shows what happened on its own since the last step: settings reports,
    photos fired on the camera, warnings. A closed camera ends the tour."""
    while (event := bridge.next_event(timeout=0)) is not None:
        if isinstance(event, Settings):
            say("  Camera settings: " + describe_settings(event))
        elif isinstance(event, Photo):
            say(f"  Another photo arrived (fired on the camera?): {event.path}")
        elif isinstance(event, Closed):
            raise StepFailed(CLOSE_REASONS.get(event.reason, f"the camera closed ({event.reason})"))
        elif isinstance(event, Failure) and event.operation == "camera":
            # The camera's event wait failed; the camera stays open and the
            # bridge tries again on its next turn, so this may repeat.
            state["camera_errors"] += 1
            if state["camera_errors"] == 1:
                say(f"  The camera reported a problem, going on: {event.text}")
        elif isinstance(event, Failure):
            say(f"  Problem reported: {event.text}")
        else:
            say(f"  (unexpected output: {event})")


def is_jpeg(data):
    return data[:2] == b"\xff\xd8"


def run(bridge, folder):
    state = {"camera_errors": 0}
    say("Looking for cameras...")
    cameras = bridge.list_cameras(timeout=FIND_TIMEOUT)
    if not cameras:
        raise StepFailed("no camera found; connect one, switch it on and try again")
    say(f"Found {len(cameras)} camera(s):")
    for i, cam in enumerate(cameras):
        say(f"  {i}: {cam.model} on {cam.port}")

    say(f"Opening camera 0; photos go to {folder}")
    opened = bridge.open(0, folder, timeout=OPEN_TIMEOUT)
    say(f"Opened: {opened.model}")
    say("  Camera settings: " + describe_settings(opened.settings))

    say("Taking a photo...")
    photo = bridge.capture(timeout=PHOTO_TIMEOUT)
    size = os.path.getsize(photo.path)
    say(f"Photo saved: {photo.path} ({photo.name}, {size} bytes)")
    show_news(bridge, state)

    say("Turning live view on...")
    shown = 0
    with bridge.live_view(frame_timeout=FRAME_TIMEOUT) as live:
        for frame in live:
            # The file is replaced whole by every new frame, so it may already
            # hold a later frame than this one, but never half of one.
            kind = "a JPEG image" if is_jpeg(frame.read()) else "not a JPEG image"
            say(f"  Live-view frame {frame.n} arrived: {frame.path} is {kind}")
            shown += 1
            if shown == 3:
                break
    if shown < 3:
        if live.error is not None:
            raise StepFailed(explain(live.error))
        raise StepFailed(CLOSE_REASONS.get(live.closed_reason, "live view ended"))
    say("Live view off.")
    show_news(bridge, state)


def finish(bridge):
    """Closes the camera, ends the bridge and returns its exit status."""
    try:
        bridge.close(timeout=CLOSE_TIMEOUT)
        say("Camera closed.")
    except GpbridgeError as failure:
        say(f"Could not close the camera cleanly: {failure}.")
    try:
        return bridge.quit(timeout=EXIT_TIMEOUT)
    except BridgeTimeout:
        say("The bridge did not end by itself; stopped it.")
        return bridge.returncode


def main(argv):
    binary = argv[1] if len(argv) > 1 else os.environ.get("GPBRIDGE", "./build/gpbridge")
    folder = os.path.abspath(argv[2] if len(argv) > 2 else "photos")
    try:
        bridge = Bridge.start(binary)
    except OSError as exc:
        say(f"Could not start the bridge: {exc}")
        return 2
    say(f"Started the bridge {binary} (live-view frames go to {bridge.live_view_dir})")
    ok = True
    try:
        run(bridge, folder)
    except BridgeError as error:
        say(f"Stopped: {explain(error)}.")
        ok = False
    except BridgeTimeout as late:
        say(f"Stopped: the bridge did not answer in time ({late}).")
        ok = False
    except (StepFailed, GpbridgeError) as failure:
        say(f"Stopped: {failure}.")
        ok = False
    finally:
        status = finish(bridge)
    say(f"The bridge ended with status {status}.")
    if status != 0:
        ok = False
    say("All done." if ok else "Finished with a problem.")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
