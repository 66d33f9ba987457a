// The same session as session.mjs, talking to the bridge directly, for
// comparison: spawning, line splitting, matching answers to commands, time
// limits and the process's end are all the host's job here.
//   node examples/session-raw.mjs [BRIDGE-EXECUTABLE]    (photos go to ./photos)
import { spawn } from "node:child_process";
import { createInterface } from "node:readline";
import { mkdirSync, mkdtempSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";

const liveDir = mkdtempSync(path.join(tmpdir(), "live-"));
const child = spawn(process.argv[2] ?? "gpbridge", [liveDir], { stdio: ["pipe", "pipe", "inherit"] });
const waiting = []; // { match, resolve, reject, timer }
let onFrame = null;
let model = null;
const exited = new Promise((resolve) => child.on("close", resolve));
exited.then((code) => waiting.splice(0).forEach((w) => w.reject(new Error(`bridge exited (${code})`))));
createInterface({ input: child.stdout }).on("line", (line) => {
  let ev;
  try { ev = JSON.parse(line); } catch { return console.error("bad line:", line); }
  if (ev.e === "vista") return onFrame?.(ev);
  if (ev.e === "abierta") model = ev.modelo; // its ajustes follows at once, maybe in the same chunk
  const i = waiting.findIndex((w) => w.match(ev));
  if (i >= 0) {
    const [w] = waiting.splice(i, 1);
    clearTimeout(w.timer);
    ev.e === "error" ? w.reject(new Error(ev.texto)) : w.resolve(ev);
  } else if (ev.e === "error") console.error("bridge error:", ev.texto);
});
function send(command, match, ms = 30000) {
  return new Promise((resolve, reject) => {
    const w = { match, resolve, reject };
    w.timer = setTimeout(() => { waiting.splice(waiting.indexOf(w), 1); reject(new Error(`${command}: no answer`)); }, ms);
    waiting.push(w);
    child.stdin.write(command + "\n");
  });
}
const isError = (label) => (ev) => ev.e === "error" && ev.texto.startsWith(label + ": ");

try {
  const cams = await send("buscar", (ev) => ev.e === "camaras");
  console.log("cameras:", cams.lista);
  mkdirSync("photos", { recursive: true });
  const settings = await send(`abrir 0 ${path.resolve("photos")}`, (ev) => (ev.e === "ajustes" && model) || isError("abrir")(ev));
  console.log("opened:", model, settings);
  for (let i = 0; i < 3; i++) {
    const photo = await send("disparar", (ev) => ev.e === "foto" || isError("disparar")(ev) ||
      isError("bajar la foto")(ev) || (ev.e === "error" && ev.texto === "No se puede guardar en la carpeta"));
    console.log("photo:", photo.ruta);
  }
  let busy = false;
  onFrame = async (ev) => {
    if (busy) return; // skip frames while the last one is still being read
    busy = true;
    console.log("frame", ev.n, readFileSync(ev.ruta).length, "bytes");
    busy = false;
  };
  child.stdin.write("vista 1\n");
  await new Promise((r) => setTimeout(r, 2000));
  child.stdin.write("vista 0\n");
  onFrame = null;
  console.log("closed:", (await send("cerrar", (ev) => ev.e === "cerrada" && ev.motivo === "orden")).motivo);
} catch (err) {
  console.error("failed:", err.message);
  process.exitCode = 1;
}
child.stdin.end("salir\n");
console.log("exit code:", await exited);
rmSync(liveDir, { recursive: true, force: true });
