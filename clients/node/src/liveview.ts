import { closeSync, constants, fstatSync, openSync, readSync } from "node:fs";

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
