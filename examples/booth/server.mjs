#!/usr/bin/env node
// Photo booth server: one camera through gpbridge, one page in the browser.
//
//   node server.mjs --photos DIR [--port 8080] [--host 127.0.0.1]
//                   [--allow-host NAME]... [--bridge EXECUTABLE] [--live DIR]
//                   [--grace SECONDS] [--debug]
//
// Serves the page and its assets, the live view (frame by frame for the
// page, and as an MJPEG stream), Server-Sent Events with the camera's state,
// a small JSON API the page posts to, and the photos in the download folder.
// Nothing else is reachable.

import http from 'node:http';
import fs from 'node:fs';
import fsp from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';
import { pipeline } from 'node:stream';
import { fileURLToPath, pathToFileURL } from 'node:url';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const CLIENT = path.resolve(HERE, '../../clients/node/dist/index.js');
const BOUNDARY = 'gpbridgeframe';
const CAPTURE_TIMEOUT_MS = 20000;
const LIVE_RETRY_MS = 2000;
const STOP_GRACE_MS = 3000; // how long a stop waits for the camera before killing the bridge
const KILL_WAIT_MS = 2000; // how long a killed bridge may take to be gone
const PULL_WAIT_MS = 10000; // how long /live/frame waits for a new frame before answering 204
const PULL_GONE_MS = 3000; // a page that asked for no frame this long is no longer watching

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

// Files the page can show: others (RAW files beside a JPEG) are saved and
// served, but not put in the gallery.
const SHOWN_TYPES = new Set(['.jpg', '.jpeg', '.png', '.gif', '.webp']);

// The width of the gallery's thumbnails, in pixels: the page scales each
// photo down to it once and shows only that (never a full-size photo in the
// grid).
const THUMB_WIDTH = 320;

// The settings the page offers as menus, with the name a guest reads.
const SETTING_NAMES = { iso: 'ISO', aperture: 'Aperture', shutterSpeed: 'Shutter speed' };

// What the booth says for each error code of the client, in plain words; the
// bridge's own text goes in the detail line.
const MESSAGES = {
  OPEN_FAILED: 'The camera could not be opened. Check that it is switched on and its cable is plugged in.',
  CAPTURE_FAILED: 'The photo could not be taken. Check the camera and try again.',
  DOWNLOAD_FAILED: 'A photo could not be copied from the camera. It is still on the camera\'s card.',
  LIVE_VIEW_FAILED: 'The live view stopped. It will restart by itself in a moment.',
  SETTING_REJECTED: 'The camera did not accept that setting. Choose another value.',
  CAMERA_ERROR: 'The camera is not answering properly. If this lasts, switch it off and on again.',
  FOLDER_NOT_WRITABLE: 'Photos cannot be saved: the photo folder is missing, read-only or full.',
  BRIDGE_ERROR: 'The camera reported a problem.',
  CAMERA_UNAVAILABLE: 'The camera is not there. Check its cable and that it is switched on.',
  ERR_BRIDGE_TIMEOUT: 'The camera took too long to answer. Try again.',
  ERR_BRIDGE_CLOSED: 'The camera closed before it had finished.',
  ERR_BRIDGE_NO_CAMERA: 'Open a camera first.',
  ERR_BRIDGE_EXITED: 'The camera program stopped. Open the camera again to restart it.',
};
// A few library texts say more than their code.
const OPEN_TEXTS = [
  ['Unknown model', 'That camera is no longer there. Press "Find cameras" and choose it again.'],
  ['Could not claim', 'Another program is using the camera. Close it, then open the camera again.'],
];

/** What the booth says for a client error: by its code, or `fallback`. */
export function explain(err, fallback = 'Something went wrong.') {
  const code = err && err.code;
  if (code === 'OPEN_FAILED' && typeof err.text === 'string') {
    for (const [part, words] of OPEN_TEXTS) if (err.text.includes(part)) return words;
  }
  return (typeof code === 'string' && Object.hasOwn(MESSAGES, code) && MESSAGES[code]) || fallback;
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

// A name for this server as a Host header gives it: a DNS name or IPv4
// address, or an IPv6 address in brackets, with an optional port.
const HOST_NAME = /^(?:[a-z0-9](?:[a-z0-9.-]*[a-z0-9])?|\[[0-9a-f:.]+\])(?::\d{1,5})?$/i;

function parseArgs(argv) {
  const opts = {
    port: 8080, host: '127.0.0.1', allowHosts: [], bridge: undefined, live: undefined, photos: undefined,
    graceMs: STOP_GRACE_MS, debug: false,
  };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    const value = () => { if (i + 1 >= argv.length) throw new Error(`${a} needs a value`); return argv[++i]; };
    if (a === '--port') opts.port = Number(value());
    else if (a === '--host') opts.host = value();
    else if (a === '--allow-host') opts.allowHosts.push(value());
    else if (a === '--grace') opts.graceMs = Number(value()) * 1000;
    else if (a === '--bridge') opts.bridge = value();
    else if (a === '--live') opts.live = value();
    else if (a === '--photos') opts.photos = value();
    else if (a === '--debug') opts.debug = true;
    else throw new Error(`unknown option ${a}`);
  }
  if (!opts.photos) throw new Error('--photos DIR is required');
  if (!Number.isInteger(opts.port) || opts.port < 0 || opts.port > 65535) throw new Error('bad --port');
  if (!(opts.graceMs >= 0) || !Number.isFinite(opts.graceMs)) throw new Error('bad --grace');
  for (const h of opts.allowHosts) if (!HOST_NAME.test(h)) throw new Error(`bad --allow-host ${h}`);
  return opts;
}

export async function createBooth({
  photos, bridge: executable, live: liveDir, host = '127.0.0.1', port = 8080, allowHosts = [],
  graceMs = STOP_GRACE_MS, debug = false, env,
}) {
  const { Bridge } = await import(pathToFileURL(CLIENT).href);
  const photosDir = path.resolve(photos);
  await fsp.mkdir(photosDir, { recursive: true });

  const state = {
    cameras: [],
    camera: null, // { index, model, port }
    settings: null,
    choices: null, // { iso, aperture, shutterSpeed }: the camera's values for each
    photos: [], // names, newest first
    disconnected: false,
    thumbWidth: THUMB_WIDTH,
  };
  const pages = new Set(); // SSE responses
  const viewers = new Set(); // /live.mjpg: { res, next, writing }
  const pullers = new Set(); // /live/frame requests waiting for a new frame: { res, timer }
  let pulling = 0; // /live/frame requests not yet answered in full
  let lastPull = 0; // when a page last asked for a frame
  const stats = { published: 0, firstN: 0, lastN: 0, sent: 0, skipped: 0, repeated: 0 };
  let bridge = null;
  let starting = null;
  let live = null; // promise of the running live-view loop
  let lastFrame = null; // bytes of the newest frame sent, and the part that carried it
  let lastPart = null;
  let frameId = 0; // counts the distinct frames published (lastFrame's number)
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
  function showable(name) {
    return SHOWN_TYPES.has(path.extname(name).toLowerCase());
  }
  const lastSaid = new Map(); // problem detail -> when it was last shown
  function problem(err, fallback) {
    const detail = err && typeof err.text === 'string' ? err.text : (err && err.message) || String(err);
    const message = explain(err, fallback);
    // A camera that has gone away has one message, its banner: what the
    // bridge says about it meanwhile would only contradict it.
    if (state.disconnected) return;
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
          if (!showable(p.name)) return;
          state.photos.unshift(p.name);
          send('photo', photoEntry(p.name));
        });
        b.on('settings', (s) => {
          state.settings = s;
          send('settings', s);
        });
        b.on('closed', (reason) => {
          // 'replaced': closed for the camera being opened, which may still fail.
          lastFrame = lastPart = null;
          for (const v of viewers) v.next = null; // a picture of a closed camera
          state.camera = null;
          state.settings = null;
          state.choices = null;
          if (reason === 'disconnected') state.disconnected = true;
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
          state.choices = null;
          if (!closing) {
            send('closed', { reason: 'exit', disconnected: state.disconnected });
            problem({ message: `camera program ended (${signal || 'status ' + code})` }, MESSAGES.ERR_BRIDGE_EXITED);
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
    if (live || liveRetry || closing || !state.camera || !watching() || !bridge) return;
    const b = bridge;
    const cam = state.camera;
    let frames = 0;
    live = (async () => {
      try {
        for await (const frame of b.liveView()) {
          if (!watching() || !state.camera) break;
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
      if (!closing && state.camera && watching()) {
        const delay = state.camera !== cam ? 0 : LIVE_RETRY_MS * 2 ** Math.max(liveFailures - 1, 0);
        liveRetry = setTimeout(() => { liveRetry = null; ensureLive(); }, delay);
      }
    })();
  }

  // Somebody watches: a /live.mjpg viewer, or a page that is fetching a
  // frame or fetched one a moment ago.
  function watching() {
    return viewers.size > 0 || pulling > 0 || Date.now() - lastPull < PULL_GONE_MS;
  }

  function broadcast(data) {
    frameId++;
    // One buffer per part, written with one call per viewer.
    const head = `--${BOUNDARY}\r\nContent-Type: image/jpeg\r\nContent-Length: ${data.length}\r\n\r\n`;
    const part = Buffer.allocUnsafe(head.length + data.length + 2);
    part.latin1Write(head, 0);
    data.copy(part, head.length);
    part[part.length - 2] = 13;
    part[part.length - 1] = 10;
    lastPart = part;
    for (const v of viewers) {
      if (v.next) stats.skipped++; // a slow viewer gets this one instead
      v.next = part;
      feed(v);
    }
    for (const p of pullers) answerPull(p);
  }

  // A /live.mjpg viewer holds at most one frame waiting, replaced by each
  // newer one, and gets it once the previous one has been handed to the
  // kernel. (What the kernel's socket buffers hold on the way is out of
  // reach here: the page uses /live/frame, which has one frame on its way.)
  function feed(v) {
    if (!v.next || v.writing) return;
    const part = v.next;
    v.next = null;
    v.writing = true;
    stats.sent++;
    v.res.write(part, () => {
      v.writing = false;
      feed(v);
    });
  }

  // /live/frame?after=N: the newest frame if it is not frame N, else the
  // next one when it comes (or 204 after a while). Each page asks for the
  // next frame only once it has this one, so no more than one frame is ever
  // on its way to it, however slow its connection.
  function liveFrame(req, res, query) {
    const m = /(?:^|&)after=(\d{1,15})(?:&|$)/.exec(query);
    const after = m ? Number(m[1]) : 0;
    pulling++;
    lastPull = Date.now();
    const p = { res, timer: null };
    res.once('close', () => {
      pulling--;
      lastPull = Date.now();
      if (p.timer !== null) pullers.delete(p);
      clearTimeout(p.timer);
    });
    if (lastFrame && state.camera && frameId !== after) {
      answerPull(p);
    } else {
      pullers.add(p);
      p.timer = setTimeout(() => {
        pullers.delete(p);
        res.writeHead(204, { 'Cache-Control': 'no-store' });
        res.end();
      }, PULL_WAIT_MS);
    }
    ensureLive();
  }

  function answerPull(p) {
    pullers.delete(p);
    clearTimeout(p.timer);
    p.timer = null;
    stats.sent++;
    p.res.sendDate = false;
    p.res.writeHead(200, {
      'Content-Type': 'image/jpeg',
      'Content-Length': lastFrame.length,
      'Cache-Control': 'no-store',
      'X-Frame': String(frameId),
    });
    p.res.end(lastFrame);
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
    state.choices = null;
    state.disconnected = false;
    liveFailures = 0;
    lastCamera = state.camera;
    send('opened', { camera: state.camera, settings: state.settings });
    ensureLive();
    readChoices(b, state.camera);
    return state.camera;
  }

  // The camera's values for each setting, for the page's menus. Asked once
  // per open: they do not change while the camera stays in its mode.
  function readChoices(b, cam) {
    b.settingChoices().then((choices) => {
      if (state.camera !== cam) return;
      state.choices = { iso: choices.iso, aperture: choices.aperture, shutterSpeed: choices.shutterSpeed };
      send('choices', state.choices);
    }, (err) => {
      if (state.camera === cam) problem(err, 'The camera\'s settings could not be read.');
    });
  }

  async function setSetting(key, value) {
    if (!Object.hasOwn(SETTING_NAMES, key) || typeof value !== 'string' || !value || value.length > 255 || /[\r\n\0]/.test(value)) {
      const err = new Error('bad setting');
      err.operator = 'Choose one of the values the camera offers.';
      throw err;
    }
    if (!state.camera) {
      const err = new Error('no camera open');
      err.operator = MESSAGES.ERR_BRIDGE_NO_CAMERA;
      throw err;
    }
    const b = await getBridge();
    try {
      return await b.setSetting(key, value);
    } catch (err) {
      if (err && err.code === 'SETTING_REJECTED') {
        err.operator = `The camera did not accept ${SETTING_NAMES[key]} ${value}. Choose another value.`;
      }
      throw err;
    }
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
    // The shot's first file the page can show (a RAW file may come first).
    const files = Array.isArray(photo.files) && photo.files.length ? photo.files : [photo];
    const first = files.find((f) => showable(f.name)) || photo;
    return photoEntry(first.name);
  }

  // -- HTTP -----------------------------------------------------------------

  // The names this server answers to: its own addresses and the names the
  // operator gave. A page on another site that rebinds its own name to this
  // machine sends that name as Host (and as Origin), and gets nowhere.
  let actualPort = port;
  let allowedHosts = new Set();
  let namesRead = 0;
  function readNames() {
    const names = ['localhost', '127.0.0.1', '[::1]'];
    if (host === '0.0.0.0' || host === '::') {
      // Every interface: every address the machine has now.
      for (const list of Object.values(os.networkInterfaces())) {
        for (const a of list || []) names.push(a.family === 'IPv6' || a.family === 6 ? `[${a.address.split('%')[0]}]` : a.address);
      }
    } else {
      names.push(host.includes(':') ? `[${host}]` : host);
    }
    const set = new Set();
    const add = (h) => {
      h = h.toLowerCase();
      if (/(?::\d+)$/.test(h) && !/^\[[^\]]*\]$/.test(h)) { set.add(h); return; }
      set.add(`${h}:${actualPort}`);
      if (actualPort === 80) set.add(h); // browsers leave the default port out
    };
    for (const n of names) add(n);
    for (const n of allowHosts) add(n);
    allowedHosts = set;
    namesRead = Date.now();
  }
  function isOwnName(h) {
    h = (h || '').toLowerCase();
    if (allowedHosts.has(h)) return true;
    // An address the machine got since (a new lease, a new interface).
    if (Date.now() - namesRead > 2000) readNames();
    return allowedHosts.has(h);
  }
  function hostAllowed(req) {
    return isOwnName(req.headers.host);
  }
  function originAllowed(req) {
    const origin = req.headers.origin;
    if (origin === undefined) return true; // not a browser's cross-site request
    return origin.startsWith('http://') && isOwnName(origin.slice('http://'.length));
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
    if (!originAllowed(req)) return json(res, 403, { message: 'wrong origin' });
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
      if (name === 'setting') return json(res, 200, { settings: await setSetting(body.key, body.value) });
      if (name === 'close') {
        const b = await getBridge();
        await b.close();
        return json(res, 200, {});
      }
      return notFound(res);
    } catch (err) {
      const out = err && err.operator
        ? { message: err.operator, detail: typeof err.text === 'string' ? err.text : err.message }
        : problemText(err, name);
      // Every page shows it, not only the one that asked.
      send('problem', out);
      lastSaid.set(out.detail, Date.now()); // the bridge's own report of it need not follow
      return json(res, 502, out);
    }
  }

  function problemText(err, name) {
    const what = {
      search: 'The cameras could not be listed.',
      open: 'The camera could not be opened.',
      reconnect: 'The camera could not be opened again.',
      capture: 'The photo did not arrive. Check the camera and try again.',
      setting: 'The setting could not be changed.',
      close: 'The camera could not be closed.',
    }[name] || 'Something went wrong.';
    const message = name === 'capture' && err && err.code === 'ERR_BRIDGE_TIMEOUT' ? what : explain(err, what);
    return { message, detail: err && typeof err.text === 'string' ? err.text : (err && err.message) || String(err) };
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
    const v = { res, next: null, writing: false };
    viewers.add(v);
    req.on('close', () => viewers.delete(v));
    // A new viewer sees the current picture at once, not at the next change.
    if (lastPart && state.camera) {
      v.next = lastPart;
      feed(v);
    }
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
      if (req.method === 'GET' && raw === '/live/frame') return liveFrame(req, res, (req.url || '').slice(raw.length + 1));
      if (get && raw.startsWith('/photos/')) return await photo(req, res, raw.slice('/photos/'.length));
      if (raw.startsWith('/api/')) return await api(req, res, raw.slice('/api/'.length));
      if (debug && get && raw === '/debug/stats') {
        const cpu = process.cpuUsage();
        return json(res, 200, {
          ...stats,
          bridgeFrames: bridge ? bridge.stats.frames : 0,
          bridgePid: bridge ? bridge.pid : null,
          serverPid: process.pid,
          cpuUserUs: cpu.user,
          cpuSystemUs: cpu.system,
          viewers: viewers.size,
          pulling,
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
  actualPort = actual;
  readNames();
  const everywhere = host === '0.0.0.0' || host === '::';
  const shown = everywhere ? '127.0.0.1' : host.includes(':') ? `[${host}]` : host;
  const keepAlive = setInterval(() => { for (const res of pages) res.write(': ping\n\n'); }, 15000);

  // Start the bridge and list the cameras at once, so the page has them.
  search().catch((err) => problem(err, 'The cameras could not be listed.'));

  return {
    url: `http://${shown}:${actual}/`,
    port: actual,
    server,
    /** The Host names this server answers to. */
    names: () => [...allowedHosts],
    /**
     * Stops serving and ends the bridge: it may finish what it is doing
     * (a download) for up to `graceMs`, then it is killed.
     */
    async close() {
      closing = true;
      clearInterval(keepAlive);
      clearTimeout(liveRetry);
      for (const p of pullers) clearTimeout(p.timer);
      pullers.clear();
      for (const v of viewers) v.res.end();
      for (const res of pages) res.end();
      viewers.clear();
      pages.clear();
      server.closeAllConnections?.();
      const served = new Promise((r) => server.close(r));
      const b = bridge || (starting && await starting.catch(() => null));
      if (b && !b.exited) {
        // quit() waits its turn behind a capture in flight, which waits for
        // its download: after the grace period the bridge is killed (a photo
        // it was copying stays on the camera).
        const quit = b.quit().catch(() => {});
        if (await within(quit, graceMs) === TIMED_OUT) {
          b.kill('SIGKILL');
          await within(quit, KILL_WAIT_MS);
        }
      }
      await within(served, KILL_WAIT_MS);
    },
    /** Kills the bridge at once (a second Ctrl-C). */
    kill() {
      closing = true;
      const b = bridge;
      if (b && !b.exited) b.kill('SIGKILL');
    },
  };
}

const TIMED_OUT = Symbol('timed out');
function within(promise, ms) {
  let timer;
  return Promise.race([
    promise,
    new Promise((r) => { timer = setTimeout(r, ms, TIMED_OUT); }),
  ]).finally(() => clearTimeout(timer));
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
  if (opts.host === '0.0.0.0' || opts.host === '::') {
    process.stderr.write(`booth: answering to ${booth.names().join(', ')}\n`);
  }
  // The first signal stops in order, within the grace period and a little
  // more; a second one (Ctrl-C again) kills the bridge and exits at once.
  let stopping = false;
  const stop = (signal) => {
    const status = 128 + os.constants.signals[signal];
    if (stopping) {
      booth.kill();
      process.exit(status);
    }
    stopping = true;
    setTimeout(() => { booth.kill(); process.exit(status); }, opts.graceMs + 2 * KILL_WAIT_MS + 1000).unref();
    booth.close().then(() => process.exit(0), () => process.exit(status));
  };
  for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) process.on(signal, stop);
}

if (process.argv[1] && path.resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  main().catch((err) => {
    process.stderr.write(`booth: ${err.stack || err}\n`);
    process.exit(1);
  });
}
