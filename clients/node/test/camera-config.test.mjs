// The configuration calls, focus, busy shots and the edges of a session
// against the real bridge and the simulated camera, every line checked
// against the schema.
import { test } from "node:test";
import assert from "node:assert/strict";
import { once } from "node:events";
import { Bridge } from "../dist/index.js";
import { SimSetup, watchLines, directive, sleep } from "./support/sim.mjs";

const LIMIT = { timeout: 90000 };

/** A bridge on simulated cards; `run` gets { bridge, sim }. Checks every line and a clean end. */
async function session(cards, options, run) {
  const sim = new SimSetup(cards);
  const bridge = await Bridge.start({ executable: sim.executable, cwd: sim.root, ...options });
  const seen = watchLines(bridge);
  try {
    await run({ bridge, sim });
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

/** Settles like `promise`, or rejects after `ms`. */
function within(promise, ms = 20000) {
  return Promise.race([promise, sleep(ms).then(() => Promise.reject(new Error(`still pending after ${ms} ms`)))]);
}

test("the whole configuration of the simulated camera", LIMIT, async () => {
  await session([[directive("serial", "SN-0042")]], {}, async ({ bridge, sim }) => {
    await bridge.open(0, sim.photos);
    const all = await bridge.config();
    const byName = new Map(all.map((c) => [c.name, c]));
    // Each type comes typed; the same control through get() is the same.
    const cases = [
      ["artist", "text", "string", "Ana"],
      ["exposurecompensation", "range", "number", 1],
      ["viewfinder", "toggle", "boolean", true],
      ["iso", "radio", "string", "400"],
      ["imageformat", "menu", "string", "RAW"],
      ["datetime", "date", "object", new Date(1800000000 * 1000)],
    ];
    for (const [name, type, jsType, value] of cases) {
      const c = byName.get(name);
      assert.ok(c, `no control ${name}`);
      assert.equal(c.type, type, name);
      assert.equal(typeof c.value, jsType, name);
      assert.deepEqual(await bridge.get(c.path), c);
      const set = await bridge.set(name, value);
      assert.deepEqual(set.value, value, name);
      assert.deepEqual((await bridge.get(name)).value, value, name);
    }
    assert.equal(byName.get("serialnumber").readOnly, true);
    assert.equal(await bridge.serialNumber(), "SN-0042");
    await assert.rejects(bridge.set("serialnumber", "X"), { code: "SETTING_REJECTED", text: "ajustar: Bad parameters" });
    await assert.rejects(bridge.get("nosuch"), { code: "CONFIG_FAILED", text: "leer: Bad parameters" });
    // The exposure key keeps its settings report, and set() still gives the control.
    assert.equal((await bridge.set("iso", "800")).value, "800");
  });
});

test("focus, and shots the camera refuses as busy", LIMIT, async () => {
  await session([[]], {}, async ({ bridge, sim }) => {
    await bridge.open(0, sim.photos);
    await bridge.focus();
    sim.card.control(directive("focusfail", -1));
    await assert.rejects(bridge.focus(), { code: "FOCUS_FAILED", text: "ajustar: Unspecified error" });
    sim.card.control(directive("focusfail", "ok"));

    sim.card.control(directive("trigger", "busy", 2));
    const photo = await bridge.capture();
    assert.equal(photo.files.length, 1);
    assert.equal(sim.card.calls("trigger").length, 3);
    sim.card.control(directive("trigger", "busy", 1));
    await assert.rejects(bridge.capture({ busyRetries: 0 }), { code: "CAMERA_BUSY", text: "disparar: I/O in progress" });
    assert.equal(sim.card.calls("trigger").length, 4);
  });
});

test("a close the camera's disconnection answers, with a call queued behind it", LIMIT, async () => {
  await session([[directive("filedelay", 4000)]], {}, async ({ bridge, sim }) => {
    await bridge.open(0, sim.photos);
    await assert.rejects(bridge.capture({ timeoutMs: 200 }), { code: "ERR_BRIDGE_TIMEOUT" });
    const closing = bridge.close();
    const listed = bridge.listCameras();
    await sleep(300);
    sim.card.unplug();
    assert.equal(await within(closing), "disconnected");
    assert.deepEqual(await within(listed), []);
  });
});
