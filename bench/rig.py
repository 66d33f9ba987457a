#!/usr/bin/env python3
"""Many cameras fired as one: the Python client's Rig with 1, 4, 8 and 16
simulated cameras, one bridge each, with alert mode on and off.

For each shot set:
- skew: the latest camera's trigger minus the earliest, from the simulated
  cameras' logs (CLOCK_MONOTONIC, written when the driver's trigger entry
  point runs; every bridge shares the host's monotonic clock);
- fire: from calling rig.capture() to the earliest trigger;
- complete: from calling rig.capture() to its return with every file of the
  set moved into shot-NNNN/.
One shot after each open is not counted: on a camera's first shot the
client waits `sibling_wait` (0.3 s) to learn whether its shots bring more
than one file.
Sets are spaced by random pauses of up to 250 ms, so with alert off the
commands land anywhere in the bridges' 200 ms camera waits. For reference,
one camera's capture time is a plain Bridge.capture() with alert on.

Also per bridge: CPU seconds over the sets and idle with alert on, resident
memory; and the host's own CPU.

    bench/rig.py [--cameras 1,4,8,16] [--sets 100] [--seed S]

Goals at 16 cameras with alert on: p99 skew <= 5 ms; p99 complete <= 2x
one camera's p99 capture time."""

import argparse
import os
import random
import shlex
import shutil
import sys
import tempfile
import time

import comun
from comun import Tarjeta, directive

sys.path.insert(0, os.path.join(comun.ROOT, "clients", "python"))
from gpbridge import Bridge, Rig  # noqa: E402

CAPTURE_TIMEOUT = 30.0


class Cards:
    """N cards, seen by every bridge at the same mount points (a hub), and
    the script that starts a bridge on them."""

    def __init__(self, n: int) -> None:
        self.root = tempfile.mkdtemp(prefix="gpbridge-bench-rig-")
        self.cards = [Tarjeta([directive("serial", f"BENCH{i:03d}")], name=f"cam{i:03d}") for i in range(n)]
        cmd = [comun.puente.NS_RUN]
        for i, card in enumerate(self.cards):
            card.prepare(self.root, i)
            cmd += ["--card", f"{card.mount}={card.src}"]
        cmd += ["--", "env", f"CAMLIBS={comun.puente.CAMLIBS_DIR}", comun.puente.GPBRIDGE]
        self.executable = os.path.join(self.root, "gpbridge-on-cards")
        with open(self.executable, "w") as f:
            f.write("#!/bin/sh\nexec " + " ".join(map(shlex.quote, cmd)) + ' "$@"\n')
        os.chmod(self.executable, 0o755)

    def triggers(self) -> list[list[float]]:
        return [[t for t, op, _ in card.log() if op == "trigger"] for card in self.cards]

    def remove(self) -> None:
        shutil.rmtree(self.root, ignore_errors=True)


def pct(values: list[float]) -> str:
    return f"p50 {comun.percentile(values, 50):.2f}  p99 {comun.percentile(values, 99):.2f}  max {max(values):.2f}"


def one_camera(sets: int, rng: random.Random) -> list[float]:
    """A plain Bridge.capture() on one camera with alert on, in ms."""
    cards = Cards(1)
    try:
        with Bridge.start(cards.executable) as bridge:
            bridge.open(0, os.path.join(cards.root, "fotos"))
            bridge.set_alert(True)
            bridge.capture(CAPTURE_TIMEOUT)  # not counted: see the docstring
            out = []
            for _ in range(sets):
                time.sleep(rng.uniform(0, 0.25))
                t = time.monotonic()
                bridge.capture(CAPTURE_TIMEOUT)
                out.append((time.monotonic() - t) * 1000)
            return out
    finally:
        cards.remove()


def bridge_pids(rig: Rig) -> list[int]:
    # The bench looks inside: it needs the processes' figures.
    return [slot.bridge.pid for slot in rig._slots]


def set_alert(rig: Rig, on: bool) -> None:
    for slot in rig._slots:
        slot.bridge.set_alert(on)


def cpu(pids: list[int]) -> list[float]:
    """On-CPU seconds of each process (schedstat: nanoseconds, where
    /proc/PID/stat counts whole clock ticks)."""
    return [comun.sched_ns(pid)[0] / 1e9 for pid in pids]


def queued(pids: list[int]) -> float:
    """Seconds the processes spent runnable but waiting for a core."""
    return sum(comun.sched_ns(pid)[1] for pid in pids) / 1e9


def phase(rig: Rig, cards: Cards, sets: int, rng: random.Random, alert: bool) -> dict:
    set_alert(rig, alert)
    time.sleep(0.5)  # the bridges take the change at their next turn
    before = [len(t) for t in cards.triggers()]
    pids = bridge_pids(rig)
    cpu0, host0, queue0 = cpu(pids), time.process_time(), queued(pids)
    started, complete, incomplete = [], [], 0
    for _ in range(sets):
        time.sleep(rng.uniform(0, 0.25))
        t = time.monotonic()
        shot = rig.capture(CAPTURE_TIMEOUT)
        complete.append((time.monotonic() - t) * 1000)
        started.append(t)
        if shot.missing:
            incomplete += 1
    cpu1, host1, queue1 = cpu(pids), time.process_time(), queued(pids)
    triggers = [t[b:] for t, b in zip(cards.triggers(), before)]
    if any(len(t) != sets for t in triggers):
        raise SystemExit(f"expected {sets} triggers per camera, got {[len(t) for t in triggers]}")
    skew = [(max(ts) - min(ts)) * 1000 for ts in zip(*triggers)]
    fire = [(min(ts) - s) * 1000 for ts, s in zip(zip(*triggers), started)]
    return {"skew": skew, "fire": fire, "complete": complete, "incomplete": incomplete,
            "cpu": [b - a for a, b in zip(cpu0, cpu1)], "host": host1 - host0, "queued": queue1 - queue0}


def idle(rig: Rig, seconds: float) -> list[float]:
    """CPU seconds per minute of each bridge, idle with alert on."""
    pids = bridge_pids(rig)
    c0 = cpu(pids)
    time.sleep(seconds)
    return [(b - a) * 60 / seconds for a, b in zip(c0, cpu(pids))]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--cameras", default="1,4,8,16", help="rig sizes (default 1,4,8,16)")
    ap.add_argument("--sets", type=int, default=100, help="shot sets per size and mode (default 100)")
    ap.add_argument("--idle", type=float, default=10, help="seconds of idle measurement per size (default 10)")
    ap.add_argument("--seed", type=int, default=None)
    args = ap.parse_args()
    rng = random.Random(args.seed)
    comun.check_build()
    comun.wait_for_quiet(max_wait=60)
    print(f"# machine: {os.cpu_count()} cores", flush=True)

    single = one_camera(args.sets, rng)
    print(f"one camera, Bridge.capture(), alert on: {pct(single)} ms", flush=True)
    rows = []
    for n in [int(v) for v in args.cameras.split(",")]:
        cards = Cards(n)
        try:
            t = time.monotonic()
            with Rig.open(os.path.join(cards.root, "rig"), executable=cards.executable) as rig:
                opened = time.monotonic() - t
                rig.capture(CAPTURE_TIMEOUT)  # not counted: see the docstring
                for pid in bridge_pids(rig):
                    comun.wait_until_exec(pid)
                rss = [comun.status_kb(pid, "VmRSS") for pid in bridge_pids(rig)]
                print(f"{n} cameras: Rig.open {opened:.2f} s; bridge RSS mean {sum(rss) / n:.0f} kB, "
                      f"max {max(rss)} kB", flush=True)
                for alert in (True, False):
                    r = phase(rig, cards, args.sets, rng, alert)
                    mode = "on" if alert else "off"
                    print(f"{n} cameras, alert {mode}: skew {pct(r['skew'])} ms; fire {pct(r['fire'])} ms; "
                          f"complete {pct(r['complete'])} ms; sets with a camera missing {r['incomplete']}; "
                          f"CPU per bridge per set {sum(r['cpu']) / n / args.sets * 1000:.2f} ms; "
                          f"host CPU per set {r['host'] / args.sets * 1000:.2f} ms; "
                          f"time a bridge waited for a core per set {r['queued'] / n / args.sets * 1000:.2f} ms",
                          flush=True)
                    rows.append((n, mode, r))
                set_alert(rig, True)
                idle_cpu = idle(rig, args.idle)
                print(f"{n} cameras idle, alert on: CPU per bridge {sum(idle_cpu) / n:.3f} s per minute "
                      f"(max {max(idle_cpu):.3f})", flush=True)
        finally:
            cards.remove()

    print()
    print("| cameras | alert | skew p50 / p99 (ms) | capture() to first trigger p50 / p99 (ms) "
          "| set complete p50 / p99 (ms) |")
    print("|---|---|---|---|---|")
    for n, mode, r in rows:
        print(f"| {n} | {mode} | {comun.percentile(r['skew'], 50):.2f} / {comun.percentile(r['skew'], 99):.2f} "
              f"| {comun.percentile(r['fire'], 50):.2f} / {comun.percentile(r['fire'], 99):.2f} "
              f"| {comun.percentile(r['complete'], 50):.1f} / {comun.percentile(r['complete'], 99):.1f} |")
    print(f"| 1, Bridge.capture() | on | - | - | {comun.percentile(single, 50):.1f} / "
          f"{comun.percentile(single, 99):.1f} |")
    print()
    biggest = [r for n, mode, r in rows if mode == "on" and n == max(x[0] for x in rows)]
    if biggest:
        r = biggest[0]
        n = max(x[0] for x in rows)
        skew99 = comun.percentile(r["skew"], 99)
        done99 = comun.percentile(r["complete"], 99)
        one99 = comun.percentile(single, 99)
        comun.result("rig", f"{n} cameras, alert on: skew p99", f"{skew99:.2f} ms", "<= 5 ms", skew99 <= 5)
        comun.result("rig", f"{n} cameras, alert on: set complete p99 (one camera p99)",
                     f"{done99:.1f} ms ({one99:.1f} ms)", "<= 2x one camera", done99 <= 2 * one99)
    for n, mode, r in rows:
        if mode == "off":
            comun.result("rig", f"{n} cameras, alert off: skew p99", f"{comun.percentile(r['skew'], 99):.2f} ms",
                         "-", None)


if __name__ == "__main__":
    main()
