// What a rig's user hands it and gets back: its options, its cameras, the
// answers to a setting and the events it emits, in one place apart from
// the rig's workings.
import type { StartOptions } from "./types.js";
import type { Control } from "./wire.js";

export type { ShotSet } from "./rigfiles.js";

export interface RigOptions extends StartOptions {
  /** Where the shot sets go (created if missing); relative to `cwd`. */
  folder: string;
  /** Serial numbers of the cameras to take; default: every camera detected. */
  cameras?: string[];
  /**
   * Find a camera that dropped out again (default true): its bridge looks
   * for it by its serial number every `searchMs`, restarting the bridge if
   * it died. This is the rig's own: the bridges themselves never reconnect,
   * since a bridge finds its camera again by port and model, and a rig has
   * many cameras of one model.
   */
  reconnect?: boolean;
  /** How often a camera that dropped out is looked for; default 1000 ms. */
  searchMs?: number;
}

/** A camera of the rig: `id` is its serial number, else its port. */
export interface RigCamera {
  id: string;
  model: string;
  port: string;
}

export interface RigCaptureOptions {
  /** How long each camera has to deliver its files of the shot; default 60000 ms. */
  timeoutMs?: number;
  /**
   * After a camera's first file, how long to wait for more files of its
   * shot (as capture() of Bridge). By default a camera is waited for once
   * it has shown that it gives several files per shot, so a RAW that comes
   * after its set was complete still joins it, on disk and in shots.jsonl.
   */
  siblingWaitMs?: number;
}

/** What one camera said to a setting. */
export type SetResult = { ok: true; control: Control } | { ok: false; code: string; message: string };

export interface RigEvents {
  /** A camera dropped out (cable, power, its bridge died); the others go on. */
  cameraLost: [id: string];
  /** A camera that dropped out is open again, under the same id; it takes part from the next shot. */
  cameraBack: [id: string];
}
