// A rig's folder on disk: one folder per shot set (shot-0001/ID.EXT, ...),
// and shots.jsonl, one line per set. Photos come into it by rename from each
// camera's own download folder, which is on the same filesystem; nothing in
// the folder is ever overwritten.
import {
  closeSync,
  fsyncSync,
  linkSync,
  lstatSync,
  mkdirSync,
  openSync,
  readFileSync,
  readdirSync,
  renameSync,
  unlinkSync,
  writeSync,
} from "node:fs";
import path from "node:path";

/** The manifest's name in the rig's folder. */
export const MANIFEST = "shots.jsonl";

/** One set of shots: the files each camera gave for it, and the cameras that gave none, with why. */
export interface ShotSet {
  number: number;
  /** Camera id -> the paths of its files (absolute, under the rig's folder). */
  files: Record<string, string[]>;
  /** Camera id -> an error code: why that camera gave nothing for this set. */
  missing: Record<string, string>;
}

/** A set as the manifest holds it: paths relative to the rig's folder. */
export interface SetRecord {
  files: Map<string, string[]>;
  missing: Map<string, string>;
}

/** The folder of set `n`: shot-0001 ... shot-9999, then as many digits as it takes. */
export function setFolder(n: number): string {
  return `shot-${String(n).padStart(4, "0")}`;
}

/**
 * A camera id made safe as a file name: anything but letters, digits, `.`,
 * `_` and `-` becomes `_` (a port such as `usb:001,005` holds `:` and `,`),
 * and so does a leading dot.
 */
export function fileId(id: string): string {
  const safe = id.replace(/[^A-Za-z0-9._-]/g, "_").replace(/^\./, "_");
  return safe === "" ? "_" : safe;
}

/** `IMG_0001.CR2` -> `.CR2`, as the camera wrote it; "" when the name has none. */
function extensionOf(name: string): string {
  const dot = name.lastIndexOf(".");
  return dot > 0 ? name.slice(dot) : "";
}

function missingPath(p: string): boolean {
  try {
    lstatSync(p);
    return false;
  } catch (err) {
    return (err as NodeJS.ErrnoException).code === "ENOENT";
  }
}

/**
 * Moves `from` to `to` unless something is already at `to`: false then.
 * A hard link then an unlink makes the refusal atomic; a filesystem without
 * hard links (FAT on a memory card reader) gets a look and a rename.
 */
function moveNew(from: string, to: string): boolean {
  try {
    linkSync(from, to);
  } catch (err) {
    const code = (err as NodeJS.ErrnoException).code;
    if (code === "EEXIST") return false;
    if (code !== "EPERM" && code !== "ENOTSUP" && code !== "EOPNOTSUPP") throw err;
    if (!missingPath(to)) return false;
    renameSync(from, to);
    return true;
  }
  unlinkSync(from);
  return true;
}

/** The rig's folder: where each set's files go, and the manifest. */
export class RigFolder {
  /** Lines of sets from earlier sessions, kept as they were, and this session's, by set number. */
  private readonly lines = new Map<number, string>();
  private highest = 0;

  /**
   * Takes `folder` (created if missing), reading what an earlier session
   * left: set numbers go on after the highest one in the manifest or among
   * the shot folders.
   */
  constructor(readonly folder: string) {
    mkdirSync(folder, { recursive: true });
    let text = "";
    try {
      text = readFileSync(path.join(folder, MANIFEST), "utf8");
    } catch (err) {
      if ((err as NodeJS.ErrnoException).code !== "ENOENT") throw err;
    }
    for (const line of text.split("\n")) {
      let n: unknown;
      try {
        n = (JSON.parse(line) as { shot?: unknown }).shot;
      } catch {
        continue; // not a line of ours: left out when the file is written again
      }
      if (typeof n === "number" && Number.isSafeInteger(n) && n > 0) {
        this.lines.set(n, line);
        this.highest = Math.max(this.highest, n);
      }
    }
    for (const name of readdirSync(folder)) {
      const m = /^shot-(\d+)$/.exec(name);
      if (m) this.highest = Math.max(this.highest, Number(m[1]));
    }
  }

  /** The number of a new set. */
  nextNumber(): number {
    return ++this.highest;
  }

  /**
   * Moves a downloaded file into set `n` as `ID.EXT` (`ID-2.EXT`, ... when
   * that name is taken) and returns its path relative to the folder.
   */
  place(n: number, id: string, file: string): string {
    const dir = setFolder(n);
    mkdirSync(path.join(this.folder, dir), { recursive: true });
    const base = fileId(id);
    const ext = extensionOf(path.basename(file));
    for (let k = 1; ; k++) {
      const name = `${k === 1 ? base : `${base}-${k}`}${ext}`;
      if (moveNew(file, path.join(this.folder, dir, name))) return `${dir}/${name}`;
    }
  }

  /** A path relative to the folder, made absolute. */
  absolute(rel: string): string {
    return path.join(this.folder, rel);
  }

  /** Records set `n` and writes the manifest again, whole. */
  record(n: number, set: SetRecord): void {
    this.lines.set(n, manifestLine(n, set));
    this.write();
  }

  /**
   * The manifest goes through a temporary file and a rename, so a reader
   * sees the old file or the new one, never half a line.
   */
  private write(): void {
    const text = [...this.lines.keys()]
      .sort((a, b) => a - b)
      .map((n) => this.lines.get(n) + "\n")
      .join("");
    const tmp = path.join(this.folder, `.${MANIFEST}.${process.pid}.tmp`);
    // Made afresh, so nothing already there (a link, another file) is followed or truncated.
    try {
      unlinkSync(tmp);
    } catch {
      // none left by an earlier write
    }
    const fd = openSync(tmp, "wx", 0o644);
    try {
      writeSync(fd, text);
      fsyncSync(fd);
    } finally {
      closeSync(fd);
    }
    renameSync(tmp, path.join(this.folder, MANIFEST));
  }
}

/** `{"shot":1,"files":{...},"missing":{...}}`, keys in that order. */
export function manifestLine(n: number, set: SetRecord): string {
  return JSON.stringify({
    shot: n,
    files: Object.fromEntries(set.files),
    missing: Object.fromEntries(set.missing),
  });
}
