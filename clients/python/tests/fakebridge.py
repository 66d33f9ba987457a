#!/usr/bin/env python3
"""A stand-in for the bridge with one camera whose cable a test can pull,
for the client's bookkeeping across absences, hangs and restarts. It speaks
the protocol's lines (a subset of what the bridge does, with the same event
order) and keeps its camera's state in a folder, so that a restarted
stand-in finds the camera as the last one left it.

    fakebridge.py LIVE-VIEW-DIRECTORY      (FAKE_STATE names the state folder)

State folder:
  present   exists while the camera is plugged in (its text: the port)
  hang      makes the next loop turn block for good (removed as it hangs)
  die       makes the next loop turn exit with status 3 (removed as it dies)
  siblings  extensions (one a line) each photo brings, e.g. ".CR2"
  delay     seconds before a shot's photo comes (default 0)
  slow      seconds each download takes, silent, its partial file growing
  shoot     makes the camera fire a photo by itself (removed as it does)
  serial    the camera's serial number (none without this file)
  refuse    values (one a line) `ajustar` refuses
  swap      at the next `abrir`, the camera present becomes the one on the
            port this file names (one pulled just before it was opened)
  late      seconds more before its siblings come (default 0.05)
  log       every command read, one a line
  counter   the last photo number used
"""

import json
import os
import select
import sys
import time

STATE = os.environ["FAKE_STATE"]
PERIOD = float(os.environ.get("FAKE_PERIOD", "3"))
MODEL = "Fake Camera"
SETTINGS = {"iso": "100", "diafragma": "f/5.6", "velocidad": "1/125"}
CHOICES = {"iso": ["100", "200", "400", "Auto ISO"], "diafragma": ["f/5.6", "f/8"], "velocidad": []}


def state(name):
    return os.path.join(STATE, name)


def read(name, default=None):
    try:
        with open(state(name)) as f:
            return f.read()
    except FileNotFoundError:
        return default


def emit(**event):
    line = json.dumps(event, ensure_ascii=False, separators=(",", ":")) + "\n"
    os.write(1, line.encode())


def report():
    emit(e="ajustes", iso=SETTINGS["iso"], diafragma=SETTINGS["diafragma"],
         velocidad=SETTINGS["velocidad"], bateria="50%")


class Bridge:
    def __init__(self, live_dir):
        self.live_dir = live_dir
        self.folder = None  # the open camera's download folder, None when closed
        self.live = False
        self.n = 0
        self.last_report = time.monotonic()
        self.pending = []  # (when, folder, name): files still to come

    def close(self, reason):
        if self.folder is not None:
            self.folder = None
            self.live = False
            self.pending = []
            emit(e="cerrada", motivo=reason)

    def photo(self, folder, name):
        path = os.path.join(folder, name)
        with open(path + ".parcial", "wb") as f:
            slow = float(read("slow", "0"))
            for _ in range(int(slow / 0.1)):  # a long download: nothing written but the file
                f.write(b"\0" * 1000)
                f.flush()
                time.sleep(0.1)
            f.write(b"\xff\xd8" + name.encode() + b"\xff\xd9")
        os.rename(path + ".parcial", path)
        emit(e="foto", ruta=path, nombre=name)
        report()
        self.last_report = time.monotonic()

    def command(self, line):
        with open(state("log"), "a") as f:
            f.write(line + "\n")
        word, _, rest = line.partition(" ")
        if word == "buscar":
            port = read("present")
            emit(e="camaras", lista=[] if port is None else [{"modelo": MODEL, "puerto": port.strip()}])
        elif word == "abrir":
            index, _, folder = rest.partition(" ")
            if os.path.exists(state("swap")):
                os.replace(state("swap"), state("present"))
            self.close("otra")
            if read("present") is None or index != "0":
                emit(e="error", texto="abrir: Unknown model")
                return
            self.folder = folder
            emit(e="abierta", modelo=MODEL)
            report()
            self.last_report = time.monotonic()
        elif word == "disparar" and self.folder is not None:
            number = int(read("counter", "0")) + 1
            with open(state("counter"), "w") as f:
                f.write(str(number))
            stem = f"IMG_{number:04d}"
            when = time.monotonic() + float(read("delay", "0"))
            self.pending.append((when, self.folder, stem + ".JPG"))
            for ext in (read("siblings", "") or "").split():
                self.pending.append((when + float(read("late", "0.05")), self.folder, stem + ext))
            self.pending.sort()
        elif line == "vista 1" and self.folder is not None:
            self.live = True
        elif line == "vista 0":
            self.live = False
        elif line == "leer serialnumber" and self.folder is not None:
            serial = read("serial")
            if serial is None:
                emit(e="error", texto="leer: Bad parameters")
            else:
                emit(e="control", ruta="/main/status/serialnumber", etiqueta="Serial Number", tipo="texto",
                     valor=serial, soloLectura=True, opciones=[], rango=[])
        elif word == "opciones" and self.folder is not None:
            emit(e="opciones", **CHOICES)
        elif word == "ajustar" and self.folder is not None:
            key, _, value = rest.partition(" ")
            if key not in CHOICES or value not in CHOICES[key] or value in (read("refuse", "") or "").split("\n"):
                emit(e="error", texto="ajustar: Bad parameters")
            else:
                SETTINGS[key] = value
                report()
        elif word == "cerrar":
            if self.folder is None:
                emit(e="cerrada", motivo="orden")
            self.close("orden")
        elif word == "salir":
            self.close("orden")
            sys.exit(0)

    def turn(self):
        if os.path.exists(state("die")):
            os.unlink(state("die"))
            sys.exit(3)
        if os.path.exists(state("hang")):
            os.unlink(state("hang"))
            while True:
                time.sleep(3600)
        if self.folder is None:
            return
        if read("present") is None:
            if self.live:
                emit(e="error", texto="vista en directo: I/O problem")
                emit(e="vistaFin")
            self.close("desconectada")
            SETTINGS.update(iso="100", diafragma="f/5.6")  # what was set over USB is lost
            return
        if os.path.exists(state("shoot")):
            os.unlink(state("shoot"))
            self.pending.append((0, self.folder, "BODY.MOV"))
        now = time.monotonic()
        while self.pending and self.pending[0][0] <= now:
            _, folder, name = self.pending.pop(0)
            self.photo(folder, name)
        if self.live:
            self.n += 1
            path = os.path.join(self.live_dir, "vista.jpg")
            with open(path + ".tmp", "wb") as f:
                f.write(b"\xff\xd8frame" + str(self.n).encode() + b"\xff\xd9")
            os.rename(path + ".tmp", path)
            emit(e="vista", ruta=path, n=self.n)
        elif now - self.last_report >= PERIOD:
            report()
            self.last_report = now


def main():
    bridge = Bridge(os.path.abspath(sys.argv[1]))
    buf = b""
    while True:
        ready, _, _ = select.select([0], [], [], 0.01 if bridge.live else 0.02)
        if ready:
            chunk = os.read(0, 65536)
            if not chunk:
                bridge.close("orden")
                return
            buf += chunk
            while b"\n" in buf:
                line, _, buf = buf.partition(b"\n")
                bridge.command(line.decode())
        bridge.turn()


if __name__ == "__main__":
    main()
