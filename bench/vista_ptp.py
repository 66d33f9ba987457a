#!/usr/bin/env python3
"""Live view through libgphoto2's real PTP driver: the bridge against the
virtual Nikon of tests/ptp (scripts/build-vcamera.sh), which serves a JPEG of
the given size behind a 384-byte header as every live-view image. Prints
frames per second, CPU time per frame and the PTP commands per frame.

    bench/vista_ptp.py [N] [--size BYTES]     (default 2000 frames of 60000 bytes)

The prefix is build/vcamera (GPBRIDGE_VCAMERA_PREFIX=DIR for another one);
run `ctest --test-dir build -R '^ptp\\.build'` first to build it. No goal: the
figure shows what one frame costs through the real driver, next to the
simulated camera's `vista` row."""

import argparse
import collections
import os
import sys
import time

import comun

PREFIX = os.environ.get("GPBRIDGE_VCAMERA_PREFIX", os.path.join(comun.BUILD, "vcamera"))
os.environ["VCAMERA_PREFIX"] = PREFIX
sys.path.insert(0, os.path.join(comun.ROOT, "tests", "ptp"))

import vcam  # noqa: E402  (needs VCAMERA_PREFIX)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("frames", nargs="?", type=int, default=2000)
    ap.add_argument("--size", type=int, default=60000, help="bytes of the served JPEG")
    args = ap.parse_args()
    n_total = max(args.frames, 10)
    if not os.path.isdir(os.path.join(PREFIX, "lib")):
        sys.exit(f"no virtual camera build at {PREFIX}: run ctest --test-dir build -R '^ptp\\.build' first")
    comun.wait_for_quiet()

    cam = vcam.Camara()
    try:
        cam.add_photo(data=vcam.jpeg(args.size))
        live = os.path.join(cam.root, "live")
        os.makedirs(live)
        env = dict(cam.env(), VCAMERALIVEVIEW="1")
        with vcam.puente.Sesion(env=env, args=[live]) as s:
            pid = s.proc.pid
            s.send(f"abrir 0 {s.fotos}")
            s.expect(vcam.ABIERTA)
            s.expect_event("ajustes")
            s.send("vista 1")
            count = 0
            while count < n_total:
                ev = s.expect_event("vista", timeout=10)
                count += 1
                if count == 1:
                    t0 = time.monotonic()
                    u0, k0 = comun.cpu_times(pid)
                    ops0 = len(cam.log())
            t1 = time.monotonic()
            u1, k1 = comun.cpu_times(pid)
            log = cam.log()[ops0:]
            s.send("vista 0", "cerrar")
            s.expect_event("cerrada", skip=("vista", "ajustes"))
            if ev["n"] != n_total:
                print(f"frame numbers skipped: last n {ev['n']} for {n_total} frames")
    finally:
        cam.cleanup()

    timed = n_total - 1
    fps = timed / (t1 - t0)
    cpu_ms = ((u1 - u0) + (k1 - k0)) * 1000 / timed
    per_op = collections.Counter(e[0] for e in log if isinstance(e[0], int))
    ops = ", ".join(f"0x{op:04x} {n / timed:.2f}" for op, n in sorted(per_op.items()))
    print(f"frames: {n_total} of {args.size} bytes, the last {timed} in {t1 - t0:.2f} s")
    print(f"frames per second: {fps:.1f}")
    print(f"bridge CPU per frame (user+system, virtual camera included): {cpu_ms:.3f} ms")
    print(f"PTP commands per frame: {ops}")
    bench = "vista (ptp2)"
    comun.result(bench, f"live view through the real driver, frames per second ({args.size} B frames)",
                 f"{fps:.1f}", "-", None)
    comun.result(bench, "CPU per frame (user+system)", f"{cpu_ms:.3f} ms", "-", None)


if __name__ == "__main__":
    main()
