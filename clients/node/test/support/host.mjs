// A host program for the tests of how the client behaves when the host is
// signalled or killed. It starts the bridge given as argv[2] with the client
// (built or installed: GPBRIDGE_CLIENT names the module), opens the first
// camera into argv[3], prints one JSON line {pid, dir} and waits. With
// HOST_ORDERLY=1 it handles SIGINT and SIGTERM itself, as a host should:
// close the camera, quit, print what they gave, exit 0.
const { Bridge } = await import(process.env.GPBRIDGE_CLIENT || "../../dist/index.js");

const bridge = await Bridge.start({ executable: process.argv[2], reconnect: process.env.HOST_RECONNECT === "1" });
if (process.env.HOST_ORDERLY === "1") {
  const stop = async (signal) => {
    const out = { signal };
    try {
      out.closed = await bridge.close();
      out.quit = await bridge.quit();
    } catch (err) {
      out.error = err.message;
    }
    console.log(JSON.stringify(out));
    process.exit(out.error ? 1 : 0);
  };
  process.once("SIGINT", stop);
  process.once("SIGTERM", stop);
}
await bridge.open(0, process.argv[3]);
console.log(JSON.stringify({ pid: bridge.pid, dir: bridge.liveViewDir }));
setInterval(() => {}, 1000);
