// Many cameras as one: one bridge per camera (each camera is driven by one
// single-threaded process), fired together, their photos gathered into
// numbered shot sets on disk. A camera is known by its serial number, the
// one name that survives a replugged cable; the port only stands in for a
// camera that has none.
import { EventEmitter } from "node:events";
import { mkdirSync, rmdirSync } from "node:fs";
import path from "node:path";

import { Bridge } from "./bridge.js";
import { MAX_TIMER_MS, validLimit } from "./calls.js";
import { BridgeError } from "./errors.js";
import { folderPath } from "./folders.js";
import type { LiveView } from "./liveview.js";
import { RigFolder, type SetRecord, type ShotSet } from "./rigfiles.js";
import { Search } from "./rigsearch.js";
import { dropOwed, Slot } from "./rigslot.js";
import type { RigCamera, RigCaptureOptions, RigEvents, RigOptions, SetResult } from "./rigtypes.js";
import type { StartOptions } from "./types.js";
import type { Camera, ControlValue, PhotoFile } from "./wire.js";

const DEFAULT_TIMEOUT_MS = 60000;
const DEFAULT_SEARCH_MS = 1000;
const INCOMING = ".incoming";

/** The code a camera that gave nothing gets in a set, by the capture's error. */
function missingCode(err: unknown): string {
  const code = err instanceof BridgeError ? err.code : "CAPTURE_FAILED";
  switch (code) {
    case "ERR_BRIDGE_CLOSED":
    case "ERR_BRIDGE_EXITED":
    case "ERR_BRIDGE_NO_CAMERA":
    case "CAMERA_UNAVAILABLE":
      return "CAMERA_UNAVAILABLE";
    default:
      return code;
  }
}

/** A set being shot: what each fired camera has done so far. */
interface Pending {
  record: SetRecord;
  /** Camera id -> [its capture call answered, a file of the set came]. */
  waiting: Map<string, { answered: boolean; arrived: boolean }>;
  done: () => void;
}

/**
 * Cameras fired as one. Open with Rig.open(); capture() fires every camera
 * at once and resolves to the set of their photos, laid out in the folder.
 */
export class Rig extends EventEmitter<RigEvents> {
  private slots: Slot[] = [];
  private readonly sets = new Map<number, SetRecord>();
  private readonly pending = new Map<number, Pending>();
  private closing = false;
  private readonly search: Search;

  private constructor(
    private readonly files: RigFolder,
    private readonly start: StartOptions,
    private readonly reconnect: boolean,
    searchMs: number,
  ) {
    super();
    this.search = new Search({
      start,
      searchMs,
      slots: () => this.slots,
      closing: () => this.closing,
      watch: (slot) => this.watch(slot),
      back: (slot) => this.join(slot, true),
    });
  }

  /**
   * Detects the cameras once, starts one bridge per camera (each one listed
   * in `cameras`, or all), opens each into a download folder of its own
   * under FOLDER/.incoming, reads its serial number, and turns alert mode
   * on, so that each fires the moment its `disparar` arrives.
   */
  static async open(options: RigOptions): Promise<Rig> {
    const { folder, cameras, reconnect, searchMs, ...start } = options;
    const every = searchMs ?? DEFAULT_SEARCH_MS;
    // Each look runs a detection: never back to back.
    if (!validLimit(every) || every === 0 || every > MAX_TIMER_MS) {
      throw new RangeError(`searchMs must be a number of ms > 0, got ${String(every)}`);
    }
    const dir = folderPath(path.resolve(start.cwd ?? process.cwd()), folder);
    if (dir instanceof Error) throw dir;
    const rig = new Rig(new RigFolder(dir), { ...start, reconnect: false }, reconnect !== false, every);
    try {
      await rig.begin(cameras);
    } catch (err) {
      await rig.close();
      throw err;
    }
    return rig;
  }

  private async begin(wanted: string[] | undefined): Promise<void> {
    const first = await Bridge.start(this.start);
    const found = await first.listCameras().catch(async (err) => {
      await first.quit().catch(() => null);
      throw err;
    });
    // Every bridge started is a slot from here on, so close() ends it whatever fails.
    const started = await Promise.allSettled(found.slice(1).map(() => Bridge.start(this.start)));
    const bridges = [first, ...started.flatMap((r) => (r.status === "fulfilled" ? [r.value] : []))];
    this.slots = bridges.map((b, i) => this.watch(new Slot(b, this.files.absolute(`${INCOMING}/${i}`), found[i]?.port ?? "")));
    const failed = started.find((r): r is PromiseRejectedResult => r.status === "rejected");
    if (failed) throw failed.reason;
    if (found.length === 0) throw new BridgeError("CAMERA_UNAVAILABLE", "Rig.open: no camera detected");
    await Promise.all(this.slots.map((s, i) => this.openSlot(s, found[i])));
    this.nameSlots();
    if (wanted !== undefined) {
      const want = new Set(wanted);
      const absent = [...want].filter((serial) => !this.slots.some((s) => s.serial === serial));
      if (absent.length > 0) {
        const seen = this.slots.map((s) => s.serial ?? `(none, ${s.port})`).join(", ");
        throw new BridgeError("CAMERA_UNAVAILABLE", `Rig.open: no camera with serial number ${absent.join(", ")} (found: ${seen})`);
      }
      const others = this.slots.filter((s) => s.serial === null || !want.has(s.serial));
      this.slots = this.slots.filter((s) => !others.includes(s));
      await Promise.all(others.map((s) => this.endSlot(s)));
    }
    for (const s of this.slots) await this.join(s, false);
  }

  /** Opens camera `cam` (found by its port in the bridge's own detection) and reads its serial number. */
  private async openSlot(slot: Slot, cam: Camera): Promise<void> {
    const list = await slot.bridge.listCameras();
    const index = list.findIndex((c) => c.port === cam.port);
    if (index < 0) throw new BridgeError("CAMERA_UNAVAILABLE", `Rig.open: the camera on ${cam.port} went away`);
    mkdirSync(slot.incoming, { recursive: true });
    const opened = await slot.bridge.open(index, slot.incoming);
    slot.model = opened.model;
    slot.port = cam.port;
    slot.serial = (await slot.bridge.serialNumber()) || null;
  }

  /** Ids: the serial number; the port for a camera without one (or sharing one with another). */
  private nameSlots(): void {
    const count = new Map<string, number>();
    for (const s of this.slots) if (s.serial !== null) count.set(s.serial, (count.get(s.serial) ?? 0) + 1);
    for (const s of this.slots) {
      if (s.serial !== null && count.get(s.serial) !== 1) s.serial = null;
      s.id = s.serial ?? s.port;
    }
  }

  /** The slot takes part in shots: alert on, and any file that came meanwhile sorted in. */
  private async join(slot: Slot, back: boolean): Promise<void> {
    await slot.bridge.setAlert(true).catch(() => {});
    slot.present = true;
    const stray = slot.stray;
    slot.stray = [];
    for (const f of stray) this.photo(slot, f);
    if (back) this.emit("cameraBack", slot.id);
  }

  private async endSlot(slot: Slot): Promise<void> {
    await slot.bridge.quit().catch(() => null);
    removeIfEmpty(slot.incoming);
  }

  /** Follows the slot's bridge: its photos, and the camera or the process going away. */
  private watch(slot: Slot): Slot {
    const b = slot.bridge;
    b.on("photo", (f) => {
      if (slot.bridge !== b) return;
      if (slot.present) this.photo(slot, f);
      else slot.stray.push(f);
    });
    b.on("closed", (reason) => {
      if (slot.bridge === b && reason === "disconnected") this.lose(slot);
    });
    b.on("exit", () => {
      if (slot.bridge === b) this.lose(slot);
    });
    return slot;
  }

  private lose(slot: Slot): void {
    if (!slot.present || this.closing) return;
    slot.present = false;
    slot.forget();
    for (const n of [...this.pending.keys()]) this.gaveUp(n, slot.id, "CAMERA_UNAVAILABLE");
    this.emit("cameraLost", slot.id);
    if (this.reconnect) void this.search.run();
  }

  // -------------------------------------------------------------------------
  // Shots

  /** The cameras, in the order they were detected. */
  get cameras(): RigCamera[] {
    return this.slots.map((s) => ({ id: s.id, model: s.model, port: s.port }));
  }

  /**
   * Fires every camera: each bridge's `disparar` is written back to back,
   * nothing awaited in between. Resolves once every camera has delivered
   * its files of the shot or its time limit has passed; a camera that gave
   * nothing is in `missing` with the reason (`CAMERA_UNAVAILABLE` for one
   * that is away). Its photo, if it comes later, still joins this set.
   */
  capture(options: RigCaptureOptions = {}): Promise<ShotSet> {
    const timeoutMs = options.timeoutMs ?? DEFAULT_TIMEOUT_MS;
    if (!validLimit(timeoutMs)) {
      return Promise.reject(new RangeError(`capture: timeoutMs must be a number >= 0, got ${String(timeoutMs)}`));
    }
    if (this.closing) return Promise.reject(new BridgeError("ERR_BRIDGE_EXITED", "capture: the rig is closed"));
    const n = this.files.nextNumber();
    const record: SetRecord = { files: new Map(), missing: new Map() };
    this.sets.set(n, record);
    const fired = this.slots.filter((s) => s.present);
    const calls = fired.map((s) => {
      s.owed.push(n);
      return s.bridge.capture({ timeoutMs, siblingWaitMs: options.siblingWaitMs });
    });
    for (const s of this.slots) if (!s.present) record.missing.set(s.id, "CAMERA_UNAVAILABLE");
    return new Promise<ShotSet>((resolve) => {
      let timer: NodeJS.Timeout | null = null;
      const p: Pending = {
        record,
        waiting: new Map(fired.map((s) => [s.id, { answered: false, arrived: false }])),
        done: () => {
          if (timer !== null) clearTimeout(timer);
          this.pending.delete(n);
          this.write(n);
          resolve(this.shotSet(n));
        },
      };
      this.pending.set(n, p);
      fired.forEach((s, i) => {
        calls[i].then(
          () => this.mark(n, s.id, "answered"),
          (err: unknown) => {
            const code = missingCode(err);
            // A photo past its time limit may still come; any other failure means none will.
            if (code !== "ERR_BRIDGE_TIMEOUT") dropOwed(s, n);
            this.gaveUp(n, s.id, code);
          },
        );
      });
      if (timeoutMs <= MAX_TIMER_MS) {
        timer = setTimeout(() => {
          for (const id of [...p.waiting.keys()]) this.gaveUp(n, id, "ERR_BRIDGE_TIMEOUT");
        }, timeoutMs);
      }
      if (p.waiting.size === 0) p.done();
    });
  }

  // A fired camera is done with set `n` once it has both delivered a file of
  // it and had its capture answered (the answer comes once the rest of the
  // shot, a RAW beside the JPEG, has had its moment to arrive). A capture
  // that took a late photo of an earlier set for its own is answered first:
  // the set then waits for its own photo.

  private mark(n: number, id: string, what: "answered" | "arrived"): void {
    const p = this.pending.get(n);
    const w = p?.waiting.get(id);
    if (!w) return;
    w[what] = true;
    if (w.answered && w.arrived) this.finishPart(p!, id);
  }

  /** Camera `id` gives nothing more for set `n` (unless it already gave files), for reason `code`. */
  private gaveUp(n: number, id: string, code: string): void {
    const p = this.pending.get(n);
    if (!p?.waiting.has(id)) return;
    if (!p.record.files.has(id)) p.record.missing.set(id, code);
    this.finishPart(p, id);
  }

  private finishPart(p: Pending, id: string): void {
    p.waiting.delete(id);
    if (p.waiting.size === 0) p.done();
  }

  /** A file from `slot`'s camera: into the set it belongs to. */
  private photo(slot: Slot, file: PhotoFile): void {
    slot.shots.add(file);
    let n: number;
    if (slot.shots.lastWasSibling && slot.lastSet !== null) {
      n = slot.lastSet;
    } else if (slot.owed.length > 0) {
      n = slot.owed.shift()!;
    } else {
      // Fired on the camera body: a set of its own.
      n = this.files.nextNumber();
      this.sets.set(n, { files: new Map(), missing: new Map() });
    }
    slot.lastSet = n;
    const record = this.sets.get(n)!;
    let rel: string;
    try {
      rel = this.files.place(n, slot.id, file.path);
    } catch {
      // It stays where the bridge put it, and the set says so.
      rel = path.relative(this.files.folder, file.path);
    }
    const list = record.files.get(slot.id);
    if (list) list.push(rel);
    else record.files.set(slot.id, [rel]);
    record.missing.delete(slot.id);
    // A set still being shot is written when it is complete; any other now.
    if (this.pending.has(n)) this.mark(n, slot.id, "arrived");
    else this.write(n);
  }

  /** Writes set `n`'s line of the manifest (the whole manifest, again). */
  private write(n: number): void {
    const record = this.sets.get(n)!;
    const order = this.slots.map((s) => s.id);
    const sorted = <T>(m: Map<string, T>): Map<string, T> =>
      new Map([...m].sort(([a], [b]) => rank(order, a) - rank(order, b)));
    try {
      this.files.record(n, { files: sorted(record.files), missing: sorted(record.missing) });
    } catch {
      // A full disk: the next write holds every set, this one included.
    }
  }

  private shotSet(n: number): ShotSet {
    const r = this.sets.get(n)!;
    const order = this.slots.map((s) => s.id);
    const files: Record<string, string[]> = {};
    const missing: Record<string, string> = {};
    for (const [id, list] of [...r.files].sort(([a], [b]) => rank(order, a) - rank(order, b))) {
      files[id] = list.map((rel) => this.files.absolute(rel));
    }
    for (const [id, code] of [...r.missing].sort(([a], [b]) => rank(order, a) - rank(order, b))) missing[id] = code;
    return { number: n, files, missing };
  }

  // -------------------------------------------------------------------------
  // Settings and framing

  /** Sets `name` on every camera; each camera's answer, by id (CAMERA_UNAVAILABLE for one away). */
  async set(name: string, value: ControlValue): Promise<Record<string, SetResult>> {
    const results = await Promise.all(
      this.slots.map(async (s): Promise<SetResult> => {
        if (!s.present) return { ok: false, code: "CAMERA_UNAVAILABLE", message: `set: camera ${s.id} is away` };
        try {
          return { ok: true, control: await s.bridge.set(name, value) };
        } catch (err) {
          const code = err instanceof BridgeError ? err.code : err instanceof Error ? err.name : "ERROR";
          return { ok: false, code, message: err instanceof Error ? err.message : String(err) };
        }
      }),
    );
    return Object.fromEntries(this.slots.map((s, i) => [s.id, results[i]]));
  }

  /** Live view on camera `id`, for framing; live view goes off on the others. */
  liveView(id: string): LiveView {
    const slot = this.slots.find((s) => s.id === id);
    if (!slot) throw new RangeError(`liveView: no camera ${id} in the rig`);
    for (const s of this.slots) if (s !== slot && s.present) void s.bridge.stopLiveView().catch(() => {});
    return slot.bridge.liveView();
  }

  /** Quits every bridge; never throws for one that is already gone. */
  async close(): Promise<void> {
    this.closing = true;
    this.search.stop();
    await Promise.all(this.slots.map((s) => this.endSlot(s)));
    removeIfEmpty(this.files.absolute(INCOMING));
  }

}

function rank(order: string[], id: string): number {
  const i = order.indexOf(id);
  return i < 0 ? order.length : i;
}

/** Removes `dir` if it is an empty folder; anything in it stays, and so does it. */
function removeIfEmpty(dir: string): void {
  try {
    rmdirSync(dir);
  } catch {
    // not empty, or not there
  }
}
