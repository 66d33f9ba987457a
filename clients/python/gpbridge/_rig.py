"""Many cameras as one: a bridge per camera, fired together, their photos
gathered into numbered shot sets.

One bridge process per camera, since a camera must be driven from one
thread and one process waiting on many cameras' events stalls. Each camera
has a worker thread of the rig's that makes its blocking calls; a capture
writes every bridge's `disparar` back to back from one thread (_fire), and
the workers then wait for each camera's files. A keeper thread finds
a camera that went away again by its serial number (_rigsearch).
"""

from __future__ import annotations

import os
import threading
import traceback
from collections import deque
from typing import Any, Callable, Iterator

from ._bridge import Bridge
from ._fire import send_captures, wait_capture
from ._rigfiles import ShotBook, ShotSet
from ._rigsearch import Search, SearchHost
from ._rigslot import Job, Slot, run_on
from ._rigtypes import RigCamera, RigError, RigEvent, SetResult
from ._types import Camera, Closed, Event, Photo
from ._errors import CameraClosed, CameraUnavailable, GpbridgeError

UNAVAILABLE = CameraUnavailable.code


class Rig:
    """Every camera attached, fired as one. Use Rig.open(); leaving a with
    block closes it.

        with Rig.open("scan", executable="gpbridge") as rig:
            shot = rig.capture()
            print(shot.number, shot.files, shot.missing)

    Events (CameraLost, CameraBack) go to `on_event` on the thread that saw
    them (it must return quickly and not call the rig), or wait for
    next_event() / events().
    """

    def __init__(self, folder: str, start_options: dict[str, Any], on_event: Callable[[RigEvent], None] | None,
                 max_events: int, recover: bool) -> None:
        self.folder = folder
        self._options = start_options
        self._on_event = on_event
        self._book = ShotBook(folder)
        self._slots: list[Slot] = []
        self._cond = threading.Condition()
        self._events: deque[RigEvent] = deque(maxlen=max(1, max_events))
        self._closing = False
        self._closed = False
        self._fire_lock = threading.Lock()
        self._live: tuple[Slot, Any] | None = None
        search = Search(SearchHost(
            cond=self._cond,
            slots=lambda: self._slots,
            closing=lambda: self._closing,
            recover=recover,
            lose=self._lose,
            emit=self._emit,
            bridge=self._bridge,
        ))
        self._keeper = threading.Thread(target=search.run, name="gpbridge-rig-keeper", daemon=True)

    @classmethod
    def open(cls, folder: str | os.PathLike[str], cameras: list[str] | None = None, *,
             on_event: Callable[[RigEvent], None] | None = None, max_events: int = 1000,
             open_timeout: float | None = 30.0, **start_options: Any) -> Rig:
        """Detects the cameras, starts and opens one bridge for each (all,
        or those whose id is in `cameras`), reads their serial numbers and
        turns alert mode on. `start_options` are Bridge.start's, applied to
        every bridge. `reconnect` (on by default) here means the rig finds
        a camera that went away again by its serial number; the bridges
        themselves run without their own reconnect, which goes by model."""
        if isinstance(cameras, str):
            raise TypeError("cameras is a list of ids, not one string")
        if "on_event" in start_options:
            raise TypeError("Rig.open(): a bridge's events are the rig's; on_event takes rig events")
        recover = bool(start_options.pop("reconnect", True))
        start_options["reconnect"] = False
        base = os.path.abspath(os.path.join(os.fspath(start_options.get("cwd") or os.getcwd()), os.fspath(folder)))
        os.makedirs(base, exist_ok=True)
        rig = cls(base, start_options, on_event, max_events, recover)
        try:
            rig._assemble(cameras, open_timeout)
        except BaseException:
            rig.close()
            raise
        rig._keeper.start()
        return rig

    def _bridge(self, slot_box: list[Slot]) -> Bridge:
        """A bridge whose unsolicited events come to the rig, for the slot
        that will hold it (known once the slot is made)."""
        return Bridge.start(**self._options, on_event=lambda event: self._bridge_event(slot_box, event))

    def _assemble(self, wanted: list[str] | None, timeout: float | None) -> None:
        first_box: list[Slot] = []
        first = self._bridge(first_box)
        try:
            detected = first.list_cameras()
        except BaseException:
            first.quit()
            raise
        if not detected:
            first.quit()
            if wanted:
                raise RigError("no camera detected; missing: " + ", ".join(wanted))
            return
        # Each bridge gets its slot as soon as it runs, so a failure to start
        # the next one still ends it in close().
        for i in range(len(detected)):
            box = first_box if i == 0 else []
            bridge = first if i == 0 else self._bridge(box)
            slot = Slot(i + 1, bridge, self._book.incoming(i + 1))
            box.append(slot)
            self._slots.append(slot)
        # Opened side by side: each is a process of its own.
        jobs = [run_on(slot, lambda s=slot, i=i, c=cam: self._open_slot(s, i, c, timeout))
                for i, (slot, cam) in enumerate(zip(self._slots, detected))]
        for job in jobs:
            job.wait()
        for slot, job in zip(self._slots, jobs):
            if job.error is not None:
                raise job.error
        self._name_slots()
        if wanted is not None:
            ids = {s.id for s in self._slots}
            absent = [w for w in wanted if w not in ids]
            if absent:
                raise RigError("cameras not found: " + ", ".join(absent))
            keep = set(wanted)
            for slot in [s for s in self._slots if s.id not in keep]:
                self._drop(slot)
        for slot in self._slots:
            run_on(slot, lambda b=slot.bridge: b.set_alert(True)).wait()

    def _open_slot(self, slot: Slot, index: int, camera: Camera, timeout: float | None) -> None:
        opened = slot.bridge.open(index, slot.folder, timeout=timeout)
        slot.model, slot.port = opened.model, camera.port
        slot.serial = slot.bridge.serial_number() or None

    def _name_slots(self) -> None:
        """Ids: the serial number, or the port where there is none or two
        cameras claim the same one."""
        serials = [s.serial for s in self._slots if s.serial]
        for slot in self._slots:
            shared = slot.serial is not None and serials.count(slot.serial) > 1
            slot.id = slot.serial if slot.serial and not shared else slot.port

    def _drop(self, slot: Slot) -> None:
        self._slots.remove(slot)
        self._stop_slot(slot)
        try:
            os.rmdir(slot.folder)  # left alone if a photo is in it
        except OSError:
            pass

    # -- the rig's calls --------------------------------------------------------

    @property
    def cameras(self) -> list[RigCamera]:
        with self._cond:
            return [s.camera() for s in self._slots]

    def capture(self, timeout: float | None = 60.0) -> ShotSet:
        """Fires every camera at once and returns the shot set once each
        camera's files of the shot have come, or failed, or `timeout`
        passed for it. A camera that is away is missing as
        CAMERA_UNAVAILABLE; its photo, if it comes later, goes to this set."""
        with self._fire_lock:
            with self._cond:
                fired = [s for s in self._slots if s.present and not s.lost]
                away = [s.id for s in self._slots if s not in fired]
            number = self._book.new_set([s.id for s in fired], away, UNAVAILABLE)
            # Written back to back from this thread; each camera's files are
            # then waited for on its own worker.
            pending = send_captures([slot.bridge for slot in fired], timeout)
            jobs = [(slot, run_on(slot, lambda p=p: wait_capture(p))) for slot, p in zip(fired, pending)]
            for slot, job in jobs:
                job.wait()
                self._settle(number, slot, job)
            self._book.save()
            return self._book.shot_set(number)

    def _settle(self, number: int, slot: Slot, job: Job) -> None:
        err = job.error
        if err is None:
            photo: Photo = job.result
            self._book.give(number, slot.id, [f.path for f in photo.files])
            return
        if isinstance(err, (CameraClosed, CameraUnavailable)) or not slot.bridge.running:
            self._lose(slot)
            self._book.fail(number, slot.id, UNAVAILABLE)
        elif isinstance(err, GpbridgeError):
            self._book.fail(number, slot.id, err.code)
        else:
            self._book.fail(number, slot.id, "CAPTURE_FAILED")

    def set(self, name: str, value: Any, timeout: float | None = 20.0) -> dict[str, SetResult]:
        """Sets one setting on every camera; reports each camera's outcome
        by id (a camera that is away: CAMERA_UNAVAILABLE)."""
        with self._cond:
            slots = list(self._slots)
        jobs = []
        for slot in slots:
            if slot.present and not slot.lost:
                jobs.append((slot, run_on(slot, lambda b=slot.bridge: b.set(name, value, timeout=timeout))))
            else:
                jobs.append((slot, None))
        out: dict[str, SetResult] = {}
        for slot, job in jobs:
            if job is None:
                out[slot.id] = SetResult(False, code=UNAVAILABLE, message="the camera is away")
                continue
            job.wait()
            if job.error is None:
                out[slot.id] = SetResult(True, job.result)
            elif isinstance(job.error, GpbridgeError):
                if isinstance(job.error, CameraClosed) or not slot.bridge.running:
                    self._lose(slot)
                out[slot.id] = SetResult(False, code=job.error.code, message=str(job.error))
            else:
                out[slot.id] = SetResult(False, code="BRIDGE_ERROR", message=str(job.error))
        return out

    def live_view(self, camera_id: str, frame_timeout: float | None = 10.0) -> Any:
        """Live view on one camera, for framing; the rig's earlier live view
        (on any camera) is turned off first. Returns that bridge's LiveView."""
        slot = self._slot(camera_id)
        if self._live is not None:
            self._live[1].close()
            self._live = None
        live = slot.bridge.live_view(frame_timeout)
        self._live = (slot, live)
        return live

    def _slot(self, camera_id: str) -> Slot:
        with self._cond:
            for slot in self._slots:
                if slot.id == camera_id:
                    return slot
        raise KeyError(f"no camera {camera_id!r} in the rig")

    def close(self) -> None:
        """Ends every bridge (closing its camera). Never raises for a bridge
        that is already gone."""
        with self._cond:
            if self._closed:
                return
            self._closed = self._closing = True
            slots = list(self._slots)
            self._cond.notify_all()
        if self._keeper.is_alive():
            self._keeper.join(30)
        jobs = [run_on(slot, lambda b=slot.bridge: b.quit()) for slot in slots]
        for job in jobs:
            job.wait()
        for slot in slots:
            slot.jobs.put(None)
            slot.worker.join(5)

    def _stop_slot(self, slot: Slot) -> None:
        run_on(slot, slot.bridge.quit).wait()
        slot.jobs.put(None)

    def __enter__(self) -> Rig:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- events ------------------------------------------------------------------

    def next_event(self, timeout: float | None = None) -> RigEvent | None:
        """The oldest rig event; None if none came within `timeout`."""
        with self._cond:
            self._cond.wait_for(lambda: self._events or self._closing, timeout)
            return self._events.popleft() if self._events else None

    def events(self, timeout: float | None = None) -> Iterator[RigEvent]:
        while (event := self.next_event(timeout)) is not None:
            yield event

    def _emit(self, event: RigEvent) -> None:
        if self._on_event is not None:
            try:
                self._on_event(event)
            except Exception:
                traceback.print_exc()
            return
        with self._cond:
            self._events.append(event)
            self._cond.notify_all()

    def _bridge_event(self, box: list[Slot], event: Event) -> None:
        """A bridge's unsolicited event, on its reader thread."""
        if not box:
            return
        slot = box[0]
        if isinstance(event, Photo):
            try:
                for f in event.files:
                    self._book.late(slot.id or slot.port, [f.path], f.name)
            except OSError:
                traceback.print_exc()  # the photo stays in the camera's folder
        elif isinstance(event, Closed):
            self._lose(slot)

    # -- cameras that go and come back -----------------------------------------

    def _lose(self, slot: Slot) -> None:
        with self._cond:
            if slot.lost or not slot.present or self._closing:
                return
            slot.lost = True
            self._cond.notify_all()

