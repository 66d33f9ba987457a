// Test support: simulated camera cards and a wrapper that starts the real
// bridge inside a private mount namespace with them mounted (the same set-up
// as tests/harness/puente.py), plus schema checking of every line read.

import {
  mkdtempSync,
  mkdirSync,
  writeFileSync,
  appendFileSync,
  readFileSync,
  rmSync,
  chmodSync,
  existsSync,
  renameSync,
} from "node:fs";
import assert from "node:assert/strict";
import { once } from "node:events";
import { readFile } from "node:fs/promises";
import { tmpdir } from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { setTimeout as sleep } from "node:timers/promises";
import Ajv2020 from "ajv/dist/2020.js";

const HERE = path.dirname(fileURLToPath(import.meta.url));
export const REPO = path.resolve(HERE, "../../../..");
const BUILD = path.join(REPO, "build");

export const GPBRIDGE = process.env.GPBRIDGE || path.join(BUILD, "gpbridge");
export const CAMLIBS_DIR = process.env.CAMLIBS_DIR || path.join(BUILD, "camlibs");
export const NS_RUN = process.env.NS_RUN || path.join(REPO, "tests/harness/ns-run");
export const MODEL = "Mass Storage Camera";
export const PHOTO_FOLDER = "/store_00010001/DCIM/100SIMUL";

/** One line of the simulated camera's scenario language. */
export function directive(...fields) {
  return fields.map(String).join("\t");
}

/** The bytes simcam generates for a photo of `size` bytes named `name`. */
export function generated(name, size) {
  let h = 0;
  for (const b of Buffer.from(name)) h = (h + b) % 256;
  const out = Buffer.alloc(size);
  for (let i = 0; i < size; i++) out[i] = (i * 131 + h) & 0xff;
  return out;
}

let validate = null;

/** Null when `line` is a valid event line per the repository's schema, else the reasons. */
export function schemaErrors(line) {
  if (validate === null) {
    const schema = JSON.parse(readFileSync(path.join(REPO, "schema/events.schema.json"), "utf8"));
    validate = new Ajv2020({ allErrors: true }).compile(schema);
  }
  let value;
  try {
    value = JSON.parse(line);
  } catch (e) {
    return `not JSON: ${e.message}`;
  }
  return validate(value) ? null : JSON.stringify(validate.errors);
}

let seq = 0;

/**
 * A scratch session folder with simulated cards and a bridge wrapper script.
 * `cards` is a list of scenario line lists, one per card.
 */
export class SimSetup {
  constructor(cards = [[]]) {
    this.root = mkdtempSync(path.join(tmpdir(), "gpbridge-node-test-"));
    this.photos = path.join(this.root, "fotos");
    mkdirSync(this.photos);
    this.cards = cards.map((scenario, i) => {
      const src = path.join(this.root, "cards", `card${i}`);
      const mount = path.join(this.root, "mnt", `card${i}`);
      mkdirSync(path.join(src, "DCIM"), { recursive: true });
      mkdirSync(path.join(src, "sim"), { recursive: true });
      writeFileSync(path.join(src, "sim", "scenario"), scenario.map((l) => l + "\n").join(""));
      return new Card(src, mount);
    });
    const q = (s) => "'" + s.replaceAll("'", "'\\''") + "'";
    const cardArgs = this.cards.map((c) => `--card ${q(`${c.mount}=${c.src}`)}`).join(" ");
    this.executable = path.join(this.root, `gpbridge-sim-${++seq}`);
    writeFileSync(
      this.executable,
      `#!/bin/sh\nexec ${q(NS_RUN)} ${cardArgs} -- env CAMLIBS=${q(CAMLIBS_DIR)} ${q(GPBRIDGE)} "$@"\n`,
    );
    chmodSync(this.executable, 0o755);
  }

  get card() {
    return this.cards[0];
  }

  remove() {
    rmSync(this.root, { recursive: true, force: true });
  }
}

export class Card {
  constructor(src, mount) {
    this.src = src;
    this.mount = mount;
  }

  /** Appends control lines, picked up by the running camera. */
  control(...lines) {
    appendFileSync(path.join(this.src, "sim", "control"), lines.map((l) => l + "\n").join(""));
  }

  /**
   * Pulls the cable, as `gpbridge-sim unplug` does: no new session opens, the
   * running one fails with `status`, and detection no longer lists the card.
   */
  unplug(status = -52) {
    writeFileSync(path.join(this.src, "sim", "unplugged"), "");
    this.control(directive("unplug", status));
    renameSync(path.join(this.src, "DCIM"), path.join(this.src, "DCIM.unplugged"));
  }

  /** Plugs the cable back in, as `gpbridge-sim plug` does. */
  plug() {
    this.control("plug");
    rmSync(path.join(this.src, "sim", "unplugged"), { force: true });
    renameSync(path.join(this.src, "DCIM.unplugged"), path.join(this.src, "DCIM"));
  }

  /** The driver's call log as [op, ...fields] arrays. */
  log() {
    const p = path.join(this.src, "sim", "log");
    if (!existsSync(p)) return [];
    return readFileSync(p, "utf8")
      .split("\n")
      .filter((l) => l !== "")
      .map((l) => l.slice(l.indexOf(" ") + 1).split("\t"));
  }

  calls(op) {
    return this.log().filter((e) => e[0] === op);
  }

  /** Waits until the driver has logged a call `op` (matching `pred`), up to `ms`. */
  async waitFor(op, pred = () => true, ms = 10000) {
    const until = Date.now() + ms;
    while (Date.now() < until) {
      const found = this.calls(op).find(pred);
      if (found) return found;
      await sleep(20);
    }
    throw new Error(`the camera never logged ${op}`);
  }
}

/**
 * Records every line a bridge reads and checks it against the schema; the
 * test asserts `problems` is empty at the end.
 */
export function watchLines(bridge) {
  const seen = { lines: [], problems: [] };
  bridge.on("line", (line) => {
    seen.lines.push(line);
    const bad = schemaErrors(line);
    if (bad !== null) seen.problems.push(`${line}: ${bad}`);
  });
  bridge.on("protocolError", (line) => seen.problems.push(`protocolError: ${line}`));
  return seen;
}

export { readFile, sleep };

/** Whether process `pid` still exists. */
export function alive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch {
    return false;
  }
}

/** Resolves once `cond()` holds; rejects after `ms`. */
export async function waitUntil(cond, ms = 10000) {
  const until = Date.now() + ms;
  while (!cond()) {
    if (Date.now() > until) throw new Error("timed out");
    await sleep(20);
  }
}

/**
 * Runs `run({ bridge, sim, seen })` on a bridge with simulated cards (one
 * scenario line list per card), then checks that every line passed the
 * schema and that the bridge quits cleanly; everything is removed after.
 */
export async function simSession(cards, options, run) {
  const { Bridge } = await import("../../dist/index.js");
  const sim = new SimSetup(cards);
  const bridge = await Bridge.start({ executable: sim.executable, cwd: sim.root, ...options });
  const seen = watchLines(bridge);
  try {
    await run({ bridge, sim, seen });
    if (!bridge.exited) assert.equal(await bridge.quit(), 0);
    assert.deepEqual(seen.problems, []);
  } finally {
    if (!bridge.exited) {
      bridge.kill("SIGKILL");
      await once(bridge, "exit");
    }
    sim.remove();
  }
}
