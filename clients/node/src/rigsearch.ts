// Finding a camera of a rig that dropped out, by its serial number: ports
// change when a cable is replugged, and a rig has many cameras of one model,
// so neither the port nor the model tells which camera came back.
import { Bridge } from "./bridge.js";
import type { Slot } from "./rigslot.js";
import type { StartOptions } from "./types.js";

/** What the search needs of its rig, and nothing else. */
export interface SearchHost {
  /** How each replacement bridge is started. */
  readonly start: StartOptions;
  /** How long to wait between two looks. */
  readonly searchMs: number;
  /** The rig's cameras, present or away. */
  slots(): readonly Slot[];
  closing(): boolean;
  /** Follows a slot's new bridge (its photos, its going away). */
  watch(slot: Slot): void;
  /** The slot's camera is open again: it takes part in shots from now on. */
  back(slot: Slot): Promise<void>;
}

/** Looks for every camera that is away until each is back or the rig closes. */
export class Search {
  /** Ports whose camera was opened while looking for another, with its serial; dropped when the port goes. */
  private readonly foreign = new Map<string, string | null>();
  private searching = false;
  private wake: (() => void) | null = null;

  constructor(private readonly rig: SearchHost) {}

  /** Cuts the wait between two looks short (the rig is closing). */
  stop(): void {
    this.wake?.();
  }

  async run(): Promise<void> {
    if (this.searching) return;
    this.searching = true;
    try {
      while (!this.rig.closing() && this.rig.slots().some((s) => !s.present)) {
        for (const s of this.rig.slots()) {
          if (s.present || this.rig.closing()) continue;
          await this.find(s).catch(() => {});
        }
        if (this.rig.closing() || this.rig.slots().every((s) => s.present)) break;
        await new Promise<void>((resolve) => {
          const t = setTimeout(resolve, this.rig.searchMs);
          this.wake = () => {
            clearTimeout(t);
            resolve();
          };
        });
        this.wake = null;
      }
    } finally {
      this.searching = false;
    }
  }

  /**
   * One look for `slot`'s camera: every detected camera not held by another
   * camera of the rig is opened in turn and its serial number read; the one
   * that matches is kept, any other closed before anything else is sent.
   */
  private async find(slot: Slot): Promise<void> {
    if (slot.bridge.exited) {
      const b = await Bridge.start(this.rig.start);
      if (this.rig.closing()) {
        await b.quit().catch(() => null);
        return;
      }
      slot.bridge = b;
      this.rig.watch(slot);
    }
    const b = slot.bridge;
    const list = await b.listCameras();
    const ports = new Set(list.map((c) => c.port));
    for (const port of this.foreign.keys()) if (!ports.has(port)) this.foreign.delete(port);
    const held = new Set(this.rig.slots().filter((s) => s.present).map((s) => s.port));
    for (let i = 0; i < list.length && !this.rig.closing(); i++) {
      const c = list[i];
      if (held.has(c.port) || c.model !== slot.model) continue;
      if (slot.serial === null ? c.port !== slot.port : this.foreign.has(c.port) && this.foreign.get(c.port) !== slot.serial) {
        continue;
      }
      slot.stray = [];
      try {
        await b.open(i, slot.incoming);
      } catch {
        continue;
      }
      const serial = slot.serial === null ? null : (await b.serialNumber().catch(() => null)) || null;
      if (slot.serial === serial && b.isOpen && !this.rig.closing()) {
        this.foreign.delete(c.port);
        slot.port = c.port;
        await this.rig.back(slot);
        return;
      }
      this.foreign.set(c.port, serial);
      await b.close().catch(() => null);
    }
  }
}
