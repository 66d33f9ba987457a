// The HTTP server that wires the booth together: one booth object (`ctx`)
// holds the state the pages see and each part's own state; the routes hand
// each request to its part.

import http from 'node:http';
import fsp from 'node:fs/promises';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { STOP_GRACE_MS } from './options.mjs';
import { createNames, listening, everywhere, hostAllowed, originAllowed, nameList } from './names.mjs';
import { createHub, openEvents, problem, actionFailed, keepPagesAlive, endPages } from './events.mjs';
import { actionProblem } from './messages.mjs';
import { THUMB_WIDTH, servePhoto } from './photos.mjs';
import { createRelay, liveStream, liveFrame, endRelay } from './live.mjs';
import * as camera from './camera.mjs';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const PUBLIC = path.resolve(HERE, '../public');
const CLIENT = path.resolve(HERE, '../../../clients/node/dist/index.js');

// The page and its assets: a fixed table, so no request path ever reaches
// the filesystem here.
const ASSETS = {
  '/': ['index.html', 'text/html; charset=utf-8'],
  '/index.html': ['index.html', 'text/html; charset=utf-8'],
  '/booth.css': ['booth.css', 'text/css; charset=utf-8'],
  '/booth.js': ['booth.js', 'text/javascript; charset=utf-8'],
  '/page.js': ['page.js', 'text/javascript; charset=utf-8'],
  '/live.js': ['live.js', 'text/javascript; charset=utf-8'],
  '/gallery.js': ['gallery.js', 'text/javascript; charset=utf-8'],
  '/settings.js': ['settings.js', 'text/javascript; charset=utf-8'],
};

/**
 * Starts a booth: serves the page on `host`:`port` (0: any free port) and
 * starts the bridge (`bridge`, default gpbridge on the PATH) to list the
 * cameras. Photos go to `photos`; live-view frames to `live`.
 */
export async function createBooth({
  photos, bridge: executable, live: liveDir, host = '127.0.0.1', port = 8080, allowHosts = [],
  graceMs = STOP_GRACE_MS, debug = false, env,
}) {
  const { Bridge } = await import(pathToFileURL(CLIENT).href);
  const photosDir = path.resolve(photos);
  await fsp.mkdir(photosDir, { recursive: true });
  const ctx = {
    state: {
      cameras: [],
      camera: null, // { index, model, port }
      settings: null,
      choices: null, // { iso, aperture, shutterSpeed }: the camera's values for each
      photos: [], // names, newest first
      disconnected: false,
      thumbWidth: THUMB_WIDTH,
    },
    photosDir,
    debug,
    closing: false,
    bridge: null,
    names: createNames(host, allowHosts),
    hub: createHub(),
    relay: createRelay(),
    session: camera.createSession({ Bridge, executable, liveDir, env }),
  };

  const server = http.createServer((req, res) => route(ctx, req, res));
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, host, resolve);
  });
  const actual = server.address().port;
  listening(ctx.names, actual);
  const shown = everywhere(host) ? '127.0.0.1' : host.includes(':') ? `[${host}]` : host;
  keepPagesAlive(ctx.hub);

  // Start the bridge and list the cameras at once, so the page has them.
  camera.search(ctx).catch((err) => problem(ctx.hub, ctx.state.disconnected, err, 'The cameras could not be listed.'));

  return {
    url: `http://${shown}:${actual}/`,
    port: actual,
    server,
    /** The Host names this server answers to. */
    names: () => nameList(ctx.names),
    /**
     * Stops serving and ends the bridge: it may finish what it is doing
     * (a download) for up to `graceMs`, then it is killed.
     */
    close: () => closeBooth(ctx, server, graceMs),
    /** Kills the bridge at once (a second Ctrl-C). */
    kill() {
      ctx.closing = true;
      camera.killBridge(ctx);
    },
  };
}

async function closeBooth(ctx, server, graceMs) {
  ctx.closing = true;
  endRelay(ctx.relay);
  endPages(ctx.hub);
  server.closeAllConnections?.();
  const served = new Promise((r) => server.close(r));
  await camera.stopBridge(ctx, graceMs);
  await camera.within(served, camera.KILL_WAIT_MS);
}

async function route(ctx, req, res) {
  try {
    if (!hostAllowed(ctx.names, req)) return notFound(res);
    // Route on the raw path: no decoding or dot-segment folding happens
    // before the photo route's own checks.
    const raw = (req.url || '').split('?')[0];
    const get = req.method === 'GET' || req.method === 'HEAD';
    if (get && Object.hasOwn(ASSETS, raw)) return await asset(req, res, ASSETS[raw]);
    if (req.method === 'GET' && raw === '/events') return openEvents(ctx.hub, req, res, camera.snapshot(ctx.state)); // a stream: no HEAD
    if (get && raw === '/live.mjpg') return liveStream(ctx, req, res);
    if (req.method === 'GET' && raw === '/live/frame') return liveFrame(ctx, req, res, (req.url || '').slice(raw.length + 1));
    if (get && raw.startsWith('/photos/')) {
      if (!await servePhoto(ctx.photosDir, req, res, raw.slice('/photos/'.length))) notFound(res);
      return;
    }
    if (raw.startsWith('/api/')) return await api(ctx, req, res, raw.slice('/api/'.length));
    if (ctx.debug && get && raw === '/debug/stats') return json(res, 200, debugStats(ctx));
    return notFound(res);
  } catch (err) {
    if (!res.headersSent) json(res, 500, { message: 'Something went wrong.', detail: String(err && err.message) });
    else res.destroy();
  }
}

// The page's actions: name -> (ctx, body) -> the answer's body.
const ACTIONS = {
  search: async (ctx) => ({ cameras: await camera.search(ctx) }),
  open: async (ctx, body) => {
    const index = Number(body.index);
    if (!Number.isInteger(index) || index < 0) return null;
    return { camera: await camera.openCamera(ctx, index) };
  },
  reconnect: async (ctx) => ({ camera: await camera.reconnect(ctx) }),
  capture: async (ctx) => ({ photo: await camera.capture(ctx) }),
  setting: async (ctx, body) => ({ settings: await camera.setSetting(ctx, body.key, body.value) }),
  close: async (ctx) => {
    await camera.closeCamera(ctx);
    return {};
  },
};

async function api(ctx, req, res, name) {
  // Only same-origin scripts can post JSON; a form from elsewhere cannot.
  if (req.method !== 'POST' || !(req.headers['content-type'] || '').startsWith('application/json')) {
    return json(res, 405, { message: 'POST application/json only' });
  }
  if (!originAllowed(ctx.names, req)) return json(res, 403, { message: 'wrong origin' });
  try {
    const body = await readJson(req);
    if (!Object.hasOwn(ACTIONS, name)) return notFound(res);
    const answer = await ACTIONS[name](ctx, body);
    if (answer === null) return json(res, 400, { message: 'Choose a camera first.' });
    return json(res, 200, answer);
  } catch (err) {
    const out = actionProblem(err, name);
    actionFailed(ctx.hub, out);
    return json(res, 502, out);
  }
}

function debugStats(ctx) {
  const { relay, bridge } = ctx;
  const cpu = process.cpuUsage();
  return {
    ...relay.stats,
    bridgeFrames: bridge ? bridge.stats.frames : 0,
    bridgePid: bridge ? bridge.pid : null,
    serverPid: process.pid,
    cpuUserUs: cpu.user,
    cpuSystemUs: cpu.system,
    viewers: relay.viewers.size,
    pulling: relay.pulling,
  };
}

function notFound(res) {
  res.writeHead(404, { 'Content-Type': 'text/plain; charset=utf-8' });
  res.end('Not found\n');
}

function json(res, status, body) {
  res.writeHead(status, { 'Content-Type': 'application/json; charset=utf-8', 'Cache-Control': 'no-store' });
  res.end(JSON.stringify(body));
}

async function readJson(req) {
  let text = '';
  for await (const chunk of req) {
    text += chunk;
    if (text.length > 4096) throw new Error('request too large');
  }
  return text ? JSON.parse(text) : {};
}

async function asset(req, res, entry) {
  const [file, type] = entry;
  const body = await fsp.readFile(path.join(PUBLIC, file));
  res.writeHead(200, {
    'Content-Type': type,
    'Content-Length': body.length,
    'Cache-Control': 'no-cache',
    'X-Content-Type-Options': 'nosniff',
    'Content-Security-Policy': "default-src 'self'; img-src 'self' blob:; style-src 'self'; script-src 'self'; connect-src 'self'",
  });
  res.end(req.method === 'HEAD' ? undefined : body);
}
