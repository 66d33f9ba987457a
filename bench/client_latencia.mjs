#!/usr/bin/env node
// Capture latency through the Node client (clients/node) on the simulated
// camera: from calling capture() to its promise resolving, live view off,
// shots taken one after another. Two cameras: one that gives one file per
// shot (also in alert mode), and one set to RAW+JPEG (two files per shot),
// where every result must end up with both files.
//
//   node bench/client_latencia.mjs [--count N] [--client DIR]
//
// --client names another build of the client (its dist/ folder), to compare
// two versions on the same machine. Needs build/ and the client built
// (cd clients/node && npm ci && npm run build), and root.
import { readFileSync } from "node:fs";
import { cpus } from "node:os";
import path from "node:path";
import { pathToFileURL } from "node:url";
import { SimSetup, directive } from "../clients/node/test/support/sim.mjs";

const args = process.argv.slice(2);
const opt = (name, dflt) => (args.includes(name) ? args[args.indexOf(name) + 1] : dflt);
const count = Number(opt("--count", 50));
const dist = path.resolve(opt("--client", new URL("../clients/node/dist", import.meta.url).pathname));
const { Bridge } = await import(pathToFileURL(path.join(dist, "index.js")).href);

const load = () => readFileSync("/proc/loadavg", "utf8").split(" ")[0];
const pct = (xs, p) => [...xs].sort((a, b) => a - b)[Math.min(xs.length - 1, Math.floor((p / 100) * xs.length))];

async function phase(label, scenario, filesPerShot, alert = false) {
  const sim = new SimSetup([scenario]);
  const bridge = await Bridge.start({ executable: sim.executable });
  try {
    await bridge.open(0, sim.photos);
    if (alert) await bridge.setAlert(true);
    await bridge.capture(); // warm up: the first shot learns what the camera gives
    const ms = [];
    const results = [];
    for (let i = 0; i < count; i++) {
      const t0 = performance.now();
      results.push(await bridge.capture());
      ms.push(performance.now() - t0);
    }
    await bridge.close();
    const whole = results.filter((r) => r.files.length === filesPerShot).length;
    console.log(
      `${label}: n=${count}  min ${Math.min(...ms).toFixed(1)}  p50 ${pct(ms, 50).toFixed(1)}  p90 ${pct(ms, 90).toFixed(1)}  ` +
        `p99 ${pct(ms, 99).toFixed(1)}  max ${Math.max(...ms).toFixed(1)} (ms); ${whole}/${count} results with all ${filesPerShot} files`,
    );
    console.log(["RESULT", "client_latencia", `capture() ${label}, p50`, `${pct(ms, 50).toFixed(1)} ms`, "-", "-"].join("\t"));
  } finally {
    await bridge.quit();
    sim.remove();
  }
}

console.log(`# client: ${dist}; load average at start: ${load()} on ${cpus().length} cores`);
await phase("one file per shot", [], 1);
// Alert mode: the bridge takes each command at once instead of at its next
// look at the camera (a client without setAlert() skips this phase).
if (Bridge.prototype.setAlert) await phase("one file per shot, alert mode", [], 1, true);
await phase("RAW+JPEG", [directive("siblings", ".CR2")], 2);
console.log(`# load average at end: ${load()}`);
