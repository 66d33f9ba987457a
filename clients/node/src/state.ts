// What the parts of one Bridge share: the process running now, what the
// bridge and its camera are doing, and the session's fixed settings. Every
// part names this one object and keeps no copy of its fields.
import { performance } from "node:perf_hooks";

import type { Proc } from "./process.js";
import type { StartOptions } from "./types.js";

/** With `reconnect`: the camera to keep open. */
export interface Target {
  folder: string;
  /** The camera's port when it was last found (null when the detection did not show it). */
  port: string | null;
  model: string;
  /** Ports of the other cameras detected with it: never taken for it. */
  others: Set<string>;
}

export class State {
  /** The bridge process running now (with `reconnect`, the latest of a succession). */
  proc: Proc;
  /** The last event said a camera is open. */
  cameraOpen = false;
  /** `vista 1` was written and no `vista 0`, `vistaFin` or close came since. */
  liveViewOn = false;
  /** No process will be started again; once the current one is lost, every call fails. */
  noRestart = false;
  /** The current process is lost and none will follow: calls fail at once. */
  over = false;
  /** The `exit` event has been emitted. */
  finished = false;
  /** With `reconnect`: the camera to keep open, and whether it is away now. */
  target: Target | null = null;
  away = false;
  /** When the bridge last wrote a line (or was written to). */
  lastActivity = performance.now();
  readonly reconnect: boolean;
  /** The watchdog's limit; Infinity: off. */
  readonly watchdogMs: number;

  constructor(
    readonly options: StartOptions,
    proc: Proc,
    /** The bridge's working directory (absolute). */
    readonly cwd: string,
    /** The live-view directory given to the bridge (absolute). */
    readonly liveViewDir: string,
    /** Whether the client made the live-view directory (and removes it). */
    readonly ownDir: boolean,
    watchdogMs: number,
  ) {
    this.proc = proc;
    this.reconnect = options.reconnect === true;
    this.watchdogMs = watchdogMs === 0 ? Infinity : watchdogMs;
  }
}
