#!/usr/bin/env python3
"""The whole configuration: the bridge's `configuracion` against a bare
program that calls gp_camera_get_config and walks the tree (bench/arbol.cpp),
and `leer` against a bare gp_camera_get_single_config, on the same camera in
one run, for a simulated tree of 1,000 radio widgets of 200 choices each and
for the virtual Nikon of tests/ptp. Also the bridge's peak memory (VmHWM)
across the 1,000-widget `configuracion`s, next to the bare program's.

    bench/configuracion.py [--rounds R] [--reps N] [--no-ptp]

Each figure is the best of R rounds (default 5) of a mean over N reads
(default 20 trees, 10 x N single reads), bare program and bridge in turn;
wall time for the tree, CPU time for both (see timed()). The
bridge's figure is the time from the first to the last answer line of N + 1
commands sent together (see timed()), so it includes writing the lines
(1.6 MB each for the simulated tree) and reading them here, though the bare
program writes nothing; it leaves out the wait for an open camera's event
wait to end before a command is picked up. Goals: each ratio at most 1.1. The
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
    """(microseconds of each read, CPU microseconds of each, peak kB) from
    bench/arbol.cpp's line."""
    fields = out.split()
    if not fields or fields[0] != "us" or fields[-2] != "maxrss" or "cpu" not in fields:
        raise RuntimeError(f"arbol: {out.strip()!r}")
    c = fields.index("cpu")
    return ([int(f) for f in fields[1:c]], [int(f) for f in fields[c + 1:-2]], int(fields[-1]))


class Salida:
    """The bridge's standard output read in raw chunks in this thread (no
    line queue, no thread hand-off), each line stamped with the time the
    read that completed it returned."""

    def __init__(self, s):
        self.fd = s.proc.stdout.fileno()
        self.buf = bytearray()

    def line(self, timeout=120):
        deadline = time.monotonic() + timeout
        seen = 0
        while (end := self.buf.find(b"\n", seen)) < 0:
            if time.monotonic() > deadline:
                sys.exit("no answer from the bridge")
            seen = len(self.buf)
            chunk = os.read(self.fd, 1 << 22)
            if not chunk:
                sys.exit("the bridge ended")
            self.buf += chunk
        stamp = time.perf_counter()
        raw = bytes(self.buf[:end])
        del self.buf[:end + 1]
        return stamp, raw

    def answer(self):
        """The next line that is not a settings report."""
        while True:
            stamp, raw = self.line()
            if not raw.startswith(b'{"e":"ajustes"'):
                if raw.startswith(b'{"e":"error"') or raw.startswith(b'{"e":"cerrada"'):
                    sys.exit(f"unexpected answer: {raw[:200]!r}")
                return stamp, raw


def timed(s, out, command, reps):
    """Mean microseconds one `command` takes in the bridge, wall and CPU.
    With a camera open the bridge picks a command up after its current
    camera wait (up to 200 ms), which no bare program pays: so reps + 1
    commands go in one write (they fit the bridge's 8 KiB input, so it
    handles them one after another in one turn). Wall: from the first
    answer read whole to the last; this under-counts commands faster than
    this process wakes up, so it is quoted for the tree only. CPU: the
    bridge's on-CPU time over the whole batch (/proc/PID/task/*/schedstat,
    exact once the bridge is back asleep in its camera wait), less nothing:
    the wait's own cost is a few microseconds."""
    pid = s.proc.pid
    time.sleep(0.05)
    cpu0 = comun.sched_ns(pid)[0]
    s.send(*[command] * (reps + 1))
    first, _ = out.answer()
    for _ in range(reps):
        last, _ = out.answer()
    time.sleep(0.05)
    cpu1 = comun.sched_ns(pid)[0]
    return (last - first) * 1e6 / reps, (cpu1 - cpu0) / 1000 / (reps + 1)


def bridge_open(s):
    out = Salida(s)
    s.send(f"abrir 0 {s.fotos}")
    out.answer()  # abierta (its ajustes is skipped with the next answer)
    comun.wait_until_exec(s.proc.pid)
    return out


def compare(label, s, out, bare, one, rounds, reps):
    """`rounds` rounds of: the bare program's N tree reads and 10 x N single
    reads, then the bridge's; each figure is the best round's mean, so a
    neighbour's load in one round does not count against either side."""
    figures = {k: [] for k in ("bare tree", "bridge tree", "bare one", "bridge one",
                               "bare tree cpu", "bridge tree cpu", "bare one cpu", "bridge one cpu")}
    hwm0 = comun.status_kb(s.proc.pid, "VmHWM")
    for _ in range(rounds):
        for kind, args, command in (("tree", ("tree", str(reps)), "configuracion"),
                                    ("one", ("one", str(reps * 10), one), "leer " + one)):
            wall, cpu = bare(*args)
            figures[f"bare {kind}"].append(statistics.mean(wall))
            figures[f"bare {kind} cpu"].append(statistics.mean(cpu))
            wall, cpu = timed(s, out, command, reps * (1 if kind == "tree" else 10))
            figures[f"bridge {kind}"].append(wall)
            figures[f"bridge {kind} cpu"].append(cpu)
    hwm1 = comun.status_kb(s.proc.pid, "VmHWM")
    best = {k: min(v) for k, v in figures.items()}
    for k, v in figures.items():
        print(f"   {k} per round (ms): " + " ".join(f"{x / 1000:.3f}" for x in v))
    tree, bt = best["bridge tree"], best["bare tree"]
    print(f"{label}, wall time: configuracion {tree / 1000:.2f} ms, bare tree read and walk "
          f"{bt / 1000:.2f} ms, ratio {tree / bt:.3f}", flush=True)
    comun.result("configuracion", f"{label}: configuracion / bare tree, wall", f"{tree / bt:.3f}",
                 "<= 1.1", tree / bt <= 1.1)
    tree, bt = best["bridge tree cpu"], best["bare tree cpu"]
    single, bo = best["bridge one cpu"], best["bare one cpu"]
    print(f"{label}, CPU time: configuracion {tree / 1000:.2f} ms, bare tree read and walk "
          f"{bt / 1000:.2f} ms, ratio {tree / bt:.3f}; leer {one} {single / 1000:.3f} ms, "
          f"bare single read {bo / 1000:.3f} ms, ratio {single / bo:.3f}", flush=True)
    comun.result("configuracion", f"{label}: configuracion / bare tree, CPU", f"{tree / bt:.3f}",
                 "<= 1.1", tree / bt <= 1.1)
    comun.result("configuracion", f"{label}: leer / bare single read, CPU", f"{single / bo:.3f}",
                 "<= 1.1", single / bo <= 1.1)
    return hwm0, hwm1


def simulated(rounds, reps):
    arbol = comun.build_helper("arbol")
    kb = []

    def bare(*args):
        wall, cpu, peak = parse_bare(comun.run_helper(arbol, list(args), comun.Tarjeta(BIG), 600))
        kb.append(peak)
        return wall, cpu

    with comun.Sesion([comun.Tarjeta(BIG)], pump=False) as s:
        out = bridge_open(s)
        hwm0, hwm1 = compare("simulated 1,000 x 200", s, out, bare, ONE_SIM, rounds, reps)
    print(f"peak memory: bridge VmHWM {hwm0} kB open, {hwm1} kB after {rounds * (reps + 1)} "
          f"configuracion (+{hwm1 - hwm0} kB); bare program maxrss {max(kb)} kB", flush=True)
    comun.result("configuracion", "bridge VmHWM across 1,000-widget configuracion", f"{hwm1} kB",
                 "quoted", None)


def ptp(rounds, reps):
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
            return parse_bare(r.stdout)[:2]

        with vcam.puente.Sesion(env=dict(cam.env(log=False)), pump=False) as s:
            out = bridge_open(s)
            compare("virtual Nikon (ptp2)", s, out, bare, ONE_PTP, rounds, reps)
    finally:
        cam.cleanup()


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--reps", type=int, default=20)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--no-ptp", action="store_true", help="only the simulated tree")
    args = ap.parse_args()
    comun.check_build()
    comun.wait_for_quiet()
    simulated(args.rounds, args.reps)
    if not args.no_ptp:
        ptp(args.rounds, args.reps)


if __name__ == "__main__":
    main()
