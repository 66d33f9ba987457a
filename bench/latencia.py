#!/usr/bin/env python3
"""Command latency: from writing `disparar` on the bridge's standard input
(time.monotonic() taken just before the write; CLOCK_MONOTONIC) to the
simulated camera's `trigger` log line (CLOCK_MONOTONIC, written when the
driver's trigger entry point runs). Measured with the camera idle (the loop
sits in a 200 ms event wait), with the camera idle and each command written
as soon as the previous photo's `foto` is read (the pace of a host that
shoots in a burst), during live view (a 10 ms wait per frame), and in alert
mode with live view off (`alerta 1`: the loop sleeps on standard input and
gives the camera 0 ms waits). Outside the burst, commands are spaced by
random pauses so they do not phase-lock to the loop.
Each trigger makes a small default photo that is downloaded before the next
command is sent.

    bench/latencia.py [--count 200] [--seed S]
    bench/latencia.py --client python [--client-dir DIR] [--count 50]

With --client python, capture() through the Python client instead (see
bench/client_latencia.py); --client-dir runs another copy of the client.

Goals: idle p99 <= 210 ms; live-view p99 <= 15 ms; alert p99 <= 2 ms. The
burst phase has no goal: it shows what a host shooting back to back gets with live view off."""

import argparse
import os
import random
import time

import comun
from comun import Sesion, Tarjeta


def fire(s, rng, pause_max, skip):
    time.sleep(rng.uniform(0, pause_max))
    t = time.monotonic()
    s.send("disparar")
    s.expect_event("foto", skip=skip)
    return t


def summary(label, lat_ms):
    p50 = comun.percentile(lat_ms, 50)
    p90 = comun.percentile(lat_ms, 90)
    p99 = comun.percentile(lat_ms, 99)
    print(f"{label}: n={len(lat_ms)}  min {min(lat_ms):.2f}  p50 {p50:.2f}  p90 {p90:.2f}  "
          f"p99 {p99:.2f}  max {max(lat_ms):.2f}  mean {sum(lat_ms) / len(lat_ms):.2f}  (ms)")
    return p50, p99


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--count", type=int, default=200, help="commands per phase (default 200)")
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--client", choices=("python",), default=None, help="through a client's capture()")
    ap.add_argument("--client-dir", default=None, help="the folder holding the client package")
    args = ap.parse_args()
    rng = random.Random(args.seed)
    comun.check_build()
    comun.wait_for_quiet()
    if args.client == "python":
        import client_latencia

        return client_latencia.run(args.count, rng, args.client_dir)

    card = Tarjeta()
    s = Sesion([card], args=["live"])
    os.makedirs(os.path.join(s.root, "live"))
    sent_idle, sent_burst, sent_live, sent_alert = [], [], [], []
    with s:
        comun.wait_until_exec(s.proc.pid)
        s.open_camera()
        for _ in range(args.count):
            # Pauses up to 250 ms land anywhere in the 200 ms event wait.
            sent_idle.append(fire(s, rng, 0.25, ("ajustes",)))
        for _ in range(args.count):
            # No pause: the next command follows the previous photo at once.
            sent_burst.append(fire(s, rng, 0, ("ajustes",)))
        s.send("vista 1")
        s.expect_event("vista", skip=("ajustes",))
        for _ in range(args.count):
            # Pauses up to 50 ms land anywhere in the ~10 ms frame turn.
            sent_live.append(fire(s, rng, 0.05, ("ajustes", "vista")))
        s.send("vista 0", "alerta 1")
        for _ in range(args.count):
            # Pauses up to 120 ms land anywhere in the 90 ms input sleeps
            # and the 0 ms camera waits between them.
            sent_alert.append(fire(s, rng, 0.12, ("ajustes", "vista")))
        s.send("cerrar")
        s.expect_event("cerrada", skip=("ajustes", "vista", "vistaFin"))
    triggers = [t for t, op, _ in card.log() if op == "trigger"]
    if len(triggers) != 4 * args.count:
        raise SystemExit(f"expected {4 * args.count} trigger lines in the camera's log, got {len(triggers)}")
    n = args.count
    idle = [(tr - tw) * 1000 for tr, tw in zip(triggers[:n], sent_idle)]
    burst = [(tr - tw) * 1000 for tr, tw in zip(triggers[n:2 * n], sent_burst)]
    live = [(tr - tw) * 1000 for tr, tw in zip(triggers[2 * n:3 * n], sent_live)]
    alert = [(tr - tw) * 1000 for tr, tw in zip(triggers[3 * n:], sent_alert)]
    if min(idle + burst + live + alert) < 0:
        raise SystemExit("a trigger came before its command: the logs do not match")
    _, p99_idle = summary("idle      ", idle)
    p50_burst, p99_burst = summary("burst     ", burst)
    _, p99_live = summary("live view ", live)
    p50_alert, p99_alert = summary("alert     ", alert)
    comun.result("latencia", "disparar -> trigger, idle, p50 / p99",
                 f"{comun.percentile(idle, 50):.1f} / {p99_idle:.1f} ms", "p99 <= 210 ms", p99_idle <= 210)
    comun.result("latencia", "disparar -> trigger, idle, right after foto, p50 / p99",
                 f"{p50_burst:.1f} / {p99_burst:.1f} ms", "-", None)
    comun.result("latencia", "disparar -> trigger, live view, p50 / p99",
                 f"{comun.percentile(live, 50):.1f} / {p99_live:.1f} ms", "p99 <= 15 ms", p99_live <= 15)
    comun.result("latencia", "disparar -> trigger, alert mode, p50 / p99",
                 f"{p50_alert:.2f} / {p99_alert:.2f} ms", "p99 <= 2 ms", p99_alert <= 2)


if __name__ == "__main__":
    main()
