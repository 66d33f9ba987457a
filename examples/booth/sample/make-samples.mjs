// Draws the demo pictures the simulated camera serves in scripts/booth.sh
// (a photo, and live-view frames in which the scene moves), with headless
// Chromium's canvas:
//   node examples/booth/sample/make-samples.mjs
// frame.jpg is one still frame, for tests that want a picture that does
// not change; live/ holds the frames booth.sh plays in a loop.
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { launchBrowser } from '../test/helpers.mjs';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const LIVE_FRAMES = 16;

// The scene at phase `t` of its loop (0 to 1): the sun circles, the hills
// roll. Phase 0 is the still picture.
function draw(w, h, t, quality) {
  const c = document.createElement('canvas');
  c.width = w;
  c.height = h;
  const x = c.getContext('2d');
  const s = w / 1200;
  const turn = t * Math.PI * 2;
  const sky = x.createLinearGradient(0, 0, 0, h);
  sky.addColorStop(0, '#2b5f9e');
  sky.addColorStop(0.6, '#f3a867');
  sky.addColorStop(1, '#f7d9a0');
  x.fillStyle = sky;
  x.fillRect(0, 0, w, h);
  x.fillStyle = '#ffe38a';
  x.beginPath();
  x.arc((840 + 160 * Math.sin(turn)) * s, (330 - 120 * (1 - Math.cos(turn)) / 2) * s, 90 * s, 0, Math.PI * 2);
  x.fill();
  const hill = (y, colour, amp, phase) => {
    x.fillStyle = colour;
    x.beginPath();
    x.moveTo(0, h);
    for (let i = 0; i <= 60; i++) x.lineTo((w * i) / 60, y * s + Math.sin(i / 6 + phase + turn) * amp * s);
    x.lineTo(w, h);
    x.fill();
  };
  hill(520, '#3d6b4f', 40, 0);
  hill(600, '#2c5240', 30, 2);
  hill(690, '#1e3b2f', 20, 4);
  x.fillStyle = 'rgba(255,255,255,0.85)';
  x.font = `bold ${64 * s}px sans-serif`;
  x.fillText('gpbridge booth', 60 * s, 120 * s);
  return c.toDataURL('image/jpeg', quality).split(',')[1];
}

const pictures = [['frame.jpg', 640, 427, 0, 0.82], ['photo.jpg', 1200, 800, 0, 0.82]];
for (let i = 0; i < LIVE_FRAMES; i++) {
  pictures.push([`live/frame-${String(i + 1).padStart(2, '0')}.jpg`, 480, 320, i / LIVE_FRAMES, 0.7]);
}
fs.mkdirSync(path.join(HERE, 'live'), { recursive: true });
const browser = await launchBrowser();
const page = await browser.newPage();
for (const [name, w, h, t, quality] of pictures) {
  const b64 = await page.evaluate(`(${draw})(${w}, ${h}, ${t}, ${quality})`);
  fs.writeFileSync(path.join(HERE, name), Buffer.from(b64, 'base64'));
}
await browser.close();
