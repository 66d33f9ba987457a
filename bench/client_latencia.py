"""The capture latency a Python host sees: `bench/latencia.py --client
python`. Each capture() is timed from the call to its return (the photo in
the folder, its siblings waited for as the client does), and from the call
to the simulated camera's `trigger` log line; live view off, then on (a
thread reading frames all along, as a booth's screen does)."""

import os
import random
import shutil
import sys
import tempfile
import threading
import time

import comun
from comun import ROOT, Tarjeta


def run(count: int, rng: random.Random, client_dir: str | None) -> None:
    sys.path.insert(0, client_dir or os.path.join(ROOT, "clients", "python"))
    from gpbridge import Bridge  # noqa: E402  (the client under test)

    from client_vista import wrapper

    root = tempfile.mkdtemp(prefix="gpbridge-bench-latency-")
    card = Tarjeta()
    calls: dict[str, list[tuple[float, float]]] = {"idle": [], "live view": []}
    try:
        with Bridge.start(wrapper(root, card)) as bridge:
            comun.wait_until_exec(bridge.pid)
            bridge.open(0, os.path.join(root, "fotos"))
            shoot(bridge, rng, count, calls["idle"])
            live = bridge.live_view()
            reader = threading.Thread(target=watch, args=(live,))
            reader.start()
            shoot(bridge, rng, count, calls["live view"])
            live.close()
            reader.join(10)
        report(card, calls, count)
    finally:
        shutil.rmtree(root, ignore_errors=True)


def watch(live) -> None:
    """A screen: reads every frame handed out until live view is closed."""
    for frame in live:
        frame.read()


def shoot(bridge, rng: random.Random, count: int, out: list[tuple[float, float]]) -> None:
    for _ in range(count):
        time.sleep(rng.uniform(0, 0.25))
        t = time.monotonic()
        bridge.capture(timeout=30)
        out.append((t, time.monotonic()))


def report(card: Tarjeta, calls: dict[str, list[tuple[float, float]]], count: int) -> None:
    triggers = [t for t, op, _ in card.log() if op == "trigger"]
    if len(triggers) != 2 * count:
        raise SystemExit(f"expected {2 * count} trigger lines in the camera's log, got {len(triggers)}")
    for i, (phase, timed) in enumerate(calls.items()):
        total = [(end - t) * 1000 for t, end in timed]
        trig = [(tr - t) * 1000 for tr, (t, _) in zip(triggers[i * count:], timed)]
        for what, ms in (("capture() call -> return", total), ("capture() call -> trigger", trig)):
            p50, p99 = comun.percentile(ms, 50), comun.percentile(ms, 99)
            print(f"{phase:10} {what}: n={len(ms)}  min {min(ms):.1f}  p50 {p50:.1f}  p99 {p99:.1f}  "
                  f"max {max(ms):.1f}  (ms)")
            comun.result("latencia", f"Python client, {what}, {phase}, p50 / p99", f"{p50:.1f} / {p99:.1f} ms",
                         "-", None)
