// The edges of a session against the real bridge and the simulated camera:
// a close the camera's disconnection answers, a long download with nothing
// on the output, and settings set again after a reconnection.
import { test } from "node:test";
import assert from "node:assert/strict";
import { once } from "node:events";
import { simSession as session, directive, sleep, PHOTO_FOLDER } from "./support/sim.mjs";

const LIMIT = { timeout: 90000 };

/** Settles like `promise`, or rejects after `ms`. */
function within(promise, ms = 20000) {
  return Promise.race([promise, sleep(ms).then(() => Promise.reject(new Error(`still pending after ${ms} ms`)))]);
}

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

test("a download of several seconds, fired on the body, with a watchdog of 1.5 s", LIMIT, async () => {
  // 16 chunks of 64 KiB, 300 ms apart: about 5 s with nothing on the output.
  await session([[directive("chunkdelay", 300000)]], { watchdogMs: 1500 }, async ({ bridge, sim }) => {
    await bridge.open(0, sim.photos);
    const pid = bridge.pid;
    const exits = [];
    bridge.on("exit", (...a) => exits.push(a));
    const photo = once(bridge, "photo");
    sim.card.control(directive("shoot", PHOTO_FOLDER, "VIDEO.MOV", 1000000));
    const [file] = await within(photo);
    assert.equal(file.name, "VIDEO.MOV");
    assert.deepEqual(exits, []);
    assert.equal(bridge.pid, pid);
  });
});

test("settings set through the client come back after the camera is unplugged and plugged in", LIMIT, async () => {
  await session([[]], { reconnect: true }, async ({ bridge, sim }) => {
    await bridge.open(0, sim.photos);
    await bridge.setSetting("iso", "800");
    await bridge.set("imageformat", "RAW");
    const sets = () => sim.card.calls("set_config").length;
    const disconnected = once(bridge, "disconnected");
    sim.card.unplug();
    await within(disconnected);
    const before = sets();
    const reconnected = once(bridge, "reconnected");
    sim.card.plug();
    const [opened, unrestored] = await within(reconnected);
    assert.deepEqual(unrestored, []);
    assert.equal(opened.settings.iso, "800");
    assert.ok(sets() >= before + 2, "the values were not set again");
    assert.equal((await bridge.get("iso")).value, "800");
    assert.equal((await bridge.get("imageformat")).value, "RAW");
  });
});
