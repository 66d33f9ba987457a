// The configuration calls, focus and busy shots against the real bridge and
// the simulated camera, every line checked against the schema.
import { test } from "node:test";
import assert from "node:assert/strict";
import { simSession as session, directive } from "./support/sim.mjs";

const LIMIT = { timeout: 90000 };

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
