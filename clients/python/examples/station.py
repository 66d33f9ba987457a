"""A capture station: live view on its own thread, five photos from the
main thread. With reconnect on it carries on across a pulled cable or a
bridge that died, and Ctrl-C closes the camera in order.

    python3 station.py [GPBRIDGE [FOLDER]]
"""
import sys
import threading
import time

from gpbridge import Bridge, Disconnected, GpbridgeError, Reconnected


def watch(bridge):
    with bridge.live_view(frame_timeout=None) as live:
        for frame in live:
            if frame.n % 100 == 0:
                print("live view frame", frame.n, len(frame.read()), "bytes", flush=True)


def news(event):
    if isinstance(event, (Disconnected, Reconnected)):
        print("camera", type(event).__name__.lower(), flush=True)


try:
    with Bridge.start(sys.argv[1] if len(sys.argv) > 1 else "gpbridge", reconnect=True, on_event=news) as bridge:
        bridge.open(0, sys.argv[2] if len(sys.argv) > 2 else "photos")
        threading.Thread(target=watch, args=(bridge,), daemon=True).start()
        taken = 0
        while taken < 5:
            time.sleep(2)
            try:
                print("photo", bridge.capture(timeout=None).path, flush=True)
                taken += 1
            except GpbridgeError as failure:  # a shot the camera could not take
                print("no photo:", failure, flush=True)
except KeyboardInterrupt:
    print("stopped", flush=True)
