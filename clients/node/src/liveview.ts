// Live view: the frames, the iterator that hands the newest one to the
// host, and the iterations of one Bridge, which turn live view on and off.
import { closeSync, constants, fstatSync, openSync, readSync } from "node:fs";

import { Call, noCamera, type CallQueue } from "./calls.js";
import { exitError } from "./process.js";
import type { State } from "./state.js";
import { WIRE, type VistaEvent } from "./wire.js";

/** A frame file bigger than this is not a frame: read() refuses it rather than fill memory. */
const MAX_FRAME_BYTES = 64 << 20;

/** One live-view frame as the bridge announced it. */
export class Frame {
  constructor(
    /** The bridge's running frame number: the newest frame announced when this one was handed over. */
    readonly n: number,
    /** The frame file (always `<live-view directory>/vista.jpg`). */
    readonly path: string,
  ) {}

  /**
   * The frame's bytes, read from `path` now. The bridge replaces the file
   * whole for every frame, so this is always one complete frame, but it may
   * be a newer one than `n` if the bridge has published another since.
   *
   * The file is opened once, without following a symbolic link and without
   * waiting on anything that is not a plain file (a FIFO put in its place),
   * and read from that descriptor: whatever replaces the name meanwhile,
   * the bytes are those of the one file opened. Anything but a regular file
   * rejects (ELOOP for a link, EINVAL otherwise), as does one over 64 MiB.
   *
   * The file is read synchronously: a frame is small and was written
   * moments ago (it is in the page cache, or on a tmpfs), so the read is a
   * memory copy of about 10 us, where an asynchronous read costs over
   * 100 us of CPU in thread-pool hand-offs, at up to 100 frames a second.
   */
  read(): Promise<Buffer> {
    try {
      return Promise.resolve(readFrame(this.path));
    } catch (err) {
      return Promise.reject(err);
    }
  }
}

function readFrame(file: string): Buffer {
  const fd = openSync(file, constants.O_RDONLY | constants.O_NOFOLLOW | constants.O_NONBLOCK);
  try {
    const st = fstatSync(fd);
    if (!st.isFile() || st.size > MAX_FRAME_BYTES) {
      throw Object.assign(new Error(`not a live-view frame file: ${file}`), { code: "EINVAL" });
    }
    // The size fstat gave, plus one byte to see the end (a file still
    // growing is read up to the limit, never past it).
    let buf = Buffer.allocUnsafe(Math.min(st.size + 1, MAX_FRAME_BYTES + 1));
    let got = 0;
    for (;;) {
      if (got === buf.length) {
        if (buf.length > MAX_FRAME_BYTES) {
          throw Object.assign(new Error(`not a live-view frame file: ${file}`), { code: "EINVAL" });
        }
        const bigger = Buffer.allocUnsafe(Math.min(buf.length * 2, MAX_FRAME_BYTES + 1));
        buf.copy(bigger, 0, 0, got);
        buf = bigger;
      }
      const n = readSync(fd, buf, got, buf.length - got, null);
      if (n === 0) break;
      got += n;
    }
    return buf.subarray(0, got);
  } finally {
    closeSync(fd);
  }
}

interface Waiter {
  resolve(r: IteratorResult<Frame, undefined>): void;
  reject(e: Error): void;
}

/**
 * An async iterator over live-view frames that keeps only the newest frame
 * not yet taken: a consumer slower than the camera skips frames, and memory
 * does not grow with the backlog.
 */
export class LiveView implements AsyncIterableIterator<Frame, undefined> {
  private latest: Frame | null = null;
  private waiter: Waiter | null = null;
  private error: Error | null = null;
  private ended = false;
  /** Frames handed to the consumer. */
  delivered = 0;
  /** Frames replaced by a newer one before the consumer took them. */
  skipped = 0;

  /** @internal */
  constructor(private readonly onLeave: (view: LiveView) => void) {}

  /** Frames waiting to be taken: 0 or 1. */
  get pending(): number {
    return this.latest === null ? 0 : 1;
  }

  /** True once the iteration has ended. */
  get done(): boolean {
    return this.ended;
  }

  /**
   * @internal A new frame from the bridge. A waiting consumer gets it on
   * the next turn of the event loop, not at once: after a stall, the output
   * read in one go may hold many frames, and the consumer must get the
   * newest of them (its number then matches the file it reads), not the
   * first.
   */
  push(frame: Frame): void {
    if (this.ended) return;
    if (this.latest !== null) this.skipped++;
    this.latest = frame;
    if (this.waiter !== null && !this.handing) {
      this.handing = true;
      setImmediate(() => this.handOver());
    }
  }

  private handing = false;

  private handOver(): void {
    this.handing = false;
    const w = this.waiter;
    const frame = this.latest;
    if (w === null || frame === null) return;
    this.waiter = null;
    this.latest = null;
    this.delivered++;
    w.resolve({ value: frame, done: false });
  }

  /** @internal Ends the iteration: the pending frame is dropped, a waiting next() gets done or `error`. */
  finish(error: Error | null = null): void {
    if (this.ended) return;
    this.ended = true;
    this.latest = null;
    const w = this.waiter;
    this.waiter = null;
    if (w === null) {
      this.error = error;
    } else if (error !== null) {
      w.reject(error);
    } else {
      w.resolve({ value: undefined, done: true });
    }
  }

  next(): Promise<IteratorResult<Frame, undefined>> {
    const frame = this.latest;
    if (frame !== null) {
      this.latest = null;
      this.delivered++;
      return Promise.resolve({ value: frame, done: false });
    }
    if (this.ended) {
      const e = this.error;
      this.error = null;
      return e === null ? Promise.resolve({ value: undefined, done: true }) : Promise.reject(e);
    }
    if (this.waiter !== null) {
      return Promise.reject(new Error("LiveView.next() called again before the previous call resolved"));
    }
    return new Promise((resolve, reject) => {
      this.waiter = { resolve, reject };
    });
  }

  /** Leaving the loop: stops this iteration; live view goes off when no other iteration is running. */
  return(): Promise<IteratorResult<Frame, undefined>> {
    this.finish();
    this.onLeave(this);
    return Promise.resolve({ value: undefined, done: true });
  }

  [Symbol.asyncIterator](): this {
    return this;
  }
}

/** How long a live-view failure waits to see whether the camera is gone (and coming back). */
const LIVE_VIEW_END_GRACE_MS = 1000;

/** The live-view iterations running on one Bridge. */
export class Viewers {
  private readonly viewers = new Set<LiveView>();
  private endTimer: NodeJS.Timeout | null = null;

  constructor(
    private readonly state: State,
    private readonly calls: CallQueue,
  ) {}

  get size(): number {
    return this.viewers.size;
  }

  /** A new iteration; live view goes on in its turn among the calls. */
  start(): LiveView {
    const s = this.state;
    const view = new LiveView((v) => this.leave(v));
    if (s.over) {
      view.finish(exitError(s.proc, "liveView"));
      return view;
    }
    this.viewers.add(view);
    const call = new Call<void>(WIRE.command.liveViewOn, "liveView").quiet();
    call.needs = "none";
    call.prepare = () => {
      if (!this.viewers.has(view)) return { value: undefined };
      // Away: the reconnection turns live view on when the camera is back.
      if (s.away || (s.reconnect && s.proc.lost && s.target !== null)) return { value: undefined };
      return s.cameraOpen ? null : noCamera("liveView");
    };
    call.started = () => {
      s.liveViewOn = true;
      call.succeed();
    };
    const end = (e: Error | null): void => {
      this.viewers.delete(view);
      view.finish(e);
    };
    call.exited = (err) => {
      end(err);
      call.succeed();
    };
    call.promise.catch(end);
    this.calls.enqueue(call);
    return view;
  }

  /** After a reconnection: live view on again, if an iteration still runs. */
  resume(): void {
    if (this.viewers.size === 0) return;
    const s = this.state;
    const on = new Call<void>(WIRE.command.liveViewOn, "liveView").quiet();
    on.internal = true;
    on.needs = "none";
    on.prepare = () => (this.viewers.size > 0 && s.cameraOpen ? null : { value: undefined });
    on.started = () => {
      s.liveViewOn = true;
      on.succeed();
    };
    on.exited = () => on.succeed();
    void this.calls.enqueue(on);
  }

  /** A `vista` event: every iteration gets the frame, while live view is on. */
  frame(ev: VistaEvent): void {
    if (!this.state.liveViewOn || this.viewers.size === 0) return;
    const frame = new Frame(ev.n, ev.ruta);
    for (const v of this.viewers) v.push(frame);
  }

  /** A `vistaFin` event: live view failed. */
  failed(): void {
    const s = this.state;
    if (this.viewers.size === 0) return;
    if (s.reconnect && s.target !== null) {
      // A camera pulled during live view fails its preview first and is
      // found gone right after: wait a moment before ending iterations
      // that the reconnection would carry on.
      if (this.endTimer === null) {
        this.endTimer = setTimeout(() => {
          this.endTimer = null;
          if (!s.away) this.endLiveView();
        }, LIVE_VIEW_END_GRACE_MS);
      }
      return;
    }
    this.endLiveView();
  }

  /** Ends every iteration and turns live view off. */
  stop(): Promise<void> {
    this.endAll(null);
    return this.sendOff();
  }

  /** Stops waiting to end iterations after a live-view failure: the camera is gone and being waited for. */
  clearEndTimer(): void {
    if (this.endTimer !== null) clearTimeout(this.endTimer);
    this.endTimer = null;
  }

  /** Ends every iteration: done, or with `err`. */
  endAll(err: Error | null): void {
    this.clearEndTimer();
    for (const v of this.viewers) v.finish(err);
    this.viewers.clear();
  }

  /** Ends every iteration after a live-view failure, and makes sure live view is off. */
  private endLiveView(): void {
    this.endAll(null);
    // A `vista 1` written after the bridge sent its vistaFin (a new
    // iteration started meanwhile) turned live view on again, with no
    // iteration left to turn it off: make sure it is off.
    void this.sendOff();
  }

  private leave(view: LiveView): void {
    if (!this.viewers.delete(view)) return;
    if (this.viewers.size === 0) void this.sendOff();
  }

  private sendOff(): Promise<void> {
    const s = this.state;
    if (s.over) return Promise.resolve();
    const call = new Call<void>(WIRE.command.liveViewOff, "stopLiveView");
    call.needs = "none";
    call.started = () => {
      s.liveViewOn = false;
      call.succeed();
    };
    call.exited = () => call.succeed();
    return this.calls.enqueue(call);
  }
}
