"""Finding a camera of a rig that went away, by its serial number: ports
change when a cable is replugged, and a rig has many cameras of one model,
so neither the port nor the model tells which camera came back.

The search runs on the rig's keeper thread. It also notices a camera going
away (a reader thread only marks it lost) and says so, before looking for
it."""

from __future__ import annotations

import threading
from dataclasses import dataclass
from typing import Callable

from ._bridge import Bridge
from ._errors import GpbridgeError
from ._rigslot import Slot, run_on
from ._rigtypes import CameraBack, CameraLost, RigEvent
from ._types import Camera
from ._wire import BridgeError


@dataclass(frozen=True)
class SearchHost:
    """What the search needs of its rig, and nothing else."""

    cond: threading.Condition  # guards the slots' present and lost, and closing
    slots: Callable[[], list[Slot]]  # the rig's cameras, present or away
    closing: Callable[[], bool]
    recover: bool  # look for a camera that went away, or only report it
    lose: Callable[[Slot], None]
    emit: Callable[[RigEvent], None]
    bridge: Callable[[list[Slot]], Bridge]  # a new bridge for the slot in the box


class Search:
    """Reports each camera that went away and looks for it until it is back
    or the rig closes."""

    def __init__(self, rig: SearchHost) -> None:
        self.rig = rig

    def run(self) -> None:
        wait = 0.25
        while True:
            with self.rig.cond:
                away = any(not s.present for s in self.rig.slots())
                # A bridge that died says nothing without reconnect: looked
                # at every second.
                self.rig.cond.wait_for(lambda: self.rig.closing() or any(s.lost for s in self.rig.slots()),
                                    wait if away else 1.0)
                if self.rig.closing():
                    return
                slots = list(self.rig.slots())
            for slot in slots:
                if slot.present and not slot.bridge.running:
                    self.rig.lose(slot)
            with self.rig.cond:
                newly = [s for s in self.rig.slots() if s.lost]
                for slot in newly:
                    slot.lost, slot.present = False, False
                away_now = [s for s in self.rig.slots() if not s.present]
            for slot in newly:
                self.rig.emit(CameraLost(slot.id))
                wait = 0.25
            if not self.rig.recover:
                continue
            for slot in away_now:
                if self.rig.closing():
                    return
                try:
                    found = self._find(slot)
                except GpbridgeError:
                    found = False
                if found:
                    with self.rig.cond:
                        slot.present = True
                    self.rig.emit(CameraBack(slot.id))
            if away_now:
                wait = min(wait * 2, 2.0)

    def _find(self, slot: Slot) -> bool:
        """One look for a camera that went away: on a port no present camera
        of the rig holds, with the same serial number (or, for a camera
        without one, on its own port). Any other camera opened on the way is
        closed before anything else is sent to it."""
        if not slot.bridge.running:
            old = slot.bridge
            try:
                old.quit()
            except GpbridgeError:
                pass
            box = [slot]
            slot.bridge = self.rig.bridge(box)
        with self.rig.cond:
            held = {s.port for s in self.rig.slots() if s.present and s is not slot}
        cameras = run_on(slot, lambda: slot.bridge.list_cameras()).wait()
        if cameras.error is not None:
            raise cameras.error
        listed: list[Camera] = cameras.result
        order = sorted((i for i, c in enumerate(listed) if c.port not in held and c.model == slot.model),
                       key=lambda i: listed[i].port != slot.port)
        for index in order:
            if self.rig.closing():
                return False
            if slot.serial is None and listed[index].port != slot.port:
                continue
            job = run_on(slot, lambda i=index: self._try(slot, i, listed[i])).wait()
            if job.error is None and job.result:
                return True
        return False

    def _try(self, slot: Slot, index: int, camera: Camera) -> bool:
        bridge = slot.bridge
        try:
            bridge.open(index, slot.folder)
        except BridgeError:
            return False
        if slot.serial is not None and bridge.serial_number() != slot.serial:
            bridge.close()
            return False
        slot.port = camera.port
        bridge.set_alert(True)
        return True
