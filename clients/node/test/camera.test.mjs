// The client against the real bridge and the simulated camera, in a private
// mount namespace (needs root, like the process tests). Every line read is
// checked against schema/events.schema.json.
import { test } from "node:test";
import assert from "node:assert/strict";
import { existsSync, readFileSync, readdirSync, rmSync } from "node:fs";
import { once } from "node:events";
import path from "node:path";
import { execFile } from "node:child_process";
import { promisify } from "node:util";
import { fileURLToPath } from "node:url";
import { Bridge, BridgeError } from "../dist/index.js";
import { SimSetup, watchLines, directive, generated, sleep, MODEL, PHOTO_FOLDER } from "./support/sim.mjs";

const run = promisify(execFile);
const SETTINGS = { iso: "100", aperture: "f/5.6", shutterSpeed: "1/125", battery: "100%" };
const LIMIT = { timeout: 60000 };

/** A bridge on simulated cards; `run` gets { bridge, sim, seen }. Checks every line and a clean end. */
async function session(cards, run, { expectExit = 0 } = {}) {
  const sim = new SimSetup(cards);
  const bridge = await Bridge.start({ executable: sim.executable, cwd: sim.root });
  const seen = watchLines(bridge);
  try {
    await run({ bridge, sim, seen });
    if (expectExit !== null) assert.equal(await bridge.quit(), expectExit);
    assert.deepEqual(seen.problems, []);
    assert.equal(bridge.stderr, "");
  } finally {
    if (!bridge.exited) {
      bridge.kill("SIGKILL");
      await once(bridge, "exit");
    }
    sim.remove();
  }
}

/** Resolves with the next `photo` event. */
const nextPhoto = (bridge) => once(bridge, "photo").then(([p]) => p);

/** A photo event's file, or a capture's result with that one file. */
function assertPhoto(photo, folder, name, size) {
  const file = { path: path.join(folder, name), name };
  assert.deepEqual(photo, "files" in photo ? { ...file, files: [file] } : file);
  assert.deepEqual(readFileSync(photo.path), generated(name, size));
}

test("every call, its answer and its failure", LIMIT, async () => {
  await session([[], []], async ({ bridge, sim, seen }) => {
    assert.ok(Number.isInteger(bridge.pid) && bridge.pid > 0);
    const events = [];
    for (const name of ["photo", "settings", "closed", "bridgeError"]) bridge.on(name, (a) => events.push([name, a]));

    assert.deepEqual(await bridge.listCameras(), [
      { model: MODEL, port: `disk:${sim.cards[0].mount}` },
      { model: MODEL, port: `disk:${sim.cards[1].mount}` },
    ]);

    // Out of range: the bridge's own text, and nothing opens.
    const bad = await bridge.open(5, sim.photos).catch((e) => e);
    assert.ok(bad instanceof BridgeError);
    assert.equal(bad.code, "OPEN_FAILED");
    assert.equal(bad.text, "abrir: Unknown model");
    // The detection behind it says how many there are.
    assert.equal(seen.lines.at(-2), '{"e":"error","texto":"abrir: Unknown model"}');
    assert.match(bad.message, /there is no camera 5: 2 cameras were found/);
    assert.equal(bridge.isOpen, false);
    await assert.rejects(bridge.capture(), { code: "ERR_BRIDGE_NO_CAMERA" });
    await assert.rejects(bridge.liveView().next(), { code: "ERR_BRIDGE_NO_CAMERA" });

    // A relative folder is taken from the bridge's working directory.
    assert.deepEqual(await bridge.open(0, "fotos"), { model: MODEL, settings: SETTINGS });
    assert.deepEqual(seen.lines.slice(-2), [
      `{"e":"abierta","modelo":"${MODEL}"}`,
      '{"e":"ajustes","iso":"100","diafragma":"f/5.6","velocidad":"1/125","bateria":"100%"}',
    ]);

    const photo = await bridge.capture();
    assertPhoto(photo, sim.photos, "IMG_0001.JPG", 4096);

    // Opening another camera closes this one first.
    assert.deepEqual(await bridge.open(1, sim.photos), { model: MODEL, settings: SETTINGS });
    assert.equal(await bridge.close(), "requested");
    assert.equal(bridge.isOpen, false);
    assert.deepEqual(
      events.filter(([n]) => n !== "settings"),
      [
        ["photo", { path: photo.path, name: photo.name }],
        ["closed", "replaced"],
        ["closed", "requested"],
      ],
    );
    assert.ok(events.some(([n, a]) => n === "settings" && a.iso === "100"));
    // With no camera open cerrar is still answered.
    assert.equal(await bridge.close(), "requested");
  });
});

test("a capture fails with its own error and never takes another call's answer", LIMIT, async () => {
  const slow = "SLOW.JPG";
  await session([[directive("next", PHOTO_FOLDER, "A.JPG", 1000)]], async ({ bridge, sim }) => {
    const card = sim.card;
    await bridge.open(0, sim.photos);
    const unclaimed = [];
    bridge.on("bridgeError", (e) => unclaimed.push(e.text));

    // Trigger refused.
    card.control(directive("trigger", -7));
    await assert.rejects(bridge.capture(), { code: "CAPTURE_FAILED", text: "disparar: I/O problem" });
    card.control(directive("trigger", "ok"));

    // Download failed.
    card.control(directive("downloadfail", "A.JPG", -7));
    await assert.rejects(bridge.capture(), { code: "DOWNLOAD_FAILED", text: "bajar la foto: I/O problem" });
    card.control(directive("downloadok", "A.JPG"));

    // Cameras that cannot be triggered take the full-capture path.
    card.control(directive("trigger", "unsupported"), directive("next", PHOTO_FOLDER, "B.JPG", 3000));
    assertPhoto(await bridge.capture(), sim.photos, "B.JPG", 3000);
    card.control(directive("trigger", "ok"));

    // Time limit: the photo still arrives later, as a photo event, and the
    // queue moves on meanwhile.
    card.control(directive("next", PHOTO_FOLDER, slow, 300000), directive("chunkdelay", 200000));
    const late = nextPhoto(bridge);
    await assert.rejects(bridge.capture({ timeoutMs: 50 }), { code: "ERR_BRIDGE_TIMEOUT" });
    assert.equal((await bridge.listCameras()).length, 1);
    assertPhoto(await late, sim.photos, slow, 300000);
    card.control(directive("chunkdelay", 0));

    // A folder that went away after the open.
    const gone = path.join(sim.root, "gone");
    await bridge.open(0, gone);
    rmSync(gone, { recursive: true });
    await assert.rejects(bridge.capture(), { code: "FOLDER_NOT_WRITABLE", text: "No se puede guardar en la carpeta" });
    assert.deepEqual(unclaimed, []);
  });
});

test("captures and photos fired on the camera body", LIMIT, async () => {
  const scenario = ["CAP1", "CAP2", "CAP3"].map((n) => directive("next", PHOTO_FOLDER, `${n}.JPG`, 2000));
  await session([scenario], async ({ bridge, sim }) => {
    const card = sim.card;
    await bridge.open(0, sim.photos);
    const photos = [];
    bridge.on("photo", (p) => photos.push(p.name));

    // A body photo that arrived before the capture is not taken for it.
    const body1 = nextPhoto(bridge);
    card.control(directive("shoot", PHOTO_FOLDER, "BODY1.JPG", 1500));
    assertPhoto(await body1, sim.photos, "BODY1.JPG", 1500);
    assertPhoto(await bridge.capture(), sim.photos, "CAP1.JPG", 2000);

    // A body photo fired after the capture's trigger comes after its photo.
    const cap2 = bridge.capture();
    await card.waitFor("trigger", () => card.calls("trigger").length === 2);
    const body2 = new Promise((resolve) => bridge.on("photo", (p) => p.name === "BODY2.JPG" && resolve(p)));
    card.control(directive("shoot", PHOTO_FOLDER, "BODY2.JPG", 1500));
    assertPhoto(await cap2, sim.photos, "CAP2.JPG", 2000);
    assertPhoto(await body2, sim.photos, "BODY2.JPG", 1500);

    // A body photo fired just before the capture is downloaded first and is
    // taken for the capture: the protocol cannot tell them apart. Its own
    // photo still arrives, as a photo event.
    const cap3 = nextPhotoNamed(bridge, "CAP3.JPG");
    card.control(directive("shoot", PHOTO_FOLDER, "BODY3.JPG", 1500));
    assertPhoto(await bridge.capture(), sim.photos, "BODY3.JPG", 1500);
    assertPhoto(await cap3, sim.photos, "CAP3.JPG", 2000);

    assert.deepEqual(photos, ["BODY1.JPG", "CAP1.JPG", "CAP2.JPG", "BODY2.JPG", "BODY3.JPG", "CAP3.JPG"]);
  });
});

function nextPhotoNamed(bridge, name) {
  return new Promise((resolve) => {
    const on = (p) => {
      if (p.name !== name) return;
      bridge.off("photo", on);
      resolve(p);
    };
    bridge.on("photo", on);
  });
}

test("live view", LIMIT, async (t) => {
  await session([[]], async ({ bridge, sim }) => {
    const card = sim.card;
    await bridge.open(0, sim.photos);
    const viewfinderOff = () => card.calls("set_config").filter((c) => c[1] === "viewfinder" && c[2] === "0").length;

    await t.test("a consumer slower than the camera gets the newest frame and holds at most one", async () => {
      const view = bridge.liveView();
      let last = 0;
      let taken = 0;
      for await (const frame of view) {
        assert.ok(frame.n > last, `frame ${frame.n} after ${last}`);
        last = frame.n;
        assert.equal(frame.path, path.join(bridge.liveViewDir, "vista.jpg"));
        const bytes = await frame.read();
        assert.deepEqual([bytes[0], bytes[1], bytes.at(-2), bytes.at(-1)], [0xff, 0xd8, 0xff, 0xd9]);
        await sleep(100); // the camera makes several frames meanwhile
        assert.ok(view.pending <= 1);
        // Every frame read since live view began was handed over, replaced
        // by a newer one, or is the one waiting: nothing else is kept.
        assert.equal(bridge.stats.frames, view.delivered + view.skipped + view.pending);
        if (++taken === 12) break;
      }
      assert.ok(view.skipped > view.delivered, `skipped ${view.skipped}, delivered ${view.delivered}`);
      // Leaving the loop turned live view off.
      await card.waitFor("set_config", (c) => c[1] === "viewfinder" && c[2] === "0");
      await bridge.listCameras(); // queued behind vista 0: the bridge has read it
      const frames = bridge.stats.frames;
      await sleep(300);
      assert.equal(bridge.stats.frames, frames);
    });

    await t.test("two iterations share the frames; live view goes off when the last one leaves", async () => {
      const before = viewfinderOff();
      const a = bridge.liveView();
      const b = bridge.liveView();
      const [fa, fb] = [(await a.next()).value, (await b.next()).value];
      assert.equal(fa.n, fb.n);
      await a.return();
      await bridge.listCameras(); // anything queued behind a `vista 0` has been written by now
      const fb2 = (await b.next()).value;
      assert.ok(fb2.n > fb.n);
      assert.equal(viewfinderOff(), before);
      await b.return();
      await card.waitFor("set_config", () => viewfinderOff() > before);
    });

    await t.test("stopLiveView() ends the iteration", async () => {
      const before = viewfinderOff();
      const view = bridge.liveView();
      assert.equal((await view.next()).done, false);
      await bridge.stopLiveView();
      assert.deepEqual(await view.next(), { value: undefined, done: true });
      await card.waitFor("set_config", () => viewfinderOff() > before);
    });

    await t.test("a failing camera ends the iteration (vistaFin) and reports why", async () => {
      const errors = [];
      bridge.on("bridgeError", (e) => errors.push(e.text));
      let frames = 0;
      for await (const _ of bridge.liveView()) {
        if (++frames === 2) card.control(directive("preview", "fail", -7));
      }
      assert.deepEqual(errors, ["vista en directo: I/O problem"]);
      card.control(directive("preview", "ok"));
    });

    await t.test("an iteration started just as live view failed leaves live view off", async () => {
      const old = bridge.liveView();
      await old.next();
      card.control(directive("preview", "fail", -7));
      // Hold this thread while the bridge fails and says so (vistaFin), so
      // that the next `vista 1` is written after that, unread, event.
      Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, 500);
      card.control(directive("preview", "ok"));
      const late = bridge.liveView();
      assert.equal((await late.next()).done, true); // the vistaFin ends every iteration
      assert.equal((await old.next()).done, true);
      await bridge.listCameras(); // anything queued behind a `vista 0` has been written by now
      const frames = bridge.stats.frames;
      await sleep(300);
      assert.equal(bridge.stats.frames, frames, "live view still on with no iteration");
    });

    await t.test("closing the camera ends the iteration", async () => {
      let frames = 0;
      let closed;
      for await (const _ of bridge.liveView()) {
        if (++frames === 2) closed = bridge.close();
      }
      assert.equal(await closed, "requested");
    });
  });
});

test("the camera unplugged during a capture", LIMIT, async () => {
  const scenario = [directive("next", PHOTO_FOLDER, "BIG.JPG", 2000000), directive("chunkdelay", 100000)];
  await session([scenario], async ({ bridge, sim }) => {
    const card = sim.card;
    await bridge.open(0, sim.photos);
    const closed = once(bridge, "closed");
    const capture = bridge.capture();
    const queued = bridge.listCameras();
    await card.waitFor("trigger");
    card.control(directive("unplug", -7));
    await assert.rejects(capture, { code: "DOWNLOAD_FAILED", text: "bajar la foto: I/O problem" });
    assert.deepEqual(await closed, ["disconnected"]);
    assert.equal(bridge.isOpen, false);
    assert.equal((await queued).length, 1);
    assert.deepEqual(readdirSync(sim.photos), []); // no partial file left
    // A new session finds the camera plugged in again.
    assert.equal((await bridge.open(0, sim.photos)).model, MODEL);
  });
});

test("the bridge killed during a call", LIMIT, async () => {
  const scenario = [directive("next", PHOTO_FOLDER, "BIG.JPG", 2000000), directive("chunkdelay", 100000)];
  await session(
    [scenario],
    async ({ bridge, sim }) => {
      await bridge.open(0, sim.photos);
      const after = [];
      const exit = once(bridge, "exit");
      const calls = [bridge.capture(), bridge.listCameras(), bridge.close(), bridge.open(0, sim.photos)];
      const view = bridge.liveView(); // queued behind them
      await sim.card.waitFor("trigger");
      process.kill(bridge.pid, "SIGKILL");
      const results = await Promise.allSettled(calls);
      assert.deepEqual(
        results.map((r) => [r.status, r.reason?.code]),
        Array(4).fill(["rejected", "ERR_BRIDGE_EXITED"]),
      );
      assert.deepEqual(await exit, [null, "SIGKILL"]);
      await assert.rejects(view.next(), { code: "ERR_BRIDGE_EXITED" });
      for (const name of ["photo", "settings", "closed", "bridgeError", "protocolError", "exit"]) {
        bridge.on(name, () => after.push(name));
      }
      assert.equal(await bridge.quit(), null);
      await assert.rejects(bridge.listCameras(), { code: "ERR_BRIDGE_EXITED" });
      assert.equal(existsSync(bridge.liveViewDir), false);
      await sleep(200);
      assert.deepEqual(after, []);
    },
    { expectExit: null },
  );
});

test("the example sessions run to the end", LIMIT, async () => {
  // The raw example prints the wire's own word.
  for (const [example, closed] of [["session.mjs", "requested"], ["session-raw.mjs", "orden"]]) {
    const sim = new SimSetup([[]]);
    try {
      const script = fileURLToPath(new URL(`../examples/${example}`, import.meta.url));
      const { stdout } = await run(process.execPath, [script, sim.executable], { cwd: sim.root, timeout: 30000 });
      assert.match(stdout, new RegExp(`^closed: ${closed}\nexit code: 0\n$`, "m"), example);
      assert.equal(stdout.match(/^photo: /gm).length, 3, example);
      assert.match(stdout, /^frame \d+ \d+ bytes$/m, example);
      assert.deepEqual(readdirSync(path.join(sim.root, "photos")), ["IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.JPG"]);
    } finally {
      sim.remove();
    }
  }
});
