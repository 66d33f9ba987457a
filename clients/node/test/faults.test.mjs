// What the client does when the world misbehaves, against the scripted
// stand-in for the bridge: output that never ends a line, output that ends
// while the process runs on, a stalled event loop, a frame file that is not
// a file, a hung or killed bridge, a camera that goes away and comes back,
// files of one shot, the host's own signals.
import { test } from "node:test";
import assert from "node:assert/strict";
import { spawn, execFileSync } from "node:child_process";
import { once } from "node:events";
import { existsSync, mkdirSync, readFileSync, rmSync, statSync, symlinkSync, writeFileSync } from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { Bridge, BridgeError, Frame } from "../dist/index.js";
import { sleep, alive, waitUntil } from "./support/sim.mjs";
import { FAKE, AJUSTES, OPENED, SETTINGS, foto, camaras, scratch, fakeEnv, startFake, record } from "./support/fake.mjs";

const HOST = fileURLToPath(new URL("./support/host.mjs", import.meta.url));
const LIMIT = { timeout: 30000 };

/** Resolves with the arguments of the next `name` event, or rejects after `ms`. */
function next(emitter, name, ms = 10000) {
  return Promise.race([
    once(emitter, name),
    sleep(ms).then(() => {
      throw new Error(`no ${name} event within ${ms} ms`);
    }),
  ]);
}

/** Settles like `promise`, or rejects after `ms` (a call that would hang fails the test instead). */
function within(promise, ms = 10000) {
  return Promise.race([
    promise,
    sleep(ms).then(() => {
      throw new Error(`still pending after ${ms} ms`);
    }),
  ]);
}


test("output the client cannot use", LIMIT, async (t) => {
  await t.test("a line with no end is dropped once it passes 64 MiB; the lines after it still count", async (t) => {
    const { bridge } = await startFake(t, { start: [{ long: 65 * 1024 * 1024 }, { write: "\n" + AJUSTES + "\n" }] });
    const got = record(bridge, ["protocolError", "settings"]);
    await next(bridge, "settings");
    assert.deepEqual(got, [["protocolError", "x".repeat(200)], ["settings", SETTINGS]]);
    assert.deepEqual(bridge.stats, { lines: 2, frames: 0, protocolErrors: 1 });
  });

  await t.test("calls fail when the output ends while the process runs on, and the process is ended", async (t) => {
    const { bridge } = await startFake(t, {
      ignoreEof: true,
      on: { abrir: OPENED, disparar: [{ closeStdout: true }] },
    });
    await bridge.open(0, ".");
    const pid = bridge.pid;
    const calls = [bridge.capture({ timeoutMs: Infinity }), bridge.listCameras()];
    const results = await within(Promise.allSettled(calls));
    for (const r of results) {
      assert.equal(r.reason?.code, "ERR_BRIDGE_EXITED");
      assert.match(r.reason.message, /its output ended/);
    }
    await assert.rejects(bridge.listCameras(), { code: "ERR_BRIDGE_EXITED" });
    // It ignores the end of its input: it is killed.
    assert.deepEqual(await next(bridge, "exit"), [null, "SIGKILL"]);
    assert.equal(alive(pid), false);
  });

  await t.test("a process that ends on the end of its input is left to exit by itself", async (t) => {
    const { bridge } = await startFake(t, { on: { buscar: [{ closeStdout: true }] } });
    await assert.rejects(within(bridge.listCameras()), { code: "ERR_BRIDGE_EXITED" });
    assert.deepEqual(await next(bridge, "exit"), [0, null]);
  });
});

test("live-view frames", LIMIT, async (t) => {
  await t.test("after a burst of frames read at once, the waiting consumer gets the newest, numbered as such", async (t) => {
    const { bridge, dir } = await startFake(t, { on: { abrir: OPENED, vista: { each: [[{ frames: 300 }], []] } } });
    await bridge.open(0, dir);
    const view = bridge.liveView();
    const frame = (await within(view.next())).value;
    assert.equal(frame.n, 300);
    assert.equal(view.skipped, 299);
    assert.equal(view.delivered, 1);
    await view.return();
  });

  await t.test("read() opens the file once, without following a link or waiting on a FIFO", async (t) => {
    const dir = scratch(t);
    const file = path.join(dir, "vista.jpg");
    writeFileSync(file, Buffer.from([0xff, 0xd8, 1, 2, 0xff, 0xd9]));
    assert.deepEqual(await new Frame(1, file).read(), Buffer.from([0xff, 0xd8, 1, 2, 0xff, 0xd9]));

    const secret = path.join(dir, "secret");
    writeFileSync(secret, "not a frame");
    const link = path.join(dir, "link", "vista.jpg");
    mkdirSync(path.dirname(link));
    symlinkSync(secret, link);
    await assert.rejects(new Frame(2, link).read(), { code: "ELOOP" });

    const sub = path.join(dir, "dir", "vista.jpg");
    mkdirSync(sub, { recursive: true });
    await assert.rejects(new Frame(3, sub).read(), { code: "EINVAL" });

    const fifo = path.join(dir, "fifo", "vista.jpg");
    mkdirSync(path.dirname(fifo));
    execFileSync("mkfifo", [fifo]);
    // A writer that shows up later: a read that waited for it would get its bytes.
    const writer = spawn("sh", ["-c", `sleep 1; echo late > '${fifo}'`], { stdio: "ignore" });
    t.after(() => writer.kill("SIGKILL"));
    await assert.rejects(new Frame(4, fifo).read(), { code: "EINVAL" });
  });
});

test("the download folder", LIMIT, async (t) => {
  await t.test("open() creates a missing folder, or rejects naming a folder it cannot use; nothing is sent then", async (t) => {
    const { bridge, commands, dir } = await startFake(t, { on: { abrir: OPENED } });
    assert.deepEqual(await bridge.open(0, "new/photos"), { model: "Fake", settings: SETTINGS });
    assert.ok(statSync(path.join(dir, "new/photos")).isDirectory());

    const missing = path.join(dir, "missing");
    const err = await bridge.open(0, missing, { createFolder: false }).catch((e) => e);
    assert.ok(err instanceof BridgeError);
    assert.equal(err.code, "FOLDER_NOT_WRITABLE");
    assert.equal(err.text, null);
    assert.ok(err.message.includes(missing), err.message);
    assert.equal(existsSync(missing), false);

    const file = path.join(dir, "a-file");
    writeFileSync(file, "");
    await assert.rejects(bridge.open(0, file), (e) => e.code === "FOLDER_NOT_WRITABLE" && e.message.includes(file));
    await assert.rejects(bridge.open(0, path.join(file, "sub")), (e) => e.code === "FOLDER_NOT_WRITABLE");
    assert.deepEqual(commands(), [`abrir 0 ${path.join(dir, "new/photos")}`]);
  });
});

test("exposure settings", LIMIT, async (t) => {
  const OPCIONES = '{"e":"opciones","iso":["Auto ISO","100","200"],"diafragma":[],"velocidad":["1/125","1/250"]}\n';
  const ajustes = (iso, velocidad = "1/125") =>
    `{"e":"ajustes","iso":"${iso}","diafragma":"f/5.6","velocidad":"${velocidad}","bateria":"100%"}\n`;

  await t.test("choices come under English keys; a set resolves to the fresh report; a refusal rejects with the bridge's text", async (t) => {
    const { bridge, commands } = await startFake(t, {
      on: {
        abrir: OPENED,
        opciones: [{ write: OPCIONES }],
        ajustar: {
          each: [
            // An idle report the bridge wrote just before it read the command.
            [{ write: AJUSTES + "\n" }, { sleep: 50 }, { write: ajustes("200") }],
            [{ write: ajustes("Auto ISO") }],
            [{ write: ajustes("200", "1/250") }],
            [{ write: '{"e":"error","texto":"ajustar: Bad parameters"}\n' }],
          ],
        },
      },
    });
    await assert.rejects(bridge.settingChoices(), { code: "ERR_BRIDGE_NO_CAMERA" });
    await assert.rejects(bridge.setSetting("iso", "200"), { code: "ERR_BRIDGE_NO_CAMERA" });
    await bridge.open(0, ".");
    const unclaimed = [];
    bridge.on("bridgeError", (e) => unclaimed.push(e));
    assert.deepEqual(await bridge.settingChoices(), {
      iso: ["Auto ISO", "100", "200"],
      aperture: [],
      shutterSpeed: ["1/125", "1/250"],
    });
    assert.deepEqual(await bridge.setSetting("iso", "200"), { ...SETTINGS, iso: "200" });
    assert.deepEqual(await bridge.setSetting("iso", "Auto ISO"), { ...SETTINGS, iso: "Auto ISO" });
    assert.deepEqual(await bridge.setSetting("shutterSpeed", "1/250"), { ...SETTINGS, iso: "200", shutterSpeed: "1/250" });
    const err = await bridge.setSetting("aperture", "f/99").catch((e) => e);
    assert.ok(err instanceof BridgeError);
    assert.equal(err.code, "SETTING_REJECTED");
    assert.equal(err.text, "ajustar: Bad parameters");
    assert.deepEqual(unclaimed, []);
    // Arguments the command line cannot carry are refused unsent.
    await assert.rejects(bridge.setSetting("battery", "1"), TypeError);
    await assert.rejects(bridge.setSetting("diafragma", "f/8"), TypeError);
    await assert.rejects(bridge.setSetting("iso", ""), TypeError);
    await assert.rejects(bridge.setSetting("iso", "100\ndisparar"), TypeError);
    await assert.rejects(bridge.setSetting("iso", "x".repeat(5000)), RangeError);
    assert.deepEqual(commands().slice(1), [
      "opciones",
      "ajustar iso 200",
      "opciones",
      "ajustar iso Auto ISO",
      "opciones",
      "ajustar velocidad 1/250",
      "opciones",
      "ajustar diafragma f/99",
      "opciones",
    ]);
  });

  await t.test("a camera that goes away during a set fails the call as closed", async (t) => {
    const { bridge } = await startFake(t, {
      on: { abrir: OPENED, ajustar: [{ write: '{"e":"cerrada","motivo":"desconectada"}\n' }] },
    });
    await bridge.open(0, ".");
    await assert.rejects(bridge.setSetting("iso", "200"), { code: "ERR_BRIDGE_CLOSED", reason: "disconnected" });
  });
});

test("files of one shot", LIMIT, async (t) => {
  await t.test("a capture lists every file of its shot; a file of it that comes late is never a later capture's", async (t) => {
    const { bridge } = await startFake(t, {
      on: {
        abrir: OPENED,
        disparar: {
          each: [
            [{ write: foto("A.JPG") + AJUSTES + "\n" + foto("A.CR2") + AJUSTES + "\n" }],
            [{ write: foto("B.JPG") + AJUSTES + "\n" }, { sleep: 300 }, { write: foto("B.CR2") + AJUSTES + "\n" }],
            [{ write: foto("C.JPG") + AJUSTES + "\n" }],
          ],
        },
      },
    });
    await bridge.open(0, ".");
    const photos = record(bridge, ["photo"]);
    const file = (name) => ({ path: `/p/${name}`, name });
    const a = await bridge.capture();
    assert.deepEqual(a, { ...file("A.JPG"), files: [file("A.JPG"), file("A.CR2")] });

    const b = await bridge.capture({ siblingWaitMs: 50 });
    assert.deepEqual(b.files, [file("B.JPG")]);
    const c = await bridge.capture();
    assert.deepEqual(c, { ...file("C.JPG"), files: [file("C.JPG")] });
    // The late file was added to its own shot's result.
    assert.deepEqual(b.files, [file("B.JPG"), file("B.CR2")]);
    assert.deepEqual(
      photos.map(([, p]) => p.name),
      ["A.JPG", "A.CR2", "B.JPG", "B.CR2", "C.JPG"],
    );
  });
});

test("a hung bridge", LIMIT, async (t) => {
  const hang = { abrir: [...OPENED, { sleep: 60000 }] };

  await t.test("silent with a camera open for longer than watchdogMs: killed, and calls fail saying so", async (t) => {
    const { bridge } = await startFake(t, { on: hang }, { watchdogMs: 1000 });
    await bridge.open(0, ".");
    const err = await within(bridge.capture({ timeoutMs: 20000 }).catch((e) => e));
    assert.equal(err.code, "ERR_BRIDGE_EXITED");
    assert.match(err.message, /wrote nothing for \d+ ms and was killed/);
    assert.deepEqual(await next(bridge, "exit"), [null, "SIGKILL"]);
  });

  await t.test("silent with no camera open and no call: left alone", async (t) => {
    const { bridge } = await startFake(t, { on: { buscar: [{ write: camaras("x:1") }] } }, { watchdogMs: 1000 });
    const pid = bridge.pid;
    await sleep(3000);
    assert.equal((await bridge.listCameras()).length, 1);
    assert.equal(bridge.pid, pid);
    assert.equal(bridge.exited, false);
  });

  await t.test("with reconnect, a new bridge takes over and reopens the camera", async (t) => {
    const { bridge, commands, dir } = await startFake(
      t,
      { runs: [{ on: { buscar: [{ write: camaras("x:1") }], ...hang } }, { on: { buscar: [{ write: camaras("x:1") }], abrir: OPENED } }] },
      { watchdogMs: 1000, reconnect: true },
    );
    const events = record(bridge, ["disconnected", "reconnected", "exit"]);
    const first = bridge.pid;
    await bridge.open(0, ".");
    await next(bridge, "reconnected");
    assert.notEqual(bridge.pid, first);
    assert.deepEqual(events, [["disconnected", "bridge"], ["reconnected", { model: "Fake", settings: SETTINGS }, []]]);
    // The serial number read after each open finds none: the port tells the camera.
    assert.deepEqual(commands(), ["buscar", `abrir 0 ${dir}`, "leer serialnumber", "buscar", `abrir 0 ${dir}`, "leer serialnumber", "buscar"]);
  });
});

test("reconnect", LIMIT, async (t) => {
  const lost = '{"e":"cerrada","motivo":"desconectada"}\n';

  await t.test("a camera that goes away is waited for, found again (on a new port) and reopened; a capture made meanwhile waits", async (t) => {
    const { bridge, commands, dir } = await startFake(
      t,
      {
        on: {
          // Two cameras of one model. The one opened (y:1) goes away, and
          // comes back on a new port (z:9): x:1, there all along, is not it.
          buscar: {
            each: [
              [{ write: camaras("x:1", "y:1") }],
              [{ write: camaras("x:1") }],
              [{ write: camaras("x:1", "z:9") }],
            ],
          },
          abrir: OPENED,
          disparar: { each: [[{ write: foto("A.JPG") + AJUSTES + "\n" + lost }], [{ write: foto("B.JPG") + AJUSTES + "\n" }]] },
        },
      },
      { reconnect: true },
    );
    await bridge.open(1, ".");
    const events = record(bridge, ["closed", "disconnected", "reconnected", "photo", "exit"]);
    const away = next(bridge, "disconnected");
    assert.equal((await bridge.capture()).name, "A.JPG");
    await away;
    assert.equal(bridge.isAway, true);
    assert.equal(bridge.isOpen, false);
    const b = await within(bridge.capture());
    assert.equal(b.name, "B.JPG");
    assert.equal(bridge.isAway, false);
    assert.deepEqual(
      events.map(([e, a]) => (e === "photo" ? a.name : e === "reconnected" ? e : `${e} ${a}`)),
      ["A.JPG", "closed disconnected", "disconnected camera", "reconnected", "B.JPG"],
    );
    assert.deepEqual(commands(), [
      "buscar",
      `abrir 1 ${dir}`,
      "leer serialnumber",
      "disparar",
      "buscar",
      "buscar",
      `abrir 1 ${dir}`,
      // No serial number: a fresh detection checks it is still the camera on z:9.
      "leer serialnumber",
      "buscar",
      "disparar",
    ]);
  });

  await t.test("live view goes on across the gap, in the same iteration", async (t) => {
    const failed = '{"e":"error","texto":"vista en directo: I/O problem"}\n{"e":"vistaFin"}\n' + lost;
    const { bridge } = await startFake(
      t,
      {
        on: {
          buscar: [{ write: camaras("x:1") }],
          abrir: OPENED,
          vista: { each: [[{ frames: 1 }, { sleep: 100 }, { frames: 1 }, { sleep: 100 }, { write: failed }], [{ frames: 1 }]] },
        },
      },
      { reconnect: true },
    );
    await bridge.open(0, ".");
    const events = record(bridge, ["disconnected", "reconnected", "bridgeError"]);
    const seen = [];
    for await (const frame of bridge.liveView()) {
      seen.push(frame.n);
      if (seen.length === 3) break;
    }
    assert.deepEqual(seen, [1, 2, 3]);
    assert.deepEqual(
      events.map(([e]) => e),
      ["bridgeError", "disconnected", "reconnected"],
    );
  });

  await t.test("calls wait for an away camera up to their time limit, then fail with CAMERA_UNAVAILABLE; close() stops waiting", async (t) => {
    const { bridge, commands } = await startFake(
      t,
      {
        on: {
          buscar: { each: [[{ write: camaras("x:1") }], [{ write: camaras() }]] },
          abrir: OPENED,
          disparar: [{ write: lost }],
          cerrar: [{ write: '{"e":"cerrada","motivo":"orden"}\n' }],
        },
      },
      { reconnect: true },
    );
    await bridge.open(0, ".");
    await assert.rejects(bridge.capture(), { code: "ERR_BRIDGE_CLOSED", reason: "disconnected" });
    assert.equal(bridge.isAway, true);
    const views = bridge.liveView();
    const calls = [
      bridge.capture({ timeoutMs: 200 }),
      bridge.settingChoices({ timeoutMs: 100 }),
      bridge.setSetting("iso", "200", { timeoutMs: 100 }),
    ];
    for (const r of await within(Promise.allSettled(calls))) {
      assert.equal(r.reason?.code, "CAMERA_UNAVAILABLE", r.reason?.message);
    }
    const waiting = assert.rejects(bridge.capture({ timeoutMs: 20000 }), { code: "CAMERA_UNAVAILABLE" });
    assert.equal(await bridge.close(), "disconnected");
    await within(waiting);
    assert.deepEqual(await within(views.next()), { value: undefined, done: true });
    assert.equal(bridge.isAway, false);
    // No more attempts after close().
    const sent = commands().length;
    await sleep(700);
    assert.equal(commands().length, sent);
    assert.equal(commands().filter((c) => c === "disparar").length, 1);
    assert.equal(await bridge.quit(), 0);
  });

  await t.test("a killed bridge is restarted and the camera reopened; no photo is lost or reported twice", async (t) => {
    const { bridge, commands } = await startFake(
      t,
      {
        runs: [
          { on: { buscar: [{ write: camaras("x:1") }], abrir: OPENED, disparar: [{ write: foto("A.JPG") + AJUSTES + "\n" }] } },
          { on: { buscar: [{ write: camaras("x:1") }], abrir: OPENED, disparar: [{ write: foto("B.JPG") + AJUSTES + "\n" }] } },
        ],
      },
      { reconnect: true },
    );
    const events = record(bridge, ["disconnected", "reconnected", "photo", "exit"]);
    await bridge.open(0, ".");
    assert.equal((await bridge.capture()).name, "A.JPG");
    const first = bridge.pid;
    process.kill(first, "SIGKILL");
    await next(bridge, "disconnected");
    const b = await within(bridge.capture());
    assert.equal(b.name, "B.JPG");
    assert.notEqual(bridge.pid, first);
    assert.equal(bridge.exited, false);
    assert.deepEqual(
      events.map(([e, a]) => (e === "photo" ? a.name : e)),
      ["A.JPG", "disconnected", "reconnected", "B.JPG"],
    );
    assert.equal(commands().filter((c) => c === "disparar").length, 2);
    assert.equal(await bridge.quit(), 0);
    assert.deepEqual(events.at(-1), ["exit", 0, null]);
  });

  await t.test("quit() while the camera is away stops waiting and ends the bridge", async (t) => {
    const { bridge } = await startFake(
      t,
      { on: { buscar: { each: [[{ write: camaras("x:1") }], [{ write: camaras() }]] }, abrir: OPENED, disparar: [{ write: lost }] } },
      { reconnect: true },
    );
    await bridge.open(0, ".");
    await bridge.capture().catch(() => {});
    const waiting = assert.rejects(bridge.capture(), { code: "CAMERA_UNAVAILABLE" });
    assert.equal(await within(bridge.quit()), 0);
    await waiting;
    assert.equal(bridge.exited, true);
  });

  await t.test("a bridge that dies as it starts is restarted with backoff, not in a tight loop", async (t) => {
    const { bridge, dir } = await startFake(
      t,
      { runs: [{ start: [{ write: AJUSTES + "\n" }] }, { start: [{ exit: 1 }] }] },
      { reconnect: true },
    );
    const exits = record(bridge, ["exit"]);
    await next(bridge, "settings"); // the first one runs
    process.kill(bridge.pid, "SIGKILL");
    await sleep(1500);
    // Pauses of 250, 500, 1000 ms... between starts: a handful at most.
    const starts = Number(readFileSync(path.join(dir, "runs"), "utf8"));
    assert.ok(starts >= 2 && starts <= 6, `${starts} starts`);
    assert.equal(await within(bridge.quit()), 1);
    assert.deepEqual(exits, [["exit", 1, null]]);
  });

  await t.test("kill() ends the bridge for good, even with reconnect", async (t) => {
    const { bridge } = await startFake(t, { on: {} }, { reconnect: true });
    bridge.kill("SIGTERM");
    assert.deepEqual(await next(bridge, "exit"), [null, "SIGTERM"]);
    await assert.rejects(bridge.listCameras(), { code: "ERR_BRIDGE_EXITED" });
  });
});

test("the host's signals", LIMIT, async (t) => {
  const script = { on: { abrir: OPENED, cerrar: [{ write: '{"e":"cerrada","motivo":"orden"}\n' }] } };

  /** Starts test/support/host.mjs in a process group of its own, as a shell starts a job; resolves once it has opened. */
  async function startHost(t, env = {}) {
    const dir = scratch(t);
    const host = spawn(process.execPath, [HOST, FAKE, dir], {
      detached: true,
      env: { ...fakeEnv(dir, script), ...env },
      stdio: ["ignore", "pipe", "pipe"],
    });
    let out = "";
    let err = "";
    host.stdout.setEncoding("utf8").on("data", (s) => (out += s));
    host.stderr.setEncoding("utf8").on("data", (s) => (err += s));
    const exited = new Promise((resolve) => host.on("exit", (code, signal) => resolve({ code, signal })));
    t.after(() => {
      try {
        process.kill(-host.pid, "SIGKILL");
      } catch {}
    });
    await within(waitUntil(() => out.includes("\n")));
    const ready = JSON.parse(out.split("\n")[0]);
    return { host, ready, exited, output: () => out.split("\n").slice(1).filter(Boolean).map((l) => JSON.parse(l)), stderr: () => err };
  }

  await t.test("Ctrl-C reaches the host, not the bridge: the host closes the camera and quits in order", async (t) => {
    const { host, ready, exited, output, stderr } = await startHost(t, { HOST_ORDERLY: "1" });
    // A terminal sends SIGINT to every process of the foreground job.
    process.kill(-host.pid, "SIGINT");
    assert.deepEqual(await within(exited), { code: 0, signal: null }, stderr());
    assert.deepEqual(output(), [{ signal: "SIGINT", closed: "requested", quit: 0 }]);
    assert.equal(alive(ready.pid), false);
  });

  await t.test("the bridge ends when the host is killed", async (t) => {
    const { host, ready, exited } = await startHost(t);
    process.kill(host.pid, "SIGKILL");
    await exited;
    await within(waitUntil(() => !alive(ready.pid)));
    // A process killed outright cannot remove its live-view folder.
    rmSync(ready.dir, { recursive: true, force: true });
  });

  for (const signal of ["SIGTERM", "SIGINT", "SIGHUP"]) {
    await t.test(`a host ended by ${signal} still dies of it, and leaves no live-view folder behind`, async (t) => {
      const { host, ready, exited } = await startHost(t);
      assert.ok(existsSync(ready.dir));
      process.kill(host.pid, signal);
      assert.deepEqual(await within(exited), { code: null, signal });
      assert.equal(existsSync(ready.dir), false);
      await within(waitUntil(() => !alive(ready.pid)));
    });
  }
});
