// The booth in a real browser (headless Chromium) on the real bridge with a
// simulated camera.

import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fsp from 'node:fs/promises';
import path from 'node:path';
import { execFileSync } from 'node:child_process';
import { launchBrowser, startBooth, directive, generated, rawGet, SCREENS, REPO, GPBRIDGE } from './helpers.mjs';

const FOLDER = '/store_00010001/DCIM/100SIMUL';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

// Counts how many distinct colours a PNG has and how much its pixels vary,
// decoding it in a blank page of the browser.
async function pictureStats(png) {
  const page = await browser.newPage();
  try {
    return await page.evaluate(async (b64) => {
    const blob = await (await fetch(`data:image/png;base64,${b64}`)).blob();
    const bitmap = await createImageBitmap(blob);
    const canvas = new OffscreenCanvas(bitmap.width, bitmap.height);
    const ctx = canvas.getContext('2d');
    ctx.drawImage(bitmap, 0, 0);
    const { data } = ctx.getImageData(0, 0, bitmap.width, bitmap.height);
    const colours = new Set();
    let sum = 0;
    let sq = 0;
    for (let i = 0; i < data.length; i += 4 * 7) {
      colours.add((data[i] << 16) | (data[i + 1] << 8) | data[i + 2]);
      const y = (data[i] + data[i + 1] + data[i + 2]) / 3;
      sum += y;
      sq += y * y;
    }
    const n = data.length / (4 * 7);
    return { width: bitmap.width, height: bitmap.height, colours: colours.size, variance: sq / n - (sum / n) ** 2 };
    }, png.toString('base64'));
  } finally {
    await page.close();
  }
}

async function screenshot(page, name, width, height) {
  await page.setViewportSize({ width, height });
  await page.waitForTimeout(200); // one layout pass at the new size
  await fsp.mkdir(SCREENS, { recursive: true });
  const file = path.join(SCREENS, name);
  const png = await page.screenshot({ path: file });
  const s = await pictureStats(png);
  assert.equal(s.width, width);
  assert.equal(s.height, height);
  assert.ok(s.colours > 20 && s.variance > 50, `${name} looks blank: ${JSON.stringify(s)}`);
  // Nothing sticks out sideways at this size.
  const overflow = await page.evaluate(() => ({
    by: document.documentElement.scrollWidth - window.innerWidth,
    what: [...document.querySelectorAll('body *')].filter((e) => e.getBoundingClientRect().right > window.innerWidth + 0.5)
      .map((e) => e.id || e.className || e.tagName).slice(0, 5),
  }));
  assert.ok(overflow.by <= 0, `${name}: page is ${overflow.by}px wider than the window (${overflow.what})`);
}

const firstPhoto = (page) => page.getByRole('list', { name: 'Photos' }).getByRole('img').first();
const enabled = (page, id) => page.waitForFunction((i) => !document.getElementById(i).disabled, id, { timeout: 10000 });

async function waitForFrames(page, count, timeout) {
  const start = await page.evaluate(() => window.boothStats.shown);
  await page.waitForFunction((n) => window.boothStats.shown >= n, start + count, { timeout });
}

describe('a booth session on the simulated camera', () => {
  let booth;
  let page;
  before(async () => {
    booth = await startBooth();
    page = await browser.newPage({ viewport: { width: 1920, height: 1080 } });
    await page.goto(booth.url + '?countdownMs=400');
  });
  after(async () => {
    await page?.close();
    await booth?.stop();
  });

  test('lists the camera, opens it and shows its settings', async () => {
    const picker = page.getByLabel('Camera', { exact: true });
    await page.waitForFunction(() => document.querySelector('#camera option[value="0"]'));
    assert.match(await picker.locator('option').first().textContent(), /^Mass Storage Camera \(disk:.*\/camera\)$/);
    const shutter = page.getByRole('button', { name: 'Take photo' });
    assert.equal(await shutter.isDisabled(), true, 'shutter works before a camera is open');
    assert.equal(await page.getByRole('img', { name: 'Live view' }).count(), 1, 'no live view image before a camera is open');

    await page.getByRole('button', { name: 'Open camera' }).click();
    const strip = page.getByRole('status', { name: 'Camera settings' });
    await strip.getByText('f/5.6').waitFor();
    const text = await strip.textContent();
    for (const value of ['100', 'f/5.6', '1/125', '100%']) assert.ok(text.includes(value), `${value} missing from "${text}"`);
    await enabled(page, 'shutter');
  });

  test('live view shows a stream of new frames', async () => {
    const img = page.getByRole('img', { name: 'Live view' });
    await img.waitFor();
    await waitForFrames(page, 20, 2000);
    const s = await page.evaluate(() => window.boothStats);
    assert.ok(s.parts >= s.shown, 'more frames shown than received');
  });

  test('"Take photo" counts down, then the photo leads the gallery, byte for byte', async () => {
    const before = new Set(await fsp.readdir(booth.photos));
    await page.getByRole('button', { name: 'Take photo' }).click();
    const countdown = page.locator('#countdown');
    await countdown.getByText('3').waitFor({ timeout: 2000 });
    await countdown.getByText('1').waitFor({ timeout: 2000 });
    // No shot during the countdown: nothing new in the folder yet.
    assert.deepEqual(new Set(await fsp.readdir(booth.photos)), before);

    const response = page.waitForResponse((r) => r.url().includes('/photos/IMG_0001.JPG'));
    const first = firstPhoto(page);
    await page.waitForFunction(() => document.querySelector('#gallery img')?.alt === 'IMG_0001.JPG', null, { timeout: 10000 });
    assert.equal(await first.getAttribute('alt'), 'IMG_0001.JPG');
    const onDisk = await fsp.readFile(path.join(booth.photos, 'IMG_0001.JPG'));
    assert.equal(onDisk.length, 4096);
    assert.ok((await (await response).body()).equals(onDisk), 'gallery bytes differ from the file');
    assert.equal(await page.locator('#countdown').isHidden(), true);
  });

  test('a photo fired on the camera body appears first in the gallery', async () => {
    const response = page.waitForResponse((r) => r.url().includes('/photos/BODY_0007.JPG'));
    await booth.control(directive('shoot', FOLDER, 'BODY_0007.JPG', '3000'));
    await page.waitForFunction(() => document.querySelector('#gallery img')?.alt === 'BODY_0007.JPG', null, { timeout: 10000 });
    const names = await page.locator('#gallery img').evaluateAll((els) => els.map((e) => e.alt));
    assert.deepEqual(names, ['BODY_0007.JPG', 'IMG_0001.JPG']);
    const onDisk = await fsp.readFile(path.join(booth.photos, 'BODY_0007.JPG'));
    assert.ok(onDisk.equals(generated('BODY_0007.JPG', 3000)));
    assert.ok((await (await response).body()).equals(onDisk));
  });

  test('a failed shot is explained, with the bridge text as detail', async () => {
    await booth.control(directive('trigger', '-7'));
    await page.getByRole('button', { name: 'Take photo' }).click();
    await page.getByText('The photo could not be taken').waitFor({ timeout: 10000 });
    assert.equal(await page.locator('#problem-detail').textContent(), 'disparar: I/O problem');
    await booth.control(directive('trigger', 'ok'));
    await page.getByRole('button', { name: 'Dismiss message' }).click();
    await enabled(page, 'shutter');
  });

  test('a real picture shows in the gallery; screenshots at kiosk and phone size', async () => {
    await booth.control(directive('shoot', FOLDER, 'PARTY_0001.JPG', '@' + path.join(REPO, 'examples/booth/sample/photo.jpg')));
    await page.waitForFunction(() => {
      const img = document.querySelector('#gallery img');
      return img?.alt === 'PARTY_0001.JPG' && img.complete && img.naturalWidth === 1200;
    }, null, { timeout: 10000 });
    await screenshot(page, 'kiosk-1920x1080.png', 1920, 1080);
    await screenshot(page, 'phone-390x844.png', 390, 844);
    // The phone layout still reaches every control.
    for (const name of ['Open camera', 'Take photo']) {
      const box = await page.getByRole('button', { name }).boundingBox();
      assert.ok(box && box.x >= 0 && box.x + box.width <= 390, `${name} is off screen: ${JSON.stringify(box)}`);
    }
    await page.setViewportSize({ width: 1920, height: 1080 });
  });

  test('opening a camera that is gone closes the open one and says so; opening again works', async () => {
    // Close the camera while a frame is still decoding: hold the picture's
    // decode so that it never finishes, as a slow one would not by then.
    await page.evaluate(async () => {
      const img = document.getElementById('live');
      Object.defineProperty(img, 'src', { configurable: true, get: () => '', set: () => {} });
      const parts = window.boothStats.parts;
      while (window.boothStats.parts < parts + 2) await new Promise((r) => setTimeout(r, 10));
    });
    const status = await page.evaluate(async () => (await fetch('/api/open', {
      method: 'POST', headers: { 'Content-Type': 'application/json' }, body: '{"index":3}',
    })).status);
    assert.equal(status, 502);
    await page.waitForFunction(() => document.getElementById('shutter').disabled, null, { timeout: 10000 });
    await page.getByText('That camera is no longer there').waitFor({ timeout: 10000 });
    assert.equal(await page.locator('#problem-detail').textContent(), 'abrir: Unknown model');
    assert.equal(await page.locator('#aperture').textContent(), '–');
    assert.equal(await page.getByRole('alert').count(), 0, 'a replaced camera is not a disconnection');
    await page.evaluate(() => delete document.getElementById('live').src);

    await page.getByRole('button', { name: 'Open camera' }).click();
    await enabled(page, 'shutter');
    await page.getByRole('status', { name: 'Camera settings' }).getByText('f/5.6').waitFor();
    await waitForFrames(page, 20, 5000);
  });

  test('a pulled cable shows the alert; reconnecting opens the camera again', async () => {
    const alert = page.getByRole('alert');
    assert.equal(await alert.count(), 0);
    await booth.control(directive('unplug', '-7'));
    await alert.waitFor({ timeout: 10000 });
    assert.match(await alert.textContent(), /disconnected/);
    assert.equal(await page.getByRole('button', { name: 'Take photo' }).isDisabled(), true);
    assert.equal(await page.locator('#iso').textContent(), '–');

    await alert.getByRole('button', { name: 'Reconnect' }).click();
    await alert.waitFor({ state: 'hidden', timeout: 10000 });
    await page.getByRole('status', { name: 'Camera settings' }).getByText('1/125').waitFor();
    await enabled(page, 'shutter');
    await waitForFrames(page, 20, 5000);
    // The gallery keeps the session's photos across the reconnection.
    assert.equal(await page.locator('#gallery img').count(), 3);
  });
});

describe('the photo route', () => {
  let booth;
  before(async () => {
    booth = await startBooth();
    await fsp.writeFile(path.join(booth.photos, 'IMG_0001.JPG'), 'photo');
    await fsp.writeFile(path.join(booth.photos, 'IMG_0002.JPG.parcial'), 'half');
    await fsp.writeFile(path.join(booth.dir, 'secret.txt'), 'secret');
    await fsp.symlink(path.join(booth.dir, 'secret.txt'), path.join(booth.photos, 'link.JPG'));
    await fsp.symlink(booth.dir, path.join(booth.photos, 'up'));
    await fsp.mkdir(path.join(booth.photos, 'sub'));
    await fsp.writeFile(path.join(booth.photos, 'sub', 'x.JPG'), 'x');
  });
  after(async () => { await booth?.stop(); });

  test('serves a photo in the download folder', async () => {
    const r = await rawGet(booth.url, '/photos/IMG_0001.JPG');
    assert.equal(r.status, 200);
    assert.equal(r.body.toString(), 'photo');
    assert.equal(r.headers['content-type'], 'image/jpeg');
    const head = await rawGet(booth.url, '/photos/IMG_0001.JPG', {}, 'HEAD');
    assert.equal(head.status, 200);
    assert.equal(head.headers['content-length'], '5');
    // A stream has no head: answered at once, not left open.
    assert.equal((await rawGet(booth.url, '/events', {}, 'HEAD')).status, 404);
  });

  test('nothing outside the folder, however the path is written', async () => {
    const secret = encodeURIComponent(path.join(booth.dir, 'secret.txt'));
    for (const p of [
      '/photos/../secret.txt', '/photos/..%2Fsecret.txt', '/photos/%2e%2e%2fsecret.txt',
      '/photos/%2e%2e/secret.txt', '/photos/..%5csecret.txt', '/photos/%2E%2E', '/photos/..',
      '/photos/.', '/photos/', `/photos/${secret}`, `/photos//${path.join(booth.dir, 'secret.txt')}`,
      '/photos/link.JPG', '/photos/up%2Fsecret.txt', '/photos/up/secret.txt', '/photos/sub',
      '/photos/sub/x.JPG', '/photos/sub%2Fx.JPG', '/photos/IMG_0002.JPG.parcial', '/photos/IMG_0001.JPG%00',
      '/photos/%E0%A4%A', '/../secret.txt', '/public/booth.js', '/server.mjs', '/package.json',
    ]) {
      const r = await rawGet(booth.url, p);
      assert.equal(r.status, 404, `${p} answered ${r.status}`);
      assert.ok(!r.body.toString().includes('secret'), `${p} leaked the file`);
    }
  });

  test('only the page\'s own host name, and actions only as same-origin JSON posts', async () => {
    assert.equal((await rawGet(booth.url, '/', { host: 'attacker.example:80' })).status, 404);
    assert.equal((await rawGet(booth.url, '/booth.js')).status, 200);
    const api = new URL('/api/search', booth.url);
    assert.equal((await fetch(api, { method: 'POST', body: 'x=1', headers: { 'content-type': 'application/x-www-form-urlencoded' } })).status, 405);
    assert.equal((await fetch(api, { method: 'POST', body: '{}', headers: { 'content-type': 'application/json', origin: 'http://attacker.example' } })).status, 403);
    assert.equal((await fetch(api, { method: 'POST', body: '{}', headers: { 'content-type': 'application/json' } })).status, 200);
  });
});

// Reads a multipart stream for `ms` milliseconds and returns its parts.
async function readParts(url, ms) {
  const res = await fetch(url);
  assert.match(res.headers.get('content-type'), /^multipart\/x-mixed-replace; boundary=/);
  const reader = res.body.getReader();
  let buf = Buffer.alloc(0);
  const stop = setTimeout(() => reader.cancel(), ms);
  for (;;) {
    const { value, done } = await reader.read().catch(() => ({ done: true }));
    if (done) break;
    buf = Buffer.concat([buf, value]);
  }
  clearTimeout(stop);
  const parts = [];
  for (let at = 0; ;) {
    const end = buf.indexOf('\r\n\r\n', at);
    if (end < 0) break;
    const size = Number(/Content-Length: (\d+)/.exec(buf.subarray(at, end).toString())[1]);
    if (end + 4 + size + 2 > buf.length) break;
    parts.push(buf.subarray(end + 4, end + 4 + size));
    at = end + 4 + size + 2;
  }
  return parts;
}

describe('the live-view stream', () => {
  const frameFile = path.join(REPO, 'examples/booth/sample/frame.jpg');
  let booth;
  before(async () => {
    // Every preview is the same picture.
    booth = await startBooth({ scenario: [directive('frame', '@' + frameFile)] });
    const open = await fetch(new URL('/api/open', booth.url), {
      method: 'POST', headers: { 'content-type': 'application/json' }, body: '{"index":0}',
    });
    assert.equal(open.status, 200);
  });
  after(async () => { await booth?.stop(); });

  test('an unchanged picture is sent once, and a new viewer gets it at once', async () => {
    const live = new URL('/live.mjpg', booth.url);
    const before = (await booth.stats()).bridgeFrames;
    const parts = await readParts(live, 1500);
    const stats = await booth.stats();
    assert.ok(stats.bridgeFrames - before >= 20, `only ${stats.bridgeFrames - before} frames published`);
    assert.equal(parts.length, 1);
    assert.ok(parts[0].equals(await fsp.readFile(frameFile)));

    const later = await readParts(live, 500);
    assert.equal(later.length, 1);
    assert.ok(later[0].equals(parts[0]));
  });

  test('a page shows the unchanging picture, also once the bridge died and the camera was opened again', async () => {
    const page = await browser.newPage();
    try {
      await page.goto(booth.url);
      // The picture may reach a new page before the news that a camera is open.
      await page.waitForFunction(() => window.boothStats.shown >= 1, null, { timeout: 10000 });
      const re = (s) => s.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
      execFileSync('pkill', ['-KILL', '-f', `^${re(GPBRIDGE)} ${re(booth.live)}$`]);
      await page.waitForFunction(() => document.getElementById('shutter').disabled, null, { timeout: 10000 });
      const shown = await page.evaluate(() => window.boothStats.shown);
      await page.getByRole('button', { name: 'Open camera' }).click();
      await page.waitForFunction((n) => window.boothStats.shown > n, shown, { timeout: 10000 });
    } finally {
      await page.close();
    }
  });
});

// The server's own checks, in this same run.
await import('./server-checks.mjs');
