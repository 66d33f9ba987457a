#!/usr/bin/env python3
"""A small host application for gpbridge, in plain Python 3.

It starts the bridge, lists the cameras, opens the first one, takes one
photo, shows three live-view frames, closes the camera and lets the bridge
end, telling you in plain words what happens at every step:

    python3 examples/host.py [GPBRIDGE [FOLDER]]

GPBRIDGE is the bridge binary (default: the GPBRIDGE environment variable,
else ./build/gpbridge); FOLDER is where photos are downloaded (default
./photos, created if missing). Exit status: 0 when every step worked, 1 when
a step failed (the bridge is still shut down cleanly), 2 when the bridge
could not be started at all.

Every wait has a time limit, so this program never hangs: if the bridge
stops answering, it is killed.
"""

import json
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading

# Time limits in seconds. Detection and opening can take a few seconds on a
# real USB camera; a photo may take longer (long exposures, slow cards).
FIND_TIMEOUT = 20
OPEN_TIMEOUT = 30
PHOTO_TIMEOUT = 60
FRAME_TIMEOUT = 15
CLOSE_TIMEOUT = 15
EXIT_TIMEOUT = 10


def say(text):
    print(text, flush=True)


class StepFailed(Exception):
    """A step could not be completed; the message says why, in plain words."""


class Bridge:
    """The bridge as a child process: one command per line in, one JSON
    event per line out. A reader thread moves event lines into a queue so
    that every wait can have a time limit."""

    def __init__(self, binary, live_dir):
        self.proc = subprocess.Popen([binary, live_dir], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE)
        self.events = queue.Queue()
        self.ended = False
        self.camera_errors = 0
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            # Texts come from the camera as bytes; show what is not UTF-8
            # as replacement characters rather than failing.
            line = raw.decode("utf-8", "replace")
            try:
                self.events.put(json.loads(line))
            except ValueError:
                self.events.put({"e": "?", "line": line.rstrip("\n")})
        self.events.put(None)

    def send(self, command):
        try:
            self.proc.stdin.write(command.encode() + b"\n")
            self.proc.stdin.flush()
        except (BrokenPipeError, ValueError):
            raise StepFailed("the bridge is no longer running") from None

    def next_event(self, timeout):
        """The next event, or None once the bridge's output has ended."""
        if self.ended:
            return None
        try:
            event = self.events.get(timeout=timeout)
        except queue.Empty:
            raise StepFailed(f"the bridge said nothing for {timeout} seconds") from None
        if event is None:
            self.ended = True
        return event

    def wait_for(self, wanted, timeout, what):
        """Reads events until one named in `wanted` arrives and returns it.
        Events that can come at any time are shown on the way; an error or
        a closed camera that makes the step impossible raises StepFailed."""
        while True:
            event = self.next_event(timeout)
            if event is None:
                raise StepFailed(f"the bridge ended while {what}")
            if event["e"] in wanted:
                return event
            self.background(event)

    def background(self, event):
        kind = event["e"]
        if kind == "ajustes":
            say("  Camera settings: " + describe_settings(event))
        elif kind == "vista":
            pass  # a live-view frame nobody asked for any more
        elif kind == "foto":
            say(f"  Another photo arrived (fired on the camera?): {event['ruta']}")
        elif kind == "cerrada":
            raise StepFailed(closed_reason(event["motivo"]))
        elif kind == "error" and event["texto"].startswith("cámara: "):
            # The camera's event wait failed; the camera stays open and the
            # bridge tries again on its next turn, so this may repeat.
            self.camera_errors += 1
            if self.camera_errors == 1:
                say(f"  The camera reported a problem, going on: {event['texto']}")
        elif kind == "error":
            raise StepFailed(explain_error(event["texto"]))
        else:
            say(f"  (unexpected event {event})")

    def finish(self):
        """Closes the camera, ends the bridge's input and waits for it to
        exit. Returns its exit status (killing it if it does not end)."""
        try:
            if not self.ended:
                self.send("cerrar")  # always answered by "cerrada"
                while True:
                    event = self.next_event(CLOSE_TIMEOUT)
                    if event is None:
                        raise StepFailed("the bridge ended")
                    if event["e"] == "cerrada":
                        break
                    if event["e"] == "error":
                        say(f"  Problem reported while closing: {event['texto']}")
                say("Camera closed.")
        except StepFailed as failure:
            say(f"Could not close the camera cleanly: {failure}.")
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        try:
            # After the end of its input the bridge writes nothing more
            # (its camera is already closed) and exits.
            while self.next_event(EXIT_TIMEOUT) is not None:
                pass
            return self.proc.wait(EXIT_TIMEOUT)
        except (StepFailed, subprocess.TimeoutExpired):
            say("The bridge did not end by itself; stopping it.")
            self.proc.kill()
            return self.proc.wait()


def describe_settings(event):
    parts = [f"ISO {event['iso'] or '?'}", f"aperture {event['diafragma'] or '?'}",
             f"shutter {event['velocidad'] or '?'}", f"battery {event['bateria'] or '?'}"]
    return ", ".join(parts)


def closed_reason(motivo):
    return {"desconectada": "the camera was disconnected",
            "otra": "the camera was replaced by another one",
            "orden": "the camera was closed"}.get(motivo, f"the camera closed ({motivo})")


def explain_error(texto):
    label, _, detail = texto.partition(": ")
    meaning = {
        "abrir": "the camera could not be opened",
        "disparar": "the camera did not take the photo",
        "vista en directo": "live view stopped",
        "bajar la foto": "the photo could not be downloaded (it is still on the camera)",
    }.get(label)
    if texto == "No se puede guardar en la carpeta":
        return "the photo could not be saved in the download folder (it is still on the camera)"
    return f"{meaning}: {detail}" if meaning else texto


def is_jpeg(path):
    try:
        with open(path, "rb") as f:
            return f.read(2) == b"\xff\xd8"
    except OSError:
        return False


def run(bridge, folder, live_dir):
    say("Looking for cameras...")
    bridge.send("buscar")
    cameras = bridge.wait_for({"camaras"}, FIND_TIMEOUT, "looking for cameras")["lista"]
    if not cameras:
        raise StepFailed("no camera found; connect one, switch it on and try again")
    say(f"Found {len(cameras)} camera(s):")
    for i, cam in enumerate(cameras):
        say(f"  {i}: {cam['modelo']} on {cam['puerto']}")

    say(f"Opening camera 0; photos go to {folder}")
    bridge.send(f"abrir 0 {folder}")
    opened = bridge.wait_for({"abierta"}, OPEN_TIMEOUT, "opening the camera")
    say(f"Opened: {opened['modelo']}")
    settings = bridge.wait_for({"ajustes"}, OPEN_TIMEOUT, "reading the settings")
    say("  Camera settings: " + describe_settings(settings))

    say("Taking a photo...")
    bridge.send("disparar")
    photo = bridge.wait_for({"foto"}, PHOTO_TIMEOUT, "waiting for the photo")
    size = os.path.getsize(photo["ruta"])
    say(f"Photo saved: {photo['ruta']} ({photo['nombre']}, {size} bytes)")

    say("Turning live view on...")
    bridge.send("vista 1")
    for _ in range(3):
        frame = bridge.wait_for({"vista"}, FRAME_TIMEOUT, "waiting for a live-view frame")
        # The file is replaced whole by every new frame, so it may already
        # hold a later frame than this event announced, but never half of one.
        kind = "a JPEG image" if is_jpeg(frame["ruta"]) else "not a JPEG image"
        say(f"  Live-view frame {frame['n']} arrived: {frame['ruta']} is {kind}")
    bridge.send("vista 0")
    say("Live view off.")


def main(argv):
    binary = argv[1] if len(argv) > 1 else os.environ.get("GPBRIDGE", "./build/gpbridge")
    folder = os.path.abspath(argv[2] if len(argv) > 2 else "photos")
    os.makedirs(folder, exist_ok=True)  # the bridge does not create it
    live_dir = tempfile.mkdtemp(prefix="gpbridge-live-")
    say(f"Starting the bridge {binary} (live-view frames go to {live_dir})")
    try:
        bridge = Bridge(binary, live_dir)
    except OSError as exc:
        say(f"Could not start the bridge: {exc}")
        shutil.rmtree(live_dir, ignore_errors=True)
        return 2
    ok = True
    try:
        run(bridge, folder, live_dir)
    except StepFailed as failure:
        say(f"Stopped: {failure}.")
        ok = False
    finally:
        status = bridge.finish()
        shutil.rmtree(live_dir, ignore_errors=True)
    say(f"The bridge ended with status {status}.")
    if status != 0:
        ok = False
    say("All done." if ok else "Finished with a problem.")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
