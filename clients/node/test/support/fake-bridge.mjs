#!/usr/bin/env node
// A stand-in for the bridge, for tests of the client's own plumbing: it
// follows a script given as JSON in FAKE_SCRIPT and logs what it reads and
// writes to FAKE_LOG.
//
//   { "start": [ACTION...], "on": { "COMMAND": [ACTION...] } }
//   ACTION: {"write": "raw text"} | {"stderr": "text"} | {"sleep": ms} | {"exit": code}
import { appendFileSync } from "node:fs";
import { setTimeout as sleep } from "node:timers/promises";
import { createInterface } from "node:readline";

const script = JSON.parse(process.env.FAKE_SCRIPT || "{}");
const log = (s) => process.env.FAKE_LOG && appendFileSync(process.env.FAKE_LOG, s + "\n");

async function run(actions = []) {
  for (const a of actions) {
    if ("write" in a) {
      // Logged first: the client may answer as soon as the bytes arrive.
      for (const l of a.write.replace(/\n$/, "").split("\n")) log("> " + l);
      await new Promise((r) => process.stdout.write(a.write, r));
    } else if ("stderr" in a) {
      process.stderr.write(a.stderr);
    } else if ("sleep" in a) {
      await sleep(a.sleep);
    } else if ("exit" in a) {
      process.exit(a.exit);
    }
  }
}

// Commands are handled one after another, like the bridge does.
let chain = run(script.start);
createInterface({ input: process.stdin }).on("line", (line) => {
  log("< " + line);
  chain = chain.then(() => run((script.on || {})[line.split(" ")[0]]));
}).on("close", () => {
  chain.then(() => process.exit(0));
});
