"""Shared helpers for the benchmarks: finds the build, imports the test
harness (tests/harness/puente.py) and reads process figures from /proc.

Benchmarks print figures; they are not tests and never run under ctest.
Each benchmark also prints one machine-readable line per goal:

    RESULT<TAB>benchmark<TAB>figure<TAB>value<TAB>goal<TAB>met|MISSED

which bench/run_all.sh gathers into one table.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
BUILD = os.environ.get("GPBRIDGE_BUILD", os.path.join(ROOT, "build"))

# The harness reads these when it is imported.
os.environ.setdefault("GPBRIDGE", os.path.join(BUILD, "gpbridge"))
os.environ.setdefault("CAMLIBS_DIR", os.path.join(BUILD, "camlibs"))
os.environ.setdefault("NS_RUN", os.path.join(ROOT, "tests", "harness", "ns-run"))
sys.path.insert(0, os.path.join(ROOT, "tests", "harness"))

import puente  # noqa: E402  (needs the environment above)
from puente import Sesion, Tarjeta, directive  # noqa: E402,F401

TICK = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGE_SIZE")


def check_build():
    for path in (puente.GPBRIDGE, os.path.join(puente.CAMLIBS_DIR, "simcam.so")):
        if not os.path.exists(path):
            sys.exit(f"missing {path}: build first (cmake -S . -B build && cmake --build build -j2)")
    r = subprocess.run([puente.NS_RUN, "--", "true"], capture_output=True)
    if r.returncode != 0:
        sys.exit("cannot make a private mount namespace: " + r.stderr.decode().strip())


def build_helper(name):
    """Compiles bench/<name>.cpp into build-bench/<name> (when missing or
    older than its source), linked with libgphoto2; returns its path."""
    src = os.path.join(BENCH, name + ".cpp")
    out_dir = os.path.join(ROOT, "build-bench")
    exe = os.path.join(out_dir, name)
    sources = (src, os.path.join(BENCH, "detectar.h"))
    if os.path.exists(exe) and os.path.getmtime(exe) >= max(map(os.path.getmtime, sources)):
        return exe
    os.makedirs(out_dir, exist_ok=True)
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "libgphoto2"], check=True,
                           capture_output=True, text=True).stdout.split()
    subprocess.run(["g++", "-std=c++20", "-O2", "-Wall", "-o", exe, src] + flags, check=True)
    return exe


def run_helper(exe, args, card, timeout):
    """Runs a helper program the way the harness runs the bridge (same
    namespace, card and CAMLIBS); returns its standard output."""
    s = Sesion([card], args=args, pump=False)
    saved = puente.GPBRIDGE
    puente.GPBRIDGE = exe
    try:
        s.start()
        out = s.proc.stdout.read()
        s.proc.wait(timeout)
        return out.decode()
    finally:
        puente.GPBRIDGE = saved
        s.__exit__(None, None, None)


def wait_until_exec(pid, name="gpbridge", timeout=10):
    """The harness's Popen pid becomes the bridge once ns-run, unshare and env
    have exec'd; wait for that before reading its figures."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/comm") as f:
                if f.read().strip() == name[:15]:
                    return
        except FileNotFoundError:
            pass
        time.sleep(0.002)
    raise RuntimeError(f"process {pid} never became {name}")


def cpu_times(pid):
    """(user, system) CPU seconds of the whole process, all threads, from
    /proc/<pid>/stat utime and stime (clock-tick resolution)."""
    with open(f"/proc/{pid}/stat") as f:
        data = f.read()
    fields = data[data.rindex(")") + 2:].split()
    # fields[0] is field 3 (state); utime is field 14, stime field 15.
    return int(fields[11]) / TICK, int(fields[12]) / TICK


def sched_ns(pid):
    """(on-CPU ns, run-queue wait ns) summed over the process's tasks, from
    /proc/<pid>/task/*/schedstat: how long it ran, and how long it was
    runnable but waiting for a CPU (contention from other processes)."""
    run = wait = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                a, b, _ = f.read().split()
            run += int(a)
            wait += int(b)
        except (FileNotFoundError, ProcessLookupError):
            pass
    return run, wait


def threads(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def status_kb(pid, key):
    """A kB figure from /proc/<pid>/status, e.g. VmRSS or VmHWM."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def reset_hwm(pid):
    """Resets VmHWM to the current RSS (writing 5 to clear_refs, Linux 4.0+).
    Returns False where the kernel refuses."""
    try:
        with open(f"/proc/{pid}/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def percentile(values, p):
    """Nearest-rank percentile (p in 0..100)."""
    s = sorted(values)
    if not s:
        return float("nan")
    k = max(0, min(len(s) - 1, int(-(-p * len(s) // 100)) - 1))
    return s[k]


def median(values):
    return statistics.median(values)


def load1():
    return os.getloadavg()[0]


def wait_for_quiet(max_load=None, max_wait=None, quiet=False):
    """Waits (bounded) for the one-minute load average to fall below
    `max_load` (default: the number of cores), so a neighbour's test run
    does not skew the figures. Prints what it saw; never refuses to run."""
    cores = os.cpu_count() or 1
    max_load = float(os.environ.get("BENCH_MAX_LOAD", max_load if max_load is not None else cores * 0.75))
    max_wait = float(os.environ.get("BENCH_MAX_WAIT", max_wait if max_wait is not None else 300))
    start = time.monotonic()
    while load1() > max_load and time.monotonic() - start < max_wait:
        time.sleep(5)
    if not quiet:
        print(f"# load average at start: {load1():.2f} on {cores} cores"
              + ("" if load1() <= max_load else f" (still above {max_load:.2f} after {max_wait:.0f} s)"))


def result(bench, figure, value, goal, met):
    """Prints the machine-readable line for one goal (met=None: a figure
    reported without a goal)."""
    mark = "-" if met is None else ("met" if met else "MISSED")
    print("RESULT\t%s\t%s\t%s\t%s\t%s" % (bench, figure, value, goal, mark), flush=True)


# The preview times `--preview-ms` measures by default, in milliseconds: an
# instant camera, then bodies from about 120 down to 25 frames a second.
PREVIEW_MS = (0, 8, 16, 25, 40)


def preview_list(text: str) -> list[float]:
    """`--preview-ms` values: a comma-separated list of milliseconds."""
    return [float(v) for v in text.split(",") if v.strip()]


def parse_previa(out: str) -> tuple[int, float, float, int]:
    """(frames, seconds, CPU seconds, bytes of the last frame) from
    bench/previa.cpp's output line."""
    fields = out.split()
    if len(fields) != 10 or fields[0] != "frames":
        raise RuntimeError(f"previa: {out.strip()!r}")
    return int(fields[1]), float(fields[3]), float(fields[5]) + float(fields[7]), int(fields[9])


def count_frames(s: "puente.Sesion", pid: int, seconds: float) -> tuple[int, float, float, dict]:
    """Turns live view on in an open session and counts `vista` events for
    `seconds` from the first one (which is not counted: `vista 1` waits for
    the idle event wait that was running). Returns (frames, seconds, CPU
    seconds of the bridge meanwhile, other events seen); ends live view."""
    s.send("vista 1")
    others = {}
    count = 0
    t0 = last = None
    while True:
        raw = s.lines.get(timeout=10)
        if raw is None:
            sys.exit("the bridge ended during live view")
        ev = json.loads(raw)
        now = time.monotonic()
        if ev["e"] != "vista":
            others[ev["e"]] = others.get(ev["e"], 0) + 1
            continue
        if t0 is None:
            t0 = last = now
            cpu0 = sum(cpu_times(pid))
            continue
        count += 1
        last = now
        if now - t0 >= seconds:
            break
    cpu = sum(cpu_times(pid)) - cpu0
    s.send("vista 0")
    return count, last - t0, cpu, others


def add_pacing_options(ap: argparse.ArgumentParser) -> None:
    """--preview-ms and --seconds, the options of the bridge-against-bare-loop
    comparison."""
    ap.add_argument("--preview-ms", type=preview_list, nargs="?",
                    const=list(PREVIEW_MS), metavar="MS,MS,...",
                    help="compare the bridge with a bare preview loop at these preview times "
                         "(default " + ",".join(map(str, PREVIEW_MS)) + ")")
    ap.add_argument("--seconds", type=float, default=10,
                    help="with --preview-ms: seconds of each measurement (default 10)")


def pacing_row(ms: float, frames: int, elapsed: float, bare_cpu: float, size_seen: int,
               n: int, t: float, cpu: float, others: dict[str, int]) -> tuple[float, float, float, float, float]:
    """Prints one preview time's bare loop and bridge figures and returns its
    row for pacing_table."""
    bare, bridge = frames / elapsed, n / t
    print(f"preview {ms:g} ms: bare loop {frames} frames in {elapsed:.2f} s ({bare:.1f} fps, "
          f"CPU {bare_cpu:.3f} ms per frame, {size_seen} B frames); bridge {n} frames in {t:.2f} s ({bridge:.1f} fps, "
          f"CPU {cpu * 1000 / n:.3f} ms per frame)"
          + ("; other events: " + ", ".join(f"{k} {v}" for k, v in sorted(others.items()))
             if others else ""), flush=True)
    return (ms, bare, bare_cpu, bridge, cpu * 1000 / n)


def pacing_table(rows: list[tuple[float, float, float, float, float]], bench: str, goals: bool) -> None:
    """Prints the bare loop against the bridge for each preview time, then
    the RESULT lines. `rows` holds (ms, bare fps, bare CPU ms per frame,
    bridge fps, bridge CPU ms per frame). With `goals`, the live-view pacing
    goals: the bridge at least 0.95 of the bare loop at 16 ms and slower, at
    least 95 fps at 8 ms, 95 to 100 fps at 0 ms."""
    print()
    print("| preview takes | bare loop | bridge live view | bridge / bare |")
    print("|---|---|---|---|")
    for ms, bare, _bc, bridge, _c in rows:
        # At 0 ms the bare loop is bounded only by the CPU: no ratio.
        ratio = f"{bridge / bare:.2f}" if ms > 0 and bare > 0 else "-"
        print(f"| {ms:g} ms | {bare:.1f} fps | {bridge:.1f} fps | {ratio} |")
    for ms, bare, bare_cpu, bridge, cpu in rows:
        if ms == 0:
            print(f"CPU per frame at 0 ms: bridge {cpu:.3f} ms, bare loop {bare_cpu:.3f} ms")
    print()
    for ms, bare, bare_cpu, bridge, cpu in rows:
        ratio = bridge / bare if bare > 0 else 0.0
        figure = f"preview {ms:g} ms: bridge fps (bare loop fps)"
        value = f"{bridge:.1f} ({bare:.1f}" + (f", ratio {ratio:.2f})" if ms > 0 else ")")
        if not goals:
            result(bench, figure, value, "-", None)
        elif ms >= 16:
            result(bench, figure, value, "ratio >= 0.95", ratio >= 0.95)
        elif ms >= 8:
            result(bench, figure, value, ">= 95 fps", bridge >= 95)
        elif ms == 0:
            result(bench, figure, value, "95-100 fps", 95 <= bridge <= 100.5)
        else:
            result(bench, figure, value, "-", None)
        if ms == 0:
            result(bench, "preview 0 ms: CPU per frame, bridge (bare loop)",
                   f"{cpu:.3f} ms ({bare_cpu:.3f} ms)", "-", None)
