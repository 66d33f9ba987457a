#!/usr/bin/env python3
"""Live-view throughput: the simulated camera serves each preview frame at
once (its default built-in 8x8 JPEG frames), so the bridge's own loop sets
the pace. Counts `vista` events over N frames and prints frames per second
overall and per tenth of the run, CPU time per frame, and resident memory.

    bench/vista.py [N]        (default 100000 frames, about 18 minutes)

Goals: at least 95 frames per second overall and in every tenth (the 10 ms
event wait per frame makes 100 the ceiling); no resident memory growth.

    bench/vista.py --preview-ms [MS,MS,...] [--seconds S] [--tmpfs]

Live view at the camera's own speed: for each preview time (default 0, 8,
16, 25 and 40 ms; the simulated camera's `previewdelay`), runs the bare
preview loop (bench/previa.cpp: gp_camera_capture_preview in a loop on the
same driver, writing nothing, the physical limit) and then the bridge's live
view, S seconds each (default 10), and prints both figures, their ratio and,
at 0 ms, the CPU time per frame of each. Goals: the bridge at least 0.95 of
the bare loop at 16 ms and slower, at least 95 frames per second at 8 ms,
95 to 100 at 0 ms (the 10 ms ceiling on the turn)."""

import argparse
import json
import os
import subprocess
import sys
import time

import comun
from comun import Sesion, Tarjeta

GROWTH_LIMIT_KB = 64  # "no growth": less than this many kB from first to last tenth


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("frames", nargs="?", type=int, default=100000)
    ap.add_argument("--tmpfs", action="store_true",
                    help="publish frames on a tmpfs mounted in the bridge's namespace instead of "
                         "in a folder under the session directory (on /tmp's filesystem)")
    comun.add_pacing_options(ap)
    args = ap.parse_args()
    n_total = max(args.frames, 10)
    comun.check_build()
    if args.preview_ms is not None:
        pacing(args.preview_ms, args.seconds, args.tmpfs)
        return
    comun.wait_for_quiet()

    if args.tmpfs:
        s = Sesion([Tarjeta()])
        live = os.path.join(s.root, "live-tmpfs")
        s.tmpfs = [(live, "16m")]
        s.args = [live]
    else:
        s = Sesion([Tarjeta()], args=["live"])
        live = os.path.join(s.root, "live")
        os.makedirs(live)
    fs = subprocess.run(["findmnt", "-no", "FSTYPE", "-T", s.root], capture_output=True, text=True).stdout.strip()
    with s:
        pid = s.proc.pid
        comun.wait_until_exec(pid)
        s.open_camera()
        rss_open = comun.status_kb(pid, "VmRSS")

        window = n_total // 10
        marks = []  # (frames, monotonic time, user, sys, rss kB) at each tenth
        others = {}
        expected_n = 1
        gaps = 0
        s.send("vista 1")
        count = 0
        rss_first = None
        while count < n_total:
            raw = s.lines.get(timeout=10)
            if raw is None:
                sys.exit("the bridge ended during live view")
            ev = json.loads(raw)
            if ev["e"] != "vista":
                others[ev["e"]] = others.get(ev["e"], 0) + 1
                continue
            count += 1
            if ev["n"] != expected_n:
                gaps += 1
            expected_n = ev["n"] + 1
            if count == 1:
                # The clock starts at the first frame: `vista 1` itself waits
                # for the idle 200 ms event wait that was running to end.
                t0 = time.monotonic()
                u0, k0 = comun.cpu_times(pid)
                run0, rq0 = comun.sched_ns(pid)
                rss_first = comun.status_kb(pid, "VmRSS")
                continue
            if count % window == 0 or count == n_total:
                u, k = comun.cpu_times(pid)
                marks.append((count, time.monotonic(), u, k, comun.status_kb(pid, "VmRSS")))
        run1, rq1 = comun.sched_ns(pid)
        hwm = comun.status_kb(pid, "VmHWM")
        rss_end = comun.status_kb(pid, "VmRSS")
        n_threads = comun.threads(pid)
        t_end = marks[-1][1]
        u_end, k_end = marks[-1][2], marks[-1][3]
        s.send("vista 0", "cerrar")
        s.expect_event("cerrada", skip=("vista", "vistaFin", "ajustes"))

    elapsed = t_end - t0
    timed = n_total - 1  # frames after the first
    fps = timed / elapsed
    print(f"frames: {n_total}, the last {timed} in {elapsed:.2f} s  (bridge threads: {n_threads}); "
          f"frames published in {'a tmpfs' if args.tmpfs else live + ' (' + fs + ')'}")
    print(f"frames per second, overall: {fps:.2f}")
    print("per tenth of the run:")
    print("  frames      fps     RSS kB")
    prev_c, prev_t = 1, t0
    window_fps = []
    for c, t, _u, _k, rss in marks:
        w = (c - prev_c) / (t - prev_t)
        window_fps.append(w)
        print(f"  {c:>7} {w:>8.2f} {rss:>10}")
        prev_c, prev_t = c, t
    user_ms = (u_end - u0) * 1000 / timed
    sys_ms = (k_end - k0) * 1000 / timed
    print(f"CPU per frame: user {user_ms:.3f} ms, system {sys_ms:.3f} ms, total {user_ms + sys_ms:.3f} ms")
    print(f"scheduler, per frame: on CPU {(run1 - run0) / 1e6 / timed:.3f} ms, "
          f"runnable but waiting for a CPU {(rq1 - rq0) / 1e6 / timed:.3f} ms")
    print(f"RSS: after opening {rss_open} kB, at first frame {rss_first} kB, at the end {rss_end} kB; "
          f"peak (VmHWM) {hwm} kB")
    if gaps:
        print(f"frame numbers skipped {gaps} times")
    if others:
        print("other events during live view: " + ", ".join(f"{k} {v}" for k, v in sorted(others.items())))

    bench = "vista (tmpfs)" if args.tmpfs else "vista"
    growth = marks[-1][4] - marks[0][4]
    spread = max(window_fps) - min(window_fps)
    comun.result(bench, "live view, frames per second", f"{fps:.1f}", ">= 95", fps >= 95)
    comun.result(bench, "slowest tenth, frames per second", f"{min(window_fps):.1f} (spread {spread:.1f})",
                 ">= 95", min(window_fps) >= 95)
    comun.result(bench, "CPU per frame (user+system)", f"{user_ms + sys_ms:.3f} ms", "-", None)
    comun.result(bench, "RSS growth, first to last tenth", f"{growth} kB (peak {hwm} kB)",
                 f"< {GROWTH_LIMIT_KB} kB", growth < GROWTH_LIMIT_KB)


def card(ms: float) -> Tarjeta:
    """A simulated camera whose previews take `ms` milliseconds."""
    return Tarjeta(scenario=[comun.directive("previewdelay", int(ms * 1000))] if ms else [])


def pacing(delays: list[float], seconds: float, tmpfs: bool) -> None:
    exe = comun.build_helper("previa")
    comun.wait_for_quiet()
    rows = []
    for ms in delays:
        out = comun.run_helper(exe, [str(seconds)], card(ms), timeout=seconds + 30)
        frames, elapsed, cpu, size_seen = comun.parse_previa(out)
        bare_cpu = cpu * 1000 / frames

        s = Sesion([card(ms)])
        live = os.path.join(s.root, "live")
        if tmpfs:
            s.tmpfs = [(live, "16m")]
        else:
            os.makedirs(live)
        s.args = [live]
        with s:
            pid = s.proc.pid
            comun.wait_until_exec(pid)
            s.open_camera()
            n, t, cpu, others = comun.count_frames(s, pid, seconds)
            s.send("cerrar")
            s.expect_event("cerrada", skip=("vista", "vistaFin", "ajustes"))
        rows.append(comun.pacing_row(ms, frames, elapsed, bare_cpu, size_seen, n, t, cpu, others))
    print(f"frames published in {'a tmpfs' if tmpfs else 'a folder under /tmp'}")
    comun.pacing_table(rows, "vista --preview-ms" + (" (tmpfs)" if tmpfs else ""), goals=True)


if __name__ == "__main__":
    main()
