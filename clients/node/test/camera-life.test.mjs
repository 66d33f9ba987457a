// The client against the real bridge and the simulated camera when a session
// meets the real world: exposure settings, shots of several files, a shot
// still in flight at a close, a cable pulled and plugged back, a bridge that
// is killed or hangs, the host's own signals, and the station example that
// lives through all of it. Needs root, like camera.test.mjs.
import { test } from "node:test";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { once } from "node:events";
import { existsSync, readdirSync, readFileSync } from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { Bridge } from "../dist/index.js";
import { SimSetup, simSession as session, directive, generated, sleep, alive, waitUntil as waitFor, MODEL, PHOTO_FOLDER } from "./support/sim.mjs";

const waitUntil = (cond, ms = 20000) => waitFor(cond, ms);

const LIMIT = { timeout: 90000 };
const HOST = fileURLToPath(new URL("./support/host.mjs", import.meta.url));
const STATION = fileURLToPath(new URL("../examples/station.mjs", import.meta.url));


/** Resolves with the arguments of the next `name` event, or rejects after `ms`. */
function next(emitter, name, ms = 20000) {
  return Promise.race([
    once(emitter, name),
    sleep(ms).then(() => {
      throw new Error(`no ${name} event within ${ms} ms`);
    }),
  ]);
}


function assertFile(file, folder, name, size) {
  assert.deepEqual(file, { path: path.join(folder, name), name });
  assert.deepEqual(readFileSync(file.path), generated(name, size));
}

test("exposure settings", LIMIT, async () => {
  await session([[directive("widget", "f-number", "text", "f/4")]], {}, async ({ bridge, sim }) => {
    const card = sim.card;
    await bridge.open(0, sim.photos);
    const choices = await bridge.settingChoices();
    assert.deepEqual(choices.iso, ["100", "200", "400", "800"]);
    assert.deepEqual(choices.aperture, []); // a text setting offers no list
    assert.ok(choices.shutterSpeed.includes("1/250"), choices.shutterSpeed.join(" "));

    const settings = await bridge.setSetting("iso", "400");
    assert.equal(settings.iso, "400");
    assert.equal((await bridge.setSetting("shutterSpeed", "1/250")).shutterSpeed, "1/250");
    // A text setting takes any value.
    assert.equal((await bridge.setSetting("aperture", "f/8")).aperture, "f/8");

    const sets = () => card.calls("set_config").filter((c) => c[1] !== "capturetarget" && c[1] !== "viewfinder").length;
    const before = sets();
    await assert.rejects(bridge.setSetting("iso", "401"), { code: "SETTING_REJECTED", text: "ajustar: Bad parameters" });
    assert.equal(sets(), before, "the camera was asked to set a value that is not a choice");

    card.control(directive("setfail", -1));
    await assert.rejects(bridge.setSetting("iso", "800"), { code: "SETTING_REJECTED", text: "ajustar: Unspecified error" });
    assert.equal((await bridge.setSetting("iso", "800")).iso, "800");
  });
});

test("a shot of several files", LIMIT, async () => {
  await session([[directive("siblings", ".CR2", ".XMP"), directive("next", PHOTO_FOLDER, "IMG_0100.JPG", 3000)]], {}, async ({ bridge, sim }) => {
    await bridge.open(0, sim.photos);
    const photo = await bridge.capture({ siblingWaitMs: 2000 });
    assert.equal(photo.name, "IMG_0100.JPG");
    assert.equal(photo.files.length, 3);
    for (const [file, name] of photo.files.map((f, i) => [f, ["IMG_0100.JPG", "IMG_0100.CR2", "IMG_0100.XMP"][i]])) {
      assertFile(file, sim.photos, name, 3000);
    }
    // The next capture's photo is its own, not a file of this one.
    const second = await bridge.capture({ siblingWaitMs: 2000 });
    assert.equal(second.name, "IMG_0001.JPG");
    assert.deepEqual(second.files.map((f) => f.name), ["IMG_0001.JPG", "IMG_0001.CR2", "IMG_0001.XMP"]);
  });
});

test("a shot still in flight when the camera is closed is downloaded first", LIMIT, async () => {
  await session([[directive("filedelay", 1500)]], {}, async ({ bridge, sim }) => {
    await bridge.open(0, sim.photos);
    const events = [];
    bridge.on("photo", (p) => events.push(p.name));
    bridge.on("closed", (r) => events.push(r));
    await assert.rejects(bridge.capture({ timeoutMs: 100 }), { code: "ERR_BRIDGE_TIMEOUT" });
    assert.equal(await bridge.close(), "requested");
    assert.deepEqual(events, ["IMG_0001.JPG", "requested"]);
    assert.deepEqual(readdirSync(sim.photos), ["IMG_0001.JPG"]);
  });
});

test("reconnect", LIMIT, async (t) => {
  await t.test("a cable pulled and plugged back: the same session goes on, live view included, no photo lost or twice", async () => {
    await session([[]], { reconnect: true }, async ({ bridge, sim }) => {
      const card = sim.card;
      await bridge.open(0, sim.photos);
      const events = [];
      for (const name of ["closed", "disconnected", "reconnected"]) bridge.on(name, (a) => events.push(name));
      const photos = [];
      bridge.on("photo", (p) => photos.push(p.name));
      const view = bridge.liveView();
      const before = (await view.next()).value.n;
      assert.equal((await bridge.capture()).name, "IMG_0001.JPG");

      const away = next(bridge, "disconnected");
      card.unplug();
      await away;
      // A capture made while the camera is away waits for it.
      const waiting = bridge.capture();
      await sleep(1000);
      assert.equal(bridge.isAway, true);
      card.plug();
      // A new session on the simulated camera numbers its photos afresh: the
      // bridge saves the new IMG_0001.JPG beside the old one under a new name.
      const second = (await waiting).name;
      assert.notEqual(second, "IMG_0001.JPG");
      assert.deepEqual(events, ["closed", "disconnected", "reconnected"]);
      // The same iteration goes on with fresh frames.
      const after = (await view.next()).value.n;
      assert.ok(after > before, `${after} after ${before}`);
      await view.return();
      assert.deepEqual(photos, ["IMG_0001.JPG", second]);
      assert.deepEqual(readdirSync(sim.photos).sort(), ["IMG_0001.JPG", second].sort());
    });
  });

  await t.test("a camera that stays away: calls fail with CAMERA_UNAVAILABLE at their time limit", async () => {
    await session([[]], { reconnect: true }, async ({ bridge, sim }) => {
      await bridge.open(0, sim.photos);
      const away = next(bridge, "disconnected");
      sim.card.unplug();
      await away;
      await assert.rejects(bridge.capture({ timeoutMs: 500 }), { code: "CAMERA_UNAVAILABLE" });
      await assert.rejects(bridge.settingChoices({ timeoutMs: 100 }), { code: "CAMERA_UNAVAILABLE" });
      assert.equal(await bridge.close(), "disconnected");
      assert.equal(bridge.isAway, false);
    });
  });

  await t.test("a killed bridge is restarted and the camera reopened", async () => {
    await session([[]], { reconnect: true }, async ({ bridge, sim }) => {
      await bridge.open(0, sim.photos);
      assert.equal((await bridge.capture()).name, "IMG_0001.JPG");
      const first = bridge.pid;
      const back = next(bridge, "reconnected");
      process.kill(first, "SIGKILL");
      await back;
      assert.notEqual(bridge.pid, first);
      assert.equal(bridge.isOpen, true);
      const second = (await bridge.capture()).name;
      assert.notEqual(second, "IMG_0001.JPG");
      assert.deepEqual(readdirSync(sim.photos).sort(), ["IMG_0001.JPG", second].sort());
    });
  });

  await t.test("a hung bridge is killed by the watchdog, and a new one takes over", async () => {
    await session([[]], { reconnect: true, watchdogMs: 3000 }, async ({ bridge, sim }) => {
      await bridge.open(0, sim.photos);
      const first = bridge.pid;
      const lost = next(bridge, "disconnected");
      sim.card.control(directive("waithang", 3600));
      assert.deepEqual(await lost, ["bridge"]);
      // A new process reads the control lines again from the start: undo the hang for it.
      sim.card.control(directive("waithang", 0));
      await next(bridge, "reconnected");
      assert.notEqual(bridge.pid, first);
      assert.equal(alive(first), false);
      assert.equal((await bridge.capture()).name, "IMG_0001.JPG");
    });
  });
});

/** Starts a program in a process group of its own, as a shell starts a job. */
function startJob(t, args, cwd, env = {}) {
  const child = spawn(process.execPath, args, { cwd, detached: true, env: { ...process.env, ...env }, stdio: ["ignore", "pipe", "pipe"] });
  let out = "";
  let err = "";
  child.stdout.setEncoding("utf8").on("data", (s) => (out += s));
  child.stderr.setEncoding("utf8").on("data", (s) => (err += s));
  const exited = new Promise((resolve) => child.on("exit", (code, signal) => resolve({ code, signal })));
  t.after(() => {
    try {
      process.kill(-child.pid, "SIGKILL");
    } catch {}
  });
  return { child, exited, out: () => out, err: () => err };
}

test("the host's signals, with the real bridge", LIMIT, async (t) => {
  await t.test("Ctrl-C: the host closes the camera in order and the bridge exits 0", async (t) => {
    const sim = new SimSetup([[]]);
    t.after(() => sim.remove());
    const job = startJob(t, [HOST, sim.executable, sim.photos], sim.root, { HOST_ORDERLY: "1" });
    await waitUntil(() => job.out().includes("\n"));
    const { pid } = JSON.parse(job.out());
    process.kill(-job.child.pid, "SIGINT");
    assert.deepEqual(await job.exited, { code: 0, signal: null }, job.err());
    assert.deepEqual(JSON.parse(job.out().trim().split("\n").at(-1)), { signal: "SIGINT", closed: "requested", quit: 0 });
    assert.equal(alive(pid), false);
    assert.ok(sim.card.calls("exit").length >= 1, "the camera was not closed");
  });

  await t.test("a host ended by SIGTERM dies of it; its bridge closes the camera and its live-view folder is gone", async (t) => {
    const sim = new SimSetup([[]]);
    t.after(() => sim.remove());
    const job = startJob(t, [HOST, sim.executable, sim.photos], sim.root);
    await waitUntil(() => job.out().includes("\n"));
    const { pid, dir } = JSON.parse(job.out());
    process.kill(job.child.pid, "SIGTERM");
    assert.deepEqual(await job.exited, { code: null, signal: "SIGTERM" });
    assert.equal(existsSync(dir), false);
    await waitUntil(() => !alive(pid));
    assert.ok(sim.card.calls("exit").length >= 1, "the camera was not closed");
  });
});

test("the station example: five photos, a pulled cable, Ctrl-C", LIMIT, async (t) => {
  await t.test("it takes its five photos across an unplug, with no recovery code of its own", async (t) => {
    const sim = new SimSetup([[]]);
    t.after(() => sim.remove());
    const job = startJob(t, [STATION, sim.executable], sim.root);
    await waitUntil(() => /^photo: /m.test(job.out()));
    sim.card.unplug();
    await waitUntil(() => /^away: camera$/m.test(job.out()));
    await sleep(1500);
    sim.card.plug();
    assert.deepEqual(await job.exited, { code: 0, signal: null }, job.err());
    const out = job.out();
    assert.match(out, new RegExp(`^opened: ${MODEL}$`, "m"));
    assert.match(out, new RegExp(`^back: ${MODEL}$`, "m"));
    assert.equal(out.match(/^photo: /gm).length, 5, out);
    assert.match(out, /^exit code: 0\nframes: some\n$/m);
    const photos = out.match(/^photo: (.*)$/gm).map((l) => l.slice(7));
    assert.equal(new Set(photos).size, 5);
    assert.deepEqual(readdirSync(path.join(sim.root, "photos")).sort(), [...photos].sort());
  });

  await t.test("Ctrl-C ends it in order", async (t) => {
    const sim = new SimSetup([[]]);
    t.after(() => sim.remove());
    const job = startJob(t, [STATION, sim.executable], sim.root);
    await waitUntil(() => /^photo: /m.test(job.out()));
    process.kill(-job.child.pid, "SIGINT");
    assert.deepEqual(await job.exited, { code: 0, signal: null }, job.err());
    assert.match(job.out(), /^exit code: 0\nframes: some\n$/m);
    assert.ok(sim.card.calls("exit").length >= 1, "the camera was not closed");
  });
});
