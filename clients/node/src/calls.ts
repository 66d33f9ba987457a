// The calls: one command waiting for its turn or in flight, the queue that
// sends them one at a time, and the dispatch of each event to the call in
// flight. With `reconnect`, a call that needs the bridge or the camera while
// either is away waits in the queue, up to its own time limit.
import { performance } from "node:perf_hooks";

import { BridgeError } from "./errors.js";
import { exitError, writeLine } from "./process.js";
import type { State } from "./state.js";
import { toCloseReason, type WireCloseReason, type WireEvent } from "./wire.js";

/** The default time limit of a call that waits for what it needs. */
export const DEFAULT_WAIT_MS = 30000;
/** The longest a timer can wait (about 24.8 days); anything longer is no limit. */
export const MAX_TIMER_MS = 2 ** 31 - 1;

export function validLimit(ms: unknown): ms is number {
  return typeof ms === "number" && !Number.isNaN(ms) && ms >= 0;
}

export function closedError(what: string, motivo: WireCloseReason): BridgeError {
  const reason = toCloseReason(motivo);
  return new BridgeError("ERR_BRIDGE_CLOSED", `${what}: the camera closed (${reason})`, null, reason);
}

export function noCamera(what: string): BridgeError {
  return new BridgeError("ERR_BRIDGE_NO_CAMERA", `${what}: no camera is open`);
}

export type Needs = "none" | "bridge" | "camera";

/** A command waiting for its turn, or the one in flight. */
export class Call<T> {
  readonly promise: Promise<T>;
  settled = false;
  /** What the call needs before it can be sent (with `reconnect`, it waits for it). */
  needs: Needs = "bridge";
  /** Sent by the client's own reconnection, ahead of every call of the host's. */
  internal = false;
  /** With `reconnect`: the longest wait for what the call needs. */
  holdMs = Infinity;
  holdTimer: NodeJS.Timeout | null = null;
  /** A capture waiting for its photo: the bridge may be silent for a long download. */
  busy = false;
  private resolveFn!: (v: T) => void;
  private rejectFn!: (e: Error) => void;
  private timer: NodeJS.Timeout | null = null;
  /** Run when the call's turn comes, before its line is written: an error fails it, {value} settles it unsent. */
  prepare: () => BridgeError | { value: T } | null = () => null;
  /** Writes a line to the bridge while the call is in flight (a capture tried again). */
  send: (line: string) => void = () => {};
  /** Run right after the line is written. */
  started: () => void = () => {};
  /** Sees every event while the call is in flight; true claims an `error` event as the call's answer. */
  event: (ev: WireEvent) => boolean = () => false;
  /** Run when the process has ended (or stopped answering) with the call in flight or for good; default: fail. */
  exited: (err: BridgeError) => void = (err) => this.fail(err);
  onSettled: () => void = () => {};

  constructor(
    readonly line: string,
    readonly what: string,
  ) {
    this.promise = new Promise<T>((resolve, reject) => {
      this.resolveFn = resolve;
      this.rejectFn = reject;
    });
  }

  /** A call nobody awaits: its failure is handled elsewhere. */
  quiet(): this {
    this.promise.catch(() => {});
    return this;
  }

  timeout(ms: number, err: () => BridgeError): void {
    this.clearTimeout();
    this.timer = setTimeout(() => this.fail(err()), ms);
  }

  clearTimeout(): void {
    if (this.timer !== null) clearTimeout(this.timer);
    this.timer = null;
  }

  clearHold(): void {
    if (this.holdTimer !== null) clearTimeout(this.holdTimer);
    this.holdTimer = null;
  }

  succeed(v: T): void {
    if (this.settled) return;
    this.settle();
    this.resolveFn(v);
  }

  fail(e: Error): void {
    if (this.settled) return;
    this.settle();
    this.rejectFn(e);
  }

  private settle(): void {
    this.settled = true;
    this.clearTimeout();
    this.clearHold();
    this.onSettled();
  }
}

/** The calls of one Bridge, in their order; the one in flight gets every event. */
export class CallQueue {
  private readonly queue: Call<unknown>[] = [];
  private active: Call<unknown> | null = null;

  constructor(private readonly state: State) {}

  /** Whether a call is in flight, and whether it is a capture waiting for its photo. */
  get inFlight(): "none" | "call" | "busy" {
    if (this.active === null) return "none";
    return this.active.busy ? "busy" : "call";
  }

  /** Hands `ev` to the call in flight; true when it took an `error` event as its answer. */
  dispatch(ev: WireEvent): boolean {
    return this.active?.event(ev) === true;
  }

  enqueue<T>(call: Call<T>): Promise<T> {
    call.onSettled = () => {
      if (this.active === call) {
        this.active = null;
        this.pump();
      } else {
        const i = this.queue.indexOf(call as Call<unknown>);
        if (i >= 0) this.queue.splice(i, 1);
      }
    };
    if (call.internal) {
      // Ahead of the host's calls, behind other internal ones.
      let i = 0;
      while (i < this.queue.length && this.queue[i].internal) i++;
      this.queue.splice(i, 0, call as Call<unknown>);
    } else {
      this.queue.push(call as Call<unknown>);
    }
    this.pump();
    return call.promise;
  }

  pump(): void {
    while (this.active === null && this.queue.length > 0) {
      const call = this.queue[0];
      if (this.state.over) {
        this.queue.shift();
        call.exited(exitError(this.state.proc, call.what));
        continue;
      }
      if (this.heldFor(call) !== null) break;
      this.queue.shift();
      call.clearHold();
      const ready = call.prepare();
      if (ready instanceof BridgeError) {
        call.fail(ready);
        continue;
      }
      if (ready !== null) {
        call.succeed(ready.value);
        continue;
      }
      this.active = call;
      call.send = (line) => {
        if (this.active === call) this.write(line);
      };
      this.write(call.line);
      call.started();
    }
    this.armHolds();
  }

  /** The process is lost: the call in flight learns it (and settles, or goes on as it sees fit). */
  loseActive(): void {
    const active = this.active;
    this.active = null;
    active?.exited(exitError(this.state.proc, active.what));
  }

  /** No process will run again: every call, in flight or queued, learns it. */
  endAll(): void {
    const calls = this.active === null ? this.queue.splice(0) : [this.active, ...this.queue.splice(0)];
    this.active = null;
    for (const call of calls) call.exited(exitError(this.state.proc, call.what));
  }

  /** The host's calls waiting for the camera fail: nobody waits for it any more. */
  failWaitingForCamera(by: string): void {
    for (const call of [...this.queue]) {
      if (call.needs === "camera" && !call.internal) {
        call.fail(new BridgeError("CAMERA_UNAVAILABLE", `${call.what}: the camera is away and ${by}() stopped waiting for it`));
      }
    }
  }

  /** With `reconnect`: what `call` waits for before it can be sent, or null. */
  private heldFor(call: Call<unknown>): "bridge" | "camera" | null {
    const s = this.state;
    if (!s.reconnect || s.over) return null;
    if (s.proc.lost) return call.needs === "none" ? null : call.needs;
    if (call.needs === "camera" && s.away && !call.internal) return "camera";
    return null;
  }

  /** Every queued call held for a reason of its own has a timer for its time limit. */
  private armHolds(): void {
    for (const call of this.queue) {
      const reason = this.heldFor(call);
      if (reason === null) {
        call.clearHold();
      } else if (call.holdTimer === null && call.holdMs <= MAX_TIMER_MS) {
        call.holdTimer = setTimeout(() => call.fail(holdError(call, reason)), call.holdMs);
      }
    }
  }

  private write(line: string): void {
    this.state.lastActivity = performance.now();
    writeLine(this.state.proc, line);
  }
}

function holdError(call: Call<unknown>, reason: "bridge" | "camera"): BridgeError {
  return reason === "camera"
    ? new BridgeError("CAMERA_UNAVAILABLE", `${call.what}: the camera did not come back within ${call.holdMs} ms`)
    : new BridgeError("ERR_BRIDGE_EXITED", `${call.what}: the bridge could not be restarted within ${call.holdMs} ms`);
}
