// Keeping the session: the watchdog that takes a silent bridge for hung,
// what happens when a process is lost (restart it, with `reconnect`, or
// settle every call), and the reconnection that waits for the same camera
// and opens it again.
import { performance } from "node:perf_hooks";

import type { CallQueue } from "./calls.js";
import { listCall, openCall } from "./commands.js";
import type { Viewers } from "./liveview.js";
import { removeOwnDir } from "./owndirs.js";
import { attach, exitError, spawnBridge, type Proc, type ProcSink } from "./process.js";
import type { State } from "./state.js";
import type { DisconnectCause, Opened } from "./types.js";

const BUSY_WATCHDOG_FACTOR = 4;
const RECONNECT_FIRST_MS = 250;
const RECONNECT_MAX_MS = 2000;
/** A bridge that dies sooner than this after its start is restarted only after a pause. */
const QUICK_DEATH_MS = 2000;

/** What the keeper tells the host, through the Bridge's events. */
export interface KeeperEvents {
  disconnected(cause: DisconnectCause): void;
  reconnected(opened: Opened): void;
  exit(code: number | null, signal: NodeJS.Signals | null): void;
  /** A line cut off by the end of the process. */
  badLine(line: string): void;
}

export class Keeper {
  private looping = false;
  private quickDeaths = 0;
  private wake: (() => void) | null = null;
  private watchTimer: NodeJS.Timeout | null = null;

  constructor(
    private readonly state: State,
    private readonly calls: CallQueue,
    private readonly viewers: Viewers,
    private readonly events: KeeperEvents,
    /** Reads a new process's output (the same sink as the first one's). */
    private readonly sink: ProcSink,
  ) {}

  // -------------------------------------------------------------------------
  // The watchdog

  watch(): void {
    const s = this.state;
    if (s.watchdogMs === Infinity || s.finished) return;
    const every = Math.max(10, Math.min(1000, s.watchdogMs / 4));
    this.watchTimer = setTimeout(() => this.check(), every);
    this.watchTimer.unref();
  }

  private check(): void {
    this.watchTimer = null;
    const s = this.state;
    const p = s.proc;
    const inFlight = this.calls.inFlight;
    if (!p.lost && (s.cameraOpen || inFlight !== "none")) {
      const limit = inFlight === "busy" ? s.watchdogMs * BUSY_WATCHDOG_FACTOR : s.watchdogMs;
      const silent = performance.now() - s.lastActivity;
      if (silent > limit) {
        // Hung: a driver stuck in I/O holds the bridge. Kill it (and
        // anything it started); with `reconnect`, a new one takes over.
        p.hungMs = Math.round(silent);
        this.lose(p);
        p.killGroup("SIGKILL");
      }
    }
    this.watch();
  }

  // -------------------------------------------------------------------------
  // The end of a process

  /** Nothing more will come from `proc`: settle what waited on it. */
  lose(proc: Proc): void {
    if (proc.lost) return;
    if (!proc.outputEndedFirst && proc.hungMs === 0) {
      const rest = proc.splitter.end();
      // A line cut off by the end of the process is not an event.
      if (rest !== null) this.events.badLine(rest);
    }
    proc.lost = true;
    const s = this.state;
    if (proc !== s.proc) return;
    const hadCamera = s.cameraOpen || s.away;
    s.cameraOpen = false;
    s.liveViewOn = false;
    const restart = s.reconnect && !s.noRestart;
    this.calls.loseActive();
    if (!restart) {
      this.settleIfOver();
      return;
    }
    this.viewers.clearEndTimer();
    if (hadCamera && s.target !== null && !s.away) this.loseCamera("bridge");
    else this.kick();
    this.calls.pump();
  }

  /** `proc` has exited and its output has been handled. */
  gone(proc: Proc): void {
    if (proc.gone) return;
    if (proc.graceTimer !== null) clearTimeout(proc.graceTimer);
    this.lose(proc);
    proc.gone = true;
    proc.markGone();
    if (proc === this.state.proc && this.state.over) this.finish();
  }

  /** When no process will run again: every call fails, and the end is announced once the last process is gone. */
  settleIfOver(): void {
    const s = this.state;
    if (s.over || !s.proc.lost || (s.reconnect && !s.noRestart)) return;
    s.over = true;
    this.viewers.clearEndTimer();
    this.calls.endAll();
    // An iteration is a pending call too: it fails, rather than ending as if
    // live view had simply stopped.
    this.viewers.endAll(exitError(s.proc, "liveView"));
    if (s.proc.gone) this.finish();
  }

  private finish(): void {
    const s = this.state;
    if (s.finished) return;
    s.finished = true;
    if (this.watchTimer !== null) clearTimeout(this.watchTimer);
    this.watchTimer = null;
    if (s.ownDir) removeOwnDir(s.liveViewDir);
    const { code, signal } = s.proc.exitStatus ?? { code: null, signal: null };
    this.events.exit(code, signal);
  }

  // -------------------------------------------------------------------------
  // Reconnection

  /** The open camera is lost, and `reconnect` is on: wait for it. */
  loseCamera(cause: DisconnectCause): void {
    this.state.away = true;
    this.events.disconnected(cause);
    this.kick();
    this.calls.pump();
  }

  /**
   * Stops waiting for a lost camera (close, open, quit, kill): the calls that
   * wait for it fail with CAMERA_UNAVAILABLE, and live view ends.
   */
  stopReconnecting(by: string): void {
    const s = this.state;
    s.target = null;
    this.wake?.();
    if (!s.away) return;
    s.away = false;
    this.calls.failWaitingForCamera(by);
    this.viewers.endAll(null);
    this.calls.pump();
  }

  private kick(): void {
    if (this.looping) this.wake?.();
    else void this.reconnectLoop();
  }

  private pause(ms: number): Promise<void> {
    return new Promise((resolve) => {
      const timer = setTimeout(done, ms);
      function done(): void {
        clearTimeout(timer);
        resolve();
      }
      this.wake = done;
    });
  }

  /** Restarts the bridge while it is lost, and reopens the camera while it is away, with backoff. */
  private async reconnectLoop(): Promise<void> {
    const s = this.state;
    this.looping = true;
    let delay = RECONNECT_FIRST_MS;
    const backoff = async (): Promise<void> => {
      await this.pause(delay);
      delay = Math.min(delay * 2, RECONNECT_MAX_MS);
    };
    try {
      for (;;) {
        if (s.noRestart || s.over) return;
        const p = s.proc;
        if (p.lost) {
          if (!p.gone) {
            await p.whenGone;
            continue;
          }
          const next = await this.restart(p);
          if (next === "stop") return;
          if (next === "failed") await backoff();
          continue;
        }
        if (!s.away) return;
        if (await this.reopen()) return;
        await backoff();
      }
    } finally {
      this.looping = false;
      this.wake = null;
      this.settleIfOver();
    }
  }

  /** One attempt at starting a bridge in place of `p`, which is gone. */
  private async restart(p: Proc): Promise<"started" | "failed" | "stop"> {
    const s = this.state;
    // A bridge that keeps dying as it starts is not restarted in a tight loop.
    if (performance.now() - p.startedAt < QUICK_DEATH_MS) {
      this.quickDeaths++;
      await this.pause(Math.min(RECONNECT_FIRST_MS * 2 ** (this.quickDeaths - 1), RECONNECT_MAX_MS));
      if (s.noRestart || s.over) return "stop";
    } else {
      this.quickDeaths = 0;
    }
    let fresh: Proc;
    try {
      fresh = await spawnBridge(s.options, s.cwd, s.liveViewDir);
    } catch {
      return "failed";
    }
    if (s.noRestart || s.over) {
      // Not wanted any more: its input ends, so it ends.
      fresh.child.stdin?.end();
      fresh.child.stdout?.resume();
      return "stop";
    }
    s.proc = fresh;
    s.cameraOpen = false;
    s.liveViewOn = false;
    s.lastActivity = performance.now();
    attach(fresh, this.sink);
    this.calls.pump();
    return "started";
  }

  /** One attempt at opening the lost camera again; true when there is nothing more to do. */
  private async reopen(): Promise<boolean> {
    const s = this.state;
    const target = s.target;
    if (target === null) return true;
    const cams = await this.calls.enqueue(listCall(true)).catch(() => null);
    if (s.target !== target) return true;
    if (cams === null) return false;
    // The same port and model; where the port changed (USB re-enumerates a camera plugged
    // in again), the same model if exactly one camera is of it, leaving out
    // the cameras that were there beside it.
    let index = target.port === null ? -1 : cams.findIndex((c) => c.port === target.port && c.model === target.model);
    if (index < 0) {
      const same = cams.flatMap((c, i) => (c.model === target.model && !target.others.has(c.port) ? [i] : []));
      if (same.length !== 1) return false;
      index = same[0];
    }
    const opened = await this.calls.enqueue(openCall(index, target.folder, true, Infinity)).catch(() => null);
    if (s.target !== target) return true;
    // Gone again in the same breath (its `cerrada` came with the answer): try again.
    if (opened === null || !s.cameraOpen) return false;
    target.port = cams[index].port;
    for (const c of cams) if (c.port !== target.port) target.others.add(c.port);
    s.away = false;
    this.viewers.resume();
    this.events.reconnected(opened);
    this.calls.pump();
    return true;
  }
}

