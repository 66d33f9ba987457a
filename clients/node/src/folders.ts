// The download folder: what open() accepts as one, and whether photos can
// be written there before the bridge is asked to use it.
import { accessSync, lstatSync, mkdirSync, readdirSync, statSync, constants as fsConstants } from "node:fs";
import path from "node:path";

import { BridgeError } from "./errors.js";

const MAX_FOLDER_BYTES = 4095;

/** Why `dir` cannot take photos (after creating it, when asked), or null when it can. */
function checkFolder(dir: string, create: boolean): string | null {
  try {
    if (create) mkdirSync(dir, { recursive: true });
    if (!statSync(dir).isDirectory()) return "not a directory";
    accessSync(dir, fsConstants.W_OK | fsConstants.X_OK);
    return null;
  } catch (err) {
    const e = err as NodeJS.ErrnoException;
    return e.code === "ENOENT" ? "it does not exist" : `${e.code ?? "error"}: ${e.message}`;
  }
}

/** The suffix of a file the bridge is still downloading. */
const PARTIAL = ".parcial";

/** The sizes of the files being downloaded into `dir` now, by name (none when it cannot be read). */
export function partialSizes(dir: string): Map<string, number> {
  const sizes = new Map<string, number>();
  try {
    for (const e of readdirSync(dir, { withFileTypes: true })) {
      if (!e.isFile() || !e.name.endsWith(PARTIAL)) continue;
      try {
        sizes.set(e.name, lstatSync(path.join(dir, e.name)).size);
      } catch {
        // Renamed to its final name meanwhile.
      }
    }
  } catch {
    // A folder that went away: no download shows there.
  }
  return sizes;
}

/** Whether a download grew from `before` to `now`: a partial file that is new, or bigger. */
export function partialGrew(before: Map<string, number>, now: Map<string, number>): boolean {
  for (const [name, size] of now) {
    const was = before.get(name);
    if (was === undefined ? size > 0 : size > was) return true;
  }
  return false;
}

/** The argument `folder` as a path, absolute from `cwd`, or why it cannot be one. */
export function folderPath(cwd: string, folder: string): string | Error {
  if (typeof folder !== "string" || folder === "" || /[\n\r\0]/.test(folder)) {
    return new TypeError("open: folder must be a non-empty path without CR, LF or NUL");
  }
  const dir = path.resolve(cwd, folder);
  if (Buffer.byteLength(dir) > MAX_FOLDER_BYTES) {
    return new RangeError(`open: folder longer than ${MAX_FOLDER_BYTES} bytes`);
  }
  return dir;
}

/** FOLDER_NOT_WRITABLE when `dir` cannot take photos (created first unless `create` is false), else null. */
export function unusableFolder(dir: string, create: boolean): BridgeError | null {
  const why = checkFolder(dir, create);
  return why === null ? null : new BridgeError("FOLDER_NOT_WRITABLE", `open: cannot use the folder ${dir}: ${why}`);
}
