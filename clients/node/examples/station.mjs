// A capture station: five photos, one a second, with live view running
// beside them. Reconnect is on, so a pulled cable or a crashed bridge is the
// client's business: the station only waits. Ctrl-C closes the camera in
// order and quits.
//   node examples/station.mjs [BRIDGE-EXECUTABLE]    (photos go to ./photos)
import { setTimeout as sleep } from "node:timers/promises";
import { Bridge } from "gpbridge";

const bridge = await Bridge.start({ executable: process.argv[2], reconnect: true });
bridge.on("disconnected", (cause) => console.log("away:", cause));
bridge.on("reconnected", ({ model }) => console.log("back:", model));
const stop = new AbortController();
process.once("SIGINT", () => stop.abort());

console.log("opened:", (await bridge.open(0, "photos")).model);
let frames = 0;
const viewing = (async () => {
  for await (const _frame of bridge.liveView()) frames++;
})();
for (let taken = 0; taken < 5 && !stop.signal.aborted; ) {
  await sleep(1000, null, { signal: stop.signal }).catch(() => {});
  if (stop.signal.aborted) break;
  try {
    const photo = await bridge.capture();
    console.log("photo:", photo.files.map((f) => f.name).join(" "));
    taken++;
  } catch (err) {
    console.log("no photo:", err.message);
  }
}
console.log("exit code:", await bridge.quit());
await viewing;
console.log("frames:", frames > 0 ? "some" : "none");
