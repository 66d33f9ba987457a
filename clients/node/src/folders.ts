// The download folder: what open() accepts as one, and whether photos can
// be written there before the bridge is asked to use it.
import { accessSync, mkdirSync, statSync, constants as fsConstants } from "node:fs";
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
