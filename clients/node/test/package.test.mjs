// The package as a host project gets it: packed with `npm pack`, installed
// from the tarball into a fresh project (CommonJS, as `npm init -y` makes
// it), with the client's folder gone. Both `require("gpbridge")` and
// `import "gpbridge"` run a session on the real bridge and the simulated
// camera, and the types check for both. Needs root, like camera.test.mjs.
import { test } from "node:test";
import assert from "node:assert/strict";
import { execFile } from "node:child_process";
import { cpSync, lstatSync, mkdtempSync, readdirSync, rmSync, writeFileSync } from "node:fs";
import { createRequire } from "node:module";
import { tmpdir } from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { promisify } from "node:util";
import { SimSetup } from "./support/sim.mjs";

const run = promisify(execFile);
const CLIENT = fileURLToPath(new URL("..", import.meta.url));
const TSC = createRequire(import.meta.url).resolve("typescript/bin/tsc");

const SESSION = `
  const bridge = await Bridge.start({ executable: process.argv[2] });
  const cams = await bridge.listCameras();
  const opened = await bridge.open(0, "photos");
  const photo = await bridge.capture();
  const closed = await bridge.close();
  const code = await bridge.quit();
  console.log(JSON.stringify({ cams: cams.length, model: opened.model, files: photo.files.length, closed, code }));
`;

test("installed from its tarball into a fresh project", { timeout: 180000 }, async (t) => {
  const root = mkdtempSync(path.join(tmpdir(), "gpbridge-package-"));
  t.after(() => rmSync(root, { recursive: true, force: true }));
  const npmEnv = {
    ...process.env,
    npm_config_cache: path.join(root, "npm-cache"),
    npm_config_update_notifier: "false",
    npm_config_audit: "false",
    npm_config_fund: "false",
  };
  const npm = (args, cwd) => run("npm", args, { cwd, env: npmEnv });

  // A copy of the client stands for the clone: packed, then removed.
  const clone = path.join(root, "clone");
  for (const part of ["package.json", "README.md", "dist", "src"]) {
    cpSync(path.join(CLIENT, part), path.join(clone, part), { recursive: true });
  }
  const { stdout: packed } = await npm(["pack", "--silent", "--pack-destination", root], clone);
  const tarball = path.join(root, packed.trim().split("\n").at(-1));
  rmSync(clone, { recursive: true });

  const app = path.join(root, "app");
  await run("mkdir", ["-p", app]);
  await npm(["init", "-y"], app);
  await npm(["install", "--offline", tarball], app);
  rmSync(tarball);
  assert.equal(lstatSync(path.join(app, "node_modules/gpbridge")).isSymbolicLink(), false);
  assert.ok(readdirSync(path.join(app, "node_modules/gpbridge/dist/cjs")).includes("index.d.ts"));

  writeFileSync(path.join(app, "session.js"), `const { Bridge } = require("gpbridge");\n(async () => {${SESSION}})();\n`);
  writeFileSync(path.join(app, "session.mjs"), `import { Bridge } from "gpbridge";\n${SESSION}`);
  const want = { cams: 1, model: "Mass Storage Camera", files: 1, closed: "requested", code: 0 };
  for (const script of ["session.js", "session.mjs"]) {
    const sim = new SimSetup([[]]);
    try {
      const { stdout } = await run(process.execPath, [path.join(app, script), sim.executable], { cwd: app, timeout: 60000 });
      assert.deepEqual(JSON.parse(stdout), want, script);
    } finally {
      sim.remove();
    }
  }

  // The declarations serve both module systems.
  const typed = `
    import { Bridge, BridgeError, type Photo, type SettingChoices } from "gpbridge";
    export async function shoot(b: Bridge): Promise<string[]> {
      const p: Photo = await b.capture({ siblingWaitMs: 0 });
      const c: SettingChoices = await b.settingChoices();
      const e = new BridgeError("CAMERA_UNAVAILABLE", "x");
      return [...p.files.map((f) => f.path), ...c.iso, e.code];
    }
  `;
  writeFileSync(path.join(app, "typed.mts"), typed);
  writeFileSync(path.join(app, "typed.cts"), typed);
  const typeRoots = path.join(CLIENT, "node_modules/@types");
  await run(
    process.execPath,
    [TSC, "--noEmit", "--strict", "--module", "nodenext", "--moduleResolution", "nodenext", "--types", "node", "--typeRoots", typeRoots, "typed.mts", "typed.cts"],
    { cwd: app },
  ).catch((err) => assert.fail(`${err.stdout}${err.stderr}`));
});
