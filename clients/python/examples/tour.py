"""List cameras, open the first, take three photos, two seconds of live view, close."""
import sys
import time

from gpbridge import Bridge

with Bridge.start(sys.argv[1] if len(sys.argv) > 1 else "gpbridge") as bridge:
    print("cameras:", bridge.list_cameras())
    print("opened:", bridge.open(0, "photos"))
    for _ in range(3):
        print("photo:", bridge.capture().path)
    end = time.monotonic() + 2
    with bridge.live_view() as live:
        for frame in live:
            print("frame", frame.n, len(frame.read()), "bytes")
            if time.monotonic() > end:
                break
    print("closed:", bridge.close())
