// The client's plumbing against a scripted stand-in for the bridge: malformed
// output, command order, the end of the process.
import { test } from "node:test";
import assert from "node:assert/strict";
import { statSync, existsSync } from "node:fs";
import path from "node:path";
import { once } from "node:events";
import { Bridge, BridgeError } from "../dist/index.js";
import { sleep } from "./support/sim.mjs";
import { FAKE, AJUSTES, OPENED, startFake, record } from "./support/fake.mjs";

test("malformed output", { timeout: 30000 }, async (t) => {
  await t.test("each bad line is a protocolError with the raw line, and good lines around it still count", async (t) => {
    const { bridge } = await startFake(t, {
      start: [
        { write: AJUSTES + "\nnot json\n" },
        { write: '{"e":"cerrada","motivo":"orden"}\r\n{"e":"cerrada","motivo":"luego"}\n' },
        { write: '{"e":"foto","ruta":"/p/A.JPG","nombre":"A.JPG"}\n{"e":"foto","ru' },
        { exit: 0 },
      ],
    });
    const got = record(bridge);
    await once(bridge, "exit");
    assert.deepEqual(got, [
      ["settings", { iso: "100", aperture: "f/5.6", shutterSpeed: "1/125", battery: "100%" }],
      ["protocolError", "not json"],
      ["protocolError", '{"e":"cerrada","motivo":"orden"}\r'],
      ["protocolError", '{"e":"cerrada","motivo":"luego"}'],
      ["photo", { path: "/p/A.JPG", name: "A.JPG" }],
      // The line the process was writing when it ended is not an event.
      ["protocolError", '{"e":"foto","ru'],
      ["exit", 0, null],
    ]);
    assert.deepEqual(bridge.stats, { lines: 6, frames: 0, protocolErrors: 4 });
  });

  await t.test("an error event no call is waiting for is a bridgeError", async (t) => {
    const { bridge } = await startFake(t, {
      on: { buscar: [{ write: '{"e":"error","texto":"cámara: I/O problem"}\n{"e":"camaras","lista":[]}\n' }] },
    });
    const errors = [];
    bridge.on("bridgeError", (e) => errors.push(e));
    assert.deepEqual(await bridge.listCameras(), []);
    assert.equal(errors.length, 1);
    assert.ok(errors[0] instanceof BridgeError);
    assert.equal(errors[0].text, "cámara: I/O problem");
    assert.equal(errors[0].code, "CAMERA_ERROR");
    assert.equal(await bridge.quit(), 0);
  });
});

test("command order", { timeout: 30000 }, async (t) => {
  await t.test("a call made while another waits is sent only after the first one's answer", async (t) => {
    const { bridge, readLog, dir } = await startFake(t, {
      on: {
        buscar: [{ sleep: 300 }, { write: '{"e":"camaras","lista":[{"modelo":"Fake","puerto":"x:1"}]}\n' }],
        abrir: OPENED,
        cerrar: [{ write: '{"e":"cerrada","motivo":"orden"}\n' }],
      },
    });
    const cams = bridge.listCameras();
    const opened = bridge.open(0, "photos");
    const closed = bridge.close();
    assert.deepEqual(await cams, [{ model: "Fake", port: "x:1" }]);
    assert.deepEqual(await opened, {
      model: "Fake",
      settings: { iso: "100", aperture: "f/5.6", shutterSpeed: "1/125", battery: "100%" },
    });
    assert.equal(await closed, "requested");
    const log = readLog();
    // A relative folder is sent absolute, from the bridge's working directory.
    assert.deepEqual(log, [
      "< buscar",
      '> {"e":"camaras","lista":[{"modelo":"Fake","puerto":"x:1"}]}',
      `< abrir 0 ${path.join(dir, "photos")}`,
      '> {"e":"abierta","modelo":"Fake"}',
      "> " + AJUSTES,
      "< cerrar",
      '> {"e":"cerrada","motivo":"orden"}',
    ]);
    assert.equal(await bridge.quit(), 0);
  });

  await t.test("a capture waiting its turn does not take a photo that arrives before its command is sent", async (t) => {
    const foto = (name) => `{"e":"foto","ruta":"/p/${name}","nombre":"${name}"}\n`;
    const { bridge, dir } = await startFake(t, {
      on: {
        abrir: OPENED,
        buscar: [{ write: foto("BODY.JPG") }, { sleep: 100 }, { write: '{"e":"camaras","lista":[]}\n' }],
        disparar: [{ write: foto("CAP.JPG") }],
      },
    });
    await bridge.open(0, dir);
    const photos = [];
    bridge.on("photo", (p) => photos.push(p.name));
    const [cams, photo] = await Promise.all([bridge.listCameras(), bridge.capture()]);
    assert.deepEqual(cams, []);
    assert.deepEqual(photo, { path: "/p/CAP.JPG", name: "CAP.JPG", files: [{ path: "/p/CAP.JPG", name: "CAP.JPG" }] });
    assert.deepEqual(photos, ["BODY.JPG", "CAP.JPG"]);
  });

  await t.test("arguments that would break the command line are refused without sending anything", async (t) => {
    const { bridge, readLog } = await startFake(t, {});
    await assert.rejects(bridge.open(0, "a\nsalir"), TypeError);
    await assert.rejects(bridge.open(0, "a\rb"), TypeError);
    await assert.rejects(bridge.open(0, ""), TypeError);
    await assert.rejects(bridge.open(1.5, "/x"), TypeError);
    await assert.rejects(bridge.open(0, "/" + "x".repeat(4095)), RangeError);
    assert.equal(await bridge.quit(), 0);
    assert.deepEqual(readLog(), ["< salir"]);
  });

  await t.test("a capture with no answer fails at its time limit and the next call goes ahead", async (t) => {
    const { bridge, dir } = await startFake(t, {
      on: { abrir: OPENED, buscar: [{ write: '{"e":"camaras","lista":[]}\n' }] },
    });
    await bridge.open(0, dir);
    const late = bridge.listCameras();
    await assert.rejects(bridge.capture({ timeoutMs: 100 }), { code: "ERR_BRIDGE_TIMEOUT", text: null });
    assert.deepEqual(await late, []);
    assert.equal(await bridge.quit(), 0);
  });
});

test("the end of the process", { timeout: 30000 }, async (t) => {
  await t.test("a bridge dying mid-call fails that call and every queued one at once; nothing follows the exit", async (t) => {
    const { bridge, dir } = await startFake(t, {
      on: { abrir: OPENED, disparar: [{ write: '{"e":"foto","ruta":"/p/A' }, { sleep: 50 }, { exit: 3 }] },
    });
    await bridge.open(0, dir);
    const got = record(bridge);
    const frames = bridge.liveView();
    const calls = [bridge.capture(), bridge.listCameras(), bridge.close(), bridge.open(0, dir)];
    const results = await Promise.allSettled(calls);
    for (const r of results) {
      assert.equal(r.status, "rejected");
      assert.ok(r.reason instanceof BridgeError);
      assert.equal(r.reason.code, "ERR_BRIDGE_EXITED");
      assert.match(r.reason.message, /exited \(code 3\)/);
    }
    assert.deepEqual(got, [["protocolError", '{"e":"foto","ruta":"/p/A'], ["exit", 3, null]]);
    await assert.rejects(frames.next(), { code: "ERR_BRIDGE_EXITED" });
    assert.equal(bridge.exited, true);
    // Calls after the end fail at once; quit reports the exit code.
    await assert.rejects(bridge.capture(), { code: "ERR_BRIDGE_EXITED" });
    assert.equal(await bridge.quit(), 3);
    await sleep(100);
    assert.equal(got.length, 2);
  });

  await t.test("what the process wrote on standard error is in the error", async (t) => {
    const { bridge } = await startFake(t, {
      on: { buscar: [{ stderr: "ns-run: cannot mount card /m\n" }, { exit: 97 }] },
    });
    await assert.rejects(bridge.listCameras(), {
      code: "ERR_BRIDGE_EXITED",
      message: "listCameras: the bridge exited (code 97); it wrote: ns-run: cannot mount card /m",
    });
    assert.equal(bridge.stderr, "ns-run: cannot mount card /m\n");
    assert.equal(await bridge.quit(), 97);
  });

  await t.test("a program that cannot be started rejects start()", async (t) => {
    await assert.rejects(Bridge.start({ executable: "/nonexistent/gpbridge" }), { code: "ENOENT" });
    // So does a live-view directory that is not there: frames would never come.
    await assert.rejects(Bridge.start({ executable: FAKE, liveViewDir: "/nonexistent/live" }), { code: "ENOENT" });
    await assert.rejects(Bridge.start({ executable: FAKE, liveViewDir: FAKE }), { code: "ENOTDIR" });
  });

  await t.test("a capture with no time limit waits for its photo; a negative limit is refused", async (t) => {
    const { bridge, dir } = await startFake(t, {
      on: {
        abrir: OPENED,
        disparar: [{ sleep: 200 }, { write: '{"e":"foto","ruta":"/p/A.JPG","nombre":"A.JPG"}\n' + AJUSTES + "\n" }],
      },
    });
    await bridge.open(0, dir);
    assert.deepEqual(await bridge.capture({ timeoutMs: Infinity }), {
      path: "/p/A.JPG",
      name: "A.JPG",
      files: [{ path: "/p/A.JPG", name: "A.JPG" }],
    });
    await assert.rejects(bridge.capture({ timeoutMs: -1 }), RangeError);
    assert.equal(await bridge.quit(), 0);
  });

  await t.test("the default live-view directory is private, not /tmp itself, and removed at exit", async (t) => {
    const { bridge } = await startFake(t, {});
    const dir = bridge.liveViewDir;
    assert.notEqual(dir, "/tmp");
    assert.notEqual(path.dirname(dir), dir);
    assert.match(path.basename(dir), /^gpbridge-live-/);
    assert.equal(statSync(dir).mode & 0o777, 0o700);
    assert.equal(await bridge.quit(), 0);
    assert.equal(existsSync(dir), false);
  });
});
