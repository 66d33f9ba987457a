#!/usr/bin/env node
// Photo booth server: one camera through gpbridge, one page in the browser.
//
//   node server.mjs --photos DIR [--port 8080] [--host 127.0.0.1]
//                   [--bridge EXECUTABLE] [--live DIR] [--debug]
//
// Serves the page and its assets, an MJPEG live-view stream, Server-Sent
// Events with the camera's state, a small JSON API the page posts to, and the
// photos in the download folder. Nothing else is reachable.

import http from 'node:http';
import fs from 'node:fs';
import fsp from 'node:fs/promises';
import path from 'node:path';
import { pipeline } from 'node:stream';
import { fileURLToPath, pathToFileURL } from 'node:url';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const CLIENT = path.resolve(HERE, '../../clients/node/dist/index.js');
const BOUNDARY = 'gpbridgeframe';
const CAPTURE_TIMEOUT_MS = 20000;
const LIVE_RETRY_MS = 2000;

// The page and its assets: a fixed table, so no request path ever reaches
// the filesystem here.
const ASSETS = {
  '/': ['index.html', 'text/html; charset=utf-8'],
  '/index.html': ['index.html', 'text/html; charset=utf-8'],
  '/booth.css': ['booth.css', 'text/css; charset=utf-8'],
  '/booth.js': ['booth.js', 'text/javascript; charset=utf-8'],
};

const PHOTO_TYPES = {
  '.jpg': 'image/jpeg', '.jpeg': 'image/jpeg', '.png': 'image/png',
  '.gif': 'image/gif', '.webp': 'image/webp', '.tif': 'image/tiff', '.tiff': 'image/tiff',
};

// What a booth operator reads for each kind of bridge error; the bridge's
// own text goes in the detail line.
const PROBLEMS = [
  ['abrir: Unknown model', 'That camera is no longer there. Press "Find cameras" and choose it again.'],
  ['abrir: Could not claim', 'Another program is using the camera. Close it, then open the camera again.'],
  ['abrir:', 'The camera could not be opened. Check that it is switched on and its cable is plugged in.'],
  ['disparar:', 'The photo could not be taken. Check the camera and try again.'],
  ['vista en directo:', 'The live view stopped. It will restart by itself in a moment.'],
  ['cámara:', 'The camera is not answering properly. If this lasts, switch it off and on again.'],
  ['bajar la foto:', 'A photo could not be copied from the camera. It is still on the camera\'s card.'],
  ['No se puede guardar en la carpeta', 'Photos cannot be saved: the photo folder is missing, read-only or full.'],
];

export function explain(text) {
  for (const [start, words] of PROBLEMS) if (text.startsWith(start)) return words;
  return 'The camera reported a problem.';
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

function parseArgs(argv) {
  const opts = { port: 8080, host: '127.0.0.1', bridge: undefined, live: undefined, photos: undefined, debug: false };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    const value = () => { if (i + 1 >= argv.length) throw new Error(`${a} needs a value`); return argv[++i]; };
    if (a === '--port') opts.port = Number(value());
    else if (a === '--host') opts.host = value();
    else if (a === '--bridge') opts.bridge = value();
    else if (a === '--live') opts.live = value();
    else if (a === '--photos') opts.photos = value();
    else if (a === '--debug') opts.debug = true;
    else throw new Error(`unknown option ${a}`);
  }
  if (!opts.photos) throw new Error('--photos DIR is required');
  if (!Number.isInteger(opts.port) || opts.port < 0 || opts.port > 65535) throw new Error('bad --port');
  return opts;
}

export async function createBooth({ photos, bridge: executable, live: liveDir, host = '127.0.0.1', port = 8080, debug = false, env }) {
  const { Bridge } = await import(pathToFileURL(CLIENT).href);
  const photosDir = path.resolve(photos);
  await fsp.mkdir(photosDir, { recursive: true });

  const state = {
    cameras: [],
    camera: null, // { index, model, port }
    settings: null,
    photos: [], // names, newest first
    disconnected: false,
  };
  const pages = new Set(); // SSE responses
  const viewers = new Set(); // { res, busy }
  const stats = { published: 0, firstN: 0, lastN: 0, sent: 0, skipped: 0, repeated: 0 };
  let bridge = null;
  let starting = null;
  let live = null; // promise of the running live-view loop
  let lastFrame = null; // bytes of the newest frame sent, and the part that carried it
  let lastPart = null;
  let liveRetry = null;
  let liveFailures = 0; // live-view runs in a row that gave no picture
  let closing = false;
  let lastCamera = null; // the camera to look for again after a disconnection

  function send(kind, data) {
    const chunk = `event: ${kind}\ndata: ${JSON.stringify(data)}\n\n`;
    for (const res of pages) res.write(chunk);
  }
  function snapshot() {
    return { ...state, photos: state.photos.map(photoEntry) };
  }
  function photoEntry(name) {
    return { name, url: '/photos/' + encodeURIComponent(name) };
  }
  const lastSaid = new Map(); // problem detail -> when it was last shown
  function problem(err, fallback) {
    const detail = err && typeof err.text === 'string' ? err.text : (err && err.message) || String(err);
    const message = err && typeof err.text === 'string' ? explain(err.text) : fallback;
    // Camera warnings can repeat several times a second, two or more of
    // them taking turns: say each one once while it keeps coming.
    const now = Date.now();
    const last = lastSaid.get(detail);
    if (last === undefined || now - last > 10000) send('problem', { message, detail });
    if (lastSaid.size > 100) lastSaid.clear();
    lastSaid.set(detail, now);
  }

  async function getBridge() {
    if (bridge) return bridge;
    if (!starting) {
      starting = Bridge.start({ executable, liveViewDir: liveDir, env: env ?? process.env }).then((b) => {
        b.on('photo', (p) => {
          state.photos.unshift(p.name);
          send('photo', photoEntry(p.name));
        });
        b.on('settings', (s) => {
          state.settings = s;
          send('settings', s);
        });
        b.on('closed', (reason) => {
          // 'otra': closed for the camera being opened, which may still fail.
          lastFrame = lastPart = null;
          state.camera = null;
          state.settings = null;
          if (reason === 'desconectada') state.disconnected = true;
          send('closed', { reason, disconnected: state.disconnected });
        });
        b.on('bridgeError', (err) => problem(err, 'The camera reported a problem.'));
        b.on('protocolError', (err) => problem(err, 'The camera program sent something unexpected.'));
        b.on('exit', (code, signal) => {
          if (bridge === b) bridge = null;
          // A new bridge starts its pictures afresh: its first one must not
          // be taken for a repeat of the old bridge's last.
          lastFrame = lastPart = null;
          state.camera = null;
          state.settings = null;
          if (!closing) {
            send('closed', { reason: 'exit', disconnected: state.disconnected });
            problem({ message: `camera program ended (${signal || 'status ' + code})` },
              'The camera program stopped. Open the camera again to restart it.');
          }
        });
        bridge = b;
        return b;
      }).finally(() => { starting = null; });
    }
    return starting;
  }

  // -- live view ------------------------------------------------------------

  function ensureLive() {
    if (live || liveRetry || closing || !state.camera || !viewers.size || !bridge) return;
    const b = bridge;
    const cam = state.camera;
    let frames = 0;
    live = (async () => {
      try {
        for await (const frame of b.liveView()) {
          if (!viewers.size || !state.camera) break;
          frames++;
          let data;
          try { data = await frame.read(); } catch { continue; }
          if (!stats.firstN) stats.firstN = frame.n;
          stats.lastN = frame.n;
          stats.published = stats.lastN - stats.firstN + 1;
          // The file may already hold the next frame when its event comes:
          // a frame read twice is sent once.
          if (lastFrame && data.equals(lastFrame)) { stats.repeated++; continue; }
          lastFrame = data;
          broadcast(data);
        }
      } catch (err) {
        // A bridge that exits is reported once, by its 'exit' handler.
        if (err?.code !== 'ERR_BRIDGE_EXITED') problem(err, 'The live view stopped.');
      } finally {
        live = null;
      }
      // The loop also ends when another camera is opened (start again at
      // once) and when the bridge reports a failing live view (try again in
      // a moment while somebody is watching). A camera that gives no
      // picture at all (one without live view) is asked less and less often.
      liveFailures = frames ? 0 : Math.min(liveFailures + 1, 5);
      if (!closing && state.camera && viewers.size) {
        const delay = state.camera !== cam ? 0 : LIVE_RETRY_MS * 2 ** Math.max(liveFailures - 1, 0);
        liveRetry = setTimeout(() => { liveRetry = null; ensureLive(); }, delay);
      }
    })();
  }

  function broadcast(data) {
    // One buffer per part, written with one call per viewer.
    const head = `--${BOUNDARY}\r\nContent-Type: image/jpeg\r\nContent-Length: ${data.length}\r\n\r\n`;
    const part = Buffer.allocUnsafe(head.length + data.length + 2);
    part.latin1Write(head, 0);
    data.copy(part, head.length);
    part[part.length - 2] = 13;
    part[part.length - 1] = 10;
    lastPart = part;
    for (const v of viewers) {
      if (v.busy) { stats.skipped++; continue; } // a slow viewer gets the next frame instead
      const ok = v.res.write(part);
      stats.sent++;
      if (!ok) {
        v.busy = true;
        v.res.once('drain', () => { v.busy = false; });
      }
    }
  }

  // -- camera actions ---------------------------------------------------------

  async function search() {
    const b = await getBridge();
    const list = await b.listCameras();
    state.cameras = list.map((c) => ({ model: c.model, port: c.port }));
    send('cameras', state.cameras);
    return state.cameras;
  }

  async function openCamera(index) {
    const b = await getBridge();
    const cam = state.cameras[index];
    const opened = await b.open(index, photosDir);
    if (!b.isOpen) {
      // It went away in the very moment it opened: its 'closed' has been
      // handled already, and the page shows the disconnection.
      const err = new Error('the camera closed as it opened');
      err.operator = 'The camera went away as it was being opened. Check its cable, then reconnect.';
      throw err;
    }
    state.camera = { index, model: opened.model, port: cam ? cam.port : '' };
    state.settings = opened.settings;
    state.disconnected = false;
    liveFailures = 0;
    lastCamera = state.camera;
    send('opened', { camera: state.camera, settings: state.settings });
    ensureLive();
    return state.camera;
  }

  // After a disconnection: find the same camera again (same port, else same
  // model, else the only one) and open it.
  async function reconnect() {
    const before = state.camera || lastCamera;
    const list = await search();
    let index = -1;
    if (before) index = list.findIndex((c) => c.port === before.port);
    if (index < 0 && before) index = list.findIndex((c) => c.model === before.model);
    if (index < 0 && list.length) index = 0;
    if (index < 0) {
      const err = new Error('no camera found');
      err.operator = 'No camera found. Check that it is switched on and its cable is plugged in, then try again.';
      throw err;
    }
    return openCamera(index);
  }

  async function capture() {
    if (!state.camera) {
      const err = new Error('no camera open');
      err.operator = 'Open a camera first.';
      throw err;
    }
    const b = await getBridge();
    const photo = await b.capture({ timeoutMs: CAPTURE_TIMEOUT_MS });
    return photoEntry(photo.name);
  }

  // -- HTTP -----------------------------------------------------------------

  const allowedHosts = new Set();
  function hostAllowed(req) {
    // Refuse other names for this server (DNS rebinding from a web page).
    const h = (req.headers.host || '').toLowerCase();
    return allowedHosts.has(h);
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

  async function api(req, res, name) {
    // Only same-origin scripts can post JSON; a form from elsewhere cannot.
    if (req.method !== 'POST' || !(req.headers['content-type'] || '').startsWith('application/json')) {
      return json(res, 405, { message: 'POST application/json only' });
    }
    const origin = req.headers.origin;
    if (origin && origin !== `http://${req.headers.host}`) return json(res, 403, { message: 'wrong origin' });
    try {
      const body = await readJson(req);
      if (name === 'search') return json(res, 200, { cameras: await search() });
      if (name === 'open') {
        const index = Number(body.index);
        if (!Number.isInteger(index) || index < 0) return json(res, 400, { message: 'Choose a camera first.' });
        return json(res, 200, { camera: await openCamera(index) });
      }
      if (name === 'reconnect') return json(res, 200, { camera: await reconnect() });
      if (name === 'capture') return json(res, 200, { photo: await capture() });
      if (name === 'close') {
        const b = await getBridge();
        await b.close();
        return json(res, 200, {});
      }
      return notFound(res);
    } catch (err) {
      const out = err && err.operator
        ? { message: err.operator, detail: err.message }
        : problemText(err, name);
      // Every page shows it, not only the one that asked.
      send('problem', out);
      lastSaid.set(out.detail, Date.now()); // the bridge's own report of it need not follow
      return json(res, 502, out);
    }
  }

  function problemText(err, name) {
    if (err && typeof err.text === 'string') return { message: explain(err.text), detail: err.text };
    const what = {
      search: 'The cameras could not be listed.',
      open: 'The camera could not be opened.',
      reconnect: 'The camera could not be opened again.',
      capture: 'The photo did not arrive. Check the camera and try again.',
      close: 'The camera could not be closed.',
    }[name] || 'Something went wrong.';
    return { message: what, detail: (err && err.message) || String(err) };
  }

  function events(req, res) {
    res.writeHead(200, {
      'Content-Type': 'text/event-stream; charset=utf-8',
      'Cache-Control': 'no-store',
      Connection: 'keep-alive',
    });
    res.write(`retry: 1000\nevent: state\ndata: ${JSON.stringify(snapshot())}\n\n`);
    pages.add(res);
    req.on('close', () => pages.delete(res));
  }

  function liveStream(req, res) {
    // No chunked framing: the parts carry their own lengths and the stream
    // ends with the connection.
    res.setHeader('Content-Type', `multipart/x-mixed-replace; boundary=${BOUNDARY}`);
    res.setHeader('Cache-Control', 'no-store');
    res.setHeader('Connection', 'close');
    res.removeHeader('Transfer-Encoding');
    res.writeHead(200);
    res.flushHeaders();
    res.socket.setNoDelay(true);
    const v = { res, busy: false };
    viewers.add(v);
    // A new viewer sees the current picture at once, not at the next change.
    if (lastPart && state.camera) res.write(lastPart);
    req.on('close', () => viewers.delete(v));
    ensureLive();
  }

  async function photo(req, res, raw) {
    const found = await photoFile(photosDir, raw);
    if (!found) return notFound(res);
    const type = PHOTO_TYPES[path.extname(found.file).toLowerCase()] || 'application/octet-stream';
    res.writeHead(200, {
      'Content-Type': type,
      'Content-Length': found.size,
      'Cache-Control': 'private, max-age=3600',
      'X-Content-Type-Options': 'nosniff',
    });
    if (req.method === 'HEAD') {
      await found.handle.close();
      return res.end();
    }
    // pipeline closes the file however the response ends, an aborted one too.
    pipeline(fs.createReadStream(null, { fd: found.handle }), res, () => {});
  }

  async function asset(req, res, entry) {
    const [file, type] = entry;
    const body = await fsp.readFile(path.join(HERE, 'public', file));
    res.writeHead(200, {
      'Content-Type': type,
      'Content-Length': body.length,
      'Cache-Control': 'no-cache',
      'X-Content-Type-Options': 'nosniff',
      'Content-Security-Policy': "default-src 'self'; img-src 'self' blob:; style-src 'self'; script-src 'self'; connect-src 'self'",
    });
    res.end(req.method === 'HEAD' ? undefined : body);
  }

  const server = http.createServer(async (req, res) => {
    try {
      if (!hostAllowed(req)) return notFound(res);
      // Route on the raw path: no decoding or dot-segment folding happens
      // before the photo route's own checks.
      const raw = (req.url || '').split('?')[0];
      const get = req.method === 'GET' || req.method === 'HEAD';
      if (get && Object.hasOwn(ASSETS, raw)) return await asset(req, res, ASSETS[raw]);
      if (req.method === 'GET' && raw === '/events') return events(req, res); // a stream: no HEAD
      if (get && raw === '/live.mjpg') return liveStream(req, res);
      if (get && raw.startsWith('/photos/')) return await photo(req, res, raw.slice('/photos/'.length));
      if (raw.startsWith('/api/')) return await api(req, res, raw.slice('/api/'.length));
      if (debug && get && raw === '/debug/stats') {
        const cpu = process.cpuUsage();
        return json(res, 200, {
          ...stats,
          bridgeFrames: bridge ? bridge.stats.frames : 0,
          cpuUserUs: cpu.user,
          cpuSystemUs: cpu.system,
          viewers: viewers.size,
        });
      }
      return notFound(res);
    } catch (err) {
      if (!res.headersSent) json(res, 500, { message: 'Something went wrong.', detail: String(err && err.message) });
      else res.destroy();
    }
  });

  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, host, resolve);
  });
  const actual = server.address().port;
  const shown = host.includes(':') ? `[${host}]` : host;
  for (const h of [`${shown}:${actual}`, `localhost:${actual}`, `127.0.0.1:${actual}`]) allowedHosts.add(h.toLowerCase());
  // Browsers leave the default port out of the Host header.
  if (actual === 80) for (const h of [shown, 'localhost', '127.0.0.1']) allowedHosts.add(h.toLowerCase());
  if (host === '0.0.0.0' || host === '::') {
    // Bound to every interface on purpose: accept any name.
    allowedHosts.has = () => true;
  }
  const keepAlive = setInterval(() => { for (const res of pages) res.write(': ping\n\n'); }, 15000);

  // Start the bridge and list the cameras at once, so the page has them.
  search().catch((err) => problem(err, 'The cameras could not be listed.'));

  return {
    url: `http://${shown}:${actual}/`,
    port: actual,
    server,
    async close() {
      closing = true;
      clearInterval(keepAlive);
      clearTimeout(liveRetry);
      for (const v of viewers) v.res.end();
      for (const res of pages) res.end();
      viewers.clear();
      pages.clear();
      server.closeAllConnections?.();
      await new Promise((r) => server.close(r));
      const b = bridge || (starting && await starting.catch(() => null));
      if (b) await b.quit().catch(() => {});
    },
  };
}

async function main() {
  let opts;
  try {
    opts = parseArgs(process.argv.slice(2));
  } catch (err) {
    process.stderr.write(`booth: ${err.message}\n`);
    process.exit(2);
  }
  const booth = await createBooth(opts);
  process.stdout.write(`${booth.url}\n`);
  let stopping = false;
  const stop = async () => {
    if (stopping) return;
    stopping = true;
    await booth.close();
    process.exit(0);
  };
  process.on('SIGINT', stop);
  process.on('SIGTERM', stop);
}

if (process.argv[1] && path.resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  main().catch((err) => {
    process.stderr.write(`booth: ${err.stack || err}\n`);
    process.exit(1);
  });
}
