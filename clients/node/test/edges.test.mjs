// The edges of a session, against the scripted stand-in for the bridge: a
// close the camera's disconnection answers, lines far longer than usual, a
// reconnection that finds another camera, a long download with nothing on
// the output, settings lost across a reconnection, shots of one file or
// several, and the messages a new user reads first.
import { test } from "node:test";
import assert from "node:assert/strict";
import { existsSync, writeFileSync } from "node:fs";
import path from "node:path";
import { Bridge } from "../dist/index.js";
import { sleep } from "./support/sim.mjs";
import { AJUSTES, OPENED, SETTINGS, foto, camaras, scratch, startFake, record } from "./support/fake.mjs";

const LIMIT = { timeout: 60000 };
const LOST = '{"e":"cerrada","motivo":"desconectada"}\n';
const ORDEN = '{"e":"cerrada","motivo":"orden"}\n';
const w = (text) => [{ write: text }];
const ajustes = (iso) => AJUSTES.replace('"iso":"100"', `"iso":"${iso}"`) + "\n";
const serial = (valor) =>
  w(JSON.stringify({ e: "control", ruta: "/main/status/serialnumber", etiqueta: "Serial Number", tipo: "texto", valor, soloLectura: true, opciones: [], rango: [] }) + "\n");

/** Settles like `promise`, or rejects after `ms` (a call that would hang fails the test instead). */
function within(promise, ms = 10000) {
  return Promise.race([promise, sleep(ms).then(() => Promise.reject(new Error(`still pending after ${ms} ms`)))]);
}

test("a close the camera's disconnection answers", LIMIT, async (t) => {
  const cases = [
    ["gone while the close waits for a shot in flight: `cerrada desconectada` is the only answer", [{ sleep: 100 }, ...w(LOST)]],
    ["gone just before the close was read: its `cerrada orden` still follows", w(LOST + ORDEN)],
  ];
  for (const [what, answer] of cases) {
    await t.test(what, async (t) => {
      const { bridge } = await startFake(t, {
        on: { abrir: OPENED, cerrar: { each: [answer, w(ORDEN)] }, buscar: w(camaras("x:1")) },
      });
      await bridge.open(0, ".");
      const closing = bridge.close();
      const queued = bridge.listCameras();
      assert.equal(await within(closing), "disconnected");
      assert.deepEqual(await within(queued), [{ model: "Fake", port: "x:1" }]);
      // No answer of the first close is left over for the next one.
      assert.equal(await within(bridge.close()), "requested");
      assert.deepEqual(await within(bridge.listCameras()), [{ model: "Fake", port: "x:1" }]);
    });
  }
});

test("long lines", LIMIT, async (t) => {
  // 5,000 choices of 250 bytes: a line of 1.3 MB.
  const big = [{ choices: [5000, 250] }];
  const overlong = [{ long: 65 * 1024 * 1024 }, { write: "\n" }];
  const { bridge } = await startFake(t, {
    on: {
      abrir: OPENED,
      opciones: { each: [big, big, overlong] },
      ajustar: { each: [w(ajustes("200")), w(ajustes("400"))] },
      buscar: { each: [overlong, w(camaras("x:1"))] },
    },
  });
  await bridge.open(0, ".");
  const unclaimed = record(bridge, ["protocolError"]);
  assert.equal((await within(bridge.settingChoices())).iso.length, 5000);
  assert.equal((await within(bridge.setSetting("iso", "200"))).iso, "200");
  // The end of the answer was lost in a line too long to take: the set was
  // done, and is reported so.
  assert.equal((await within(bridge.setSetting("iso", "400"))).iso, "400");
  // A call whose answer is such a line fails at once, saying why; the next one works.
  await assert.rejects(within(bridge.listCameras()), { code: "ERR_LINE_TOO_LONG", message: /longer than 67108864 bytes/ });
  assert.deepEqual(await within(bridge.listCameras()), [{ model: "Fake", port: "x:1" }]);
  assert.equal(unclaimed.length, 2);
});

test("a reconnection opens only the camera it waits for", LIMIT, async (t) => {
  // Two cameras of one model. When the reconnection sends `abrir 0`, the
  // one on x:1 has just gone: the bridge's own detection then makes 0 the
  // one on y:1. The client must close it, unused, and wait on.
  const cases = [
    ["told by its serial number", { buscar: w(camaras("x:1", "y:1")), leer: { each: [serial("S1"), serial("S2"), serial("S1")] } }, []],
    [
      "told by its port, where it has no serial number",
      { buscar: { each: [w(camaras("x:1", "y:1")), w(camaras("x:1", "y:1")), w(camaras("y:1")), w(camaras("x:1", "y:1"))] } },
      ["buscar"],
    ],
  ];
  for (const [what, on, check] of cases) {
    await t.test(what, async (t) => {
      const { bridge, commands, dir } = await startFake(
        t,
        { on: { abrir: OPENED, cerrar: w(ORDEN), disparar: { each: [w(LOST), w(foto("B.JPG") + AJUSTES + "\n")] }, ...on } },
        { reconnect: true },
      );
      await bridge.open(0, ".");
      await assert.rejects(bridge.capture(), { code: "ERR_BRIDGE_CLOSED" });
      const events = record(bridge, ["reconnected", "closed"]);
      assert.equal((await within(bridge.capture())).name, "B.JPG");
      const open = [`abrir 0 ${dir}`, "leer serialnumber", ...check];
      assert.deepEqual(commands(), ["buscar", ...open.slice(0, 2), "disparar", "buscar", ...open, "cerrar", "buscar", ...open, "disparar"]);
      assert.deepEqual(events.map(([e]) => e), ["closed", "reconnected"]);
    });
  }
});

test("values set through the client are set again after a reconnection", LIMIT, async (t) => {
  const OPCIONES = '{"e":"opciones","iso":["100","800"],"diafragma":[],"velocidad":[]}\n';
  const format = (valor) =>
    JSON.stringify({ e: "control", ruta: "/main/imgsettings/imageformat", etiqueta: "Format", tipo: "menu", valor, soloLectura: false, opciones: ["JPEG", "RAW"], rango: [] }) + "\n";
  const { bridge, commands } = await startFake(
    t,
    {
      on: {
        buscar: w(camaras("x:1")),
        abrir: OPENED,
        opciones: w(OPCIONES),
        // The camera comes back at its defaults; it takes the ISO again but
        // no longer the format (a card swapped for one it cannot write RAW to).
        ajustar: { each: [w(ajustes("800")), w(format("RAW")), w(ajustes("800")), w('{"e":"error","texto":"ajustar: Bad parameters"}\n')] },
        disparar: { each: [w(LOST), w(foto("B.JPG") + ajustes("800"))] },
      },
    },
    { reconnect: true },
  );
  await bridge.open(0, ".");
  await bridge.setSetting("iso", "800");
  await bridge.set("imageformat", "RAW");
  const events = record(bridge, ["reconnected"]);
  await assert.rejects(bridge.capture(), { code: "ERR_BRIDGE_CLOSED" });
  assert.equal((await within(bridge.capture())).name, "B.JPG");
  const [[, opened, unrestored]] = events;
  assert.deepEqual(opened, { model: "Fake", settings: { ...SETTINGS, iso: "800" } });
  assert.deepEqual(unrestored.map((u) => [u.name, u.value, u.error.code, u.error.text]), [
    ["imageformat", "RAW", "SETTING_REJECTED", "ajustar: Bad parameters"],
  ]);
  // Set again, in order, before the host's capture reached the camera.
  const after = commands().slice(commands().lastIndexOf("leer serialnumber") + 1);
  assert.deepEqual(after, ["buscar", "ajustar iso 800", "opciones", "ajustar imageformat RAW", "opciones", "disparar"]);
});

test("a download the output says nothing of", LIMIT, async (t) => {
  const cases = [
    // A file fired on the body takes 5 s to download, 2.5 times the watchdog's limit.
    ["a partial file that grows is a sign of life", { alerta: [{ download: ["VIDEO.MOV", 5000] }] }, false],
    ["a partial file left over that does not grow is not", { alerta: [{ sleep: 60000 }] }, true],
  ];
  for (const [what, on, killed] of cases) {
    await t.test(what, async (t) => {
      const folder = scratch(t);
      writeFileSync(path.join(folder, "OLD.JPG.parcial"), "left by a crash");
      const { bridge } = await startFake(t, { on: { abrir: OPENED, ...on } }, { watchdogMs: 2000 });
      await bridge.open(0, folder);
      const events = record(bridge, ["photo", "exit"]);
      await bridge.setAlert(true); // no answer: the stand-in's cue
      await within(new Promise((resolve) => bridge.once(killed ? "exit" : "photo", resolve)));
      assert.deepEqual(events.map(([e]) => e), [killed ? "exit" : "photo"]);
      assert.equal(existsSync(path.join(folder, "VIDEO.MOV")), !killed);
    });
  }
});

test("shots of one file cost no wait; shots of several stay whole", LIMIT, async (t) => {
  const { bridge } = await startFake(t, {
    on: {
      abrir: OPENED,
      disparar: {
        each: [
          w(foto("A.JPG") + AJUSTES + "\n"),
          [...w(foto("B.JPG")), { sleep: 20 }, ...w(foto("B.CR2"))],
          [...w(foto("C.JPG")), { sleep: 20 }, ...w(foto("C.CR2"))],
        ],
      },
    },
  });
  await bridge.open(0, ".");
  /** A capture of a shot of `files` files, and whether it had resolved by the turn of the event loop after each. */
  const shoot = async (files) => {
    let settled = false;
    const p = bridge.capture().finally(() => (settled = true));
    const after = [];
    await new Promise((resolve) => {
      const on = () =>
        setImmediate(() => {
          after.push(settled);
          if (after.length < files) return;
          bridge.off("photo", on);
          resolve();
        });
      bridge.on("photo", on);
    });
    return [after, (await p).files.map((f) => f.name)];
  };
  // One file: resolved with it, no wait.
  assert.deepEqual(await shoot(1), [[true], ["A.JPG"]]);
  // The first shot of two files: not waited for, yet delivered whole.
  assert.deepEqual(await shoot(2), [[true, true], ["B.JPG", "B.CR2"]]);
  // Now the camera is known to give two: resolved with the second, not before.
  assert.deepEqual(await shoot(2), [[false, true], ["C.JPG", "C.CR2"]]);
});

test("messages a new user reads first", LIMIT, async (t) => {
  await t.test("open() past the list says there is no such camera, and how many there are", async (t) => {
    const { bridge } = await startFake(t, {
      on: { abrir: w('{"e":"error","texto":"abrir: Unknown model"}\n'), buscar: w(camaras("x:1")) },
    });
    await assert.rejects(within(bridge.open(3, ".")), {
      code: "OPEN_FAILED",
      text: "abrir: Unknown model",
      message: /there is no camera 3: 1 camera was found/,
    });
  });

  await t.test("a bridge that cannot be started: what to install or pass instead", async (t) => {
    const dir = scratch(t);
    const cases = [
      [{ env: { PATH: dir } }, /Install gpbridge.*`executable`.*gpbridge-sim/],
      [{ executable: path.join(dir, "gpbridge") }, /Check the path given as `executable`.*gpbridge-sim/],
      [{ cwd: path.join(dir, "gone") }, /working directory given as `cwd` does not exist/],
    ];
    for (const [options, message] of cases) {
      await assert.rejects(Bridge.start({ liveViewDir: dir, ...options }), { code: "ENOENT", message });
    }
  });
});
