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
//
// With FAKE_RUNS naming a file, the script may be { "runs": [SCRIPT, ...] }:
// the first process started follows the first, the next one the second, ...
// (the last repeats), as a client restarting the bridge would see.
import { appendFileSync, closeSync, readFileSync, writeFileSync, existsSync } from "node:fs";
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
    } else if ("closeStdout" in a) {
      stdoutOpen = false;
      closeSync(1);
      setInterval(() => {}, 1000); // runs on
    }
  }
}

function answer(command) {
  const a = (script.on || {})[command];
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
    chain = chain.then(() => run(answer(line.split(" ")[0])));
  })
  .on("close", () => {
    if (!script.ignoreEof) chain.then(() => process.exit(0));
  });
