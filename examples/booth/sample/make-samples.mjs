// Draws the demo pictures the simulated camera serves in scripts/booth.sh
// (a live-view frame and a photo), with headless Chromium's canvas:
//   node examples/booth/sample/make-samples.mjs
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { launchBrowser } from '../test/helpers.mjs';

const HERE = path.dirname(fileURLToPath(import.meta.url));

function draw(w, h) {
  const c = document.createElement('canvas');
  c.width = w;
  c.height = h;
  const x = c.getContext('2d');
  const s = w / 1200;
  const sky = x.createLinearGradient(0, 0, 0, h);
  sky.addColorStop(0, '#2b5f9e');
  sky.addColorStop(0.6, '#f3a867');
  sky.addColorStop(1, '#f7d9a0');
  x.fillStyle = sky;
  x.fillRect(0, 0, w, h);
  x.fillStyle = '#ffe38a';
  x.beginPath();
  x.arc(840 * s, 330 * s, 90 * s, 0, Math.PI * 2);
  x.fill();
  const hill = (y, colour, amp, phase) => {
    x.fillStyle = colour;
    x.beginPath();
    x.moveTo(0, h);
    for (let i = 0; i <= 60; i++) x.lineTo((w * i) / 60, y * s + Math.sin(i / 6 + phase) * amp * s);
    x.lineTo(w, h);
    x.fill();
  };
  hill(520, '#3d6b4f', 40, 0);
  hill(600, '#2c5240', 30, 2);
  hill(690, '#1e3b2f', 20, 4);
  x.fillStyle = 'rgba(255,255,255,0.85)';
  x.font = `bold ${64 * s}px sans-serif`;
  x.fillText('gpbridge booth', 60 * s, 120 * s);
  return c.toDataURL('image/jpeg', 0.82).split(',')[1];
}

const browser = await launchBrowser();
const page = await browser.newPage();
for (const [name, w, h] of [['frame.jpg', 640, 427], ['photo.jpg', 1200, 800]]) {
  const b64 = await page.evaluate(`(${draw})(${w}, ${h})`);
  fs.writeFileSync(path.join(HERE, name), Buffer.from(b64, 'base64'));
}
await browser.close();
