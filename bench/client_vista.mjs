#!/usr/bin/env node
// Live view through the Node client (clients/node) on the simulated camera:
// frames a consumer receives against `vista` events the bridge emitted, and
// the Node process's CPU time per frame (process.cpuUsage(): the client's
// parsing and dispatch plus whatever the consumer does).
//
//   node --expose-gc bench/client_vista.mjs [SECONDS] [--tmp]
//
// Three phases of SECONDS each (default 30): a consumer that reads every
// frame's bytes, one that only takes the frames, and for reference the
// floor: a bare 'data' listener on another bridge's output, with no client
// (what any Node process pays to be woken once per frame). Frames are published
// in the client's default live-view directory (/dev/shm here), or with
// --tmp in a private directory under the system temp directory.
// Needs build/ and the client built (cd clients/node && npm ci && npm run build), and root.
//
// Goals: a consumer that keeps up sees >= 99% of the frames; <= 0.3 ms of
// Node CPU per frame.
import { spawn } from "node:child_process";
import { once } from "node:events";
import { mkdtempSync, rmSync, readFileSync } from "node:fs";
import { tmpdir, cpus } from "node:os";
import path from "node:path";
import { Bridge } from "../clients/node/dist/index.js";
import { SimSetup } from "../clients/node/test/support/sim.mjs";

const args = process.argv.slice(2);
const seconds = Number(args.find((a) => /^\d+(\.\d+)?$/.test(a)) ?? 30);
const useTmp = args.includes("--tmp");

const load = () => readFileSync("/proc/loadavg", "utf8").split(" ")[0];
const result = (figure, value, goal, met) =>
  console.log(["RESULT", "client_vista", figure, value, goal, met === null ? "-" : met ? "met" : "MISSED"].join("\t"));

async function phase(bridge, read) {
  // Start each phase with no garbage left from start-up or the phase before.
  globalThis.gc?.();
  const view = bridge.liveView();
  // Warm up for five seconds (compiled code, start-up garbage collected); the clock starts then.
  let first = await view.next();
  for (const w0 = performance.now(); performance.now() - w0 < 5000; ) {
    first = await view.next();
    if (read) await first.value.read();
  }
  const skipped0 = view.skipped;
  const f0 = bridge.stats.frames;
  const n0 = first.value.n;
  const cpu0 = process.cpuUsage();
  const mem0 = process.memoryUsage();
  const t0 = performance.now();
  let received = 0;
  let lastN = n0;
  let bytes = 0;
  for await (const frame of view) {
    received++;
    lastN = frame.n;
    if (read) bytes += (await frame.read()).length;
    if (performance.now() - t0 >= seconds * 1000) break;
  }
  const elapsed = (performance.now() - t0) / 1000;
  const cpu = process.cpuUsage(cpu0);
  const mem1 = process.memoryUsage();
  const parsed = bridge.stats.frames - f0; // every vista line the client read in the window
  const emitted = lastN - n0; // the bridge numbers its frames without gaps
  const cpuMs = (cpu.user + cpu.system) / 1000 / parsed;
  const label = read ? "reads every frame" : "takes frames only";
  console.log(`\n${label}: ${elapsed.toFixed(1)} s`);
  console.log(`  vista events read by the client: ${parsed} (${(parsed / elapsed).toFixed(1)}/s); ` +
    `by frame number up to the last frame received: ${emitted}`);
  console.log(`  frames received: ${received} (${((100 * received) / parsed).toFixed(2)}%), skipped ${view.skipped - skipped0}` +
    (read ? `, ${bytes} bytes read` : ""));
  console.log(`  Node CPU: user ${(cpu.user / 1000 / parsed).toFixed(4)} + system ${(cpu.system / 1000 / parsed).toFixed(4)}` +
    ` = ${cpuMs.toFixed(4)} ms per frame`);
  console.log(`  heap used ${(mem0.heapUsed / 1024).toFixed(0)} -> ${(mem1.heapUsed / 1024).toFixed(0)} kB, ` +
    `RSS ${(mem0.rss / 1024).toFixed(0)} -> ${(mem1.rss / 1024).toFixed(0)} kB`);
  const share = received / parsed;
  result(`frames received, consumer ${label}`, `${(100 * share).toFixed(2)}% (${received} of ${parsed})`,
    read ? ">= 99%" : "-", read ? share >= 0.99 : null);
  result(`Node CPU per frame, consumer ${label}`, `${cpuMs.toFixed(3)} ms`, "<= 0.3 ms", cpuMs <= 0.3);
}

// The floor: spawn the bridge directly, count line feeds, nothing else.
async function floor(sim, dir) {
  globalThis.gc?.();
  const child = spawn(sim.executable, [dir], { stdio: ["pipe", "pipe", "inherit"] });
  let lines = 0;
  let counting = false;
  let cpu0;
  let t0;
  child.stdout.on("data", (chunk) => {
    for (let i = chunk.indexOf(10); i >= 0; i = chunk.indexOf(10, i + 1)) lines++;
    if (!counting && lines > 10) {
      counting = true;
      lines = 0;
      cpu0 = process.cpuUsage();
      t0 = performance.now();
    }
  });
  child.stdin.write(`abrir 0 ${sim.photos}\nvista 1\n`);
  while (!counting || performance.now() - t0 < seconds * 1000) await new Promise((r) => setTimeout(r, 100));
  const cpu = process.cpuUsage(cpu0);
  const elapsed = (performance.now() - t0) / 1000;
  child.stdin.end("salir\n");
  await once(child, "close");
  const ms = (cpu.user + cpu.system) / 1000 / lines;
  console.log(`\nfloor, a bare 'data' listener: ${elapsed.toFixed(1)} s, ${lines} lines (${(lines / elapsed).toFixed(1)}/s)`);
  console.log(`  Node CPU: user ${(cpu.user / 1000 / lines).toFixed(4)} + system ${(cpu.system / 1000 / lines).toFixed(4)}` +
    ` = ${ms.toFixed(4)} ms per line`);
  result("Node CPU per frame, reference: bare 'data' listener, no client", `${ms.toFixed(3)} ms`, "-", null);
}

const sim = new SimSetup([[]]);
const liveDir = useTmp ? mkdtempSync(path.join(tmpdir(), "gpbridge-bench-live-")) : undefined;
console.log(`# load average at start: ${load()} on ${cpus().length} cores; ${seconds} s per phase` +
  (globalThis.gc ? "" : "; run with --expose-gc to collect garbage between phases"));
const bridge = await Bridge.start({ executable: sim.executable, liveViewDir: liveDir });
console.log(`# live-view directory: ${bridge.liveViewDir}`);
try {
  await bridge.open(0, sim.photos);
  await phase(bridge, true);
  await phase(bridge, false);
  await bridge.close();
  await floor(sim, bridge.liveViewDir);
} finally {
  console.log(`\n# bridge exit code: ${await bridge.quit()}; load average at end: ${load()}`);
  if (liveDir) rmSync(liveDir, { recursive: true, force: true });
  sim.remove();
}
