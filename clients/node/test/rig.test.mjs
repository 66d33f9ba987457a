// The rig against four simulated cameras of one model, each with its own
// bridge and serial number: sets and their layout on disk, a photo that
// comes after its set closed, a camera pulled and plugged back on another
// port. Needs root, like camera.test.mjs.
import { test } from "node:test";
import assert from "node:assert/strict";
import { once } from "node:events";
import { mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { Rig } from "../dist/index.js";
import { RigFolder } from "../dist/rigfiles.js";
import { RigSim } from "./support/rig-sim.mjs";
import { directive, generated, waitUntil, MODEL, PHOTO_FOLDER } from "./support/sim.mjs";

const LIMIT = { timeout: 120000 };
const SERIALS = ["SN-A", "SN-B", "SN-C", "SN-D"];

/** Card i's scenario: its serial, its next photos (named after the card, so each file says where it came from), and `extra`. */
function cards(extra = {}) {
  return SERIALS.map((serial, i) => [
    directive("serial", serial),
    ...[1, 2, 3].map((k) => directive("next", PHOTO_FOLDER, `C${i}_${k}.JPG`, 1000 + 100 * i + k)),
    ...(extra[i] ?? []),
  ]);
}

/** Set `set`'s file of camera `id`, checked to be card `i`'s photo number `k` with extension `ext`. */
function assertPhoto(sim, set, id, i, k, ext = ".JPG", n = 0) {
  const file = set.files[id][n];
  assert.equal(file, path.join(sim.folder, `shot-${String(set.number).padStart(4, "0")}`, `${id}${ext}`));
  const name = `C${i}_${k}${ext}`;
  assert.deepEqual(readFileSync(file), generated(name, 1000 + 100 * i + k));
}

/** The bridges running under this process (each wrapper ends in an exec of the bridge). */
function bridgePids() {
  const children = readFileSync(`/proc/${process.pid}/task/${process.pid}/children`, "utf8").trim();
  return children === "" ? [] : children.split(" ").map(Number);
}

/**
 * The arguments of the rig's next `name` event. A wait with a limit, so a
 * rig that never emits it fails the test and its folders are still removed.
 */
function next(rig, name, ms = 30000) {
  let timer;
  return Promise.race([
    once(rig, name).finally(() => clearTimeout(timer)),
    new Promise((_, reject) => {
      timer = setTimeout(() => reject(new Error(`no ${name} within ${ms} ms`)), ms);
    }),
  ]);
}

async function withRig(sim, options, run) {
  const rig = await Rig.open({ folder: sim.folder, executable: sim.executable, searchMs: 100, ...options });
  try {
    await run(rig);
  } finally {
    await rig.close();
  }
}

test("a set of four, its layout and manifest, cameras of one model told apart by serial", LIMIT, async () => {
  // Card 1 shoots RAW+JPEG.
  const sim = new RigSim(cards({ 1: [directive("siblings", ".CR2")] }));
  try {
    await withRig(sim, {}, async (rig) => {
      const cams = rig.cameras;
      assert.deepEqual(cams.map((c) => c.id), SERIALS);
      assert.deepEqual(cams.map((c) => c.model), SERIALS.map(() => MODEL));
      assert.deepEqual(cams.map((c) => c.port), sim.cards.map((c) => `disk:${c.mount}`));

      // The first set waits for further files of a shot as told, the next
      // because the camera has shown it gives them.
      for (const k of [1, 2]) {
        const set = await rig.capture({ timeoutMs: 20000, siblingWaitMs: k === 1 ? 1000 : undefined });
        assert.equal(set.number, k);
        assert.deepEqual(Object.keys(set.files), SERIALS);
        assert.deepEqual(set.missing, {});
        SERIALS.forEach((id, i) => assertPhoto(sim, set, id, i, k));
        assert.equal(set.files["SN-B"].length, 2);
        assertPhoto(sim, set, "SN-B", 1, k, ".CR2", 1);
      }
      // Every camera was fired once per set, each by its own bridge.
      for (const card of sim.cards) assert.equal(card.calls("trigger").length, 2);

      const report = await rig.set("iso", "400");
      assert.deepEqual(Object.keys(report), SERIALS);
      for (const r of Object.values(report)) assert.equal(r.ok && r.control.value, "400");
      const refused = await rig.set("iso", "401");
      for (const r of Object.values(refused)) assert.deepEqual([r.ok, r.code], [false, "SETTING_REJECTED"]);

      // Framing one camera: only that one is asked for previews.
      for await (const frame of rig.liveView("SN-C")) {
        assert.ok(frame.n >= 1);
        break;
      }
      assert.deepEqual(sim.cards.map((c) => c.calls("preview").length > 0), [false, false, true, false]);
      assert.throws(() => rig.liveView("SN-X"), RangeError);
    });
    const line = (n) => ({
      shot: n,
      files: Object.fromEntries(SERIALS.map((id) => [id, [`shot-000${n}/${id}.JPG`, ...(id === "SN-B" ? [`shot-000${n}/${id}.CR2`] : [])]])),
      missing: {},
    });
    assert.deepEqual(sim.manifest(), [line(1), line(2)]);
    assert.equal(readFileSync(path.join(sim.folder, "shots.jsonl"), "utf8").split("\n")[0], JSON.stringify(line(1)));
    // Nothing left behind: the download folders are empty and gone.
    assert.deepEqual(readdirSync(sim.folder).sort(), ["shot-0001", "shot-0002", "shots.jsonl"]);

    // Picked by serial number: two of the four, and the set goes on after the last one on disk.
    await withRig(sim, { cameras: ["SN-D", "SN-B"] }, async (rig) => {
      assert.deepEqual(rig.cameras.map((c) => c.id), ["SN-B", "SN-D"]);
      const set = await rig.capture({ timeoutMs: 20000 });
      assert.equal(set.number, 3);
      assert.deepEqual(Object.keys(set.files), ["SN-B", "SN-D"]);
      // New sessions: each card's photo queue starts again from its scenario.
      assertPhoto(sim, set, "SN-B", 1, 1);
      assertPhoto(sim, set, "SN-D", 3, 1);
    });
    assert.deepEqual(sim.manifest().map((l) => l.shot), [1, 2, 3]);
    await assert.rejects(Rig.open({ folder: sim.folder, executable: sim.executable, cameras: ["SN-B", "SN-X"] }), {
      code: "CAMERA_UNAVAILABLE",
      message: /serial number SN-X \(/,
    });
    // Every bridge closed its camera on the way out, the refused open's included.
    for (const card of sim.cards) assert.equal(card.log().at(-1)[0], "exit");
  } finally {
    sim.remove();
  }
});

test("a late photo joins the set it belongs to; a body-fired one makes a set of its own", LIMIT, async () => {
  // Card 2 announces each photo 5 s after its trigger, twice the set's limit.
  const sim = new RigSim(cards({ 2: [directive("filedelay", 5000)] }));
  try {
    await withRig(sim, {}, async (rig) => {
      const first = await rig.capture({ timeoutMs: 2500 });
      assert.deepEqual(first.missing, { "SN-C": "ERR_BRIDGE_TIMEOUT" });
      assert.deepEqual(Object.keys(first.files), ["SN-A", "SN-B", "SN-D"]);
      // The next set is fired while the late photo is still on its way, so
      // the late photo comes while set 2 waits for the same camera.
      const second = await rig.capture({ timeoutMs: 20000 });
      assert.deepEqual(second.missing, {});
      assertPhoto(sim, second, "SN-C", 2, 2);
      const late = sim.manifest()[0];
      assert.deepEqual(late.files["SN-C"], ["shot-0001/SN-C.JPG"]);
      assert.deepEqual(late.missing, {});
      assert.deepEqual(readFileSync(path.join(sim.folder, "shot-0001/SN-C.JPG")), generated("C2_1.JPG", 1201));

      sim.cards[0].control(directive("shoot", PHOTO_FOLDER, "BODY.JPG", 777));
      await waitUntil(() => sim.manifest().length === 3, 20000);
      assert.deepEqual(sim.manifest()[2], { shot: 3, files: { "SN-A": ["shot-0003/SN-A.JPG"] }, missing: {} });
      assert.deepEqual(readFileSync(path.join(sim.folder, "shot-0003/SN-A.JPG")), generated("BODY.JPG", 777));
      const next = await rig.capture({ timeoutMs: 20000 });
      assert.equal(next.number, 4);
    });
  } finally {
    sim.remove();
  }
});

test("a camera pulled out leaves the others shooting, and is found again by serial on a new port", LIMIT, async () => {
  // A fifth camera of the same model, not in the rig, is detected before the
  // new port: the search must read its serial and leave it be.
  const sim = new RigSim([...cards(), [directive("serial", "SN-E")]], { spares: 1 });
  const e = sim.cards[4];
  try {
    await withRig(sim, { cameras: SERIALS }, async (rig) => {
      const b = sim.cards[1];
      const inits = sim.cards.map((c) => c.calls("init").length);
      const lost = next(rig, "cameraLost");
      b.unplug();
      assert.deepEqual(await lost, ["SN-B"]);
      const without = await rig.capture({ timeoutMs: 20000 });
      assert.deepEqual(without.missing, { "SN-B": "CAMERA_UNAVAILABLE" });
      assert.deepEqual(Object.keys(without.files), ["SN-A", "SN-C", "SN-D"]);
      assertPhoto(sim, without, "SN-C", 2, 1);

      // Back on another port. The search never opens the cameras still in
      // the rig, and opens the stranger once: its serial is remembered for
      // as long as its port stays.
      const back = next(rig, "cameraBack");
      const oldPort = rig.cameras[1].port;
      sim.movePort(b, 0);
      b.plug();
      assert.deepEqual(await back, ["SN-B"]);
      assert.deepEqual(rig.cameras[1], { id: "SN-B", model: MODEL, port: `disk:${b.mount}` });
      assert.notEqual(b.mount, oldPort.slice(5));
      for (const i of [0, 2, 3]) assert.equal(sim.cards[i].calls("init").length, inits[i]);
      assert.equal(e.calls("init").length, inits[4] + 1);
      assert.equal(e.log().at(-1)[0], "exit");
      assert.equal(e.calls("trigger").length, 0);

      const again = await rig.capture({ timeoutMs: 20000 });
      assert.deepEqual(again.missing, {});
      assertPhoto(sim, again, "SN-B", 1, 1);
      assertPhoto(sim, again, "SN-A", 0, 2);

      // A bridge killed: a new one is started, and it finds its camera.
      const first = Math.min(...bridgePids());
      const gone = next(rig, "cameraLost");
      const found = next(rig, "cameraBack");
      process.kill(first, "SIGKILL");
      assert.deepEqual(await gone, ["SN-A"]);
      assert.deepEqual(await found, ["SN-A"]);
      assert.ok(!bridgePids().includes(first));
      const last = await rig.capture({ timeoutMs: 20000 });
      assert.deepEqual(Object.keys(last.files), SERIALS);
      assert.deepEqual(
        sim.manifest().map((l) => l.missing),
        [{ "SN-B": "CAMERA_UNAVAILABLE" }, {}, {}],
      );
    });
    assert.deepEqual(bridgePids(), []);
  } finally {
    sim.remove();
  }
});

test("files in a set: a taken name gets the next suffix, nothing is overwritten, numbering goes on", () => {
  const root = mkdtempSync(path.join(tmpdir(), "gpbridge-node-rigfiles-"));
  try {
    const folder = path.join(root, "rig");
    const incoming = path.join(root, "in");
    mkdirSync(incoming);
    const drop = (name, text) => {
      writeFileSync(path.join(incoming, name), text);
      return path.join(incoming, name);
    };
    mkdirSync(path.join(folder, "shot-0007"), { recursive: true });
    writeFileSync(path.join(folder, "shot-0007/usb_001_005-3.JPG"), "theirs");
    writeFileSync(path.join(folder, "shots.jsonl"), '{"shot":2,"files":{},"missing":{}}\nnot a set\n');
    const files = new RigFolder(folder);
    assert.equal(files.nextNumber(), 8);
    const placed = [
      ["usb:001,005", "IMG_1.JPG", "usb_001_005.JPG"],
      ["usb:001,005", "IMG_1.CR2", "usb_001_005.CR2"],
      ["usb:001,005", "IMG_2.JPG", "usb_001_005-2.JPG"],
      ["usb:001,005", "IMG_3.JPG", "usb_001_005-4.JPG"],
      ["../up", "NOEXT", "_._up"],
    ].map(([id, name, want]) => {
      assert.equal(files.place(7, id, drop(name, name)), `shot-0007/${want}`);
      return want;
    });
    assert.equal(readFileSync(path.join(folder, "shot-0007/usb_001_005-3.JPG"), "utf8"), "theirs");
    assert.equal(readFileSync(path.join(folder, "shot-0007", placed[3]), "utf8"), "IMG_3.JPG");
    assert.deepEqual(readdirSync(incoming), []);
    files.record(7, { files: new Map([["usb:001,005", ["shot-0007/usb_001_005.JPG"]]]), missing: new Map([["X", "CAMERA_UNAVAILABLE"]]) });
    assert.equal(
      readFileSync(path.join(folder, "shots.jsonl"), "utf8"),
      '{"shot":2,"files":{},"missing":{}}\n{"shot":7,"files":{"usb:001,005":["shot-0007/usb_001_005.JPG"]},"missing":{"X":"CAMERA_UNAVAILABLE"}}\n',
    );
    assert.deepEqual(readdirSync(folder).sort(), ["shot-0007", "shots.jsonl"]);
  } finally {
    rmSync(root, { recursive: true, force: true });
  }
});
