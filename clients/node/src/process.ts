// One bridge process: its live-view directory, starting it in a process
// group of its own, reading its output and standard error, telling when it
// has ended, and saying why in an error.
import { spawn, type ChildProcess } from "node:child_process";
import { once } from "node:events";
import { access, mkdtemp, stat } from "node:fs/promises";
import { constants as fsConstants } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { performance } from "node:perf_hooks";

import { BridgeError } from "./errors.js";
import { LineSplitter, OverlongLine } from "./lines.js";
import { addOwnDir } from "./owndirs.js";
import type { StartOptions } from "./types.js";

const STDERR_KEEP = 4096;
const EXIT_GRACE_MS = 1000;
const OUTPUT_END_GRACE_MS = 200;

/** One bridge process. */
export class Proc {
  readonly pid: number;
  readonly splitter = new LineSplitter();
  stdoutDone = false;
  exitStatus: { code: number | null; signal: NodeJS.Signals | null } | null = null;
  stderrTail = "";
  /** Nothing more is expected from it: its calls have been settled. */
  lost = false;
  /** It has exited and its output has been handled. */
  gone = false;
  /** Killed by the watchdog after this many ms of silence. */
  hungMs = 0;
  /** Its standard output ended while it still ran. */
  outputEndedFirst = false;
  readonly startedAt = performance.now();
  graceTimer: NodeJS.Timeout | null = null;
  readonly whenGone: Promise<void>;
  markGone!: () => void;

  constructor(readonly child: ChildProcess) {
    this.pid = child.pid ?? -1;
    this.whenGone = new Promise((resolve) => {
      this.markGone = resolve;
    });
  }

  /** Kills its whole process group (it leads one: it was started detached). */
  killGroup(signal: NodeJS.Signals): void {
    try {
      if (this.pid > 0) process.kill(-this.pid, signal);
    } catch {
      this.child.kill(signal);
    }
  }
}

/** What the reader of a process's output tells the rest of the client. */
export interface ProcSink {
  /** A complete line. */
  line(line: string): void;
  /** A line too long to keep, by its first bytes. */
  badLine(head: string): void;
  /** Nothing more will come from it (its output ended while it ran on). */
  lose(proc: Proc): void;
  /** It has exited and its output has been handled. */
  gone(proc: Proc): void;
}

async function writableDir(dir: string | undefined): Promise<boolean> {
  if (!dir) return false;
  try {
    await access(dir, fsConstants.W_OK | fsConstants.X_OK);
    return true;
  } catch {
    return false;
  }
}

/** The parent of a default live-view directory: memory-backed when possible. */
async function liveViewBase(): Promise<string> {
  for (const dir of [process.env.XDG_RUNTIME_DIR, "/dev/shm"]) {
    if (await writableDir(dir)) return dir as string;
  }
  return tmpdir();
}

/** The live-view directory to give the bridge, and whether it is the client's own (made here, removed at the end). */
export async function liveViewDirOf(options: StartOptions, cwd: string): Promise<{ dir: string; ownDir: boolean }> {
  if (options.liveViewDir === undefined) {
    const dir = await mkdtemp(path.join(await liveViewBase(), "gpbridge-live-"));
    addOwnDir(dir);
    return { dir, ownDir: true };
  }
  const dir = path.resolve(cwd, options.liveViewDir);
  // The bridge drops frames it cannot publish without a word: a missing
  // directory would leave every live-view iteration waiting forever.
  if (!(await stat(dir)).isDirectory()) {
    throw Object.assign(new Error(`liveViewDir is not a directory: ${dir}`), { code: "ENOTDIR" });
  }
  return { dir, ownDir: false };
}

/**
 * Starts one bridge process, in a process group of its own: a terminal's
 * Ctrl-C reaches the host, which can then close the camera in order. The
 * bridge still ends with the host, since its input then ends.
 */
export async function spawnBridge(options: StartOptions, cwd: string, dir: string): Promise<Proc> {
  const child = spawn(options.executable ?? "gpbridge", [dir], {
    cwd,
    env: options.env ?? process.env,
    stdio: ["pipe", "pipe", "pipe"],
    detached: true,
  });
  const proc = new Proc(child);
  try {
    await once(child, "spawn");
  } catch (err) {
    // Nothing was started: no pipe will carry anything.
    child.stdout?.destroy();
    child.stderr?.destroy();
    child.stdin?.destroy();
    throw err;
  }
  return proc;
}

/** Reads `proc`'s output into lines for `sink`, keeps the tail of its standard error, and follows its end. */
export function attach(proc: Proc, sink: ProcSink): void {
  const child = proc.child;
  const out = child.stdout!;
  out.on("data", (chunk: Buffer) => {
    if (proc.lost) return;
    for (const line of proc.splitter.push(chunk)) {
      if (proc.lost) return;
      if (line instanceof OverlongLine) sink.badLine(line.head);
      else sink.line(line);
    }
  });
  const outEnded = (): void => {
    if (proc.stdoutDone) return;
    proc.stdoutDone = true;
    if (proc.exitStatus !== null) {
      sink.gone(proc);
      return;
    }
    // Output normally ends as the process exits, and the exit is
    // reported a moment later. A process still running after that has
    // nothing more to say: nothing more can be answered. Its input is
    // closed, which ends a bridge; anything still running after another
    // moment is killed.
    proc.graceTimer = setTimeout(() => {
      proc.outputEndedFirst = true;
      sink.lose(proc);
      child.stdin?.end();
      proc.graceTimer = setTimeout(() => proc.killGroup("SIGKILL"), EXIT_GRACE_MS);
    }, OUTPUT_END_GRACE_MS);
  };
  out.on("end", outEnded);
  out.on("close", outEnded);
  out.on("error", () => {}); // the end shows as 'close'
  child.stderr!.setEncoding("utf8");
  child.stderr!.on("data", (s: string) => {
    proc.stderrTail = (proc.stderrTail + s).slice(-STDERR_KEEP);
  });
  child.stderr!.on("error", () => {});
  child.stdin!.on("error", () => {}); // EPIPE once the bridge is gone: its exit says why
  child.on("error", () => {}); // spawn failure is start()'s to report; kill() returns false
  child.on("exit", (code, signal) => {
    proc.exitStatus = { code, signal };
    if (proc.graceTimer !== null) clearTimeout(proc.graceTimer);
    proc.graceTimer = null;
    if (proc.stdoutDone) {
      sink.gone(proc);
    } else {
      // Output normally ends with the process; if something else still
      // holds the pipe open, stop waiting for it after a moment.
      proc.graceTimer = setTimeout(() => {
        child.stdout?.destroy();
        sink.gone(proc);
      }, EXIT_GRACE_MS);
    }
  });
}

/** Writes one command line to `proc`, unless it is gone. */
export function writeLine(proc: Proc, line: string): void {
  const stdin = proc.child.stdin;
  if (stdin && stdin.writable && !proc.lost) stdin.write(line + "\n");
}

/** Why call `what` could not finish: `proc` ended, how, and the last lines it wrote on standard error. */
export function exitError(proc: Proc, what: string): BridgeError {
  const s = proc.exitStatus;
  let how: string;
  if (proc.hungMs > 0) how = ` (it wrote nothing for ${proc.hungMs} ms and was killed)`;
  else if (proc.outputEndedFirst && s === null) how = " (its output ended)";
  else if (s === null) how = "";
  else how = s.signal !== null ? ` (signal ${s.signal})` : ` (code ${s.code})`;
  const err = proc.stderrTail.trim();
  return new BridgeError(
    "ERR_BRIDGE_EXITED",
    `${what}: the bridge exited${how}${err ? `; it wrote: ${err.split("\n").slice(-3).join(" | ")}` : ""}`,
  );
}
