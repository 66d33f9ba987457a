"""A full session under valgrind memcheck: open, 100 photos, 1,000 live-view
frames, close, reopen, end of input. Fails on any memory error, on any leak
that is not one of libgphoto2's own (tests/sanitizers/valgrind.supp says
why each suppressed entry is the library's), and if the number of open
descriptors after the 100 photos differs from before them.

    python3 tests/valgrind/sesion.py BUILD_DIR
"""

import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "harness"))

import puente  # noqa: E402
from puente import Sesion, Tarjeta, directive as d  # noqa: E402


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    puente.CAMLIBS_DIR = os.path.join(build, "camlibs")
    puente.NS_RUN = os.path.join(HERE, "..", "harness", "ns-run")
    with tempfile.TemporaryDirectory(prefix="gpbridge-valgrind-") as report_dir:
        return session(build, os.path.join(report_dir, "valgrind.log"))


def session(build, report):
    puente.GPBRIDGE = "valgrind"
    supp = os.path.join(HERE, "..", "sanitizers", "valgrind.supp")
    args = ["--quiet", "--leak-check=full", "--show-leak-kinds=definite,indirect",
            "--errors-for-leak-kinds=definite,indirect", "--error-exitcode=99",
            f"--suppressions={supp}", f"--log-file={report}",
            os.path.join(build, "gpbridge"), "live"]
    card = Tarjeta()
    s = Sesion([card], args=args)
    os.makedirs(os.path.join(s.root, "live"))
    with s:
        s.open_camera()
        fds = lambda: len(os.listdir(f"/proc/{s.proc.pid}/fd"))
        before = fds()
        for i in range(100):
            card.control(d("shoot", "/capt", f"P{i:03}.JPG", 20000))
            s.expect_event("foto", timeout=30)
            s.expect_event("ajustes", timeout=30)
        after = fds()
        s.send("vista 1")
        for _ in range(1000):
            s.expect_event("vista", timeout=30, skip=("ajustes",))
        s.send("vista 0", "cerrar")
        s.expect_event("cerrada", timeout=30, skip=("vista",))
        s.open_camera()
        s.close_input()
        s.expect_event("cerrada", timeout=60)
        rc = s.proc.wait(120)
        photos = len([f for f in os.listdir(s.fotos) if f.endswith(".JPG")])
    with open(report) as f:
        text = f.read()
    print(f"descriptors before the photos: {before}, after: {after}")
    print(f"photos downloaded: {photos}, exit status: {rc}")
    if text.strip():
        print(text)
    ok = rc == 0 and before == after and photos == 100 and not text.strip()
    print("valgrind session:", "clean" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
