import { readFileSync } from "node:fs";

/** One live-view frame as the bridge announced it. */
export class Frame {
  constructor(
    /** The bridge's running frame number. */
    readonly n: number,
    /** The frame file (always `<live-view directory>/vista.jpg`). */
    readonly path: string,
  ) {}

  /**
   * The frame's bytes, read from `path` now. The bridge replaces the file
   * whole for every frame, so this is always one complete frame, but it may
   * be a newer one than `n` if the bridge has published another since.
   *
   * The file is read synchronously: a frame is small and was written
   * moments ago (it is in the page cache, or on a tmpfs), so the read is a
   * memory copy of about 10 us, where an asynchronous read costs over
   * 100 us of CPU in thread-pool hand-offs, at up to 100 frames a second.
   */
  read(): Promise<Buffer> {
    try {
      return Promise.resolve(readFileSync(this.path));
    } catch (err) {
      return Promise.reject(err);
    }
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

  /** @internal A new frame from the bridge. */
  push(frame: Frame): void {
    if (this.ended) return;
    const w = this.waiter;
    if (w !== null) {
      this.waiter = null;
      this.delivered++;
      w.resolve({ value: frame, done: false });
      return;
    }
    if (this.latest !== null) this.skipped++;
    this.latest = frame;
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
