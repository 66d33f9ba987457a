// The booth in a real browser (headless Chromium) on the real bridge with a
// simulated camera.

import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fsp from 'node:fs/promises';
import path from 'node:path';
import { execFileSync } from 'node:child_process';
import { launchBrowser, startBooth, directive, generated, rawGet, readParts, SCREENS, REPO, GPBRIDGE } from './helpers.mjs';

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
const textIs = (page, id, text) => page.waitForFunction(([i, t]) => document.getElementById(i).textContent === t, [id, text], { timeout: 10000 });
const mode = (page) => page.evaluate(() => document.body.dataset.mode);
const menu = (page, name) => page.getByRole('combobox', { name, exact: true });
const menuState = (page, name) => menu(page, name).evaluate((s) => ({
  visible: !s.hidden, value: s.value, options: [...s.options].filter((o) => !o.disabled).map((o) => o.value),
}));

async function waitForFrames(page, count, timeout) {
  const start = await page.evaluate(() => window.boothStats.shown);
  await page.waitForFunction((n) => window.boothStats.shown >= n, start + count, { timeout });
}

// What the first photo of the gallery leads to, as the page gets it.
async function galleryBytes(page) {
  const href = await page.locator('#gallery a').first().getAttribute('href');
  return Buffer.from(await page.evaluate(async (u) => [...new Uint8Array(await (await fetch(u)).arrayBuffer())], href));
}

// The messages a guest can see at once: the banner and the message box.
const visibleMessages = (page) => page.evaluate(() => ['banner', 'problem']
  .filter((id) => !document.getElementById(id).hidden).map((id) => document.getElementById(id).innerText));

async function operatorControls(page) {
  await page.getByRole('button', { name: 'Operator controls' }).click();
  await page.getByRole('combobox', { name: 'Camera', exact: true }).waitFor();
}
async function guestView(page) {
  await page.getByRole('button', { name: 'Guest view' }).click();
  await page.getByRole('button', { name: 'Operator controls' }).waitFor();
}

describe('a booth session on the simulated camera', () => {
  let booth;
  let page;
  before(async () => {
    // A live view of two pictures in turn, so that screenshots show one.
    const sample = (name) => directive('frame', '@' + path.join(REPO, 'examples/booth/sample', name));
    booth = await startBooth({ scenario: [sample('frame.jpg'), sample('photo.jpg')] });
    page = await browser.newPage({ viewport: { width: 1920, height: 1080 } });
    await page.goto(booth.url + '?countdownMs=400&reviewMs=1500');
  });
  after(async () => {
    await page?.close();
    await booth?.stop();
  });

  test('lists the camera and opens it; the guest view takes over, the operator controls one button away', async () => {
    const picker = page.getByRole('combobox', { name: 'Camera', exact: true });
    await page.waitForFunction(() => document.querySelector('#camera option[value="0"]'));
    assert.match(await picker.locator('option').first().textContent(), /^Mass Storage Camera \(disk:.*\/camera\)$/);
    const shutter = page.getByRole('button', { name: 'Take photo' });
    assert.equal(await shutter.isDisabled(), true, 'shutter works before a camera is open');
    assert.equal(await page.getByRole('img', { name: 'Live view' }).count(), 1, 'no live view image before a camera is open');
    assert.equal(await mode(page), 'operator');

    await page.getByRole('button', { name: 'Open camera' }).click();
    await enabled(page, 'shutter');
    // Guests see the live view and the shutter, not the camera's port or settings.
    await page.getByRole('button', { name: 'Operator controls' }).waitFor();
    assert.equal(await mode(page), 'guest');
    assert.equal(await picker.isVisible(), false, 'the camera picker is on the guest view');
    assert.equal(await page.getByRole('button', { name: 'Find cameras' }).isVisible(), false);
    assert.equal(await page.getByRole('group', { name: 'Camera settings' }).isVisible(), false);
    assert.equal(await shutter.isVisible(), true);
    const live = await page.getByRole('img', { name: 'Live view' }).boundingBox();
    assert.ok(live.width >= 1920 * 0.6 && live.height >= 1080 * 0.9, `live view is small: ${JSON.stringify(live)}`);

    await operatorControls(page);
    assert.equal(await picker.isVisible(), true);
    // The settings are menus of the camera's own values, showing the current one.
    await page.waitForFunction(() => !document.getElementById('iso-menu').hidden, null, { timeout: 10000 });
    assert.deepEqual(await menuState(page, 'ISO'), { visible: true, value: '100', options: ['100', '200', '400', '800'] });
    assert.deepEqual(await menuState(page, 'Aperture'), { visible: true, value: 'f/5.6', options: ['f/2.8', 'f/4', 'f/5.6', 'f/8', 'f/11'] });
    assert.deepEqual(await menuState(page, 'Shutter speed'), {
      visible: true, value: '1/125', options: ['1/30', '1/60', '1/125', '1/250', '1/500'],
    });
    assert.equal(await page.locator('#battery').textContent(), '100%');
    await guestView(page);
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
    assert.equal((await response).status(), 200);
    assert.ok((await galleryBytes(page)).equals(onDisk), 'gallery bytes differ from the file');
    assert.equal(await page.locator('#countdown').isHidden(), true);
    // Not a picture (the simulated camera's made-up bytes): said so, not shown broken.
    await page.getByText('Your photo is saved.').waitFor({ timeout: 5000 });
    await page.locator('#review').waitFor({ state: 'hidden', timeout: 10000 });
  });

  test('the photo just taken is shown large for a few seconds, then the live view again', async () => {
    await booth.control(directive('next', FOLDER, 'SMILE_0001.JPG', '@' + path.join(REPO, 'examples/booth/sample/photo.jpg')));
    await page.getByRole('button', { name: 'Take photo' }).click();
    const shown = page.getByRole('img', { name: 'The photo just taken' });
    await shown.waitFor({ timeout: 10000 });
    await page.waitForFunction(() => {
      const img = document.getElementById('review-photo');
      return img.complete && img.naturalWidth === 1200 && img.getAttribute('src') === '/photos/SMILE_0001.JPG';
    }, null, { timeout: 10000 });
    const box = await shown.boundingBox();
    assert.ok(box.width >= 1920 * 0.45 && box.height >= 1080 * 0.45, `the photo is not shown large: ${JSON.stringify(box)}`);
    await fsp.mkdir(SCREENS, { recursive: true });
    await page.screenshot({ path: path.join(SCREENS, 'guest-photo-1920x1080.png') });
    await shown.waitFor({ state: 'hidden', timeout: 10000 });
    await waitForFrames(page, 5, 5000);
  });

  test('a photo fired on the camera body appears first in the gallery', async () => {
    const response = page.waitForResponse((r) => r.url().includes('/photos/BODY_0007.JPG'));
    await booth.control(directive('shoot', FOLDER, 'BODY_0007.JPG', '3000'));
    await page.waitForFunction(() => document.querySelector('#gallery img')?.alt === 'BODY_0007.JPG', null, { timeout: 10000 });
    const names = await page.locator('#gallery img').evaluateAll((els) => els.map((e) => e.alt));
    assert.deepEqual(names, ['BODY_0007.JPG', 'SMILE_0001.JPG', 'IMG_0001.JPG']);
    const onDisk = await fsp.readFile(path.join(booth.photos, 'BODY_0007.JPG'));
    assert.ok(onDisk.equals(generated('BODY_0007.JPG', 3000)), 'the file differs from the camera\'s');
    assert.equal((await response).status(), 200);
    assert.ok((await galleryBytes(page)).equals(onDisk), 'the gallery leads to other bytes');
  });

  test('a failed shot is explained in plain words, with the bridge text behind "Details"', async () => {
    await booth.control(directive('trigger', '-7'));
    await page.getByRole('button', { name: 'Take photo' }).click();
    const message = page.getByText('The photo could not be taken. Check the camera and try again.');
    await message.waitFor({ timeout: 10000 });
    assert.equal(await page.locator('#problem-detail').textContent(), 'disparar: I/O problem');
    assert.equal(await page.locator('#problem-detail').isVisible(), false, 'the bridge text is shown to guests');
    assert.doesNotMatch(await message.evaluate((e) => getComputedStyle(e).fontFamily), /mono/i);
    await page.getByText('Details').click();
    assert.equal(await page.locator('#problem-detail').isVisible(), true);
    await booth.control(directive('trigger', 'ok'));
    await page.getByRole('button', { name: 'Dismiss message' }).click();
    await enabled(page, 'shutter');
  });

  test('a setting chosen from its menu is set on the camera, and the camera\'s new report shown', async () => {
    await operatorControls(page);
    await menu(page, 'ISO').selectOption('400');
    await textIs(page, 'iso', '400');
    assert.equal((await menuState(page, 'ISO')).value, '400');
    await menu(page, 'Shutter speed').selectOption('1/500');
    await textIs(page, 'shutter-speed', '1/500');
    const sets = (await booth.log()).filter((f) => f[0] === 'set_config' && f[1] !== 'capturetarget');
    assert.deepEqual(sets.map((f) => f.slice(1)), [['iso', '400'], ['shutterspeed', '1/500']]);
    // Another page sees the new values too.
    const other = await browser.newPage();
    try {
      await other.goto(booth.url);
      await textIs(other, 'iso', '400');
    } finally {
      await other.close();
    }
  });

  test('a value the camera refuses is explained in plain words, and the menu shows the camera\'s value again', async () => {
    await booth.control(directive('setfail', '-1'));
    await menu(page, 'ISO').selectOption('800');
    await page.getByText('The camera did not accept ISO 800. Choose another value.').waitFor({ timeout: 10000 });
    assert.equal(await page.locator('#problem-detail').textContent(), 'ajustar: Unspecified error');
    await page.waitForFunction(() => document.getElementById('iso-menu').value === '400' && !document.getElementById('iso-menu').disabled);
    assert.equal(await page.locator('#iso').textContent(), '400');
    // A value the camera does not offer never reaches it.
    const before = (await booth.log()).length;
    const r = await booth.post('setting', { key: 'iso', value: '12345' });
    assert.equal(r.status, 502);
    assert.deepEqual(r.body, { message: 'The camera did not accept ISO 12345. Choose another value.', detail: 'ajustar: Bad parameters' });
    assert.ok(!(await booth.log()).slice(before).some((f) => f[0] === 'set_config'), 'the camera was asked');
    for (const body of [{ key: 'bateria', value: '1' }, { key: 'iso', value: '' }, { key: 'iso', value: '400\nsalir' }, { key: 'iso' }]) {
      assert.equal((await booth.post('setting', body)).status, 502, JSON.stringify(body));
    }
    await page.getByRole('button', { name: 'Dismiss message' }).click();
    await guestView(page);
  });

  test('a real picture shows in the gallery as a small thumbnail; screenshots at kiosk, tablet and phone size', async () => {
    await booth.control(directive('shoot', FOLDER, 'PARTY_0001.JPG', '@' + path.join(REPO, 'examples/booth/sample/photo.jpg')));
    await page.waitForFunction(() => {
      const img = document.querySelector('#gallery img');
      return img?.alt === 'PARTY_0001.JPG' && img.complete && img.naturalWidth > 0;
    }, null, { timeout: 10000 });
    // Scaled down once by the page, to the width the server chose: never
    // the 1200-pixel photo itself.
    const thumbs = await page.locator('#gallery img[src]').evaluateAll((els) => els.map((e) => ({
      src: e.getAttribute('src'), width: e.naturalWidth, height: e.naturalHeight,
    })));
    assert.ok(thumbs.length >= 2, JSON.stringify(thumbs));
    for (const t of thumbs) {
      assert.match(t.src, /^blob:/);
      assert.equal(t.width, 320);
      assert.ok(Math.abs(t.height - 800 * 320 / 1200) < 1, `height ${t.height}`);
    }
    await screenshot(page, 'guest-1920x1080.png', 1920, 1080);
    await screenshot(page, 'guest-768x1024.png', 768, 1024);
    await operatorControls(page);
    await screenshot(page, 'operator-768x1024.png', 768, 1024);
    await screenshot(page, 'operator-1920x1080.png', 1920, 1080);
    await screenshot(page, 'phone-390x844.png', 390, 844);
    // The phone layout still reaches every control.
    for (const name of ['Open camera', 'Take photo', 'Guest view']) {
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
    assert.equal(await menu(page, 'Aperture').isVisible(), false, 'a menu without a camera');
    assert.equal(await page.getByRole('alert').count(), 0, 'a replaced camera is not a disconnection');
    await page.evaluate(() => delete document.getElementById('live').src);

    await page.getByRole('button', { name: 'Open camera' }).click();
    await enabled(page, 'shutter');
    await textIs(page, 'aperture', 'f/5.6');
    await waitForFrames(page, 20, 5000);
    assert.equal(await mode(page), 'guest');
  });

  test('a pulled cable shows one banner, in the guest view too; reconnecting opens the camera again', async () => {
    const alert = page.getByRole('alert');
    assert.equal(await alert.count(), 0);
    await booth.control(directive('unplug', '-7'));
    await alert.waitFor({ timeout: 10000 });
    assert.match(await alert.textContent(), /disconnected/);
    assert.equal(await page.getByRole('button', { name: 'Take photo' }).isDisabled(), true);
    assert.equal(await page.locator('#iso').textContent(), '–');
    assert.equal(await mode(page), 'guest');
    // Whatever the bridge said on the way out, the banner is the one message.
    await page.waitForTimeout(1000);
    const messages = await visibleMessages(page);
    assert.equal(messages.length, 1, `more than one message: ${JSON.stringify(messages)}`);

    await alert.getByRole('button', { name: 'Reconnect' }).click();
    await alert.waitFor({ state: 'hidden', timeout: 10000 });
    await textIs(page, 'shutter-speed', '1/125');
    await enabled(page, 'shutter');
    await waitForFrames(page, 20, 5000);
    // The gallery keeps the session's photos across the reconnection.
    assert.equal(await page.locator('#gallery img').count(), 4);
  });
});

describe('settings the camera offers no values for', () => {
  let booth;
  let page;
  before(async () => {
    // ISO is a text field, the shutter speed is not there at all.
    booth = await startBooth({ scenario: [directive('widget', 'iso', 'text', '250'), directive('nowidget', 'shutterspeed')] });
    assert.equal((await booth.post('open', { index: 0 })).status, 200);
    page = await browser.newPage({ viewport: { width: 1920, height: 1080 } });
    await page.goto(booth.url);
  });
  after(async () => {
    await page?.close();
    await booth?.stop();
  });

  test('have no menu: the value is shown as text; the others keep theirs', async () => {
    await operatorControls(page);
    await page.waitForFunction(() => !document.getElementById('aperture-menu').hidden, null, { timeout: 10000 });
    assert.equal(await menu(page, 'ISO').isVisible(), false);
    assert.equal(await menu(page, 'Shutter speed').isVisible(), false);
    assert.equal(await page.locator('#iso').textContent(), '250');
    assert.equal(await page.locator('#iso').isVisible(), true);
    assert.equal(await page.locator('#shutter-speed').textContent(), '–');
    assert.deepEqual(await menuState(page, 'Aperture'), { visible: true, value: 'f/5.6', options: ['f/2.8', 'f/4', 'f/5.6', 'f/8', 'f/11'] });
    assert.equal(await page.locator('#aperture').isVisible(), false);
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
