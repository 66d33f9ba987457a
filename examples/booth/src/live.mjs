// The live relay: frames from the bridge's live view to the viewers, each
// distinct frame once. Pages pull frames one at a time from /live/frame;
// other viewers read /live.mjpg. The live view runs while a camera is open
// and somebody watches.
//
// Uses of the booth (`ctx`): `ctx.relay` (its own), `ctx.bridge`,
// `ctx.state.camera`, `ctx.closing`, and the hub to report a failure.

import { problem } from './events.mjs';

const BOUNDARY = 'gpbridgeframe';
const LIVE_RETRY_MS = 2000;
const PULL_WAIT_MS = 10000; // how long /live/frame waits for a new frame before answering 204
const PULL_GONE_MS = 3000; // a page that asked for no frame this long is no longer watching

export function createRelay() {
  return {
    viewers: new Set(), // /live.mjpg: { res, next, writing }
    pullers: new Set(), // /live/frame requests waiting for a new frame: { res, timer }
    pulling: 0, // /live/frame requests not yet answered in full
    lastPull: 0, // when a page last asked for a frame
    stats: { published: 0, firstN: 0, lastN: 0, sent: 0, skipped: 0, repeated: 0 },
    live: null, // promise of the running live-view loop
    lastFrame: null, // bytes of the newest frame sent, and the part that carried it
    lastPart: null,
    frameId: 0, // counts the distinct frames published (lastFrame's number)
    retry: null,
    failures: 0, // live-view runs in a row that gave no picture
  };
}

/** Starts the live view if a camera is open, somebody watches and it is not running. */
export function ensureLive(ctx) {
  const relay = ctx.relay;
  if (relay.live || relay.retry || ctx.closing || !ctx.state.camera || !watching(relay) || !ctx.bridge) return;
  const cam = ctx.state.camera;
  relay.live = runLive(ctx, ctx.bridge, cam).then((frames) => {
    relay.live = null;
    again(ctx, cam, frames);
  });
}

// Relays the frames of one live-view run; resolves to how many came.
async function runLive(ctx, b, cam) {
  const relay = ctx.relay;
  const { stats } = relay;
  let frames = 0;
  try {
    for await (const frame of b.liveView()) {
      if (!watching(relay) || !ctx.state.camera) break;
      frames++;
      let data;
      try { data = await frame.read(); } catch { continue; }
      if (!stats.firstN) stats.firstN = frame.n;
      stats.lastN = frame.n;
      stats.published = stats.lastN - stats.firstN + 1;
      // The file may already hold the next frame when its event comes:
      // a frame read twice is sent once.
      if (relay.lastFrame && data.equals(relay.lastFrame)) { stats.repeated++; continue; }
      relay.lastFrame = data;
      broadcast(relay, data);
    }
  } catch (err) {
    // A bridge that exits is reported once, by its 'exit' handler.
    if (err?.code !== 'ERR_BRIDGE_EXITED') problem(ctx.hub, ctx.state.disconnected, err, 'The live view stopped.');
  }
  return frames;
}

// The loop also ends when another camera is opened (start again at once)
// and when the bridge reports a failing live view (try again in a moment
// while somebody is watching). A camera that gives no picture at all (one
// without live view) is asked less and less often.
function again(ctx, cam, frames) {
  const relay = ctx.relay;
  relay.failures = frames ? 0 : Math.min(relay.failures + 1, 5);
  if (!ctx.closing && ctx.state.camera && watching(relay)) {
    const delay = ctx.state.camera !== cam ? 0 : LIVE_RETRY_MS * 2 ** Math.max(relay.failures - 1, 0);
    relay.retry = setTimeout(() => { relay.retry = null; ensureLive(ctx); }, delay);
  }
}

// Somebody watches: a /live.mjpg viewer, or a page that is fetching a
// frame or fetched one a moment ago.
function watching(relay) {
  return relay.viewers.size > 0 || relay.pulling > 0 || Date.now() - relay.lastPull < PULL_GONE_MS;
}

function broadcast(relay, data) {
  relay.frameId++;
  // One buffer per part, written with one call per viewer.
  const head = `--${BOUNDARY}\r\nContent-Type: image/jpeg\r\nContent-Length: ${data.length}\r\n\r\n`;
  const part = Buffer.allocUnsafe(head.length + data.length + 2);
  part.latin1Write(head, 0);
  data.copy(part, head.length);
  part[part.length - 2] = 13;
  part[part.length - 1] = 10;
  relay.lastPart = part;
  for (const v of relay.viewers) {
    if (v.next) relay.stats.skipped++; // a slow viewer gets this one instead
    v.next = part;
    feed(relay, v);
  }
  for (const p of relay.pullers) answerPull(relay, p);
}

// A /live.mjpg viewer holds at most one frame waiting, replaced by each
// newer one, and gets it once the previous one has been handed to the
// kernel. (What the kernel's socket buffers hold on the way is out of
// reach here: the page uses /live/frame, which has one frame on its way.)
function feed(relay, v) {
  if (!v.next || v.writing) return;
  const part = v.next;
  v.next = null;
  v.writing = true;
  relay.stats.sent++;
  v.res.write(part, () => {
    v.writing = false;
    feed(relay, v);
  });
}

/** GET /live.mjpg: every new frame as one part of a multipart stream. */
export function liveStream(ctx, req, res) {
  const relay = ctx.relay;
  // No chunked framing: the parts carry their own lengths and the stream
  // ends with the connection.
  res.setHeader('Content-Type', `multipart/x-mixed-replace; boundary=${BOUNDARY}`);
  res.setHeader('Cache-Control', 'no-store');
  res.setHeader('Connection', 'close');
  res.removeHeader('Transfer-Encoding');
  res.writeHead(200);
  res.flushHeaders();
  res.socket.setNoDelay(true);
  const v = { res, next: null, writing: false };
  relay.viewers.add(v);
  req.on('close', () => relay.viewers.delete(v));
  // A new viewer sees the current picture at once, not at the next change.
  if (relay.lastPart && ctx.state.camera) {
    v.next = relay.lastPart;
    feed(relay, v);
  }
  ensureLive(ctx);
}

// /live/frame?after=N: the newest frame if it is not frame N, else the
// next one when it comes (or 204 after a while). Each page asks for the
// next frame only once it has this one, so no more than one frame is ever
// on its way to it, however slow its connection.
export function liveFrame(ctx, req, res, query) {
  const relay = ctx.relay;
  const m = /(?:^|&)after=(\d{1,15})(?:&|$)/.exec(query);
  const after = m ? Number(m[1]) : 0;
  relay.pulling++;
  relay.lastPull = Date.now();
  const p = { res, timer: null };
  res.once('close', () => {
    relay.pulling--;
    relay.lastPull = Date.now();
    if (p.timer !== null) relay.pullers.delete(p);
    clearTimeout(p.timer);
  });
  if (relay.lastFrame && ctx.state.camera && relay.frameId !== after) {
    answerPull(relay, p);
  } else {
    relay.pullers.add(p);
    p.timer = setTimeout(() => {
      relay.pullers.delete(p);
      res.writeHead(204, { 'Cache-Control': 'no-store' });
      res.end();
    }, PULL_WAIT_MS);
  }
  ensureLive(ctx);
}

function answerPull(relay, p) {
  relay.pullers.delete(p);
  clearTimeout(p.timer);
  p.timer = null;
  relay.stats.sent++;
  p.res.sendDate = false;
  p.res.writeHead(200, {
    'Content-Type': 'image/jpeg',
    'Content-Length': relay.lastFrame.length,
    'Cache-Control': 'no-store',
    'X-Frame': String(relay.frameId),
  });
  p.res.end(relay.lastFrame);
}

/**
 * Forgets the newest frame: a new bridge starts its pictures afresh, and
 * its first one must not be taken for a repeat of the old bridge's last.
 * With `closed`, also the frames waiting for viewers (a closed camera's).
 */
export function forgetFrames(relay, closed = false) {
  relay.lastFrame = relay.lastPart = null;
  if (closed) for (const v of relay.viewers) v.next = null;
}

/** A camera was opened: its live view starts with no failures counted. */
export function cameraOpened(relay) {
  relay.failures = 0;
}

/** Stops serving frames: ends every viewer and waiting request. */
export function endRelay(relay) {
  clearTimeout(relay.retry);
  for (const p of relay.pullers) clearTimeout(p.timer);
  relay.pullers.clear();
  for (const v of relay.viewers) v.res.end();
  relay.viewers.clear();
}

/** The relay's counters, for /debug/stats. */
export function relayStats(relay) {
  return { ...relay.stats, viewers: relay.viewers.size, pulling: relay.pulling };
}
