// Splits the bridge's standard output into lines. Output arrives in chunks
// cut anywhere (inside a line, inside a UTF-8 sequence); a line is the bytes
// up to a line feed. The bridge never writes CR, so none is stripped.
//
// A line longer than the limit (64 MiB: far above the longest line a
// camera's whole configuration makes, a few hundred kB) is not taken. It is
// reported once, by its first bytes, and the rest of it is skipped up to its
// line feed, so memory stays bounded and each byte is looked at once,
// however long the line.

const LF = 0x0a;

/** The longest line kept, in bytes. */
export const MAX_LINE_BYTES = 64 << 20;

/** How many bytes of an over-long line are kept to report it. */
const HEAD_BYTES = 200;

/** A line longer than the limit: only its first bytes are kept. */
export class OverlongLine {
  constructor(
    /** The line's first 200 bytes, as text. */
    readonly head: string,
  ) {}
}

export class LineSplitter {
  private parts: Buffer[] = [];
  private size = 0;
  private skipping = false;

  constructor(readonly limit: number = MAX_LINE_BYTES) {}

  /**
   * The complete lines in `chunk` (plus what earlier chunks left), without
   * their line feeds, in order; an over-long line comes out once, as an
   * OverlongLine, when it passes the limit.
   */
  push(chunk: Buffer): (string | OverlongLine)[] {
    const lines: (string | OverlongLine)[] = [];
    let start = 0;
    let lf = chunk.indexOf(LF);
    while (lf >= 0) {
      if (this.skipping) {
        this.skipping = false;
      } else if (this.size + lf - start > this.limit) {
        lines.push(this.overlong(chunk.subarray(start, lf)));
      } else if (this.size === 0) {
        // Invalid UTF-8 becomes U+FFFD; a sequence is never cut, since LF ends no sequence.
        lines.push(chunk.toString("utf8", start, lf));
      } else {
        this.parts.push(chunk.subarray(start, lf));
        lines.push(Buffer.concat(this.parts, this.size + lf - start).toString("utf8"));
      }
      this.parts = [];
      this.size = 0;
      start = lf + 1;
      lf = chunk.indexOf(LF, start);
    }
    if (start < chunk.length && !this.skipping) {
      const tail = chunk.subarray(start);
      if (this.size + tail.length > this.limit) {
        lines.push(this.overlong(tail));
        this.parts = [];
        this.size = 0;
        this.skipping = true;
      } else {
        // Copy: the stream may reuse the chunk's memory.
        this.parts.push(Buffer.from(tail));
        this.size += tail.length;
      }
    }
    return lines;
  }

  /** Bytes after the last line feed, as text, or null when there are none (or they were an over-long line). Clears them. */
  end(): string | null {
    const rest = this.size === 0 ? null : Buffer.concat(this.parts, this.size).toString("utf8");
    this.parts = [];
    this.size = 0;
    this.skipping = false;
    return rest;
  }

  /** How many bytes wait for their line feed (never more than the limit). */
  get pendingBytes(): number {
    return this.size;
  }

  private overlong(tail: Buffer): OverlongLine {
    const kept: Buffer[] = [];
    let n = 0;
    for (const part of [...this.parts, tail]) {
      if (n >= HEAD_BYTES) break;
      kept.push(part.subarray(0, HEAD_BYTES - n));
      n += kept.at(-1)!.length;
    }
    return new OverlongLine(Buffer.concat(kept, n).toString("utf8"));
  }
}
