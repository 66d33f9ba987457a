#!/usr/bin/env python3
"""Live view through the Python client (clients/python): a consumer reads
the bytes of every frame the client hands out, for N seconds, against the
simulated camera. Prints frames handed out per second against `vista`
events the bridge emitted, and the client's CPU time per frame (the whole
client process: its reader thread and the consumer).

    bench/client_vista.py [SECONDS]      (default 30)

Goal: a consumer that keeps up is handed at least 99% of the frames."""

import argparse
import os
import shlex
import shutil
import sys
import tempfile
import time

import comun
from comun import ROOT, Tarjeta

sys.path.insert(0, os.path.join(ROOT, "clients", "python"))
from gpbridge import Bridge  # noqa: E402

import puente  # noqa: E402


def wrapper(root, card):
    """A script that starts the bridge on the card, as the harness does."""
    card.prepare(root, 0)
    cmd = [puente.NS_RUN, "--card", f"{card.mount}={card.src}", "--", "env",
           f"CAMLIBS={puente.CAMLIBS_DIR}", puente.GPBRIDGE]
    path = os.path.join(root, "gpbridge-on-card")
    with open(path, "w") as f:
        f.write("#!/bin/sh\nexec " + " ".join(map(shlex.quote, cmd)) + ' "$@"\n')
    os.chmod(path, 0o755)
    return path


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("seconds", nargs="?", type=float, default=30.0)
    args = ap.parse_args()
    comun.check_build()
    comun.wait_for_quiet()
    root = tempfile.mkdtemp(prefix="gpbridge-bench-client-")
    exe = wrapper(root, Tarjeta())
    with Bridge.start(exe) as bridge:
        comun.wait_until_exec(bridge.pid)
        bridge.open(0, os.path.join(root, "fotos"))
        live = bridge.live_view()
        first = live.next_frame(timeout=10)  # the clock starts at the first frame
        received0, delivered0 = live.received, live.delivered
        cpu0 = time.process_time()
        bridge_cpu0 = sum(comun.cpu_times(bridge.pid))
        t0 = time.monotonic()
        nbytes = 0
        last = first
        while time.monotonic() - t0 < args.seconds:
            frame = live.next_frame(timeout=10)
            nbytes += len(frame.read())
            last = frame
        elapsed = time.monotonic() - t0
        cpu = time.process_time() - cpu0
        bridge_cpu = sum(comun.cpu_times(bridge.pid)) - bridge_cpu0
        received = live.received - received0
        delivered = live.delivered - delivered0
        emitted = last.n - first.n  # frame numbers go up by exactly one per event
        live.close()
    print(f"# live view through the client for {elapsed:.1f} s, live-view folder {bridge.live_view_dir}")
    print(f"vista events emitted: {emitted} ({emitted / elapsed:.1f}/s); read by the client: {received}")
    print(f"frames handed out and read: {delivered} ({delivered / elapsed:.1f}/s), "
          f"{nbytes / max(delivered, 1):.0f} bytes each")
    share = delivered / emitted if emitted else 0.0
    print(f"share of frames seen by the consumer: {100 * share:.2f}%")
    print(f"client CPU per frame (all threads): {1000 * cpu / max(received, 1):.3f} ms; "
          f"bridge CPU per frame: {1000 * bridge_cpu / max(emitted, 1):.3f} ms")
    comun.result("client_vista", "frames seen by a consumer that keeps up",
                 f"{100 * share:.2f}% ({delivered / elapsed:.1f} of {emitted / elapsed:.1f} per s)",
                 ">= 99%", share >= 0.99)
    comun.result("client_vista", "client CPU per frame (reader thread + consumer)",
                 f"{1000 * cpu / max(received, 1):.3f} ms", "-", None)
    shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
