"""A rig's shot sets on disk: FOLDER/shot-0001/ID.EXT and FOLDER/shots.jsonl.

Files come from each camera's own download folder under the same FOLDER and
are moved by rename, never copied and never over an existing file. The
manifest holds one line per set, in shot order, and is replaced whole
through a temporary file, so a reader never sees half a line. Nothing here
talks to a camera: `_rig` says which file of which camera belongs where.
"""

from __future__ import annotations

import errno
import json
import os
import re
import tempfile
import threading
from dataclasses import dataclass, field

MANIFEST = "shots.jsonl"
INCOMING = ".incoming"
_SET_DIR = re.compile(r"shot-([0-9]+)$")


@dataclass
class ShotSet:
    """One firing of the rig: for each camera id the paths of its files
    (under the rig's folder), and the cameras that gave nothing, each with
    an error code."""

    number: int
    files: dict[str, list[str]] = field(default_factory=dict)
    missing: dict[str, str] = field(default_factory=dict)


class _Entry:
    """One set as the book keeps it: relative paths, and for each camera
    whether it was fired and the stems of the files it gave."""

    __slots__ = ("number", "files", "missing", "fired", "stems", "_line")

    def __init__(self, number: int) -> None:
        self.number = number
        self.files: dict[str, list[str]] = {}
        self.missing: dict[str, str] = {}
        self.fired: set[str] = set()
        self.stems: dict[str, set[str]] = {}
        self._line: str | None = None

    def changed(self) -> None:
        self._line = None

    def line(self) -> str:
        # Kept between writes: the manifest is written whole after every
        # set, and only the sets that changed are encoded again.
        if self._line is None:
            self._line = json.dumps({"shot": self.number, "files": self.files, "missing": self.missing},
                                    ensure_ascii=False, separators=(",", ":"))
        return self._line


def safe_name(camera_id: str) -> str:
    """A camera id as a file name: anything but letters, digits, '.', '_'
    and '-' becomes '_' (a port such as usb:001,004 or a serial with a
    slash), and it never starts with a dot."""
    name = re.sub(r"[^A-Za-z0-9._-]", "_", camera_id) or "_"
    return "_" + name if name.startswith(".") else name


def stem_of(name: str) -> str:
    """A camera file's name up to its last dot, without a -N the bridge
    added to a name already taken: the files of one shot share it."""
    stem, dot, _ = name.rpartition(".")
    return re.sub(r"-[0-9]+$", "", stem if dot and stem else name)


class ShotBook:
    """The shot sets of one folder. Thread-safe: capture results and late
    photos (on the bridges' reader threads) both come here."""

    def __init__(self, folder: str) -> None:
        self.folder = folder
        self._lock = threading.Lock()
        self._entries: dict[int, _Entry] = {}
        # Lines of sets made before this rig opened the folder: kept as
        # they are, never changed.
        self._old: list[tuple[int, str]] = []
        self._next = 1
        os.makedirs(os.path.join(folder, INCOMING), exist_ok=True)
        self._load()

    def _load(self) -> None:
        try:
            with open(os.path.join(self.folder, MANIFEST), encoding="utf-8", errors="surrogateescape") as f:
                number = 0
                for raw in f:
                    raw = raw.rstrip("\n")
                    try:
                        number = int(json.loads(raw)["shot"])
                    except (ValueError, KeyError, TypeError):
                        pass  # not ours to mend, nor to drop: it stays where it was
                    self._old.append((number, raw))
                    self._next = max(self._next, number + 1)
        except FileNotFoundError:
            pass
        for name in os.listdir(self.folder):
            m = _SET_DIR.match(name)
            if m:
                self._next = max(self._next, int(m.group(1)) + 1)

    def incoming(self, slot: int) -> str:
        """The download folder of the camera in `slot`."""
        return os.path.join(self.folder, INCOMING, str(slot))

    def new_set(self, fired: list[str], away: list[str], code: str) -> int:
        """A new set: `fired` cameras owe it their files, `away` ones are
        missing with `code` from the start."""
        with self._lock:
            entry = _Entry(self._next)
            self._next += 1
            entry.fired.update(fired)
            for camera_id in away:
                entry.missing[camera_id] = code
            self._entries[entry.number] = entry
            entry.changed()
            return entry.number

    def give(self, number: int, camera_id: str, paths: list[str]) -> list[str]:
        """Moves a camera's files into set `number`; returns their new
        paths. The manifest is written by save()."""
        with self._lock:
            return self._place(self._entries[number], camera_id, paths)

    def fail(self, number: int, camera_id: str, code: str) -> None:
        """Marks a camera missing from a set, unless its files came (the
        manifest is written by save())."""
        with self._lock:
            entry = self._entries[number]
            if camera_id not in entry.files:
                entry.missing[camera_id] = code
                entry.changed()

    def save(self) -> None:
        """Writes the manifest again: once per set, when every camera's
        files are in."""
        with self._lock:
            self._write()

    def late(self, camera_id: str, paths: list[str], name: str) -> int:
        """A photo no capture took: into the set of the same shot (a file
        of the same stem came there), else the oldest set the camera was
        fired for and gave nothing to, else a new set of its own (a photo
        fired on the body). Returns the set's number."""
        stem = stem_of(name)
        with self._lock:
            entries = sorted(self._entries.values(), key=lambda e: e.number)
            entry = next((e for e in entries if stem in e.stems.get(camera_id, ())), None)
            if entry is None:
                entry = next((e for e in entries if camera_id in e.fired and camera_id not in e.files), None)
            if entry is None:
                entry = _Entry(self._next)
                self._next += 1
                self._entries[entry.number] = entry
            self._place(entry, camera_id, paths)
            self._write()
            return entry.number

    def shot_set(self, number: int) -> ShotSet:
        with self._lock:
            e = self._entries[number]
            return ShotSet(e.number, {i: [os.path.join(self.folder, p) for p in ps] for i, ps in e.files.items()},
                           dict(e.missing))

    def _place(self, entry: _Entry, camera_id: str, paths: list[str]) -> list[str]:
        folder = os.path.join(self.folder, f"shot-{entry.number:04d}")
        os.makedirs(folder, exist_ok=True)
        out = []
        for path in paths:
            name = os.path.basename(path)
            ext = name[name.rfind("."):] if "." in name[1:] else ""
            final = _move(path, folder, safe_name(camera_id), ext)
            rel = os.path.relpath(final, self.folder)
            entry.files.setdefault(camera_id, []).append(rel)
            entry.stems.setdefault(camera_id, set()).add(stem_of(name))
            out.append(final)
        entry.missing.pop(camera_id, None)
        entry.changed()
        return out

    def _write(self) -> None:
        # Earlier sessions' lines first, as they were; then this one's sets,
        # made in number order.
        lines = [line for _, line in self._old] + [e.line() for e in self._entries.values()]
        fd, tmp = tempfile.mkstemp(prefix=".shots-", suffix=".tmp", dir=self.folder)
        try:
            with os.fdopen(fd, "w", encoding="utf-8", errors="surrogateescape") as f:
                f.write("".join(line + "\n" for line in lines))
            os.rename(tmp, os.path.join(self.folder, MANIFEST))
        except BaseException:
            try:
                os.unlink(tmp)
            except OSError:
                pass
            raise


def _move(path: str, folder: str, base: str, ext: str) -> str:
    """Moves `path` to folder/BASE.EXT, or BASE-2.EXT, -3 ... when taken.
    A hard link then an unlink never replaces a file that is there (a plain
    rename would); where links are not allowed, a rename after a look."""
    n = 1
    while True:
        target = os.path.join(folder, f"{base}{'' if n == 1 else f'-{n}'}{ext}")
        try:
            os.link(path, target, follow_symlinks=False)
        except FileExistsError:
            n += 1
            continue
        except OSError as exc:
            if exc.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.EMLINK, errno.ENOSYS):
                raise
            if os.path.lexists(target):
                n += 1
                continue
            os.rename(path, target)
            return target
        os.unlink(path)
        return target
