#!/usr/bin/env python3
"""Idle cost: CPU seconds the bridge uses per minute while doing nothing,
first with no camera open (the loop waits on standard input, 200 ms per
turn), then with the simulated camera open and idle (the loop sits in the
camera's 200 ms event wait and re-reports the settings every 3 seconds),
then the same in alert mode (`alerta 1`: 90 ms sleeps on standard input
with a 0 ms camera wait between).
CPU time is utime+stime from /proc/<pid>/stat, cross-checked with the
nanosecond on-CPU time in /proc/<pid>/task/*/schedstat.

    bench/reposo.py [--seconds 60]

Goals: < 0.05 s per minute with no camera; < 0.3 s per minute with a camera
open and idle; <= 0.1 s per minute with a camera open, idle, in alert mode.

For reference it also runs bench/espera.cpp in the same set-up: a minimal
program that opens the same simulated camera and only calls
gp_camera_wait_for_event(200 ms) in a loop, i.e. the idle cost of the
camera driver alone (the simulated camera's wait polls its control file
every 5 ms), which the bridge cannot go below."""

import argparse
import json
import queue
import time

import comun
from comun import Sesion, Tarjeta


def measure(s, pid, seconds):
    """CPU used over `seconds`, per minute; counts the events seen meanwhile."""
    u0, k0 = comun.cpu_times(pid)
    run0, _ = comun.sched_ns(pid)
    t0 = time.monotonic()
    events = {}
    deadline = t0 + seconds
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        try:
            raw = s.lines.get(timeout=left)
        except queue.Empty:
            break
        if raw is None:
            raise SystemExit("the bridge ended while idle")
        e = json.loads(raw)["e"]
        events[e] = events.get(e, 0) + 1
    u1, k1 = comun.cpu_times(pid)
    run1, _ = comun.sched_ns(pid)
    elapsed = time.monotonic() - t0
    per_min = 60 / elapsed
    return {
        "user": (u1 - u0) * per_min,
        "sys": (k1 - k0) * per_min,
        "total": ((u1 - u0) + (k1 - k0)) * per_min,
        "sched": (run1 - run0) / 1e9 * per_min,
        "elapsed": elapsed,
        "events": events,
    }


def show(label, m):
    ev = ", ".join(f"{k} {v}" for k, v in sorted(m["events"].items())) or "none"
    print(f"{label}: {m['total']:.3f} CPU s per minute (user {m['user']:.3f}, system {m['sys']:.3f}; "
          f"schedstat {m['sched']:.3f}) over {m['elapsed']:.1f} s; events: {ev}")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=60, help="length of each window (default 60)")
    args = ap.parse_args()
    comun.check_build()
    comun.wait_for_quiet()

    card = Tarjeta()
    with Sesion([card]) as s:
        pid = s.proc.pid
        comun.wait_until_exec(pid)
        # Let start-up settle (dynamic loading) before the window opens.
        time.sleep(1)
        closed = measure(s, pid, args.seconds)
        s.open_camera()
        time.sleep(1)
        opened = measure(s, pid, args.seconds)
        s.send("alerta 1")
        time.sleep(1)
        mark = len(card.log())
        alert = measure(s, pid, args.seconds)
        alert_waits = sum(1 for _, op, _ in card.log()[mark:] if op == "wait")
        s.send("cerrar")
        s.expect_event("cerrada", skip=("ajustes",))
    waits = sum(1 for _, op, _ in card.log()[:mark] if op == "wait")
    espera = comun.build_helper("espera")
    out = comun.run_helper(espera, [str(args.seconds)], Tarjeta(), timeout=args.seconds + 30).split()
    floor = None
    if len(out) >= 6 and out[0] == "waits":
        floor = (float(out[3]) + float(out[5])) * 60 / args.seconds
    show("no camera          ", closed)
    show("camera open, idle  ", opened)
    show("idle, alert mode   ", alert)
    print(f"camera event waits logged by the driver: {waits} before alert mode, {alert_waits} "
          f"in its window")
    if floor is not None:
        print(f"reference, bench/espera.cpp (driver waits only, {out[1]} waits): {floor:.3f} CPU s per minute "
              f"(user {float(out[3]) * 60 / args.seconds:.3f}, system {float(out[5]) * 60 / args.seconds:.3f}); "
              f"bridge minus reference: {opened['total'] - floor:.3f}")
    comun.result("reposo", "idle CPU per minute, no camera", f"{closed['total']:.3f} s", "< 0.05 s",
                 closed["total"] < 0.05)
    comun.result("reposo", "idle CPU per minute, camera open", f"{opened['total']:.3f} s", "< 0.3 s",
                 opened["total"] < 0.3)
    comun.result("reposo", "idle CPU per minute, camera open, alert mode", f"{alert['total']:.3f} s",
                 "<= 0.1 s", alert["total"] <= 0.1)
    if floor is not None:
        comun.result("reposo", "  reference: driver's event waits alone (espera.cpp)", f"{floor:.3f} s", "-", None)


if __name__ == "__main__":
    main()
