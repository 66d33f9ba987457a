// The default live-view directories of bridges still running. They are
// removed when the bridge exits, and also when this process ends first: at
// its normal exit, and when SIGTERM, SIGINT or SIGHUP ends it.
//
// A listener on a signal replaces Node's default of dying from it. So the
// listener here acts only when it is the only one: it removes the
// directories and ends the process with the same signal, as if it had never
// been there. When the host listens too, the host decides what happens (it
// usually quits the bridge, which removes the directory), and this one
// does nothing. Listeners are on the process only while a directory is.
//
// The registry lives on globalThis so that the ES module and the CommonJS
// builds, loaded side by side, share one set of listeners.

import { rmSync } from "node:fs";

const SIGNALS = ["SIGTERM", "SIGINT", "SIGHUP"] as const;

interface Registry {
  dirs: Set<string>;
  listening: boolean;
  exitHooked: boolean;
  onSignal: (signal: NodeJS.Signals) => void;
}

const KEY = Symbol.for("gpbridge.ownLiveViewDirs");
const g = globalThis as typeof globalThis & { [KEY]?: Registry };

function removeAll(reg: Registry): void {
  for (const dir of reg.dirs) rmSync(dir, { recursive: true, force: true });
  reg.dirs.clear();
}

const registry: Registry = (g[KEY] ??= {
  dirs: new Set<string>(),
  listening: false,
  exitHooked: false,
  onSignal(signal: NodeJS.Signals): void {
    const reg = g[KEY]!;
    if (process.listenerCount(signal) > 1) return; // the host handles it
    removeAll(reg);
    unlisten(reg);
    // With no listener left, the signal's default action is back: die of it.
    process.kill(process.pid, signal);
  },
});

function listen(reg: Registry): void {
  if (reg.listening) return;
  reg.listening = true;
  for (const s of SIGNALS) process.on(s, reg.onSignal);
}

function unlisten(reg: Registry): void {
  if (!reg.listening) return;
  reg.listening = false;
  for (const s of SIGNALS) process.off(s, reg.onSignal);
}

/** Registers a directory to remove if this process ends before its bridge. */
export function addOwnDir(dir: string): void {
  registry.dirs.add(dir);
  if (!registry.exitHooked) {
    registry.exitHooked = true;
    process.on("exit", () => removeAll(registry));
  }
  listen(registry);
}

/** Removes a directory and forgets it. */
export function removeOwnDir(dir: string): void {
  rmSync(dir, { recursive: true, force: true });
  registry.dirs.delete(dir);
  if (registry.dirs.size === 0) unlisten(registry);
}
