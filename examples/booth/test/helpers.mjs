// Starts the booth server on the real bridge with one simulated camera, and
// headless Chromium to look at it.

import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import fsp from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import { fileURLToPath } from 'node:url';
import assert from 'node:assert/strict';
import { chromium } from 'playwright-core';

const HERE = path.dirname(fileURLToPath(import.meta.url));
export const REPO = path.resolve(HERE, '../../..');
const BUILD = path.join(REPO, 'build');

// CTest passes these; by hand the defaults fit a build in build/.
export const GPBRIDGE = process.env.GPBRIDGE || path.join(BUILD, 'gpbridge');
export const CAMLIBS_DIR = process.env.CAMLIBS_DIR || path.join(BUILD, 'camlibs');
export const NS_RUN = process.env.NS_RUN || path.join(REPO, 'tests/harness/ns-run');
export const SCREENS = process.env.BOOTH_SCREENS || path.join(BUILD, 'booth-screens');
export const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';

// Everything a run makes for itself (cameras, download and live-view
// folders, the browser's profile, what scripts/booth.sh makes) goes in one
// folder of its own, removed when the run ends: children and Playwright
// take their temporary folders from TMPDIR.
export const SCRATCH = fs.mkdtempSync(path.join(os.tmpdir(), 'booth-run-'));
process.env.TMPDIR = SCRATCH;
process.on('exit', () => fs.rmSync(SCRATCH, { recursive: true, force: true }));

/** One line of the simulated camera's language (fields joined by tabs). */
export const directive = (...fields) => fields.join('\t');

export async function launchBrowser() {
  const args = process.getuid && process.getuid() === 0 ? ['--no-sandbox'] : [];
  return chromium.launch({ executablePath: CHROMIUM, args });
}

/**
 * A fresh simulated card and a bridge program that runs on it: `wrapper`
 * starts the real bridge in a private mount namespace with the card
 * mounted. With `tee`, every event line is also copied to `events.log`.
 */
export async function makeCamera({ scenario = [], tee = true, liveBase = os.tmpdir() } = {}) {
  const dir = await fsp.mkdtemp(path.join(os.tmpdir(), 'booth-test-'));
  const live = await fsp.mkdtemp(path.join(liveBase, 'booth-live-'));
  const card = path.join(dir, 'card');
  await fsp.mkdir(path.join(card, 'DCIM'), { recursive: true });
  await fsp.mkdir(path.join(card, 'sim'));
  await fsp.writeFile(path.join(card, 'sim/scenario'), scenario.map((l) => l + '\n').join(''));
  await fsp.writeFile(path.join(card, 'sim/control'), '');
  const photos = path.join(dir, 'photos');
  await fsp.mkdir(photos);
  const events = path.join(dir, 'events.log');
  const wrapper = path.join(dir, 'bridge');
  const q = (s) => `'${s.replace(/'/g, `'\\''`)}'`;
  await fsp.writeFile(wrapper, [
    '#!/bin/sh',
    `exec ${q(NS_RUN)} --card ${q(path.join(dir, 'camera'))}=${q(card)} -- \\`,
    tee
      ? `  sh -c 'CAMLIBS="$0" "$1" "$2" | tee -a "$3"' ${q(CAMLIBS_DIR)} ${q(GPBRIDGE)} "$1" ${q(events)}`
      : `  env CAMLIBS=${q(CAMLIBS_DIR)} ${q(GPBRIDGE)} "$1"`,
    '',
  ].join('\n'), { mode: 0o755 });
  return {
    dir,
    live,
    photos,
    wrapper,
    /** Appends control lines to the simulated camera. */
    control: (...lines) => fsp.appendFile(path.join(card, 'sim/control'), lines.map((l) => l + '\n').join('')),
    /** The simulated camera's log of driver calls, one array of fields per line (the time left out). */
    async log() {
      const text = await fsp.readFile(path.join(card, 'sim/log'), 'utf8').catch(() => '');
      return text.split('\n').filter(Boolean).map((l) => l.slice(l.indexOf(' ') + 1).split('\t'));
    },
    /** Checks the event lines against the schema and removes everything. */
    async remove() {
      checkEvents(events);
      await fsp.rm(dir, { recursive: true, force: true });
      await fsp.rm(live, { recursive: true, force: true });
    },
  };
}

/**
 * A booth server (with its debug endpoint) on a fresh simulated camera.
 * `args` are more command-line options for the server.
 */
export async function startBooth(options = {}) {
  const cam = await makeCamera(options);
  const server = spawn(process.execPath, [
    path.join(REPO, 'examples/booth/server.mjs'),
    '--port', '0', '--photos', cam.photos, '--live', cam.live, '--bridge', cam.wrapper, '--debug',
    ...(options.args || []),
  ], { stdio: ['ignore', 'pipe', 'inherit'] });
  const exited = new Promise((resolve) => server.once('exit', (code, signal) => resolve({ code, signal })));
  let url;
  try {
    url = await new Promise((resolve, reject) => {
      const lines = readline.createInterface({ input: server.stdout });
      lines.once('line', resolve);
      server.once('exit', (code) => reject(new Error(`booth server exited with ${code}`)));
    });
  } catch (err) {
    await fsp.rm(cam.dir, { recursive: true, force: true });
    await fsp.rm(cam.live, { recursive: true, force: true });
    throw err;
  }

  return {
    ...cam,
    url,
    server,
    /** Resolves to { code, signal } when the server process has ended. */
    exited,
    stats: async () => (await fetch(new URL('/debug/stats', url))).json(),
    /** POSTs JSON to the page's API, as the page does; resolves to { status, body }. */
    async post(name, body = {}) {
      const res = await fetch(new URL(`/api/${name}`, url), {
        method: 'POST', headers: { 'content-type': 'application/json' }, body: JSON.stringify(body),
      });
      return { status: res.status, body: await res.json().catch(() => null) };
    },
    async stop() {
      if (server.exitCode === null && server.signalCode === null) server.kill('SIGTERM');
      await exited;
      await cam.remove();
    },
  };
}

// Every event line against schema/events.schema.json, with the harness's
// validator (it also checks the exact byte form of each line).
function checkEvents(file) {
  if (!fs.existsSync(file)) return;
  execFileSync('python3', ['-c', [
    'import sys, esquema',
    'raw = open(sys.argv[1], "rb").read()',
    'assert raw == b"" or raw.endswith(b"\\n"), "last event line is cut"',
    'for line in raw.split(b"\\n")[:-1]:',
    '    esquema.validate_line(line.decode("utf-8", "surrogateescape"))',
  ].join('\n'), file], { env: { ...process.env, PYTHONPATH: path.join(REPO, 'tests/harness'), PYTHONDONTWRITEBYTECODE: '1' }, stdio: ['ignore', 'inherit', 'inherit'] });
}

/** The simulated camera's generated photo bytes (see docs/simulated-camera.md). */
export function generated(name, size) {
  const h = [...Buffer.from(name)].reduce((a, b) => a + b, 0) % 256;
  const out = Buffer.alloc(size);
  for (let i = 0; i < size; i++) out[i] = (i * 131 + h) & 0xff;
  return out;
}

/**
 * GET (or `method`, with `body`) with the path and headers sent exactly as
 * written (fetch would normalise the path and refuses to set Host).
 */
export function rawGet(base, rawPath, headers = {}, method = 'GET', body = undefined) {
  const u = new URL(base);
  return new Promise((resolve, reject) => {
    import('node:http').then(({ default: http }) => {
      const req = http.request({ host: u.hostname, port: u.port, path: rawPath, method, headers }, (res) => {
        const chunks = [];
        res.on('data', (c) => chunks.push(c));
        res.on('end', () => resolve({ status: res.statusCode, body: Buffer.concat(chunks), headers: res.headers }));
      });
      req.on('error', reject);
      req.end(body);
    });
  });
}

/**
 * Reads the multipart stream at `url` for `ms` milliseconds, or until
 * `enough(parts)` holds, and returns its parts.
 */
export async function readParts(url, ms, enough = () => false) {
  const res = await fetch(url);
  assert.match(res.headers.get('content-type'), /^multipart\/x-mixed-replace; boundary=/);
  const reader = res.body.getReader();
  const stop = setTimeout(() => reader.cancel().catch(() => {}), ms);
  const parts = [];
  let buf = Buffer.alloc(0);
  for (;;) {
    const { value, done } = await reader.read().catch(() => ({ done: true }));
    if (done) break;
    buf = Buffer.concat([buf, value]);
    for (let end; (end = buf.indexOf('\r\n\r\n')) >= 0;) {
      const size = Number(/Content-Length: (\d+)/.exec(buf.subarray(0, end).toString())[1]);
      if (end + 4 + size + 2 > buf.length) break;
      parts.push(buf.subarray(end + 4, end + 4 + size));
      buf = buf.subarray(end + 4 + size + 2);
    }
    if (enough(parts)) {
      await reader.cancel().catch(() => {});
      break;
    }
  }
  clearTimeout(stop);
  return parts;
}
