// The open pages: Server-Sent Events to each, and the problems shown on
// them, each said once while it keeps coming.

import { explain, detailOf } from './messages.mjs';

const KEEP_ALIVE_MS = 15000;

export function createHub() {
  return {
    pages: new Set(), // SSE responses
    lastSaid: new Map(), // problem detail -> when it was last shown
    keepAlive: null,
  };
}

/** Sends one event to every open page. */
export function send(hub, kind, data) {
  const chunk = `event: ${kind}\ndata: ${JSON.stringify(data)}\n\n`;
  for (const res of hub.pages) res.write(chunk);
}

/** GET /events: the booth's `state` at once, then every event. */
export function openEvents(hub, req, res, state) {
  res.writeHead(200, {
    'Content-Type': 'text/event-stream; charset=utf-8',
    'Cache-Control': 'no-store',
    Connection: 'keep-alive',
  });
  res.write(`retry: 1000\nevent: state\ndata: ${JSON.stringify(state)}\n\n`);
  hub.pages.add(res);
  req.on('close', () => hub.pages.delete(res));
}

/**
 * Shows a problem the camera or the bridge reported on every page, unless
 * the camera is `disconnected` (its banner is then the one message).
 */
export function problem(hub, disconnected, err, fallback) {
  const detail = detailOf(err);
  const message = explain(err, fallback);
  // A camera that has gone away has one message, its banner: what the
  // bridge says about it meanwhile would only contradict it.
  if (disconnected) return;
  // Camera warnings can repeat several times a second, two or more of
  // them taking turns: say each one once while it keeps coming.
  const now = Date.now();
  const last = hub.lastSaid.get(detail);
  if (last === undefined || now - last > 10000) send(hub, 'problem', { message, detail });
  if (hub.lastSaid.size > 100) hub.lastSaid.clear();
  hub.lastSaid.set(detail, now);
}

/** Shows the answer to a failed action on every page, not only the one that asked. */
export function actionFailed(hub, out) {
  send(hub, 'problem', out);
  hub.lastSaid.set(out.detail, Date.now()); // the bridge's own report of it need not follow
}

export function keepPagesAlive(hub) {
  hub.keepAlive = setInterval(() => { for (const res of hub.pages) res.write(': ping\n\n'); }, KEEP_ALIVE_MS);
}

export function endPages(hub) {
  clearInterval(hub.keepAlive);
  for (const res of hub.pages) res.end();
  hub.pages.clear();
}
