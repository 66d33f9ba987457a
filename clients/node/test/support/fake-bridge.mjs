#!/usr/bin/env node
// A stand-in for the bridge, for tests of the client's own plumbing: it
// follows a script given as JSON in FAKE_SCRIPT and logs what it reads and
// writes to FAKE_LOG.
//
//   { "start": [ACTION...], "on": { "COMMAND": ANSWER }, "ignoreEof": bool }
//   ANSWER: [ACTION...]                      the same every time
//         | { "each": [[ACTION...], ...] }   the first time, the second, ... (the last repeats)
//   ACTION: {"write": "raw text"} | {"stderr": "text"} | {"sleep": ms} | {"exit": code}
//         | {"frames": count}        that many `vista` lines, in one write
//         | {"long": bytes}          that many bytes of "x", with no line feed
//         | {"closeStdout": true}    closes standard output and runs on
//         | {"choices": [N, BYTES]}  an `opciones` line listing N ISO choices of BYTES bytes
//         | {"download": [NAME, ms]} writes NAME.parcial in the download folder
//                                    (the last `abrir`'s), a little every 100 ms
//                                    for that long, then renames it to NAME and
//                                    writes its `foto` line
//
// A `leer` the script does not answer is answered as the bridge answers a
// name the camera does not have: `leer: Bad parameters`.
//
// With FAKE_RUNS naming a file, the script may be { "runs": [SCRIPT, ...] }:
// the first process started follows the first, the next one the second, ...
// (the last repeats), as a client restarting the bridge would see.
import { appendFileSync, closeSync, readFileSync, renameSync, writeFileSync, existsSync } from "node:fs";
import path from "node:path";
import { setTimeout as sleep } from "node:timers/promises";
import { createInterface } from "node:readline";

let script = JSON.parse(process.env.FAKE_SCRIPT || "{}");
if (script.runs) {
  const file = process.env.FAKE_RUNS;
  const run = existsSync(file) ? Number(readFileSync(file, "utf8")) : 0;
  writeFileSync(file, String(run + 1));
  script = script.runs[Math.min(run, script.runs.length - 1)];
}
const log = (s) => process.env.FAKE_LOG && appendFileSync(process.env.FAKE_LOG, s + "\n");
const liveDir = process.argv[2];
const seen = new Map();
let frame = 0;
let stdoutOpen = true;
let folder = ".";

async function write(text) {
  if (!stdoutOpen) return;
  // Logged first: the client may answer as soon as the bytes arrive.
  for (const l of text.replace(/\n$/, "").split("\n")) log("> " + l);
  await new Promise((r) => process.stdout.write(text, r));
}

async function run(actions = []) {
  for (const a of actions) {
    if ("write" in a) {
      await write(a.write);
    } else if ("frames" in a) {
      let text = "";
      for (let i = 0; i < a.frames; i++) text += `{"e":"vista","ruta":"${liveDir}/vista.jpg","n":${++frame}}\n`;
      await write(text);
    } else if ("long" in a) {
      const chunk = "x".repeat(64 * 1024);
      for (let left = a.long; left > 0; left -= chunk.length) {
        await new Promise((r) => process.stdout.write(chunk.slice(0, Math.min(left, chunk.length)), r));
      }
    } else if ("stderr" in a) {
      process.stderr.write(a.stderr);
    } else if ("sleep" in a) {
      await sleep(a.sleep);
    } else if ("exit" in a) {
      process.exit(a.exit);
    } else if ("choices" in a) {
      const [n, bytes] = a.choices;
      const iso = Array.from({ length: n }, (_, i) => String(i).padStart(bytes, "q"));
      await write(JSON.stringify({ e: "opciones", iso, diafragma: ["f/8"], velocidad: [] }) + "\n");
    } else if ("download" in a) {
      const [name, ms] = a.download;
      const file = path.join(folder, name);
      for (let t = 0; t < ms; t += 100) {
        appendFileSync(file + ".parcial", Buffer.alloc(1000));
        await sleep(100);
      }
      renameSync(file + ".parcial", file);
      await write(`{"e":"foto","ruta":${JSON.stringify(file)},"nombre":"${name}"}\n`);
    } else if ("closeStdout" in a) {
      stdoutOpen = false;
      closeSync(1);
      setInterval(() => {}, 1000); // runs on
    }
  }
}

const DEFAULTS = { leer: [{ write: '{"e":"error","texto":"leer: Bad parameters"}\n' }] };

function answer(command) {
  const a = (script.on || {})[command] ?? DEFAULTS[command];
  if (!a || Array.isArray(a)) return a;
  const n = seen.get(command) ?? 0;
  seen.set(command, n + 1);
  return a.each[Math.min(n, a.each.length - 1)];
}

// Commands are handled one after another, like the bridge does.
let chain = run(script.start);
createInterface({ input: process.stdin })
  .on("line", (line) => {
    log("< " + line);
    if (line.startsWith("abrir ")) folder = line.split(" ").slice(2).join(" ");
    chain = chain.then(() => run(answer(line.split(" ")[0])));
  })
  .on("close", () => {
    if (!script.ignoreEof) chain.then(() => process.exit(0));
  });
