"""One camera of a rig and what is its own: its bridge, its download folder
and the worker thread that makes its blocking calls."""

from __future__ import annotations

import queue
import threading
import traceback
from typing import Any, Callable

from ._bridge import Bridge
from ._rigtypes import RigCamera


class Slot:
    """One camera of the rig and everything that is its own: its bridge,
    its download folder, and the worker thread that makes its calls."""

    def __init__(self, number: int, bridge: Bridge, folder: str) -> None:
        self.number = number
        self.bridge = bridge
        self.folder = folder
        self.id = ""
        self.model = ""
        self.port = ""
        self.serial: str | None = None
        self.present = True
        self.lost = False  # seen going by a reader thread; the keeper acts on it
        self.jobs: queue.SimpleQueue[Callable[[], None] | None] = queue.SimpleQueue()
        self.worker = threading.Thread(target=self._work, name=f"gpbridge-rig-{number}", daemon=True)
        self.worker.start()

    def _work(self) -> None:
        while (job := self.jobs.get()) is not None:
            try:
                job()
            except Exception:
                traceback.print_exc()

    def camera(self) -> RigCamera:
        return RigCamera(self.id, self.model, self.port)


class Job:
    """A call run on a slot's worker; `wait` gives its result or error."""

    def __init__(self, fn: Callable[[], Any]) -> None:
        self._fn = fn
        self._done = threading.Event()
        self.result: Any = None
        self.error: BaseException | None = None

    def __call__(self) -> None:
        try:
            self.result = self._fn()
        except BaseException as exc:  # noqa: BLE001  (handed to the waiter)
            self.error = exc
        finally:
            self._done.set()

    def wait(self) -> Job:
        self._done.wait()
        return self


def run_on(slot: Slot, fn: Callable[[], Any]) -> Job:
    """Queues `fn` on the slot's worker; the job's wait() gives its outcome."""
    job = Job(fn)
    slot.jobs.put(job)
    return job
