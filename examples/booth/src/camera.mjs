// The camera session: the bridge, started on first use, and what the page
// asks of the camera through it (find, open, settings, shoot, reconnect),
// up to the shutdown that stops it.
//
// Uses of the booth (`ctx`): `ctx.session` (its own), `ctx.bridge` (the
// running bridge, which it sets), `ctx.state`, `ctx.closing`, the hub for
// the pages and the relay for the live view.

import { send, problem } from './events.mjs';
import { MESSAGES, operatorError } from './messages.mjs';
import { photoEntry, showable } from './photos.mjs';
import { ensureLive, forgetFrames, cameraOpened } from './live.mjs';

const CAPTURE_TIMEOUT_MS = 20000;
export const KILL_WAIT_MS = 2000; // how long a killed bridge may take to be gone

// The settings the page offers as menus, with the name a guest reads.
const SETTING_NAMES = { iso: 'ISO', aperture: 'Aperture', shutterSpeed: 'Shutter speed' };

/** How the bridge is started: the client's `Bridge`, the program, its live-view folder and environment. */
export function createSession({ Bridge, executable, liveDir, env }) {
  return { Bridge, executable, liveDir, env, starting: null, lastCamera: null };
}

/** The state every new page gets first. */
export function snapshot(state) {
  return { ...state, photos: state.photos.map(photoEntry) };
}

const report = (ctx, err, fallback) => problem(ctx.hub, ctx.state.disconnected, err, fallback);

/** The running bridge, started if there is none. */
export async function getBridge(ctx) {
  if (ctx.bridge) return ctx.bridge;
  const s = ctx.session;
  if (!s.starting) {
    s.starting = s.Bridge.start({ executable: s.executable, liveViewDir: s.liveDir, env: s.env ?? process.env }).then((b) => {
      listen(ctx, b);
      ctx.bridge = b;
      return b;
    }).finally(() => { s.starting = null; });
  }
  return s.starting;
}

// What the bridge reports by itself goes to the pages.
function listen(ctx, b) {
  const { state, hub } = ctx;
  b.on('photo', (p) => {
    if (!showable(p.name)) return;
    state.photos.unshift(p.name);
    send(hub, 'photo', photoEntry(p.name));
  });
  b.on('settings', (s) => {
    state.settings = s;
    send(hub, 'settings', s);
  });
  b.on('closed', (reason) => {
    // 'replaced': closed for the camera being opened, which may still fail.
    forgetFrames(ctx.relay, true); // a picture of a closed camera
    forget(state);
    if (reason === 'disconnected') state.disconnected = true;
    send(hub, 'closed', { reason, disconnected: state.disconnected });
  });
  b.on('bridgeError', (err) => report(ctx, err, 'The camera reported a problem.'));
  b.on('protocolError', (err) => report(ctx, err, 'The camera program sent something unexpected.'));
  b.on('exit', (code, signal) => {
    if (ctx.bridge === b) ctx.bridge = null;
    forgetFrames(ctx.relay);
    forget(state);
    if (!ctx.closing) {
      send(hub, 'closed', { reason: 'exit', disconnected: state.disconnected });
      report(ctx, { message: `camera program ended (${signal || 'status ' + code})` }, MESSAGES.ERR_BRIDGE_EXITED);
    }
  });
}

function forget(state) {
  state.camera = null;
  state.settings = null;
  state.choices = null;
}

/** Lists the cameras, for every page. */
export async function search(ctx) {
  const b = await getBridge(ctx);
  const list = await b.listCameras();
  ctx.state.cameras = list.map((c) => ({ model: c.model, port: c.port }));
  send(ctx.hub, 'cameras', ctx.state.cameras);
  return ctx.state.cameras;
}

/** Opens camera `index` of the last list; resolves to the camera open. */
export async function openCamera(ctx, index) {
  const { state } = ctx;
  const b = await getBridge(ctx);
  const cam = state.cameras[index];
  const opened = await b.open(index, ctx.photosDir);
  if (!b.isOpen) {
    // It went away in the very moment it opened: its 'closed' has been
    // handled already, and the page shows the disconnection.
    throw operatorError('the camera closed as it opened', 'The camera went away as it was being opened. Check its cable, then reconnect.');
  }
  state.camera = { index, model: opened.model, port: cam ? cam.port : '' };
  state.settings = opened.settings;
  state.choices = null;
  state.disconnected = false;
  cameraOpened(ctx.relay);
  ctx.session.lastCamera = state.camera;
  send(ctx.hub, 'opened', { camera: state.camera, settings: state.settings });
  ensureLive(ctx);
  readChoices(ctx, b, state.camera);
  return state.camera;
}

// The camera's values for each setting, for the page's menus. Asked once
// per open: they do not change while the camera stays in its mode.
function readChoices(ctx, b, cam) {
  const { state } = ctx;
  b.settingChoices().then((choices) => {
    if (state.camera !== cam) return;
    state.choices = { iso: choices.iso, aperture: choices.aperture, shutterSpeed: choices.shutterSpeed };
    send(ctx.hub, 'choices', state.choices);
  }, (err) => {
    if (state.camera === cam) report(ctx, err, 'The camera\'s settings could not be read.');
  });
}

/** Sets one of the page's settings; resolves to the camera's new report. */
export async function setSetting(ctx, key, value) {
  if (!Object.hasOwn(SETTING_NAMES, key) || typeof value !== 'string' || !value || value.length > 255 || /[\r\n\0]/.test(value)) {
    throw operatorError('bad setting', 'Choose one of the values the camera offers.');
  }
  if (!ctx.state.camera) throw operatorError('no camera open', MESSAGES.ERR_BRIDGE_NO_CAMERA);
  const b = await getBridge(ctx);
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
export async function reconnect(ctx) {
  const before = ctx.state.camera || ctx.session.lastCamera;
  const list = await search(ctx);
  let index = -1;
  if (before) index = list.findIndex((c) => c.port === before.port);
  if (index < 0 && before) index = list.findIndex((c) => c.model === before.model);
  if (index < 0 && list.length) index = 0;
  if (index < 0) {
    throw operatorError('no camera found', 'No camera found. Check that it is switched on and its cable is plugged in, then try again.');
  }
  return openCamera(ctx, index);
}

/** Takes a photo; resolves to the shot's first file the page can show. */
export async function capture(ctx) {
  if (!ctx.state.camera) throw operatorError('no camera open', 'Open a camera first.');
  const b = await getBridge(ctx);
  const photo = await b.capture({ timeoutMs: CAPTURE_TIMEOUT_MS });
  // The shot's first file the page can show (a RAW file may come first).
  const files = Array.isArray(photo.files) && photo.files.length ? photo.files : [photo];
  const first = files.find((f) => showable(f.name)) || photo;
  return photoEntry(first.name);
}

/** Closes the camera (the bridge stays). */
export async function closeCamera(ctx) {
  const b = await getBridge(ctx);
  await b.close();
}

/**
 * Ends the bridge: it may finish what it is doing (a download) for up to
 * `graceMs`, then it is killed.
 */
export async function stopBridge(ctx, graceMs) {
  const b = ctx.bridge || (ctx.session.starting && await ctx.session.starting.catch(() => null));
  if (!b || b.exited) return;
  // quit() waits its turn behind a capture in flight, which waits for its
  // download: after the grace period the bridge is killed (a photo it was
  // copying stays on the camera).
  const quit = b.quit().catch(() => {});
  if (await within(quit, graceMs) === TIMED_OUT) {
    b.kill('SIGKILL');
    await within(quit, KILL_WAIT_MS);
  }
}

/** Kills the bridge at once (a second Ctrl-C). */
export function killBridge(ctx) {
  const b = ctx.bridge;
  if (b && !b.exited) b.kill('SIGKILL');
}

const TIMED_OUT = Symbol('timed out');

/** `promise`, or TIMED_OUT once `ms` have passed. */
export function within(promise, ms) {
  let timer;
  return Promise.race([
    promise,
    new Promise((r) => { timer = setTimeout(r, ms, TIMED_OUT); }),
  ]).finally(() => clearTimeout(timer));
}
