// The photos in the download folder: which are served and how, and which
// the page shows.

import fs from 'node:fs';
import fsp from 'node:fs/promises';
import path from 'node:path';
import { pipeline } from 'node:stream';

const PHOTO_TYPES = {
  '.jpg': 'image/jpeg', '.jpeg': 'image/jpeg', '.png': 'image/png',
  '.gif': 'image/gif', '.webp': 'image/webp', '.tif': 'image/tiff', '.tiff': 'image/tiff',
};

// Files the page can show: others (RAW files beside a JPEG) are saved and
// served, but not put in the gallery.
const SHOWN_TYPES = new Set(['.jpg', '.jpeg', '.png', '.gif', '.webp']);

// The width of the gallery's thumbnails, in pixels: the page scales each
// photo down to it once and shows only that (never a full-size photo in the
// grid).
export const THUMB_WIDTH = 320;

/** A photo as the page gets it: its name and where to fetch it. */
export function photoEntry(name) {
  return { name, url: '/photos/' + encodeURIComponent(name) };
}

/** Whether a browser shows a file of this name. */
export function showable(name) {
  return SHOWN_TYPES.has(path.extname(name).toLowerCase());
}

// Resolves a /photos/ request to a file inside `folder`, opened, or null.
// `raw` is the still percent-encoded part of the path after "/photos/". The
// caller owns the returned `handle`.
export async function photoFile(folder, raw) {
  if (!raw || raw.includes('/') || raw.includes('\\')) return null;
  let name;
  try { name = decodeURIComponent(raw); } catch { return null; }
  if (!name || name === '.' || name === '..' || /[/\\\0]/.test(name) || name.endsWith('.parcial')) return null;
  let handle;
  try {
    const root = await fsp.realpath(folder);
    const real = await fsp.realpath(path.join(root, name));
    if (path.dirname(real) !== root) return null;
    // The name may be swapped between the look and the open (the folder is
    // shared): a link is not followed, a FIFO does not hold the open, and
    // only a plain file is served.
    const { O_RDONLY, O_NOFOLLOW, O_NONBLOCK } = fs.constants;
    handle = await fsp.open(real, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    const st = await handle.stat();
    if (st.isFile()) return { file: real, size: st.size, handle };
  } catch {
    // not there, not readable, or a link: not found
  }
  await handle?.close();
  return null;
}

/** GET or HEAD /photos/RAW; false when there is no such photo. */
export async function servePhoto(folder, req, res, raw) {
  const found = await photoFile(folder, raw);
  if (!found) return false;
  const type = PHOTO_TYPES[path.extname(found.file).toLowerCase()] || 'application/octet-stream';
  res.writeHead(200, {
    'Content-Type': type,
    'Content-Length': found.size,
    'Cache-Control': 'private, max-age=3600',
    'X-Content-Type-Options': 'nosniff',
  });
  if (req.method === 'HEAD') {
    await found.handle.close();
    res.end();
    return true;
  }
  // pipeline closes the file however the response ends, an aborted one too.
  pipeline(fs.createReadStream(null, { fd: found.handle }), res, () => {});
  return true;
}
