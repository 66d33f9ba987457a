// Splits the bridge's standard output into lines. Output arrives in chunks
// cut anywhere (inside a line, inside a UTF-8 sequence); a line is the bytes
// up to a line feed. The bridge never writes CR, so none is stripped.

const LF = 0x0a;

export class LineSplitter {
  private rest: Buffer | null = null;

  /** The complete lines in `chunk` (plus what earlier chunks left), without their line feeds. */
  push(chunk: Buffer): string[] {
    const lines: string[] = [];
    let start = 0;
    let lf = chunk.indexOf(LF);
    if (lf >= 0 && this.rest !== null) {
      lines.push(Buffer.concat([this.rest, chunk.subarray(0, lf)]).toString("utf8"));
      this.rest = null;
      start = lf + 1;
      lf = chunk.indexOf(LF, start);
    }
    while (lf >= 0) {
      // Invalid UTF-8 becomes U+FFFD; a sequence is never cut, since LF ends no sequence.
      lines.push(chunk.toString("utf8", start, lf));
      start = lf + 1;
      lf = chunk.indexOf(LF, start);
    }
    if (start < chunk.length) {
      const tail = chunk.subarray(start);
      // Copy: the stream may reuse the chunk's memory.
      this.rest = this.rest === null ? Buffer.from(tail) : Buffer.concat([this.rest, tail]);
    }
    return lines;
  }

  /** Bytes after the last line feed, as text, or null when there are none. Clears them. */
  end(): string | null {
    const rest = this.rest;
    this.rest = null;
    return rest === null ? null : rest.toString("utf8");
  }

  /** How many bytes wait for their line feed. */
  get pendingBytes(): number {
    return this.rest === null ? 0 : this.rest.length;
  }
}
