"""The same tour as tour.py, speaking the protocol directly, with the same
time limits and failure checks the client gives."""
import json
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading
import time

live_dir = tempfile.mkdtemp(prefix="gpbridge-live-")
proc = subprocess.Popen([sys.argv[1] if len(sys.argv) > 1 else "gpbridge", live_dir],
                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
events = queue.Queue()


def reader():
    for raw in proc.stdout:
        events.put(json.loads(raw.decode("utf-8", "surrogateescape")))
    events.put(None)


threading.Thread(target=reader, daemon=True).start()


def send(line):
    proc.stdin.write(line.encode() + b"\n")
    proc.stdin.flush()


def wait_for(names, timeout, fails=()):
    while True:
        ev = events.get(timeout=timeout)
        if ev is None:
            raise RuntimeError("the bridge exited")
        if ev["e"] in names:
            return ev
        if ev["e"] == "error" and ev["texto"].startswith(fails):
            raise RuntimeError(ev["texto"])
        if ev["e"] == "cerrada" and ev["motivo"] == "desconectada":
            raise RuntimeError("camera disconnected")


try:
    send("buscar")
    print("cameras:", wait_for({"camaras"}, 20)["lista"])
    folder = os.path.abspath("photos")
    os.makedirs(folder, exist_ok=True)
    send("abrir 0 " + folder)
    print("opened:", wait_for({"abierta"}, 30, ("abrir",))["modelo"], wait_for({"ajustes"}, 30))
    for _ in range(3):
        send("disparar")
        print("photo:", wait_for({"foto"}, 60, ("disparar", "bajar la foto", "No se puede"))["ruta"])
    send("vista 1")
    end = time.monotonic() + 2
    while time.monotonic() < end:
        ev = wait_for({"vista", "vistaFin"}, 10, ("vista en directo",))
        if ev["e"] == "vistaFin":
            break
        while not events.empty():  # skip to the newest frame
            newer = events.get()
            if newer is None or newer["e"] != "vista":
                events.put(newer)
                break
            ev = newer
        with open(ev["ruta"], "rb") as f:
            print("frame", ev["n"], len(f.read()), "bytes")
    send("vista 0")
    send("cerrar")
    print("closed:", wait_for({"cerrada"}, 15)["motivo"])
finally:
    try:
        send("salir")
        proc.stdin.close()
    except OSError:
        pass
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
    shutil.rmtree(live_dir, ignore_errors=True)
