#!/usr/bin/env python3
"""Live view through libgphoto2's real PTP driver: the bridge against the
virtual Nikon of tests/ptp (scripts/build-vcamera.sh), which serves a JPEG of
the given size behind a 384-byte header as every live-view image. Prints
frames per second, CPU time per frame and the PTP commands per frame.

    bench/vista_ptp.py [N] [--size BYTES]     (default 2000 frames of 60000 bytes)
    bench/vista_ptp.py --preview-ms [MS,MS,...] [--seconds S] [--size BYTES]

The prefix is build/vcamera (GPBRIDGE_VCAMERA_PREFIX=DIR for another one);
run `ctest --test-dir build -R '^ptp\\.build'` first to build it. No goal: the
figure shows what one frame costs through the real driver, next to the
simulated camera's `vista` row.

With --preview-ms, the same comparison as `bench/vista.py --preview-ms`
through the real driver: for each preview time (default 0, 8, 16, 25 and
40 ms; the virtual camera's VCAMERAPREVIEWDELAY), the bare preview loop
(bench/previa.cpp) and then the bridge, S seconds each (default 10), on
the same virtual camera; prints both figures and their ratio. No goals:
the driver's own event wait sets a ceiling of its own."""

import argparse
import collections
import os
import subprocess
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
    comun.add_pacing_options(ap)
    args = ap.parse_args()
    n_total = max(args.frames, 10)
    if not os.path.isdir(os.path.join(PREFIX, "lib")):
        sys.exit(f"no virtual camera build at {PREFIX}: run ctest --test-dir build -R '^ptp\\.build' first")
    if args.preview_ms is not None:
        pacing(args.preview_ms, args.seconds, args.size)
        return
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


def pacing(delays: list[float], seconds: float, size: int) -> None:
    exe = comun.build_helper("previa")
    comun.wait_for_quiet()
    rows = []
    for ms in delays:
        cam = vcam.Camara()
        try:
            cam.add_photo(data=vcam.jpeg(size))
            env = dict(cam.env(log=False), VCAMERALIVEVIEW="1",
                       VCAMERAPREVIEWDELAY=str(int(ms * 1000)))
            run_env = {k: v for k, v in os.environ.items() if k not in env}
            run_env.update({k: v for k, v in env.items() if v is not None})
            r = subprocess.run([exe, str(seconds)], env=run_env, capture_output=True, text=True,
                               timeout=seconds + 60)
            frames, elapsed, cpu, size_seen = comun.parse_previa(r.stdout)
            bare_cpu = cpu * 1000 / frames

            live = os.path.join(cam.root, "live")
            os.makedirs(live)
            with vcam.puente.Sesion(env=env, args=[live]) as s:
                pid = s.proc.pid
                s.send(f"abrir 0 {s.fotos}")
                s.expect(vcam.ABIERTA)
                s.expect_event("ajustes")
                n, t, cpu, others = comun.count_frames(s, pid, seconds)
                s.send("cerrar")
                s.expect_event("cerrada", skip=("vista", "vistaFin", "ajustes"))
        finally:
            cam.cleanup()
        rows.append(comun.pacing_row(ms, frames, elapsed, bare_cpu, size_seen, n, t, cpu, others))
    print(f"virtual camera frames of {size} bytes; bridge frames published in a folder under /tmp")
    comun.pacing_table(rows, "vista (ptp2) --preview-ms", goals=False)


if __name__ == "__main__":
    main()
