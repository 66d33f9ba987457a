import { spawn, type ChildProcess } from "node:child_process";
import { EventEmitter, once } from "node:events";
import { mkdtemp, access, stat } from "node:fs/promises";
import { rmSync, constants as fsConstants } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";

import { BridgeError } from "./errors.js";
import { LineSplitter } from "./lines.js";
import { Frame, LiveView } from "./liveview.js";
import {
  WIRE,
  errorLabelOf,
  parseEvent,
  toCamera,
  toPhoto,
  toSettings,
  type Camera,
  type CloseReason,
  type Photo,
  type Settings,
  type WireEvent,
} from "./wire.js";

export interface StartOptions {
  /** The bridge program; default `gpbridge`, looked up on the PATH. */
  executable?: string;
  /**
   * Where the bridge publishes live-view frames (its only argument). Default:
   * a fresh private directory made with mkdtemp (under $XDG_RUNTIME_DIR or
   * /dev/shm when writable, else the system temp directory), removed when
   * the bridge exits.
   */
  liveViewDir?: string;
  /** The bridge's environment, as child_process.spawn takes it (default: this process's). */
  env?: NodeJS.ProcessEnv;
  /** The bridge's working directory (default: this process's). */
  cwd?: string;
}

export interface CaptureOptions {
  /** How long to wait for the photo after `disparar` is sent; default 60000. */
  timeoutMs?: number;
}

export interface Opened {
  model: string;
  settings: Settings;
}

/** Counters over the bridge's whole output. */
export interface BridgeStats {
  /** Lines read. */
  lines: number;
  /** `vista` events read (frames the bridge published while anyone listened or not). */
  frames: number;
  /** Lines that were not a valid event. */
  protocolErrors: number;
}

export interface BridgeEvents {
  /** Every photo that reached the download folder, fired by a capture() or on the camera body. */
  photo: [photo: Photo];
  /** Every settings report: after opening, after each camera-announced photo, every few seconds while idle. */
  settings: [settings: Settings];
  /** Every `cerrada` line: `orden` (close, quit), `otra` (replaced by open), `desconectada` (camera gone). */
  closed: [reason: CloseReason];
  /** An `error` event no pending call took as its answer (camera warnings, live-view failures, ...). */
  bridgeError: [error: BridgeError];
  /** The process has ended and all its output has been handled; nothing is emitted after this. */
  exit: [code: number | null, signal: NodeJS.Signals | null];
  /** A line that is not a valid event, as read. */
  protocolError: [line: string];
  /** Every line read, valid or not, before it is handled. */
  line: [line: string];
}

/** A command waiting for its turn, or the one in flight. */
class Call<T> {
  readonly promise: Promise<T>;
  settled = false;
  private resolveFn!: (v: T) => void;
  private rejectFn!: (e: Error) => void;
  private timer: NodeJS.Timeout | null = null;
  /** Run when the call's turn comes, before its line is written: an error fails it, "skip" writes nothing. */
  prepare: () => BridgeError | "skip" | null = () => null;
  /** Run right after the line is written. */
  started: () => void = () => {};
  /** Sees every event while the call is in flight; true claims an `error` event as the call's answer. */
  event: (ev: WireEvent) => boolean = () => false;
  /** Run when the process has ended; default: fail. */
  exited: (code: number | null, err: BridgeError) => void = (_code, err) => this.fail(err);
  onSettled: () => void = () => {};

  constructor(
    readonly line: string,
    readonly what: string,
  ) {
    this.promise = new Promise<T>((resolve, reject) => {
      this.resolveFn = resolve;
      this.rejectFn = reject;
    });
  }

  /** A call nobody awaits: its failure is handled elsewhere. */
  quiet(): this {
    this.promise.catch(() => {});
    return this;
  }

  timeout(ms: number, err: () => BridgeError): void {
    this.timer = setTimeout(() => this.fail(err()), ms);
  }

  succeed(v: T): void {
    if (this.settled) return;
    this.settle();
    this.resolveFn(v);
  }

  fail(e: Error): void {
    if (this.settled) return;
    this.settle();
    this.rejectFn(e);
  }

  private settle(): void {
    this.settled = true;
    if (this.timer !== null) clearTimeout(this.timer);
    this.onSettled();
  }
}

// Default live-view directories of bridges still running, removed if the
// host exits first: one listener for all of them.
const ownDirs = new Set<string>();
process.on("exit", () => {
  for (const dir of ownDirs) rmSync(dir, { recursive: true, force: true });
});

const STDERR_KEEP = 4096;
const EXIT_GRACE_MS = 1000;
const MAX_FOLDER_BYTES = 4095;
const DEFAULT_CAPTURE_TIMEOUT_MS = 60000;
const MAX_TIMER_MS = 2 ** 31 - 1;

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

/**
 * One running gpbridge process. Commands go out one at a time: a call made
 * while another is in flight waits for its turn. Every call settles: with
 * its answer, the bridge's error, its time limit, or the process's end.
 */
export class Bridge extends EventEmitter<BridgeEvents> {
  /** The bridge's process id. */
  readonly pid: number;
  /** The live-view directory given to the bridge (absolute). */
  readonly liveViewDir: string;

  private readonly child: ChildProcess;
  private readonly cwd: string;
  private readonly ownDir: boolean;
  private readonly splitter = new LineSplitter();
  private readonly queue: Call<unknown>[] = [];
  private active: Call<unknown> | null = null;
  private readonly viewers = new Set<LiveView>();
  private readonly counters: BridgeStats = { lines: 0, frames: 0, protocolErrors: 0 };
  private cameraOpen = false;
  private liveViewOn = false;
  private stderrTail = "";
  private exitStatus: { code: number | null; signal: NodeJS.Signals | null } | null = null;
  private stdoutDone = false;
  private finished = false;
  private graceTimer: NodeJS.Timeout | null = null;

  /** Starts the bridge; resolves once its process is running. */
  static async start(options: StartOptions = {}): Promise<Bridge> {
    const cwd = path.resolve(options.cwd ?? process.cwd());
    let dir: string;
    let ownDir = false;
    if (options.liveViewDir === undefined) {
      dir = await mkdtemp(path.join(await liveViewBase(), "gpbridge-live-"));
      ownDir = true;
    } else {
      dir = path.resolve(cwd, options.liveViewDir);
      // The bridge drops frames it cannot publish without a word: a missing
      // directory would leave every live-view iteration waiting forever.
      if (!(await stat(dir)).isDirectory()) {
        throw Object.assign(new Error(`liveViewDir is not a directory: ${dir}`), { code: "ENOTDIR" });
      }
    }
    let child: ChildProcess;
    try {
      child = spawn(options.executable ?? "gpbridge", [dir], {
        cwd,
        env: options.env ?? process.env,
        stdio: ["pipe", "pipe", "pipe"],
      });
    } catch (err) {
      if (ownDir) rmSync(dir, { recursive: true, force: true });
      throw err;
    }
    const bridge = new Bridge(child, cwd, dir, ownDir);
    try {
      await once(child, "spawn");
    } catch (err) {
      bridge.abandon();
      throw err;
    }
    return bridge;
  }

  private constructor(child: ChildProcess, cwd: string, dir: string, ownDir: boolean) {
    super();
    this.child = child;
    this.pid = child.pid ?? -1;
    this.cwd = cwd;
    this.liveViewDir = dir;
    this.ownDir = ownDir;
    if (ownDir) ownDirs.add(dir);
    const out = child.stdout!;
    out.on("data", (chunk: Buffer) => {
      for (const line of this.splitter.push(chunk)) this.onLine(line);
    });
    const outEnded = (): void => {
      this.stdoutDone = true;
      this.maybeFinish();
    };
    out.on("end", outEnded);
    out.on("close", outEnded);
    out.on("error", () => {}); // the end shows as 'close'
    child.stderr!.setEncoding("utf8");
    child.stderr!.on("data", (s: string) => {
      this.stderrTail = (this.stderrTail + s).slice(-STDERR_KEEP);
    });
    child.stderr!.on("error", () => {});
    child.stdin!.on("error", () => {}); // EPIPE once the bridge is gone: its exit says why
    child.on("error", () => {}); // spawn failure is start()'s to report; kill() returns false
    child.on("exit", (code, signal) => {
      this.exitStatus = { code, signal };
      this.maybeFinish();
    });
  }

  // -------------------------------------------------------------------------
  // Calls

  /** Detects the cameras (`buscar`). */
  listCameras(): Promise<Camera[]> {
    const call = new Call<Camera[]>(WIRE.command.listCameras, "listCameras");
    call.event = (ev) => {
      if (ev.e === WIRE.event.cameras) call.succeed(ev.lista.map(toCamera));
      return false;
    };
    return this.enqueue(call);
  }

  /**
   * Opens camera `index` of a fresh detection, downloading photos into
   * `folder` (which must exist; a relative folder is taken from the
   * bridge's working directory and sent absolute).
   */
  open(index: number, folder: string): Promise<Opened> {
    if (!Number.isSafeInteger(index)) {
      return Promise.reject(new TypeError(`open: index must be an integer, got ${String(index)}`));
    }
    if (typeof folder !== "string" || folder === "" || /[\n\r\0]/.test(folder)) {
      return Promise.reject(new TypeError("open: folder must be a non-empty path without CR, LF or NUL"));
    }
    const dir = path.resolve(this.cwd, folder);
    if (Buffer.byteLength(dir) > MAX_FOLDER_BYTES) {
      return Promise.reject(new RangeError(`open: folder longer than ${MAX_FOLDER_BYTES} bytes`));
    }
    const call = new Call<Opened>(`${WIRE.command.open} ${index} ${dir}`, "open");
    let model: string | null = null;
    call.event = (ev) => {
      if (ev.e === WIRE.event.opened) {
        model = ev.modelo;
      } else if (ev.e === WIRE.event.settings && model !== null) {
        call.succeed({ model, settings: toSettings(ev) });
      } else if (ev.e === WIRE.event.error && errorLabelOf(ev.texto) === WIRE.errorLabel.open) {
        call.fail(reported("open", ev.texto));
        return true;
      }
      return false;
    };
    return this.enqueue(call);
  }

  /**
   * Fires the shutter (`disparar`) and resolves to the photo it produced:
   * the first photo downloaded after the command was sent. The first
   * capture or download error after it fails the call instead.
   */
  capture(options: CaptureOptions = {}): Promise<Photo> {
    const timeoutMs = options.timeoutMs ?? DEFAULT_CAPTURE_TIMEOUT_MS;
    if (typeof timeoutMs !== "number" || Number.isNaN(timeoutMs) || timeoutMs < 0) {
      return Promise.reject(new RangeError(`capture: timeoutMs must be a number >= 0, got ${String(timeoutMs)}`));
    }
    const call = new Call<Photo>(WIRE.command.capture, "capture");
    call.prepare = () => (this.cameraOpen ? null : noCamera("capture"));
    // Longer than a timer can hold (about 24.8 days, or Infinity): no limit.
    call.started = () => {
      if (timeoutMs > MAX_TIMER_MS) return;
      call.timeout(
        timeoutMs,
        () => new BridgeError("ERR_BRIDGE_TIMEOUT", `capture: no photo within ${timeoutMs} ms`),
      );
    };
    call.event = (ev) => {
      switch (ev.e) {
        case WIRE.event.photo:
          call.succeed(toPhoto(ev));
          return false;
        case WIRE.event.error: {
          const label = errorLabelOf(ev.texto);
          if (
            label === WIRE.errorLabel.capture ||
            label === WIRE.errorLabel.download ||
            ev.texto === WIRE.folderError
          ) {
            call.fail(reported("capture", ev.texto));
            return true;
          }
          return false;
        }
        case WIRE.event.closed:
          call.fail(
            new BridgeError("ERR_BRIDGE_CLOSED", `capture: the camera closed (${ev.motivo})`, null, ev.motivo),
          );
          return false;
        default:
          return false;
      }
    };
    return this.enqueue(call);
  }

  /**
   * Turns live view on and returns the frames as an async iterable that
   * always yields the newest frame (a slow consumer skips frames). Leaving
   * the loop turns live view off once no other iteration runs. The
   * iteration ends when live view fails (`vistaFin`) or the camera closes,
   * and throws ERR_BRIDGE_EXITED when the bridge exits; with no camera open
   * it throws.
   */
  liveView(): LiveView {
    const view = new LiveView((v) => this.leave(v));
    if (this.finished) {
      view.finish(this.exitError("liveView"));
      return view;
    }
    this.viewers.add(view);
    const call = new Call<void>(WIRE.command.liveViewOn, "liveView").quiet();
    call.prepare = () => {
      if (!this.viewers.has(view)) return "skip";
      return this.cameraOpen ? null : noCamera("liveView");
    };
    call.started = () => {
      this.liveViewOn = true;
      call.succeed();
    };
    const end = (e: Error | null): void => {
      this.viewers.delete(view);
      view.finish(e);
    };
    call.exited = (_code, err) => {
      end(err);
      call.succeed();
    };
    call.promise.catch(end);
    this.enqueue(call);
    return view;
  }

  /** Ends every live-view iteration and turns live view off (`vista 0`). */
  stopLiveView(): Promise<void> {
    for (const v of this.viewers) v.finish();
    this.viewers.clear();
    return this.sendLiveViewOff();
  }

  /** Closes the camera (`cerrar`); resolves to why it closed (`orden`, or `desconectada` if it went away first). */
  close(): Promise<CloseReason> {
    const call = new Call<CloseReason>(WIRE.command.close, "close");
    let first: CloseReason | null = null;
    call.event = (ev) => {
      if (ev.e === WIRE.event.closed) {
        first ??= ev.motivo;
        if (ev.motivo === WIRE.closeReason.requested) call.succeed(first);
      }
      return false;
    };
    return this.enqueue(call);
  }

  /**
   * Sends `salir` in its turn, like every call, and resolves to the exit
   * code (null when a signal ended it). To end the bridge without waiting
   * for a pending call, use kill().
   */
  quit(): Promise<number | null> {
    if (this.finished) return Promise.resolve(this.exitStatus?.code ?? null);
    const call = new Call<number | null>(WIRE.command.quit, "quit");
    call.started = () => this.child.stdin?.end();
    call.exited = (code) => call.succeed(code);
    return this.enqueue(call);
  }

  /** Sends a signal to the bridge, as ChildProcess.kill does. */
  kill(signal: NodeJS.Signals | number = "SIGTERM"): boolean {
    return this.child.kill(signal);
  }

  /** Counters over everything read so far. */
  get stats(): BridgeStats {
    return { ...this.counters };
  }

  /** Whether the last event said a camera is open. */
  get isOpen(): boolean {
    return this.cameraOpen;
  }

  /** Whether the process has ended (the `exit` event has been emitted). */
  get exited(): boolean {
    return this.finished;
  }

  /** Up to the last 4 KiB the process wrote on standard error (the bridge itself never does). */
  get stderr(): string {
    return this.stderrTail;
  }

  // -------------------------------------------------------------------------
  // The command queue

  private enqueue<T>(call: Call<T>): Promise<T> {
    call.onSettled = () => {
      if (this.active === call) {
        this.active = null;
        this.pump();
      }
    };
    this.queue.push(call as Call<unknown>);
    this.pump();
    return call.promise;
  }

  private pump(): void {
    while (this.active === null && this.queue.length > 0) {
      const call = this.queue.shift()!;
      if (this.finished) {
        call.exited(this.exitStatus?.code ?? null, this.exitError(call.what));
        continue;
      }
      const ready = call.prepare();
      if (ready === "skip") {
        call.succeed(undefined);
        continue;
      }
      if (ready !== null) {
        call.fail(ready);
        continue;
      }
      this.active = call;
      this.write(call.line);
      call.started();
    }
  }

  private write(line: string): void {
    const stdin = this.child.stdin;
    if (stdin && stdin.writable) stdin.write(line + "\n");
  }

  private leave(view: LiveView): void {
    if (!this.viewers.delete(view)) return;
    if (this.viewers.size === 0) void this.sendLiveViewOff();
  }

  private sendLiveViewOff(): Promise<void> {
    if (this.finished) return Promise.resolve();
    const call = new Call<void>(WIRE.command.liveViewOff, "stopLiveView");
    call.started = () => {
      this.liveViewOn = false;
      call.succeed();
    };
    call.exited = () => call.succeed();
    return this.enqueue(call);
  }

  // -------------------------------------------------------------------------
  // Events

  private onLine(line: string): void {
    if (this.finished) return;
    this.counters.lines++;
    this.emit("line", line);
    const ev = parseEvent(line);
    if (ev === null) {
      this.counters.protocolErrors++;
      this.emit("protocolError", line);
      return;
    }
    const active = this.active;
    switch (ev.e) {
      case WIRE.event.frame:
        this.counters.frames++;
        if (this.liveViewOn && this.viewers.size > 0) {
          const frame = new Frame(ev.n, ev.ruta);
          for (const v of this.viewers) v.push(frame);
        }
        return;
      case WIRE.event.liveViewEnd: {
        this.liveViewOn = false;
        const watched = this.viewers.size > 0;
        this.endViewers(null);
        active?.event(ev);
        // A `vista 1` written after the bridge sent this (a new iteration
        // started meanwhile) turned live view on again, with no iteration
        // left to turn it off: make sure it is off.
        if (watched) void this.sendLiveViewOff();
        return;
      }
      case WIRE.event.opened:
        this.cameraOpen = true;
        active?.event(ev);
        return;
      case WIRE.event.closed:
        this.cameraOpen = false;
        this.liveViewOn = false;
        this.endViewers(null);
        active?.event(ev);
        this.emit("closed", ev.motivo);
        return;
      case WIRE.event.photo:
        active?.event(ev);
        this.emit("photo", toPhoto(ev));
        return;
      case WIRE.event.settings:
        active?.event(ev);
        this.emit("settings", toSettings(ev));
        return;
      case WIRE.event.cameras:
        active?.event(ev);
        return;
      case WIRE.event.error:
        if (active?.event(ev) !== true) {
          this.emit("bridgeError", new BridgeError("ERR_BRIDGE_REPORTED", ev.texto, ev.texto));
        }
        return;
    }
  }

  private endViewers(err: Error | null): void {
    for (const v of this.viewers) v.finish(err);
    this.viewers.clear();
  }

  // -------------------------------------------------------------------------
  // The end of the process

  private maybeFinish(): void {
    if (this.finished || this.exitStatus === null) return;
    if (this.stdoutDone) {
      this.finish();
    } else if (this.graceTimer === null) {
      // Output normally ends with the process; if something else still holds
      // the pipe open, stop waiting for it after a moment.
      this.graceTimer = setTimeout(() => {
        this.child.stdout?.destroy();
        this.finish();
      }, EXIT_GRACE_MS);
    }
  }

  private finish(): void {
    if (this.finished) return;
    const rest = this.splitter.end();
    if (rest !== null) {
      // A line cut off by the end of the process is not an event.
      this.counters.lines++;
      this.emit("line", rest);
      this.counters.protocolErrors++;
      this.emit("protocolError", rest);
    }
    this.finished = true;
    if (this.graceTimer !== null) clearTimeout(this.graceTimer);
    this.cameraOpen = false;
    this.liveViewOn = false;
    const { code, signal } = this.exitStatus!;
    const calls = this.active === null ? this.queue.splice(0) : [this.active, ...this.queue.splice(0)];
    this.active = null;
    for (const call of calls) call.exited(code, this.exitError(call.what));
    // An iteration is a pending call too: it fails, rather than ending as if
    // live view had simply stopped.
    this.endViewers(this.exitError("liveView"));
    this.removeOwnDir();
    this.emit("exit", code, signal);
  }

  private exitError(what: string): BridgeError {
    const s = this.exitStatus;
    const how = s === null ? "" : s.signal !== null ? ` (signal ${s.signal})` : ` (code ${s.code})`;
    const err = this.stderrTail.trim();
    return new BridgeError(
      "ERR_BRIDGE_EXITED",
      `${what}: the bridge exited${how}${err ? `; it wrote: ${err.split("\n").slice(-3).join(" | ")}` : ""}`,
    );
  }

  private removeOwnDir(): void {
    if (!this.ownDir) return;
    rmSync(this.liveViewDir, { recursive: true, force: true });
    ownDirs.delete(this.liveViewDir);
  }

  /** Start failed: forget the process without emitting anything. */
  private abandon(): void {
    this.finished = true;
    this.removeOwnDir();
  }
}

function reported(what: string, text: string): BridgeError {
  return new BridgeError("ERR_BRIDGE_REPORTED", `${what}: ${text}`, text);
}

function noCamera(what: string): BridgeError {
  return new BridgeError("ERR_BRIDGE_NO_CAMERA", `${what}: no camera is open`);
}
