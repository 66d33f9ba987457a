"""The bridge as a child process: starting it in a session of its own,
writing command lines to it, reading its output on a thread of its own,
killing it, and noticing its end."""

from __future__ import annotations

import os
import subprocess
import threading
import time
from typing import IO, Any, Callable

from ._state import State
from ._errors import BridgeExited, ProtocolError
from ._wire import LineSplitter


class Process:
    """The current bridge process (the keeper may start another one after
    it). `on_line` gets every line read (or a ProtocolError for one that
    could not be framed) on the reader thread; `after_read` runs after
    each read's lines; `on_tail` gets the ProtocolError of an unfinished
    last line; `on_end(proc, status)` runs once its output has ended."""

    def __init__(self, state: State, argv: list[str], env: dict[str, str] | None, cwd: str | None,
                 on_line: Callable[[bytes | ProtocolError], None], after_read: Callable[[], None],
                 on_tail: Callable[[ProtocolError], None],
                 on_end: Callable[[subprocess.Popen[bytes], int | None], None]) -> None:
        self._state = state
        self._argv = argv
        self._env = env
        self._cwd = cwd
        self._on_line = on_line
        self._after_read = after_read
        self._on_tail = on_tail
        self._on_end = on_end
        self.write_lock = threading.Lock()
        self.proc: subprocess.Popen[bytes] = None  # type: ignore[assignment]  # set by spawn()
        self.reader: threading.Thread = None  # type: ignore[assignment]

    @property
    def pid(self) -> int:
        return self.proc.pid

    @property
    def returncode(self) -> int | None:
        return self.proc.returncode

    def spawn(self) -> None:
        """Starts a bridge process and its reader. Called with no lock held
        and, after the first, only by the keeper."""
        proc = subprocess.Popen(self._argv, bufsize=0, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                env=self._env, cwd=self._cwd,
                                # Its own session: a terminal's Ctrl-C reaches
                                # the host, which closes the camera in order.
                                start_new_session=True)
        reader = threading.Thread(target=self._read, args=(proc,), name=f"gpbridge-{proc.pid}", daemon=True)
        st = self._state
        with st.cond:
            if st.quitting:
                # quit() came while this one started: it never gets a turn.
                proc.stdin.close()
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
                proc.stdout.close()
                return
            self.proc, self.reader = proc, reader
            st.exited = st.hung = False
            st.last_output = time.monotonic()
        reader.start()

    def is_current(self, proc: subprocess.Popen[bytes]) -> bool:
        return proc is self.proc

    def check_running(self) -> None:
        """Raises BridgeExited once the process has ended. Lock held."""
        if self._state.exited:
            raise BridgeExited(self.proc.returncode, self._state.hung)

    def write(self, data: bytes) -> None:
        with self.write_lock:
            with self._state.cond:
                self.check_running()
                stdin = self.proc.stdin
            self.write_to(stdin, data)

    def write_to(self, stdin: IO[bytes] | Any, data: bytes) -> None:
        """Writes all of `data`; the caller holds `write_lock`."""
        view = memoryview(data)
        try:
            while view:
                view = view[stdin.write(view):]
        except (OSError, ValueError):
            raise BridgeExited(self.proc.returncode, self._state.hung) from None

    def close_stdin(self) -> None:
        with self.write_lock:
            try:
                self.proc.stdin.close()
            except OSError:
                pass

    def kill(self, proc: subprocess.Popen[bytes]) -> None:
        try:
            proc.kill()
        except OSError:
            pass

    def bury(self, old: subprocess.Popen[bytes]) -> None:
        """Makes sure a process whose output ended is gone and its input
        closed, before another one is started."""
        if old.poll() is None:  # output closed but still running
            old.kill()
            old.wait()
        with self.write_lock:
            try:
                old.stdin.close()
            except OSError:
                pass

    def _read(self, proc: subprocess.Popen[bytes]) -> None:
        splitter = LineSplitter()
        fd = proc.stdout.fileno()
        try:
            # Small reads: a reader that fell behind catches up in several
            # turns instead of holding hundreds of lines at once.
            while chunk := os.read(fd, 8192):
                self._state.last_output = time.monotonic()
                for line in splitter.feed(chunk):
                    self._on_line(line)
                self._after_read()
            tail = splitter.end()
            if tail is not None:
                self._on_tail(tail)  # reported, but the calls fail as BridgeExited
        except OSError:
            pass
        finally:
            self._ended(proc)

    def _ended(self, proc: subprocess.Popen[bytes]) -> None:
        try:
            proc.wait(2)
        except subprocess.TimeoutExpired:
            pass  # output closed but not exited yet: say so without a status
        self._on_end(proc, proc.returncode)
        try:
            proc.stdout.close()
        except OSError:
            pass
