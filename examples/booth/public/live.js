// The live view. The page asks for frames one by one (/live/frame?after=N
// answers with the newest frame once it is not frame N), asking for the
// next as soon as one starts to arrive: a slow connection never has more
// than that one frame queued behind the one arriving, and the picture is
// always about the newest the connection can carry. A frame that arrives
// while the previous one is still being decoded replaces the one waiting.

import { $ } from './page.js';

// Counters for tests and benchmarks: stream parts received, frames shown.
export const stats = { parts: 0, shown: 0 };

const live = $('live');
let pending = null;
let decoding = false;
let shownUrl = null;
let decodingUrl = null;
let held = null; // a frame that came before the page knew a camera was open

function showFrame(bytes) {
  if (decoding) {
    pending = bytes;
    return;
  }
  decoding = true;
  const url = URL.createObjectURL(new Blob([bytes], { type: 'image/jpeg' }));
  decodingUrl = url;
  const done = (ok) => {
    live.onload = live.onerror = null;
    decodingUrl = null;
    if (shownUrl) URL.revokeObjectURL(shownUrl);
    shownUrl = url;
    if (ok) stats.shown++;
    decoding = false;
    if (pending) {
      const next = pending;
      pending = null;
      showFrame(next);
    }
  };
  live.onload = () => done(true);
  live.onerror = () => done(false);
  live.src = url;
}

// Without a camera the picture goes blank. An image whose source is removed
// while it decodes fires neither load nor error, so the decode in flight is
// forgotten here; otherwise every later frame would wait behind it forever.
export function clearLive() {
  live.onload = live.onerror = null;
  live.removeAttribute('src');
  for (const url of [shownUrl, decodingUrl]) if (url) URL.revokeObjectURL(url);
  shownUrl = decodingUrl = null;
  decoding = false;
  pending = null;
}

// The picture that came before the page heard of the open camera, shown
// now that it has (and dropped if there is no camera).
export function showHeld(open) {
  if (open && held) showFrame(held);
  held = null;
}

/** Fetches frames for as long as the page lives; `open()` tells whether a camera is open. */
export async function pullFrames(open) {
  const ask = (after) => fetch(`/live/frame?after=${after}`, { cache: 'no-store' });
  let after = 0;
  let next = null; // the request for the following frame, made while this one arrives
  for (;;) {
    try {
      const res = await (next || ask(after));
      next = null;
      if (res.status === 200) {
        after = Number(res.headers.get('X-Frame')) || 0;
        next = ask(after);
        next.catch(() => {});
        const bytes = new Uint8Array(await res.arrayBuffer());
        stats.parts++;
        // Frames can be quicker than the page's own events: a new page gets
        // the current picture at once, perhaps before it has heard that a
        // camera is open. That picture may be the only one for a while.
        if (open()) showFrame(bytes);
        else held = bytes;
        continue;
      }
      if (res.status === 204) continue; // no new frame for a while: ask again
    } catch {
      next = null; // the server went away; try again below
    }
    await new Promise((r) => setTimeout(r, 1000));
  }
}
