#!/usr/bin/env node
// Photo booth live view, end to end: frames the bridge publishes, frames the
// browser (headless Chromium) actually shows, and the booth server's CPU per
// frame, on the simulated camera's built-in frames.
//
//   node bench/booth.mjs [--seconds 20] [--warmup 3] [--client-only]
//
// --client-only measures the reference: the Node client alone, in this
// process, reading every frame the way the server does, with no HTTP.
//
// Waits first for a quiet machine (BENCH_MAX_LOAD, BENCH_MAX_WAIT, as
// bench/run_all.sh does).
//
// Needs `npm ci` in examples/booth, the built Node client and build/ (or
// GPBRIDGE, CAMLIBS_DIR, NS_RUN as for the tests). Run as root.

import fs from 'node:fs';
import os from 'node:os';
import { launchBrowser, makeCamera, startBooth, REPO } from '../examples/booth/test/helpers.mjs';

const args = process.argv.slice(2);
const opt = (name, def) => {
  const i = args.indexOf(name);
  return i >= 0 ? Number(args[i + 1]) : def;
};
const SECONDS = opt('--seconds', 20);
const WARMUP = opt('--warmup', 3);
const CLIENT_ONLY = args.includes('--client-only');

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Like bench/run_all.sh: wait up to BENCH_MAX_WAIT s for the one-minute load
// average to drop below BENCH_MAX_LOAD, and print the load at the start.
const maxLoad = Number(process.env.BENCH_MAX_LOAD || 1.5);
const maxWait = Number(process.env.BENCH_MAX_WAIT || 300);
for (let waited = 0; os.loadavg()[0] >= maxLoad && waited < maxWait; waited += 5) await sleep(5000);
const startLoad = os.loadavg()[0].toFixed(2);

// The live-view folder on tmpfs, as docs/protocol.md recommends.
const liveBase = fs.existsSync('/dev/shm') ? '/dev/shm' : os.tmpdir();

if (CLIENT_ONLY) {
  const { Bridge } = await import(`${REPO}/clients/node/dist/index.js`);
  const cam = await makeCamera({ tee: false, liveBase });
  const bridge = await Bridge.start({ executable: cam.wrapper, liveViewDir: cam.live });
  try {
    await bridge.listCameras();
    await bridge.open(0, cam.photos);
    let a = null;
    const end = { at: Infinity };
    setTimeout(() => {
      a = { t: performance.now(), cpu: process.cpuUsage(), frames: bridge.stats.frames };
      end.at = a.t + SECONDS * 1000;
    }, WARMUP * 1000);
    let read = 0;
    for await (const frame of bridge.liveView()) {
      await frame.read();
      if (a) read++;
      if (performance.now() >= end.at) break;
    }
    const secs = (performance.now() - a.t) / 1000;
    const cpu = process.cpuUsage(a.cpu);
    const published = bridge.stats.frames - a.frames;
    const cpuMs = (cpu.user + cpu.system) / 1000;
    console.log(`Node client alone, ${secs.toFixed(1)} s after ${WARMUP} s warm-up (load average ${startLoad} at start, ${os.loadavg()[0].toFixed(2)} at end)`);
    console.log(`  bridge published   ${published} frames  ${(published / secs).toFixed(1)} fps; read ${read}`);
    console.log(`  client CPU         ${cpuMs.toFixed(0)} ms (user ${(cpu.user / 1000).toFixed(0)}, system ${(cpu.system / 1000).toFixed(0)})  ${(cpuMs / published).toFixed(3)} ms per published frame`);
  } finally {
    await bridge.quit();
    await cam.remove();
  }
  process.exit(0);
}
const booth = await startBooth({ tee: false, liveBase });
const browser = await launchBrowser();
try {
  const page = await browser.newPage({ viewport: { width: 1920, height: 1080 } });
  await page.goto(booth.url);
  await page.waitForFunction(() => document.querySelector('#camera option[value="0"]'));
  await page.getByRole('button', { name: 'Open camera' }).click();
  await page.waitForFunction(() => window.boothStats.shown > 0, null, { timeout: 10000 });
  await sleep(WARMUP * 1000);

  const sample = async () => {
    const [server, shown] = await Promise.all([booth.stats(), page.evaluate(() => ({ ...window.boothStats }))]);
    return { t: performance.now(), server, shown };
  };
  const a = await sample();
  await sleep(SECONDS * 1000);
  const b = await sample();

  const secs = (b.t - a.t) / 1000;
  const published = b.server.bridgeFrames - a.server.bridgeFrames;
  const sent = b.server.sent - a.server.sent;
  const received = b.shown.parts - a.shown.parts;
  const shown = b.shown.shown - a.shown.shown;
  const cpuMs = (b.server.cpuUserUs + b.server.cpuSystemUs - a.server.cpuUserUs - a.server.cpuSystemUs) / 1000;
  const load = os.loadavg()[0].toFixed(2);

  console.log(`booth live view, ${secs.toFixed(1)} s after ${WARMUP} s warm-up (load average ${startLoad} at start, ${load} at end)`);
  console.log(`  bridge published   ${published} frames  ${(published / secs).toFixed(1)} fps`);
  console.log(`  server sent        ${sent} frames  ${(sent / secs).toFixed(1)} fps`);
  console.log(`  page received      ${received} frames`);
  console.log(`  browser shown      ${shown} frames  ${(shown / secs).toFixed(1)} fps  (${((100 * shown) / published).toFixed(1)}% of published; goal >= 90%)`);
  const userMs = (b.server.cpuUserUs - a.server.cpuUserUs) / 1000;
  console.log(`  server CPU         ${cpuMs.toFixed(0)} ms (user ${userMs.toFixed(0)}, system ${(cpuMs - userMs).toFixed(0)})  ${(cpuMs / published).toFixed(3)} ms per published frame (goal <= 0.5)`);
} finally {
  await browser.close();
  await booth.stop();
}
