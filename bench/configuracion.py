#!/usr/bin/env python3
"""The whole configuration: the bridge's `configuracion` against a bare
program that calls gp_camera_get_config and walks the tree (bench/arbol.cpp),
and `leer` against a bare gp_camera_get_single_config, on the same camera in
one run, for a simulated tree of 1,000 radio widgets of 200 choices each and
for the virtual Nikon of tests/ptp. Also the bridge's peak memory (VmHWM)
across the 1,000-widget `configuracion`s, next to the bare program's.

    bench/configuracion.py [--reps N] [--no-ptp]

Figures are medians of N reads (default 20 trees, 10 x N single reads). The
bridge's figure is the time from one answer line to the next of commands
sent together (see timed()), so it includes writing and reading that line
(1.6 MB for the simulated tree), though the bare program writes nothing; it
leaves out the wait for an open camera's event wait to end before a command
is picked up. Goals: each ratio at most 1.1. The
virtual camera prefix is build/vcamera (GPBRIDGE_VCAMERA_PREFIX=DIR).
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

import comun

PREFIX = os.environ.get("GPBRIDGE_VCAMERA_PREFIX", os.path.join(comun.BUILD, "vcamera"))
os.environ["VCAMERA_PREFIX"] = PREFIX
sys.path.insert(0, os.path.join(comun.ROOT, "tests", "ptp"))

import vcam  # noqa: E402  (needs VCAMERA_PREFIX)

BIG = ["nodefaults", comun.directive("widgets", 1000, 200)]
ONE_SIM = "big0500"
ONE_PTP = "f-number"


def parse_bare(out):
    """(microseconds of each read, peak kB) from bench/arbol.cpp's line."""
    fields = out.split()
    if not fields or fields[0] != "us" or fields[-2] != "maxrss":
        raise RuntimeError(f"arbol: {out.strip()!r}")
    return [int(f) for f in fields[1:-2]], int(fields[-1])


def timed(s, command, reps):
    """Microseconds each of `reps` runs of `command` takes in the bridge.
    With a camera open the bridge picks a command up after its current
    camera wait (up to 200 ms), which no bare program pays: so reps + 1
    commands go in one write, the bridge handles them one after another in
    one turn, and each figure runs from one answer line read whole to the
    next (idle settings reports in between are skipped)."""
    s.send(*[command] * (reps + 1))
    stamps = []
    while len(stamps) < reps + 1:
        raw = s.lines.get(timeout=120)
        if raw is None:
            sys.exit("the bridge ended")
        if raw.startswith(b'{"e":"ajustes"'):
            continue
        if raw.startswith(b'{"e":"error"') or raw.startswith(b'{"e":"cerrada"'):
            sys.exit(f"{command}: {raw!r}")
        stamps.append(time.perf_counter())
    return [(b - a) * 1e6 for a, b in zip(stamps, stamps[1:])]


def bridge_figures(s, one, reps):
    """Bridge medians (configuracion, leer) in microseconds, and VmHWM in kB
    before and after the configuracion runs."""
    pid = s.proc.pid
    comun.wait_until_exec(pid)
    hwm0 = comun.status_kb(pid, "VmHWM")
    tree = timed(s, "configuracion", reps)
    hwm1 = comun.status_kb(pid, "VmHWM")
    single = timed(s, "leer " + one, reps * 10)
    return statistics.median(tree), statistics.median(single), hwm0, hwm1, len(tree)


def row(label, bare_tree, bare_one, bridge, one):
    tree, single, hwm0, hwm1, _ = bridge
    bt, bo = statistics.median(bare_tree), statistics.median(bare_one)
    print(f"{label}: configuracion {tree / 1000:.2f} ms, bare tree read and walk {bt / 1000:.2f} ms, "
          f"ratio {tree / bt:.3f}; leer {one} {single / 1000:.3f} ms, bare single read "
          f"{bo / 1000:.3f} ms, ratio {single / bo:.3f}", flush=True)
    comun.result("configuracion", f"{label}: configuracion / bare tree", f"{tree / bt:.3f}",
                 "<= 1.1", tree / bt <= 1.1)
    comun.result("configuracion", f"{label}: leer / bare single read", f"{single / bo:.3f}",
                 "<= 1.1", single / bo <= 1.1)


def simulated(reps):
    arbol = comun.build_helper("arbol")
    bare_tree, bare_kb = parse_bare(comun.run_helper(arbol, ["tree", str(reps)], comun.Tarjeta(BIG), 600))
    bare_one, _ = parse_bare(comun.run_helper(arbol, ["one", str(reps * 10), ONE_SIM],
                                              comun.Tarjeta(BIG), 600))
    with comun.Sesion([comun.Tarjeta(BIG)]) as s:
        s.open_camera()
        bridge = bridge_figures(s, ONE_SIM, reps)
    row("simulated 1,000 x 200", bare_tree, bare_one, bridge, ONE_SIM)
    _, _, hwm0, hwm1, n = bridge
    print(f"peak memory: bridge VmHWM {hwm0} kB open, {hwm1} kB after {n} configuracion "
          f"(+{hwm1 - hwm0} kB); bare program maxrss {bare_kb} kB", flush=True)
    comun.result("configuracion", "bridge VmHWM across 1,000-widget configuracion", f"{hwm1} kB",
                 "quoted", None)


def ptp(reps):
    if not os.path.isdir(os.path.join(PREFIX, "lib")):
        print(f"no virtual camera build at {PREFIX}: skipped (ctest --test-dir build -R '^ptp\\.build')")
        return
    arbol = comun.build_helper("arbol")
    cam = vcam.Camara()
    try:
        cam.add_photo()
        env = {k: v for k, v in os.environ.items() if k not in cam.env()}
        env.update({k: v for k, v in cam.env(log=False).items() if v is not None})

        def bare(*args):
            r = subprocess.run([arbol, *args], env=env, capture_output=True, text=True, timeout=600)
            return parse_bare(r.stdout)[0]

        bare_tree = bare("tree", str(reps))
        bare_one = bare("one", str(reps * 10), ONE_PTP)
        with vcam.puente.Sesion(env=dict(cam.env(log=False))) as s:
            s.open_camera(model=vcam.MODEL)
            bridge = bridge_figures(s, ONE_PTP, reps)
        row("virtual Nikon (ptp2)", bare_tree, bare_one, bridge, ONE_PTP)
    finally:
        cam.cleanup()


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--reps", type=int, default=20)
    ap.add_argument("--no-ptp", action="store_true", help="only the simulated tree")
    args = ap.parse_args()
    comun.check_build()
    comun.wait_for_quiet()
    simulated(args.reps)
    if not args.no_ptp:
        ptp(args.reps)


if __name__ == "__main__":
    main()
