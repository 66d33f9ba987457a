// The booth server without a browser: stopping it while the camera is busy,
// the names it answers to, and a slow viewer of the live stream. Imported by
// booth.test.mjs (one run for CTest).

import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import fsp from 'node:fs/promises';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import { spawn } from 'node:child_process';
import { startBooth, directive, rawGet, readParts, launchBrowser, REPO, GPBRIDGE } from './helpers.mjs';

const FOLDER = '/store_00010001/DCIM/100SIMUL';
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function until(what, check, ms = 15000) {
  for (const end = Date.now() + ms; Date.now() < end; await sleep(50)) {
    const v = await check();
    if (v) return v;
  }
  throw new Error(`gave up waiting for ${what}`);
}

// Whether a process is still running (a zombie waiting for its parent's
// wait counts as gone).
function running(pid) {
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'latin1');
    return stat.slice(stat.lastIndexOf(')') + 2)[0] !== 'Z';
  } catch {
    return false;
  }
}

// Resolves to the server's exit, or to null if it has not ended after `ms`
// (the slow download below takes far longer than that).
async function exitWithin(booth, ms) {
  const t = sleep(ms).then(() => null);
  return Promise.race([booth.exited, t]);
}

describe('stopping the server while a photo downloads slowly', () => {
  // 200 chunks of 64 KiB, each followed by 0.3 s: a download of a minute.
  const scenario = [
    directive('chunkdelay', '300000'),
    directive('next', FOLDER, 'SLOW_0001.JPG', String(200 * 65536)),
  ];

  // Opens the camera, fires it and waits until the download is under way;
  // returns the bridge's process id.
  async function slowShot(booth) {
    assert.equal((await booth.post('open', { index: 0 })).status, 200);
    const pid = (await booth.stats()).bridgePid;
    assert.ok(running(pid));
    booth.post('capture').catch(() => {}); // answered when the server goes
    await until('the download to start', async () => (await fsp.readdir(booth.photos)).some((n) => n.endsWith('.parcial')));
    return pid;
  }

  test('one SIGTERM: the bridge is killed after the grace period and the server exits 0', async () => {
    const booth = await startBooth({ scenario, tee: false });
    try {
      const pid = await slowShot(booth);
      booth.server.kill('SIGTERM');
      const end = await exitWithin(booth, 20000);
      assert.deepEqual(end, { code: 0, signal: null }, 'the server did not exit in order');
      await until('the bridge to be gone', () => !running(pid), 5000);
      // The photo is not under its own name half-written: it is still on the camera.
      assert.equal(fs.existsSync(path.join(booth.photos, 'SLOW_0001.JPG')), false);
    } finally {
      await booth.stop();
    }
  });

  test('a second signal kills the bridge and exits at once, however long the grace period', async () => {
    const booth = await startBooth({ scenario, tee: false, args: ['--grace', '600'] });
    try {
      const pid = await slowShot(booth);
      booth.server.kill('SIGTERM');
      await sleep(300);
      assert.equal(booth.server.exitCode, null, 'the server did not wait for the grace period');
      booth.server.kill('SIGINT');
      const end = await exitWithin(booth, 20000);
      assert.deepEqual(end, { code: 130, signal: null });
      await until('the bridge to be gone', () => !running(pid), 5000);
    } finally {
      await booth.stop();
    }
  });

  test('an idle booth stops in order: the camera is closed before the bridge ends', async () => {
    const booth = await startBooth({ args: ['--grace', '600'] });
    try {
      assert.equal((await booth.post('open', { index: 0 })).status, 200);
      booth.server.kill('SIGTERM');
      assert.deepEqual(await exitWithin(booth, 20000), { code: 0, signal: null });
      const events = (await fsp.readFile(path.join(booth.dir, 'events.log'), 'utf8')).trim().split('\n');
      assert.equal(events.at(-1), '{"e":"cerrada","motivo":"orden"}');
    } finally {
      await booth.stop();
    }
  });
});

test('scripts/booth.sh shows a live view that moves, stops on Ctrl-C while a photo downloads slowly, and leaves nothing behind', async () => {
  const photos = await fsp.mkdtemp(path.join(os.tmpdir(), 'booth-sh-photos-'));
  // A terminal's Ctrl-C goes to the whole foreground process group.
  const script = spawn('sh', [path.join(REPO, 'scripts/booth.sh'), '--no-build', '--port', '0', '--photos', photos, '--', '--debug'], {
    detached: true, stdio: ['ignore', 'pipe', 'pipe'], env: { ...process.env, BOOTH_BUILD: path.dirname(GPBRIDGE), BOOTH_TMPFS: os.tmpdir() },
  });
  const ended = new Promise((r) => script.once('exit', (code, signal) => r({ code, signal })));
  let err = '';
  script.stderr.setEncoding('utf8').on('data', (s) => { err += s; });
  try {
    const url = await new Promise((resolve, reject) => {
      readline.createInterface({ input: script.stdout }).once('line', resolve);
      script.once('exit', () => reject(new Error(`booth.sh ended: ${err}`)));
    });
    const card = /card in (\S+);/.exec(err)[1];
    const live = /live-view frames in (\S+);/.exec(err)[1];
    assert.ok(fs.existsSync(live));
    const post = (name, body = {}) => fetch(new URL(`/api/${name}`, url), {
      method: 'POST', headers: { 'content-type': 'application/json' }, body: JSON.stringify(body),
    });
    assert.equal((await post('open', { index: 0 })).status, 200);
    // The demo's scene moves: the server passes on only a frame that
    // differs from the one before, and these are the demo's own frames.
    const demo = path.join(REPO, 'examples/booth/sample/live');
    const frames = new Set(await Promise.all((await fsp.readdir(demo)).map(async (n) => (await fsp.readFile(path.join(demo, n))).toString('base64'))));
    const parts = await readParts(new URL('/live.mjpg', url), 20000, (p) => p.length >= 4);
    assert.ok(parts.length >= 4, `the live view showed ${parts.length} different pictures`);
    for (const p of parts) assert.ok(frames.has(p.toString('base64')), 'a live-view picture that is not a demo frame');
    const stats = await (await fetch(new URL('/debug/stats', url))).json();
    // Each chunk of the next download takes ten minutes.
    await fsp.appendFile(path.join(card, 'sim/control'), directive('chunkdelay', '600000000') + '\n');
    post('capture').catch(() => {});
    await until('the download to start', async () => (await fsp.readdir(photos)).some((n) => n.endsWith('.parcial')));
    process.kill(-script.pid, 'SIGINT');
    const end = await Promise.race([ended, sleep(30000).then(() => null)]);
    assert.deepEqual(end, { code: 130, signal: null }, `booth.sh did not end: ${err}`);
    await until('the server and the bridge to be gone', () => !running(stats.serverPid) && !running(stats.bridgePid), 5000);
    assert.equal(fs.existsSync(path.dirname(card)), false, 'the temporary folder is left');
    assert.equal(fs.existsSync(live), false, 'the live-view folder is left');
  } finally {
    try { process.kill(-script.pid, 'SIGKILL'); } catch { /* gone */ }
    await fsp.rm(photos, { recursive: true, force: true });
  }
});

describe('the names the server answers to', () => {
  // Every address of this machine, as a Host header writes it.
  const own = Object.values(os.networkInterfaces()).flat()
    .map((a) => (a.family === 'IPv6' || a.family === 6 ? `[${a.address.split('%')[0]}]` : a.address));

  // GET a page file, or with `origin`, POST an action.
  const statusOf = async (booth, host, origin) => (origin === undefined
    ? await rawGet(booth.url, '/booth.js', { host })
    : await rawGet(booth.url, '/api/search', { 'content-type': 'application/json', host, origin }, 'POST', '{}')).status;

  for (const bind of ['0.0.0.0', '::']) {
    test(`bound to ${bind}: its own addresses, nothing else`, async (t) => {
      if (bind === '::' && !own.some((a) => a.startsWith('['))) return t.skip('no IPv6 here');
      const booth = await startBooth({ args: ['--host', bind] });
      try {
        const port = Number(new URL(booth.url).port);
        for (const a of [...own, 'localhost']) assert.equal(await statusOf(booth, `${a}:${port}`), 200, `${a} refused`);
        // A page on another site that points its own name at this machine
        // (DNS rebinding) sends its own name, as Host and as Origin.
        for (const h of [`attacker.example:${port}`, 'attacker.example', `127.0.0.1:${port + 1}`, `${port}`,
          `attacker.example:${port}@127.0.0.1`]) {
          assert.equal(await statusOf(booth, h), 404, `${JSON.stringify(h)} accepted`);
        }
        assert.equal(await statusOf(booth, `127.0.0.1:${port}`, `http://127.0.0.1:${port}`), 200);
        for (const o of [`http://attacker.example:${port}`, 'null', `https://127.0.0.1:${port}`, `http://127.0.0.1:${port + 1}`]) {
          assert.equal(await statusOf(booth, `127.0.0.1:${port}`, o), 403, `Origin ${o} accepted`);
        }
      } finally {
        await booth.stop();
      }
    });
  }

  test('names given with --allow-host, in any case, for Host and Origin alike', async () => {
    const booth = await startBooth({ args: ['--host', '0.0.0.0', '--allow-host', 'booth.example', '--allow-host', 'Kiosk'] });
    try {
      const port = Number(new URL(booth.url).port);
      for (const h of ['booth.example', 'BOOTH.example', 'kiosk']) assert.equal(await statusOf(booth, `${h}:${port}`), 200, `${h} refused`);
      for (const h of ['booth.example', `booth.example:${port + 1}`, `booth.example.attacker.example:${port}`, `x.booth.example:${port}`]) {
        assert.equal(await statusOf(booth, h), 404, `${h} accepted`);
      }
      assert.equal(await statusOf(booth, `booth.example:${port}`, `http://booth.example:${port}`), 200);
      assert.equal(await statusOf(booth, `127.0.0.1:${port}`, `http://kiosk:${port}`), 200);
      assert.equal(await statusOf(booth, `booth.example:${port}`, `http://attacker.example:${port}`), 403);
    } finally {
      await booth.stop();
    }
  });
});

// Fetches frames as the page does (/live/frame?after=N, the next as soon as
// one has arrived) and reads each answer slowly: `rate` bytes a second.
function slowViewer(url, rate) {
  const viewer = { frames: 0, bytes: 0, fast: false, stopped: false };
  const agent = new http.Agent({ keepAlive: true, maxSockets: 1 });
  let current = null;
  (async () => {
    let after = 0;
    while (!viewer.stopped) {
      const got = await new Promise((resolve) => {
        const req = http.get(new URL(`/live/frame?after=${after}`, url), { agent }, (res) => {
          current = res;
          res.pause();
          const chunks = [];
          const timer = setInterval(() => {
            for (let c, n = 0; (viewer.fast || n < rate / 20) && (c = res.read()) !== null; n += c.length) {
              chunks.push(c);
              viewer.bytes += c.length;
            }
          }, 50);
          res.on('end', () => { clearInterval(timer); resolve({ status: res.statusCode, id: res.headers['x-frame'] }); });
          res.on('error', () => { clearInterval(timer); resolve(null); });
          res.on('readable', () => { if (viewer.fast) for (let c; (c = res.read()) !== null;) viewer.bytes += c.length; });
        });
        req.on('error', () => resolve(null));
      });
      if (!got) break;
      if (got.status === 200) { viewer.frames++; after = Number(got.id); }
    }
  })();
  viewer.stop = () => { viewer.stopped = true; current?.destroy(); agent.destroy(); };
  return viewer;
}

describe('a slow viewer of the live view', () => {
  let booth;
  before(async () => {
    // Frames of about 150 kB that differ one from the next.
    booth = await startBooth({ scenario: [directive('frame', '150000'), directive('frame', '150001')] });
  });
  after(async () => { await booth?.stop(); });

  // What still reaches a viewer once the camera is closed (no new frames)
  // was queued for it somewhere: at most the one frame on its way.
  async function lateAfterClose(received) {
    assert.equal((await booth.post('close')).status, 200);
    const before = await received();
    let last = -1;
    await until('the viewer to go quiet', async () => {
      const now = await received();
      const quiet = now === last;
      last = now;
      await sleep(1000);
      return quiet;
    }, 60000);
    return (await received()) - before;
  }

  test('fetching frames one at a time, it gets the newest frame, not a backlog', async (t) => {
    assert.equal((await booth.post('open', { index: 0 })).status, 200);
    const viewer = slowViewer(booth.url, 300000);
    try {
      // Reading at 300 kB/s, this viewer takes two frames a second of the
      // many the camera publishes.
      await until('the viewer to be served', () => viewer.frames >= 3, 20000);
      await sleep(1000);
      viewer.fast = true;
      const late = await lateAfterClose(() => viewer.bytes);
      t.diagnostic(`after the close: ${late} bytes`);
      assert.ok(late <= 150001, `${late} bytes were still on their way to the slow viewer`);
    } finally {
      viewer.stop();
    }
  });

  test('the page on a slow connection shows fresh frames: two more at most once the camera closes', async (t) => {
    const browser = await launchBrowser();
    try {
      assert.equal((await booth.post('open', { index: 0 })).status, 200);
      const page = await browser.newPage();
      const cdp = await page.context().newCDPSession(page);
      await cdp.send('Network.enable');
      await cdp.send('Network.emulateNetworkConditions', {
        offline: false, latency: 20, downloadThroughput: 300000, uploadThroughput: 300000,
      });
      await page.goto(booth.url);
      await page.waitForFunction(() => window.boothStats.parts >= 3, null, { timeout: 30000 });
      await sleep(2000);
      const late = await lateAfterClose(() => page.evaluate(() => window.boothStats.parts));
      t.diagnostic(`after the close: ${late} frames`);
      // The one arriving, and the one it asked for meanwhile.
      assert.ok(late <= 2, `${late} frames were still on their way to the page`);
    } finally {
      await browser.close();
    }
  });
});
