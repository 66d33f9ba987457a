#!/usr/bin/env python3
"""Download of a large photo: the simulated camera serves a real file on its
card (the `@file` source, read from disk the way cp reads it) and the bridge
downloads it into a folder on the same filesystem. Compared against `cp` of
the same file followed by a flush of the copy and of its folder to disk
(`sync FILE FOLDER`: fsync of each, the same durability as the bridge, which
fsyncs the photo before renaming it and then its folder). As a second
reference, `dd bs=64K conv=fsync`: the same data path as the simulated
camera's (64 KiB read()/write() through user space) where cp copies inside
the kernel (copy_file_range).

    bench/descarga.py [--mb 200] [--reps 5]

Bridge time runs from writing the control line that queues the photo's
file_added event to reading the `foto` event. Both sides start with the
source in the page cache (it is read once first) and with no dirty data
pending (`sync` before every timed run). Also reports the growth of the
bridge's peak resident memory (VmHWM) over the downloads.

Goals: bridge time / cp+sync time <= 1.2; VmHWM growth < 2 MB."""

import argparse
import os
import shutil
import subprocess
import time

import comun
from comun import Sesion, Tarjeta, directive as d

STORE = "/store_00010001/DCIM/100SIMUL"


def make_source(path, size):
    block = os.urandom(1 << 20)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, len(block))
            f.write(block[:n])
            left -= n
        f.flush()
        os.fsync(f.fileno())


def warm(path):
    with open(path, "rb") as f:
        while f.read(1 << 20):
            pass


def quiesce():
    subprocess.run(["sync"], check=True)
    time.sleep(0.5)


def time_cp(src, dst, folder):
    """(cp + sync time, cp part)."""
    quiesce()
    t0 = time.monotonic()
    subprocess.run(["cp", src, dst], check=True)
    t1 = time.monotonic()
    subprocess.run(["sync", dst, folder], check=True)
    t = time.monotonic() - t0
    os.unlink(dst)
    return t, t1 - t0


def time_dd(src, dst, folder):
    """Reference with the driver's data path: read()/write() in 64 KiB
    blocks through user space (as the simulated camera hands the photo to
    libgphoto2, which writes it to the bridge's descriptor), then the same
    flush."""
    quiesce()
    t0 = time.monotonic()
    subprocess.run(["dd", f"if={src}", f"of={dst}", "bs=64K", "conv=fsync", "status=none"], check=True)
    subprocess.run(["sync", folder], check=True)
    t = time.monotonic() - t0
    os.unlink(dst)
    return t


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mb", type=int, default=200, help="photo size in MB (default 200)")
    ap.add_argument("--reps", type=int, default=5, help="timed runs of each (default 5)")
    args = ap.parse_args()
    size = args.mb * 1000 * 1000
    comun.check_build()
    comun.wait_for_quiet()

    card = Tarjeta()
    s = Sesion([card])
    card.prepare(s.root, 0)  # lay the card out now so the source can go on it
    src = card.path("grande.jpg")
    try:
        make_source(src, size)
        warm(src)
    except BaseException:
        shutil.rmtree(s.root, ignore_errors=True)  # the session would have removed it
        raise
    same_fs = os.stat(src).st_dev == os.stat(s.fotos).st_dev
    dd_times, cp_times, cp_only, bridge_times, from_control, streaming = [], [], [], [], [], []
    with s:
        pid = s.proc.pid
        comun.wait_until_exec(pid)
        s.open_camera()
        hwm_before = comun.status_kb(pid, "VmHWM")
        rss_before = comun.status_kb(pid, "VmRSS")
        u0, k0 = comun.cpu_times(pid)
        for i in range(1, args.reps + 1):
            total, part = time_cp(src, os.path.join(s.fotos, f"CP_{i}.JPG"), s.fotos)
            cp_times.append(total)
            cp_only.append(part)
            dd_times.append(time_dd(src, os.path.join(s.fotos, f"DD_{i}.JPG"), s.fotos))
            name = f"GRANDE_{i}.JPG"
            quiesce()
            t0 = time.monotonic()
            card.control(d("shoot", STORE, name, "@grande.jpg"))
            ev = s.expect_event("foto", timeout=300, skip=("ajustes",))
            t1 = time.monotonic()
            # The driver queues the event when it reads the control line and
            # hands it over in the same turn of its wait; its log line for
            # that hand-over is the start.
            log = card.log()
            delivered = [t for t, op, f in log if op == "wait" and f[-1:] == [name]][-1]
            got = [t for t, op, f in log if op == "get_file" and f[1] == name][-1]
            bridge_times.append(t1 - delivered)
            from_control.append(t1 - t0)
            streaming.append(got - delivered)
            out = ev["ruta"] if os.path.isabs(ev["ruta"]) else os.path.join(s.root, ev["ruta"])
            if os.path.getsize(out) != size:
                raise SystemExit(f"downloaded size {os.path.getsize(out)} != {size}")
            os.unlink(out)
            s.expect_event("ajustes")
        u1, k1 = comun.cpu_times(pid)
        hwm_after = comun.status_kb(pid, "VmHWM")
        rss_after = comun.status_kb(pid, "VmRSS")
        s.send("cerrar")
        s.expect_event("cerrada", skip=("ajustes",))

    cp_med = comun.median(cp_times)
    br_med = comun.median(bridge_times)
    ratio = br_med / cp_med
    mb = size / 1e6
    print(f"photo: {mb:.0f} MB, from {src} to {s.fotos} ({'same' if same_fs else 'NOT the same'} filesystem)")
    def row(label, v, extra=""):
        print(f"{label:<44}" + "  ".join(f"{t:.3f}" for t in v) + f"   median {comun.median(v):.3f}{extra}")

    row("cp + sync, s:", cp_times, f" ({mb / cp_med:.0f} MB/s)")
    row("  of which cp, s:", cp_only)
    row("dd bs=64K conv=fsync + sync folder, s:", dd_times)
    row("bridge, event queued -> foto, s:", bridge_times, f" ({mb / br_med:.0f} MB/s)")
    row("  of which the driver streams the file, s:", streaming)
    row("bridge, control line written -> foto, s:", from_control)
    print(f"ratio bridge / cp+sync (medians): {ratio:.3f}")
    print(f"ratio bridge / dd 64 KiB+sync (medians): {br_med / comun.median(dd_times):.3f}")
    per = args.reps
    print(f"bridge CPU per download: user {(u1 - u0) / per:.3f} s, system {(k1 - k0) / per:.3f} s")
    growth = hwm_after - hwm_before
    print(f"bridge VmHWM before {hwm_before} kB, after {hwm_after} kB (growth {growth} kB); "
          f"VmRSS before {rss_before} kB, after {rss_after} kB")

    comun.result("descarga", f"{args.mb} MB download, bridge / cp+sync", f"{ratio:.2f} ({br_med:.2f} s vs {cp_med:.2f} s)",
                 "<= 1.2", ratio <= 1.2)
    comun.result("descarga", "peak RSS growth over the downloads", f"{growth} kB", "< 2048 kB", growth < 2048)


if __name__ == "__main__":
    main()
