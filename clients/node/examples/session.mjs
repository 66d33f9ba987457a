// A whole session with the client: list the cameras, open the first one,
// take three photos, two seconds of live view, close.
//   node examples/session.mjs [BRIDGE-EXECUTABLE]    (photos go to ./photos, made if missing)
import { Bridge } from "gpbridge";

const bridge = await Bridge.start({ executable: process.argv[2] });
console.log("cameras:", await bridge.listCameras());
console.log("opened:", await bridge.open(0, "photos"));
for (let i = 0; i < 3; i++) console.log("photo:", (await bridge.capture()).path);
setTimeout(() => bridge.stopLiveView(), 2000);
for await (const frame of bridge.liveView()) console.log("frame", frame.n, (await frame.read()).length, "bytes");
console.log("closed:", await bridge.close());
console.log("exit code:", await bridge.quit());
