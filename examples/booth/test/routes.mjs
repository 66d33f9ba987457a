// The server's routes on their own: the photos in the download folder
// and the live view. Imported by booth.test.mjs (one run for CTest).

import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fsp from 'node:fs/promises';
import path from 'node:path';
import { execFileSync } from 'node:child_process';
import { launchBrowser, startBooth, directive, rawGet, readParts, REPO, GPBRIDGE } from './helpers.mjs';

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
  let browser;
  before(async () => {
    browser = await launchBrowser();
    // Every preview is the same picture.
    booth = await startBooth({ scenario: [directive('frame', '@' + frameFile)] });
    const open = await fetch(new URL('/api/open', booth.url), {
      method: 'POST', headers: { 'content-type': 'application/json' }, body: '{"index":0}',
    });
    assert.equal(open.status, 200);
  });
  after(async () => {
    await browser?.close();
    await booth?.stop();
  });

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
