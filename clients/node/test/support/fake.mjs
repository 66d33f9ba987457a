// Starting the scripted stand-in for the bridge (fake-bridge.mjs) in a test.
import assert from "node:assert/strict";
import { mkdtempSync, readFileSync, rmSync, existsSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { once } from "node:events";
import { Bridge, parseEvent } from "../../dist/index.js";
import { schemaErrors } from "./sim.mjs";

export const FAKE = fileURLToPath(new URL("./fake-bridge.mjs", import.meta.url));
export const AJUSTES = '{"e":"ajustes","iso":"100","diafragma":"f/5.6","velocidad":"1/125","bateria":"100%"}';
export const OPENED = [{ write: '{"e":"abierta","modelo":"Fake"}\n' + AJUSTES + "\n" }];
export const SETTINGS = { iso: "100", aperture: "f/5.6", shutterSpeed: "1/125", battery: "100%" };

/** A `foto` line for a file in /p. */
export const foto = (name) => `{"e":"foto","ruta":"/p/${name}","nombre":"${name}"}\n`;
/** A `camaras` line listing Fake cameras on these ports. */
export const camaras = (...ports) =>
  `{"e":"camaras","lista":[${ports.map((p) => `{"modelo":"Fake","puerto":"${p}"}`).join(",")}]}\n`;

/** A scratch folder removed when test `t` ends. */
export function scratch(t) {
  const dir = mkdtempSync(path.join(tmpdir(), "gpbridge-fake-"));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  return dir;
}

/** The environment that makes the stand-in follow `script`, logging into `dir`. */
export function fakeEnv(dir, script) {
  return {
    ...process.env,
    FAKE_SCRIPT: JSON.stringify(script),
    FAKE_LOG: path.join(dir, "log"),
    FAKE_RUNS: path.join(dir, "runs"),
  };
}

/**
 * Starts the stand-in; it is killed and its files removed when test `t`
 * ends, passed or not. Its working directory is a scratch folder, `dir`.
 */
export async function startFake(t, script, options = {}) {
  const dir = mkdtempSync(path.join(tmpdir(), "gpbridge-fake-"));
  const log = path.join(dir, "log");
  let bridge;
  try {
    bridge = await Bridge.start({ executable: FAKE, cwd: dir, env: fakeEnv(dir, script), ...options });
  } catch (err) {
    rmSync(dir, { recursive: true, force: true }); // nothing left behind by a start that failed
    throw err;
  }
  // Every line is checked against the schema too: the client must take
  // exactly the lines the schema accepts as events (and refuses any with
  // white space around the object, a CR included, which JSON allows).
  const disagreements = [];
  bridge.on("line", (line) => {
    const valid = line === line.trim() && schemaErrors(line) === null;
    if ((parseEvent(line) !== null) !== valid) disagreements.push(line);
  });
  t.after(async () => {
    if (!bridge.exited) {
      bridge.kill("SIGKILL");
      await once(bridge, "exit");
    }
    rmSync(dir, { recursive: true, force: true });
    assert.deepEqual(disagreements, []);
  });
  const readLog = () => (existsSync(log) ? readFileSync(log, "utf8").trimEnd().split("\n") : []);
  /** The commands the stand-in read, in order. */
  const commands = () => readLog().filter((l) => l.startsWith("< ")).map((l) => l.slice(2));
  return { bridge, readLog, commands, dir };
}

/** Records every event the bridge emits, in order. */
export function record(bridge, names = ["photo", "settings", "closed", "bridgeError", "exit", "protocolError"]) {
  const got = [];
  for (const name of names) bridge.on(name, (...args) => got.push([name, ...args]));
  return got;
}
