"""Folders: the download folder a camera saves into, and the private
live-view folder the client makes and must remove, also when the program
is ended by a signal."""

from __future__ import annotations

import os
import shutil
import signal
import tempfile
import threading
import weakref
from typing import Callable

# The suffix of a file the bridge is still downloading.
PARTIAL = ".parcial"

from ._errors import FolderError

# Folders this process made and must remove, even when it is killed by a
# signal whose default action would end it without running any cleanup.
_OWN_FOLDERS: set[str] = set()
_OWN_LOCK = threading.Lock()
_FATAL = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP", "SIGINT"))
_handlers_installed = False


def _private_base() -> str | None:
    """Where to make the live-view directory: memory-backed if possible."""
    for base in ("/dev/shm", os.environ.get("XDG_RUNTIME_DIR")):
        if base and os.path.isdir(base) and os.access(base, os.W_OK | os.X_OK):
            return base
    return None


def _remove_tree(path: str) -> None:
    """Removes a folder of ours that a bridge may still be writing frames
    into: it is renamed first, so nothing new lands in it by its name."""
    gone = f"{path}.gone-{os.getpid()}"
    try:
        os.rename(path, gone)
    except FileNotFoundError:
        return
    except OSError:
        gone = path
    for _ in range(5):
        shutil.rmtree(gone, ignore_errors=True)
        if not os.path.lexists(gone):
            return


def _forget_folder(path: str, pid: int) -> None:
    if os.getpid() != pid:
        return  # a forked child: the folder is its parent's
    with _OWN_LOCK:
        _OWN_FOLDERS.discard(path)
    _remove_tree(path)


def _on_fatal_signal(signum: int, frame: object) -> None:
    # No lock: the main thread, which runs this, may hold it already.
    folders: list[str] = []
    if _owner_pid == os.getpid():
        for _ in range(10):
            try:
                folders = list(_OWN_FOLDERS)
                break
            except RuntimeError:  # changed size while copied
                continue
    for path in folders:
        _remove_tree(path)
    # Then the signal's own default action: the process ends by it, as it
    # would have without the client.
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)


_owner_pid = os.getpid()


def _keep_folder(path: str) -> None:
    """Registers a private folder for removal on SIGTERM, SIGHUP and SIGINT.
    A handler goes only where the host left the default action (for SIGINT
    Python's own handler raises KeyboardInterrupt, and the program's exit
    removes the folder), and only from the main thread, where Python lets
    handlers be set."""
    global _handlers_installed, _owner_pid
    with _OWN_LOCK:
        if _owner_pid != os.getpid():  # forked: the parent's folders are not ours
            _OWN_FOLDERS.clear()
            _owner_pid = os.getpid()
        _OWN_FOLDERS.add(path)
    if _handlers_installed or threading.current_thread() is not threading.main_thread():
        return
    for sig in _FATAL:
        try:
            if signal.getsignal(sig) == signal.SIG_DFL:
                signal.signal(sig, _on_fatal_signal)
        except (ValueError, OSError):
            pass
    _handlers_installed = True


def private_live_view_dir(owner: object) -> tuple[str, Callable[[], object]]:
    """Makes a private live-view folder for `owner` (mode 0700, memory-backed
    where possible) and returns it with the function that removes it. It is
    removed at the latest when `owner` is collected or the program ends."""
    path = tempfile.mkdtemp(prefix="gpbridge-live-", dir=_private_base())
    _keep_folder(path)
    return path, weakref.finalize(owner, _forget_folder, path, os.getpid())


def absolute(cwd: str | None, path: str | os.PathLike[str]) -> str:
    """A path as the bridge sees it: relative ones are taken against its
    working directory."""
    return os.path.abspath(os.path.join(cwd or os.getcwd(), os.fspath(path)))


def check_folder(path: str, create: bool) -> None:
    """Makes sure the bridge can save photos in `path`."""
    if create:
        try:
            os.makedirs(path, exist_ok=True)
        except FileExistsError:
            raise FolderError(path, "it is not a folder") from None
        except OSError as exc:
            raise FolderError(path, exc.strerror or str(exc)) from None
    if not os.path.isdir(path):
        raise FolderError(path, "it is not a folder" if os.path.lexists(path) else "it does not exist")
    if not os.access(path, os.W_OK | os.X_OK):
        raise FolderError(path, "it is not writable")



def partials_grew(folder: str, seen: dict[str, tuple[int, int]], wanted: Callable[[str], bool]) -> bool:
    """Whether a partial file (a download under way) of a wanted name
    appeared or grew since `seen` was taken; `seen` is brought up to date.
    Only names and sizes are looked at."""
    grew = False
    present = set()
    try:
        with os.scandir(folder) as entries:
            for entry in entries:
                if not entry.name.endswith(PARTIAL) or not wanted(entry.name[:-len(PARTIAL)]):
                    continue
                present.add(entry.name)
                info = entry.stat(follow_symlinks=False)
                now = (info.st_size, info.st_mtime_ns)
                if seen.get(entry.name) != now:
                    seen[entry.name] = now
                    grew = True
    except OSError:
        return False
    for gone in seen.keys() - present:
        del seen[gone]
    return grew
