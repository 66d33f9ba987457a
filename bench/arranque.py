#!/usr/bin/env python3
"""Start-up and discovery: time from starting the process to the answer
listing the one simulated camera, for the bridge (`buscar` written at once,
timed to its `camaras` line) and for bench/minimo.cpp, a minimal program
making the same library calls and printing one line. Both run through the
harness in the same way: a private mount namespace (tests/harness/ns-run)
with one simulated card bind-mounted and the same CAMLIBS; the clock starts
just before the process is spawned, after the card is laid out. Runs
alternate between the two; medians are compared.

    bench/arranque.py [--reps 100]

Goal: bridge median / minimal program median <= 1.1."""

import argparse
import time

import comun
import puente
from comun import Sesion, Tarjeta

def one_run(program, send_buscar):
    card = Tarjeta()
    s = Sesion([card], pump=False)
    card.prepare(s.root, 0)
    saved = puente.GPBRIDGE
    puente.GPBRIDGE = program
    try:
        t0 = time.monotonic()
        s.start()
        if send_buscar:
            s.send("buscar")
        while True:
            line = s.proc.stdout.readline()
            if not line:
                raise SystemExit(f"{program} ended without answering")
            if not send_buscar or line.startswith(b'{"e":"camaras"'):
                break
        t = time.monotonic() - t0
        if puente.MODEL.encode() not in line:
            raise SystemExit(f"{program} found no simulated camera: {line!r}")
        if send_buscar:
            s.close_input()
        rc = s.proc.wait(10)
        if rc != 0:
            raise SystemExit(f"{program} exited with status {rc}")
        return t
    finally:
        puente.GPBRIDGE = saved
        s.__exit__(None, None, None)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--reps", type=int, default=100, help="timed runs of each (default 100)")
    args = ap.parse_args()
    comun.check_build()
    minimo = comun.build_helper("minimo")
    bridge = puente.GPBRIDGE
    comun.wait_for_quiet()

    for _ in range(3):  # warm the page cache and the dynamic loader's files
        one_run(bridge, True)
        one_run(minimo, False)
    tb, tm = [], []
    for i in range(args.reps):
        if i % 2:
            tb.append(one_run(bridge, True))
            tm.append(one_run(minimo, False))
        else:
            tm.append(one_run(minimo, False))
            tb.append(one_run(bridge, True))
    mb, mm = comun.median(tb), comun.median(tm)
    ratio = mb / mm

    def line(label, v):
        v = [x * 1000 for x in v]
        print(f"{label}: n={len(v)}  min {min(v):.2f}  p10 {comun.percentile(v, 10):.2f}  "
              f"median {comun.median(v):.2f}  p90 {comun.percentile(v, 90):.2f}  max {max(v):.2f}  (ms)")

    line("bridge, start to camaras     ", tb)
    line("minimal program, start to line", tm)
    print(f"ratio of medians: {ratio:.3f}  (difference {(mb - mm) * 1000:.2f} ms)")
    comun.result("arranque", "start + buscar, bridge / minimal program",
                 f"{ratio:.3f} ({mb * 1000:.1f} ms vs {mm * 1000:.1f} ms)", "<= 1.1", ratio <= 1.1)


if __name__ == "__main__":
    main()
