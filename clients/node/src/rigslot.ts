// One camera of a rig and what is its own: its bridge, its download folder,
// the sets it still owes and the files that came while it was away.
import type { Bridge } from "./bridge.js";
import { Shots } from "./shots.js";
import type { PhotoFile } from "./wire.js";

/** One camera's place in the rig. */
export class Slot {
  /** Its serial number; null when it has none (it is then known by its port). */
  serial: string | null = null;
  id = "";
  model = "";
  port: string;
  /** Open, identified, and taking part in shots. */
  present = false;
  /** Sets it was fired for and has delivered nothing to yet, oldest first. */
  owed: number[] = [];
  /** Its files sorted into shots (a RAW after its JPEG joins the JPEG's set). */
  shots = new Shots();
  lastSet: number | null = null;
  /** Files that came while it was not present (opening, being looked for). */
  stray: PhotoFile[] = [];

  constructor(
    public bridge: Bridge,
    readonly incoming: string,
    port: string,
  ) {
    this.port = port;
  }

  forget(): void {
    this.owed = [];
    this.shots = new Shots();
    this.lastSet = null;
    this.stray = [];
  }
}

/** Set `n` is no longer owed by `slot` (its capture failed: no photo will come). */
export function dropOwed(slot: Slot, n: number): void {
  const i = slot.owed.indexOf(n);
  if (i >= 0) slot.owed.splice(i, 1);
}
