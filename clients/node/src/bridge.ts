import { spawn, type ChildProcess } from "node:child_process";
import { EventEmitter, once } from "node:events";
import { mkdtemp, access, stat } from "node:fs/promises";
import { accessSync, mkdirSync, rmSync, statSync, constants as fsConstants } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { performance } from "node:perf_hooks";

import { BridgeError, reported } from "./errors.js";
import { LineSplitter, OverlongLine } from "./lines.js";
import { Frame, LiveView } from "./liveview.js";
import { addOwnDir, removeOwnDir } from "./owndirs.js";
import {
  WIRE,
  errorLabelOf,
  parseEvent,
  toCamera,
  toChoices,
  toCloseReason,
  toPhotoFile,
  toSettings,
  type Camera,
  type CloseReason,
  type Photo,
  type PhotoFile,
  type SettingChoices,
  type SettingKey,
  type Settings,
  type WireCloseReason,
  type WireEvent,
} from "./wire.js";

export interface StartOptions {
  /** The bridge program; default `gpbridge`, looked up on the PATH. */
  executable?: string;
  /**
   * Where the bridge publishes live-view frames (its only argument). Default:
   * a fresh private directory made with mkdtemp (under $XDG_RUNTIME_DIR or
   * /dev/shm when writable, else the system temp directory), removed when
   * the bridge exits, when this process exits, and when this process is
   * ended by SIGTERM, SIGINT or SIGHUP.
   */
  liveViewDir?: string;
  /** The bridge's environment, as child_process.spawn takes it (default: this process's). */
  env?: NodeJS.ProcessEnv;
  /** The bridge's working directory (default: this process's). */
  cwd?: string;
  /**
   * Keep the camera: when it goes away (`cerrada desconectada`) or the
   * bridge process dies or hangs, wait for the same camera, restarting the
   * bridge if needed, reopen it with the same folder and resume live view.
   * Default false.
   */
  reconnect?: boolean;
  /**
   * How long the bridge may stay silent, while a camera is open or a call
   * waits for its answer, before it is taken for hung and killed (four
   * times as long while a capture waits for its photo). Default 30000; 0 or
   * Infinity: never.
   */
  watchdogMs?: number;
}

export interface CaptureOptions {
  /**
   * How long to wait for the photo after `disparar` is sent; default 60000.
   * With `reconnect`, also how long the call waits for a camera that is away.
   */
  timeoutMs?: number;
  /**
   * After the photo, how long to wait for more files of the same shot (a
   * RAW beside a JPEG: same name, another extension) before resolving;
   * default 300. Files of the shot that come later are still added to the
   * result's `files`, and are never taken by a later capture.
   */
  siblingWaitMs?: number;
}

export interface OpenOptions {
  /** Create the folder (and its parents) when it is missing; default true. */
  createFolder?: boolean;
  /** With `reconnect`, how long to wait for a bridge being restarted; default 30000. */
  timeoutMs?: number;
}

export interface CallOptions {
  /** With `reconnect`, how long to wait for a camera that is away; default 30000. */
  timeoutMs?: number;
}

export interface Opened {
  model: string;
  settings: Settings;
}

/** Counters over the bridge's whole output (over every process, with `reconnect`). */
export interface BridgeStats {
  /** Lines read. */
  lines: number;
  /** `vista` events read (frames the bridge published while anyone listened or not). */
  frames: number;
  /** Lines that were not a valid event. */
  protocolErrors: number;
}

/** What was lost: the camera (`cerrada desconectada`), or the bridge process (it died or hung). */
export type DisconnectCause = "camera" | "bridge";

export interface BridgeEvents {
  /** Every file that reached the download folder, fired by a capture() or on the camera body. */
  photo: [photo: PhotoFile];
  /** Every settings report: after opening, after each camera-announced photo, after setSetting(), every few seconds while idle. */
  settings: [settings: Settings];
  /** Every `cerrada` line: "requested" (close, quit), "replaced" (by open), "disconnected" (camera gone). */
  closed: [reason: CloseReason];
  /** With `reconnect`: the open camera was lost; the client is waiting for it. */
  disconnected: [cause: DisconnectCause];
  /** With `reconnect`: the camera is open again (and live view back on, if it was on). */
  reconnected: [opened: Opened];
  /** An `error` event no pending call took as its answer (camera warnings, live-view failures, ...). */
  bridgeError: [error: BridgeError];
  /** The process has ended for good and all its output has been handled; nothing is emitted after this. */
  exit: [code: number | null, signal: NodeJS.Signals | null];
  /** A line that is not a valid event, as read (an over-long line: its first 200 bytes). */
  protocolError: [line: string];
  /** Every line read, valid or not, before it is handled. */
  line: [line: string];
}

type Needs = "none" | "bridge" | "camera";

/** A command waiting for its turn, or the one in flight. */
class Call<T> {
  readonly promise: Promise<T>;
  settled = false;
  /** What the call needs before it can be sent (with `reconnect`, it waits for it). */
  needs: Needs = "bridge";
  /** Sent by the client's own reconnection, ahead of every call of the host's. */
  internal = false;
  /** With `reconnect`: the longest wait for what the call needs. */
  holdMs = Infinity;
  holdTimer: NodeJS.Timeout | null = null;
  /** A capture waiting for its photo: the bridge may be silent for a long download. */
  busy = false;
  private resolveFn!: (v: T) => void;
  private rejectFn!: (e: Error) => void;
  private timer: NodeJS.Timeout | null = null;
  /** Run when the call's turn comes, before its line is written: an error fails it, {value} settles it unsent. */
  prepare: () => BridgeError | { value: T } | null = () => null;
  /** Run right after the line is written. */
  started: () => void = () => {};
  /** Sees every event while the call is in flight; true claims an `error` event as the call's answer. */
  event: (ev: WireEvent) => boolean = () => false;
  /** Run when the process has ended (or stopped answering) with the call in flight or for good; default: fail. */
  exited: (err: BridgeError) => void = (err) => this.fail(err);
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
    this.clearTimeout();
    this.timer = setTimeout(() => this.fail(err()), ms);
  }

  clearTimeout(): void {
    if (this.timer !== null) clearTimeout(this.timer);
    this.timer = null;
  }

  clearHold(): void {
    if (this.holdTimer !== null) clearTimeout(this.holdTimer);
    this.holdTimer = null;
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
    this.clearTimeout();
    this.clearHold();
    this.onSettled();
  }
}

/** One bridge process. */
class Proc {
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

interface Target {
  folder: string;
  /** The camera's port when it was last found (null when the detection did not show it). */
  port: string | null;
  model: string;
  /** Ports of the other cameras detected with it: never taken for it. */
  others: Set<string>;
}

/** The files of one shot, as they arrive. */
interface Shot {
  files: PhotoFile[];
}

const STDERR_KEEP = 4096;
const EXIT_GRACE_MS = 1000;
const OUTPUT_END_GRACE_MS = 200;
const MAX_FOLDER_BYTES = 4095;
const MAX_VALUE_BYTES = 4095;
const DEFAULT_CAPTURE_TIMEOUT_MS = 60000;
const DEFAULT_WAIT_MS = 30000;
const DEFAULT_WATCHDOG_MS = 30000;
const DEFAULT_SIBLING_WAIT_MS = 300;
const BUSY_WATCHDOG_FACTOR = 4;
const MAX_TIMER_MS = 2 ** 31 - 1;
const RECONNECT_FIRST_MS = 250;
const RECONNECT_MAX_MS = 2000;
/** A bridge that dies sooner than this after its start is restarted only after a pause. */
const QUICK_DEATH_MS = 2000;
/** How long a live-view failure waits to see whether the camera is gone (and coming back). */
const LIVE_VIEW_END_GRACE_MS = 1000;
const SETTING_KEYS: Record<SettingKey, string> = {
  iso: WIRE.key.iso,
  aperture: WIRE.key.aperture,
  shutterSpeed: WIRE.key.shutterSpeed,
};

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

function validLimit(ms: unknown): ms is number {
  return typeof ms === "number" && !Number.isNaN(ms) && ms >= 0;
}

/** A name without its extension and without the `-N` the bridge adds to avoid overwriting a file. */
function stemOf(name: string): { stem: string; ext: string } {
  const dot = name.lastIndexOf(".");
  const stem = dot > 0 ? name.slice(0, dot) : name;
  const ext = dot > 0 ? name.slice(dot).toLowerCase() : "";
  return { stem: stem.replace(/-\d+$/, ""), ext };
}

/** Whether `file` belongs to `shot`: the same stem, an extension the shot does not have yet. */
function isSibling(shot: Shot, file: PhotoFile): boolean {
  const { stem, ext } = stemOf(file.name);
  if (stem !== stemOf(shot.files[0].name).stem) return false;
  return shot.files.every((f) => stemOf(f.name).ext !== ext);
}

/**
 * One gpbridge process (with `reconnect`, a succession of them). Commands go
 * out one at a time: a call made while another is in flight waits for its
 * turn. Every call settles: with its answer, the bridge's error, its time
 * limit, or the process's end.
 */
export class Bridge extends EventEmitter<BridgeEvents> {
  /** The live-view directory given to the bridge (absolute). */
  readonly liveViewDir: string;

  private proc: Proc;
  private readonly options: StartOptions;
  private readonly cwd: string;
  private readonly ownDir: boolean;
  private readonly reconnect: boolean;
  private readonly watchdogMs: number;
  private readonly queue: Call<unknown>[] = [];
  private active: Call<unknown> | null = null;
  private readonly viewers = new Set<LiveView>();
  private readonly counters: BridgeStats = { lines: 0, frames: 0, protocolErrors: 0 };
  private cameraOpen = false;
  private liveViewOn = false;
  /** No process will be started again; once the current one is lost, every call fails. */
  private noRestart = false;
  /** The current process is lost and none will follow: calls fail at once. */
  private over = false;
  private finished = false;
  /** With `reconnect`: the camera to keep open, and whether it is away now. */
  private target: Target | null = null;
  private away = false;
  private looping = false;
  private quickDeaths = 0;
  private wake: (() => void) | null = null;
  private viewEndTimer: NodeJS.Timeout | null = null;
  /** The last shot whose further files may still come. */
  private tail: Shot | null = null;
  private lastPhotoWasSibling = false;
  private lastActivity = performance.now();
  private watchTimer: NodeJS.Timeout | null = null;

  /** Starts the bridge; resolves once its process is running. */
  static async start(options: StartOptions = {}): Promise<Bridge> {
    const watchdogMs = options.watchdogMs ?? DEFAULT_WATCHDOG_MS;
    if (!validLimit(watchdogMs)) {
      throw new RangeError(`watchdogMs must be a number >= 0, got ${String(watchdogMs)}`);
    }
    const cwd = path.resolve(options.cwd ?? process.cwd());
    let dir: string;
    let ownDir = false;
    if (options.liveViewDir === undefined) {
      dir = await mkdtemp(path.join(await liveViewBase(), "gpbridge-live-"));
      ownDir = true;
      addOwnDir(dir);
    } else {
      dir = path.resolve(cwd, options.liveViewDir);
      // The bridge drops frames it cannot publish without a word: a missing
      // directory would leave every live-view iteration waiting forever.
      if (!(await stat(dir)).isDirectory()) {
        throw Object.assign(new Error(`liveViewDir is not a directory: ${dir}`), { code: "ENOTDIR" });
      }
    }
    let proc: Proc;
    try {
      proc = await spawnBridge(options, cwd, dir);
    } catch (err) {
      if (ownDir) removeOwnDir(dir);
      throw err;
    }
    return new Bridge(options, proc, cwd, dir, ownDir, watchdogMs);
  }

  private constructor(options: StartOptions, proc: Proc, cwd: string, dir: string, ownDir: boolean, watchdogMs: number) {
    super();
    this.options = options;
    this.proc = proc;
    this.cwd = cwd;
    this.liveViewDir = dir;
    this.ownDir = ownDir;
    this.reconnect = options.reconnect === true;
    this.watchdogMs = watchdogMs === 0 ? Infinity : watchdogMs;
    this.attach(proc);
    this.scheduleWatch();
  }

  // -------------------------------------------------------------------------
  // Calls

  /** Detects the cameras (`buscar`). */
  listCameras(): Promise<Camera[]> {
    return this.enqueue(this.listCall(false));
  }

  private listCall(internal: boolean): Call<Camera[]> {
    const call = new Call<Camera[]>(WIRE.command.listCameras, "listCameras");
    call.internal = internal;
    call.holdMs = DEFAULT_WAIT_MS;
    call.event = (ev) => {
      if (ev.e === WIRE.event.cameras) call.succeed(ev.lista.map(toCamera));
      return false;
    };
    return call;
  }

  /**
   * Opens camera `index` of a fresh detection, downloading photos into
   * `folder`, created if missing unless `createFolder` is false. A relative
   * folder is taken from the bridge's working directory and sent absolute.
   * A folder that cannot be used rejects here, with FOLDER_NOT_WRITABLE.
   */
  open(index: number, folder: string, options: OpenOptions = {}): Promise<Opened> {
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
    const waitMs = options.timeoutMs ?? DEFAULT_WAIT_MS;
    if (!validLimit(waitMs)) {
      return Promise.reject(new RangeError(`open: timeoutMs must be a number >= 0, got ${String(waitMs)}`));
    }
    const unusable = checkFolder(dir, options.createFolder !== false);
    if (unusable !== null) {
      return Promise.reject(new BridgeError("FOLDER_NOT_WRITABLE", `open: cannot use the folder ${dir}: ${unusable}`));
    }
    // Another camera, or the same one afresh: stop waiting for the old one.
    this.stopReconnecting("open");
    if (!this.reconnect) return this.enqueue(this.openCall(index, dir, false, waitMs));
    // To find the camera again after a reconnection, its port is needed:
    // a detection right before the open gives it.
    const list = this.listCall(false);
    list.holdMs = waitMs;
    let cams: Camera[] | null = null;
    this.enqueue(list).then(
      (c) => (cams = c),
      () => {},
    );
    return this.enqueue(
      this.openCall(index, dir, false, waitMs, (o) => {
        const c = cams?.[index];
        const port = c && c.model === o.model ? c.port : null;
        const others = new Set((cams ?? []).map((x) => x.port).filter((p) => p !== port));
        if (!this.noRestart) this.target = { folder: dir, port, model: o.model, others };
      }),
    );
  }

  private openCall(
    index: number,
    dir: string,
    internal: boolean,
    waitMs: number,
    onOpened: (o: Opened) => void = () => {},
  ): Call<Opened> {
    const call = new Call<Opened>(`${WIRE.command.open} ${index} ${dir}`, "open");
    call.internal = internal;
    call.holdMs = waitMs;
    let model: string | null = null;
    call.event = (ev) => {
      if (ev.e === WIRE.event.opened) {
        model = ev.modelo;
      } else if (ev.e === WIRE.event.settings && model !== null) {
        const opened = { model, settings: toSettings(ev) };
        onOpened(opened);
        call.succeed(opened);
      } else if (ev.e === WIRE.event.error && errorLabelOf(ev.texto) === WIRE.errorLabel.open) {
        call.fail(reported("open", ev.texto));
        return true;
      }
      return false;
    };
    return call;
  }

  /**
   * Fires the shutter (`disparar`) and resolves to the photo it produced:
   * the first file downloaded after the command was sent, with every file
   * of the same shot in `files`. The first capture or download error after
   * it fails the call instead.
   */
  capture(options: CaptureOptions = {}): Promise<Photo> {
    const timeoutMs = options.timeoutMs ?? DEFAULT_CAPTURE_TIMEOUT_MS;
    if (!validLimit(timeoutMs)) {
      return Promise.reject(new RangeError(`capture: timeoutMs must be a number >= 0, got ${String(timeoutMs)}`));
    }
    const siblingWaitMs = options.siblingWaitMs ?? DEFAULT_SIBLING_WAIT_MS;
    if (!validLimit(siblingWaitMs) || siblingWaitMs > MAX_TIMER_MS) {
      return Promise.reject(new RangeError(`capture: siblingWaitMs must be a number of ms >= 0, got ${String(siblingWaitMs)}`));
    }
    const call = new Call<Photo>(WIRE.command.capture, "capture");
    call.needs = "camera";
    call.holdMs = timeoutMs;
    call.busy = true;
    call.prepare = () => (this.cameraOpen ? null : noCamera("capture"));
    // Longer than a timer can hold (about 24.8 days, or Infinity): no limit.
    call.started = () => {
      if (timeoutMs > MAX_TIMER_MS) return;
      call.timeout(
        timeoutMs,
        () => new BridgeError("ERR_BRIDGE_TIMEOUT", `capture: no photo within ${timeoutMs} ms`),
      );
    };
    let shot: Shot | null = null;
    let window: NodeJS.Timeout | null = null;
    let framesSince = 0;
    const done = (): void => {
      if (window !== null) clearTimeout(window);
      const first = shot!.files[0];
      call.succeed({ path: first.path, name: first.name, files: shot!.files });
    };
    const wait = (): void => {
      framesSince = 0;
      if (window !== null) clearTimeout(window);
      window = setTimeout(done, siblingWaitMs);
    };
    const prev = call.onSettled;
    call.onSettled = () => {
      if (window !== null) clearTimeout(window);
      prev();
    };
    call.exited = (err) => (shot !== null ? done() : call.fail(err));
    call.event = (ev) => {
      switch (ev.e) {
        case WIRE.event.photo:
          if (shot === null) {
            // A further file of an earlier shot is never this capture's photo.
            if (this.lastPhotoWasSibling) return false;
            shot = this.tail!;
            call.clearTimeout();
            if (siblingWaitMs === 0) done();
            else wait();
          } else if (this.tail === shot && this.lastPhotoWasSibling) {
            wait();
          } else {
            done(); // another shot's file: this one has all of its own
          }
          return false;
        case WIRE.event.frame:
          // Live view: a camera event is looked for after every frame, so
          // two frames with no file between them mean none is coming.
          if (shot !== null && ++framesSince >= 2) done();
          return false;
        case WIRE.event.error: {
          if (shot !== null) return false;
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
        case WIRE.event.closed: {
          if (shot !== null) {
            done();
            return false;
          }
          const reason = toCloseReason(ev.motivo);
          call.fail(new BridgeError("ERR_BRIDGE_CLOSED", `capture: the camera closed (${reason})`, null, reason));
          return false;
        }
        default:
          return false;
      }
    };
    return this.enqueue(call);
  }

  /** The choices the camera offers for each setting (`opciones`), in its own order. */
  settingChoices(options: CallOptions = {}): Promise<SettingChoices> {
    const waitMs = options.timeoutMs ?? DEFAULT_WAIT_MS;
    if (!validLimit(waitMs)) {
      return Promise.reject(new RangeError(`settingChoices: timeoutMs must be a number >= 0, got ${String(waitMs)}`));
    }
    const call = new Call<SettingChoices>(WIRE.command.settingChoices, "settingChoices");
    call.needs = "camera";
    call.holdMs = waitMs;
    call.prepare = () => (this.cameraOpen ? null : noCamera("settingChoices"));
    call.event = (ev) => {
      if (ev.e === WIRE.event.choices) call.succeed(toChoices(ev));
      else if (ev.e === WIRE.event.closed) call.fail(closedError("settingChoices", ev.motivo));
      return false;
    };
    return this.enqueue(call);
  }

  /**
   * Sets one setting (`ajustar`) to one of its choices and resolves to the
   * settings the camera reports afterwards. A value the bridge refuses
   * rejects with SETTING_REJECTED and the bridge's text.
   */
  setSetting(key: SettingKey, value: string, options: CallOptions = {}): Promise<Settings> {
    if (typeof key !== "string" || !Object.hasOwn(SETTING_KEYS, key)) {
      return Promise.reject(new TypeError(`setSetting: key must be one of ${Object.keys(SETTING_KEYS).join(", ")}, got ${String(key)}`));
    }
    if (typeof value !== "string" || value === "" || /[\n\r\0]/.test(value)) {
      return Promise.reject(new TypeError("setSetting: value must be a non-empty string without CR, LF or NUL"));
    }
    if (Buffer.byteLength(value) > MAX_VALUE_BYTES) {
      return Promise.reject(new RangeError(`setSetting: value longer than ${MAX_VALUE_BYTES} bytes`));
    }
    const waitMs = options.timeoutMs ?? DEFAULT_WAIT_MS;
    if (!validLimit(waitMs)) {
      return Promise.reject(new RangeError(`setSetting: timeoutMs must be a number >= 0, got ${String(waitMs)}`));
    }
    // The bridge's idle settings report may cross the command on its way:
    // an `opciones` sent right behind it marks where the answer ends, and
    // the answer is the last report (or `ajustar` error) before it.
    const call = new Call<Settings>(
      `${WIRE.command.setSetting} ${SETTING_KEYS[key]} ${value}\n${WIRE.command.settingChoices}`,
      "setSetting",
    );
    call.needs = "camera";
    call.holdMs = waitMs;
    call.prepare = () => (this.cameraOpen ? null : noCamera("setSetting"));
    let answer: Settings | BridgeError | null = null;
    call.event = (ev) => {
      switch (ev.e) {
        case WIRE.event.settings:
          answer = toSettings(ev);
          return false;
        case WIRE.event.error:
          if (errorLabelOf(ev.texto) !== WIRE.errorLabel.setSetting) return false;
          answer = reported("setSetting", ev.texto);
          return true;
        case WIRE.event.choices:
          if (answer instanceof BridgeError) call.fail(answer);
          else if (answer !== null) call.succeed(answer);
          else call.fail(new BridgeError("BRIDGE_ERROR", "setSetting: the bridge gave no answer"));
          return false;
        case WIRE.event.closed:
          call.fail(closedError("setSetting", ev.motivo));
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
   * it throws. With `reconnect`, it goes on across a lost camera or bridge.
   */
  liveView(): LiveView {
    const view = new LiveView((v) => this.leave(v));
    if (this.over) {
      view.finish(this.exitError("liveView"));
      return view;
    }
    this.viewers.add(view);
    const call = new Call<void>(WIRE.command.liveViewOn, "liveView").quiet();
    call.needs = "none";
    call.prepare = () => {
      if (!this.viewers.has(view)) return { value: undefined };
      // Away: the reconnection turns live view on when the camera is back.
      if (this.away || (this.reconnect && this.proc.lost && this.target !== null)) return { value: undefined };
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
    call.exited = (err) => {
      end(err);
      call.succeed();
    };
    call.promise.catch(end);
    this.enqueue(call);
    return view;
  }

  /** Ends every live-view iteration and turns live view off (`vista 0`). */
  stopLiveView(): Promise<void> {
    this.endViewers(null);
    return this.sendLiveViewOff();
  }

  /**
   * Closes the camera (`cerrar`) and stops any reconnection; resolves to why
   * it closed: "requested", or "disconnected" if it went away first.
   */
  close(): Promise<CloseReason> {
    const wasAway = this.away;
    this.stopReconnecting("close");
    const call = new Call<CloseReason>(WIRE.command.close, "close");
    call.needs = "none";
    let first: CloseReason | null = wasAway ? "disconnected" : null;
    call.prepare = () => (this.proc.lost ? { value: first ?? "requested" } : null);
    call.event = (ev) => {
      if (ev.e === WIRE.event.closed) {
        const reason = toCloseReason(ev.motivo);
        first ??= reason;
        if (reason === "requested") call.succeed(first);
      }
      return false;
    };
    return this.enqueue(call);
  }

  /**
   * Sends `salir` in its turn, like every call, and resolves to the exit
   * code (null when a signal ended it). Stops any reconnection at once. To
   * end the bridge without waiting for a pending call, use kill().
   */
  quit(): Promise<number | null> {
    this.noRestart = true;
    this.stopReconnecting("quit");
    this.settleIfOver();
    const exitCode = (p: Proc): Promise<number | null> => p.whenGone.then(() => p.exitStatus?.code ?? null);
    if (this.over) return exitCode(this.proc);
    const call = new Call<number | null>(WIRE.command.quit, "quit");
    call.needs = "none";
    call.started = () => this.proc.child.stdin?.end();
    call.exited = () => void exitCode(this.proc).then((code) => call.succeed(code));
    return this.enqueue(call);
  }

  /**
   * Sends a signal to the bridge, as ChildProcess.kill does. The bridge is
   * not restarted after this, even with `reconnect`.
   */
  kill(signal: NodeJS.Signals | number = "SIGTERM"): boolean {
    this.noRestart = true;
    this.stopReconnecting("kill");
    this.settleIfOver();
    return this.proc.child.kill(signal);
  }

  /** The bridge's process id (with `reconnect`, of the process running now). */
  get pid(): number {
    return this.proc.pid;
  }

  /** Counters over everything read so far. */
  get stats(): BridgeStats {
    return { ...this.counters };
  }

  /** Whether the last event said a camera is open. */
  get isOpen(): boolean {
    return this.cameraOpen;
  }

  /** With `reconnect`: whether the open camera is lost and being waited for. */
  get isAway(): boolean {
    return this.away;
  }

  /** Whether the process has ended for good (the `exit` event has been emitted). */
  get exited(): boolean {
    return this.finished;
  }

  /** Up to the last 4 KiB the process wrote on standard error (the bridge itself never does). */
  get stderr(): string {
    return this.proc.stderrTail;
  }

  // -------------------------------------------------------------------------
  // The command queue

  private enqueue<T>(call: Call<T>): Promise<T> {
    call.onSettled = () => {
      if (this.active === call) {
        this.active = null;
        this.pump();
      } else {
        const i = this.queue.indexOf(call as Call<unknown>);
        if (i >= 0) this.queue.splice(i, 1);
      }
    };
    if (call.internal) {
      // Ahead of the host's calls, behind other internal ones.
      let i = 0;
      while (i < this.queue.length && this.queue[i].internal) i++;
      this.queue.splice(i, 0, call as Call<unknown>);
    } else {
      this.queue.push(call as Call<unknown>);
    }
    this.pump();
    return call.promise;
  }

  private pump(): void {
    while (this.active === null && this.queue.length > 0) {
      const call = this.queue[0];
      if (this.over) {
        this.queue.shift();
        call.exited(this.exitError(call.what));
        continue;
      }
      if (this.heldFor(call) !== null) break;
      this.queue.shift();
      call.clearHold();
      const ready = call.prepare();
      if (ready instanceof BridgeError) {
        call.fail(ready);
        continue;
      }
      if (ready !== null) {
        call.succeed(ready.value);
        continue;
      }
      this.active = call;
      this.write(call.line);
      call.started();
    }
    this.armHolds();
  }

  /** With `reconnect`: what `call` waits for before it can be sent, or null. */
  private heldFor(call: Call<unknown>): "bridge" | "camera" | null {
    if (!this.reconnect || this.over) return null;
    if (this.proc.lost) return call.needs === "none" ? null : call.needs;
    if (call.needs === "camera" && this.away && !call.internal) return "camera";
    return null;
  }

  /** Every queued call held for a reason of its own has a timer for its time limit. */
  private armHolds(): void {
    for (const call of this.queue) {
      const reason = this.heldFor(call);
      if (reason === null) {
        call.clearHold();
      } else if (call.holdTimer === null && call.holdMs <= MAX_TIMER_MS) {
        call.holdTimer = setTimeout(() => call.fail(this.holdError(call, reason)), call.holdMs);
      }
    }
  }

  private holdError(call: Call<unknown>, reason: "bridge" | "camera"): BridgeError {
    return reason === "camera"
      ? new BridgeError("CAMERA_UNAVAILABLE", `${call.what}: the camera did not come back within ${call.holdMs} ms`)
      : new BridgeError("ERR_BRIDGE_EXITED", `${call.what}: the bridge could not be restarted within ${call.holdMs} ms`);
  }

  private write(line: string): void {
    const stdin = this.proc.child.stdin;
    this.lastActivity = performance.now();
    if (stdin && stdin.writable && !this.proc.lost) stdin.write(line + "\n");
  }

  private leave(view: LiveView): void {
    if (!this.viewers.delete(view)) return;
    if (this.viewers.size === 0) void this.sendLiveViewOff();
  }

  private sendLiveViewOff(): Promise<void> {
    if (this.over) return Promise.resolve();
    const call = new Call<void>(WIRE.command.liveViewOff, "stopLiveView");
    call.needs = "none";
    call.started = () => {
      this.liveViewOn = false;
      call.succeed();
    };
    call.exited = () => call.succeed();
    return this.enqueue(call);
  }

  // -------------------------------------------------------------------------
  // Events

  private attach(proc: Proc): void {
    const child = proc.child;
    const out = child.stdout!;
    out.on("data", (chunk: Buffer) => {
      if (proc.lost) return;
      for (const line of proc.splitter.push(chunk)) {
        if (proc.lost) return;
        if (line instanceof OverlongLine) this.onBadLine(line.head);
        else this.onLine(line);
      }
    });
    const outEnded = (): void => {
      if (proc.stdoutDone) return;
      proc.stdoutDone = true;
      if (proc.exitStatus !== null) {
        this.procGone(proc);
        return;
      }
      // Output normally ends as the process exits, and the exit is
      // reported a moment later. A process still running after that has
      // nothing more to say: nothing more can be answered. Its input is
      // closed, which ends a bridge; anything still running after another
      // moment is killed.
      proc.graceTimer = setTimeout(() => {
        proc.outputEndedFirst = true;
        this.lose(proc);
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
        this.procGone(proc);
      } else {
        // Output normally ends with the process; if something else still
        // holds the pipe open, stop waiting for it after a moment.
        proc.graceTimer = setTimeout(() => {
          child.stdout?.destroy();
          this.procGone(proc);
        }, EXIT_GRACE_MS);
      }
    });
  }

  private onBadLine(line: string): void {
    this.counters.lines++;
    this.lastActivity = performance.now();
    this.emit("line", line);
    this.counters.protocolErrors++;
    this.emit("protocolError", line);
  }

  private onLine(line: string): void {
    if (this.finished) return;
    this.counters.lines++;
    this.lastActivity = performance.now();
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
        active?.event(ev);
        return;
      case WIRE.event.liveViewEnd: {
        this.liveViewOn = false;
        active?.event(ev);
        if (this.viewers.size === 0) return;
        if (this.reconnect && this.target !== null) {
          // A camera pulled during live view fails its preview first and is
          // found gone right after: wait a moment before ending iterations
          // that the reconnection would carry on.
          if (this.viewEndTimer === null) {
            this.viewEndTimer = setTimeout(() => {
              this.viewEndTimer = null;
              if (!this.away) this.endLiveView();
            }, LIVE_VIEW_END_GRACE_MS);
          }
          return;
        }
        this.endLiveView();
        return;
      }
      case WIRE.event.opened:
        this.cameraOpen = true;
        active?.event(ev);
        return;
      case WIRE.event.closed: {
        this.cameraOpen = false;
        this.liveViewOn = false;
        const reason = toCloseReason(ev.motivo);
        const lost = reason === "disconnected" && this.target !== null && !this.noRestart;
        if (lost) this.clearViewEnd();
        else this.endViewers(null);
        active?.event(ev);
        this.emit("closed", reason);
        if (lost && !this.away) this.loseCamera("camera");
        return;
      }
      case WIRE.event.photo: {
        const file = toPhotoFile(ev);
        const tail = this.tail;
        this.lastPhotoWasSibling = tail !== null && isSibling(tail, file);
        if (this.lastPhotoWasSibling) tail!.files.push(file);
        else this.tail = { files: [file] };
        active?.event(ev);
        this.emit("photo", file);
        return;
      }
      case WIRE.event.settings:
        active?.event(ev);
        this.emit("settings", toSettings(ev));
        return;
      case WIRE.event.cameras:
      case WIRE.event.choices:
        active?.event(ev);
        return;
      case WIRE.event.error:
        if (active?.event(ev) !== true) this.emit("bridgeError", reported(null, ev.texto));
        return;
    }
  }

  /** Ends every iteration after a live-view failure, and makes sure live view is off. */
  private endLiveView(): void {
    this.endViewers(null);
    // A `vista 1` written after the bridge sent its vistaFin (a new
    // iteration started meanwhile) turned live view on again, with no
    // iteration left to turn it off: make sure it is off.
    void this.sendLiveViewOff();
  }

  private clearViewEnd(): void {
    if (this.viewEndTimer !== null) clearTimeout(this.viewEndTimer);
    this.viewEndTimer = null;
  }

  private endViewers(err: Error | null): void {
    this.clearViewEnd();
    for (const v of this.viewers) v.finish(err);
    this.viewers.clear();
  }

  // -------------------------------------------------------------------------
  // Reconnection

  /** The open camera is lost, and `reconnect` is on: wait for it. */
  private loseCamera(cause: "camera" | "bridge"): void {
    this.away = true;
    this.emit("disconnected", cause);
    this.kick();
    this.pump();
  }

  /**
   * Stops waiting for a lost camera (close, open, quit, kill): the calls that
   * wait for it fail with CAMERA_UNAVAILABLE, and live view ends.
   */
  private stopReconnecting(by: string): void {
    this.target = null;
    this.wake?.();
    if (!this.away) return;
    this.away = false;
    for (const call of [...this.queue]) {
      if (call.needs === "camera" && !call.internal) {
        call.fail(new BridgeError("CAMERA_UNAVAILABLE", `${call.what}: the camera is away and ${by}() stopped waiting for it`));
      }
    }
    this.endViewers(null);
    this.pump();
  }

  private kick(): void {
    if (this.looping) this.wake?.();
    else void this.reconnectLoop();
  }

  private pause(ms: number): Promise<void> {
    return new Promise((resolve) => {
      const timer = setTimeout(done, ms);
      function done(): void {
        clearTimeout(timer);
        resolve();
      }
      this.wake = done;
    });
  }

  /** Restarts the bridge while it is lost, and reopens the camera while it is away, with backoff. */
  private async reconnectLoop(): Promise<void> {
    this.looping = true;
    let delay = RECONNECT_FIRST_MS;
    const backoff = async (): Promise<void> => {
      await this.pause(delay);
      delay = Math.min(delay * 2, RECONNECT_MAX_MS);
    };
    try {
      for (;;) {
        if (this.noRestart || this.over) return;
        const p = this.proc;
        if (p.lost) {
          if (!p.gone) {
            await p.whenGone;
            continue;
          }
          // A bridge that keeps dying as it starts is not restarted in a tight loop.
          if (performance.now() - p.startedAt < QUICK_DEATH_MS) {
            this.quickDeaths++;
            await this.pause(Math.min(RECONNECT_FIRST_MS * 2 ** (this.quickDeaths - 1), RECONNECT_MAX_MS));
            if (this.noRestart || this.over) return;
          } else {
            this.quickDeaths = 0;
          }
          try {
            const fresh = await spawnBridge(this.options, this.cwd, this.liveViewDir);
            if (this.noRestart || this.over) {
              // Not wanted any more: its input ends, so it ends.
              fresh.child.stdin?.end();
              fresh.child.stdout?.resume();
              return;
            }
            this.proc = fresh;
            this.cameraOpen = false;
            this.liveViewOn = false;
            this.lastActivity = performance.now();
            this.attach(fresh);
            this.pump();
          } catch {
            await backoff();
          }
          continue;
        }
        if (!this.away) return;
        if (await this.reopen()) return;
        await backoff();
      }
    } finally {
      this.looping = false;
      this.wake = null;
      this.settleIfOver();
    }
  }

  /** One attempt at opening the lost camera again; true when there is nothing more to do. */
  private async reopen(): Promise<boolean> {
    const target = this.target;
    if (target === null) return true;
    const cams = await this.enqueue(this.listCall(true)).catch(() => null);
    if (this.target !== target) return true;
    if (cams === null) return false;
    // The same port and model; where the port changed (USB re-enumerates a camera plugged
    // in again), the same model if exactly one camera is of it, leaving out
    // the cameras that were there beside it.
    let index = target.port === null ? -1 : cams.findIndex((c) => c.port === target.port && c.model === target.model);
    if (index < 0) {
      const same = cams.flatMap((c, i) => (c.model === target.model && !target.others.has(c.port) ? [i] : []));
      if (same.length !== 1) return false;
      index = same[0];
    }
    const opened = await this.enqueue(this.openCall(index, target.folder, true, Infinity)).catch(() => null);
    if (this.target !== target) return true;
    // Gone again in the same breath (its `cerrada` came with the answer): try again.
    if (opened === null || !this.cameraOpen) return false;
    target.port = cams[index].port;
    for (const c of cams) if (c.port !== target.port) target.others.add(c.port);
    this.away = false;
    if (this.viewers.size > 0) {
      const on = new Call<void>(WIRE.command.liveViewOn, "liveView").quiet();
      on.internal = true;
      on.needs = "none";
      on.prepare = () => (this.viewers.size > 0 && this.cameraOpen ? null : { value: undefined });
      on.started = () => {
        this.liveViewOn = true;
        on.succeed();
      };
      on.exited = () => on.succeed();
      void this.enqueue(on);
    }
    this.emit("reconnected", opened);
    this.pump();
    return true;
  }

  // -------------------------------------------------------------------------
  // The watchdog

  private scheduleWatch(): void {
    if (this.watchdogMs === Infinity || this.finished) return;
    const every = Math.max(10, Math.min(1000, this.watchdogMs / 4));
    this.watchTimer = setTimeout(() => this.watch(), every);
    this.watchTimer.unref();
  }

  private watch(): void {
    this.watchTimer = null;
    const p = this.proc;
    const expecting = this.cameraOpen || this.active !== null;
    if (!p.lost && expecting) {
      const limit = this.active?.busy ? this.watchdogMs * BUSY_WATCHDOG_FACTOR : this.watchdogMs;
      const silent = performance.now() - this.lastActivity;
      if (silent > limit) {
        // Hung: a driver stuck in I/O holds the bridge. Kill it (and
        // anything it started); with `reconnect`, a new one takes over.
        p.hungMs = Math.round(silent);
        this.lose(p);
        p.killGroup("SIGKILL");
      }
    }
    this.scheduleWatch();
  }

  // -------------------------------------------------------------------------
  // The end of a process

  /** Nothing more will come from `proc`: settle what waited on it. */
  private lose(proc: Proc): void {
    if (proc.lost) return;
    if (!proc.outputEndedFirst && proc.hungMs === 0) {
      const rest = proc.splitter.end();
      // A line cut off by the end of the process is not an event.
      if (rest !== null) this.onBadLine(rest);
    }
    proc.lost = true;
    if (proc !== this.proc) return;
    const hadCamera = this.cameraOpen || this.away;
    this.cameraOpen = false;
    this.liveViewOn = false;
    const restart = this.reconnect && !this.noRestart;
    const active = this.active;
    this.active = null;
    active?.exited(this.exitError(active.what));
    if (!restart) {
      this.settleIfOver();
      return;
    }
    this.clearViewEnd();
    if (hadCamera && this.target !== null && !this.away) this.loseCamera("bridge");
    else this.kick();
    this.pump();
  }

  /** When no process will run again: every call fails, and the end is announced once the last process is gone. */
  private settleIfOver(): void {
    if (this.over || !this.proc.lost || (this.reconnect && !this.noRestart)) return;
    this.over = true;
    this.clearViewEnd();
    const calls = this.active === null ? this.queue.splice(0) : [this.active, ...this.queue.splice(0)];
    this.active = null;
    for (const call of calls) call.exited(this.exitError(call.what));
    // An iteration is a pending call too: it fails, rather than ending as if
    // live view had simply stopped.
    this.endViewers(this.exitError("liveView"));
    if (this.proc.gone) this.finish();
  }

  /** `proc` has exited and its output has been handled. */
  private procGone(proc: Proc): void {
    if (proc.gone) return;
    if (proc.graceTimer !== null) clearTimeout(proc.graceTimer);
    this.lose(proc);
    proc.gone = true;
    proc.markGone();
    if (proc === this.proc && this.over) this.finish();
  }

  private finish(): void {
    if (this.finished) return;
    this.finished = true;
    if (this.watchTimer !== null) clearTimeout(this.watchTimer);
    this.watchTimer = null;
    if (this.ownDir) removeOwnDir(this.liveViewDir);
    const { code, signal } = this.proc.exitStatus ?? { code: null, signal: null };
    this.emit("exit", code, signal);
  }

  private exitError(what: string): BridgeError {
    const p = this.proc;
    const s = p.exitStatus;
    let how: string;
    if (p.hungMs > 0) how = ` (it wrote nothing for ${p.hungMs} ms and was killed)`;
    else if (p.outputEndedFirst && s === null) how = " (its output ended)";
    else if (s === null) how = "";
    else how = s.signal !== null ? ` (signal ${s.signal})` : ` (code ${s.code})`;
    const err = p.stderrTail.trim();
    return new BridgeError(
      "ERR_BRIDGE_EXITED",
      `${what}: the bridge exited${how}${err ? `; it wrote: ${err.split("\n").slice(-3).join(" | ")}` : ""}`,
    );
  }
}

/**
 * Starts one bridge process, in a process group of its own: a terminal's
 * Ctrl-C reaches the host, which can then close the camera in order. The
 * bridge still ends with the host, since its input then ends.
 */
async function spawnBridge(options: StartOptions, cwd: string, dir: string): Promise<Proc> {
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

/** Why `dir` cannot take photos (after creating it, when asked), or null when it can. */
function checkFolder(dir: string, create: boolean): string | null {
  try {
    if (create) mkdirSync(dir, { recursive: true });
    if (!statSync(dir).isDirectory()) return "not a directory";
    accessSync(dir, fsConstants.W_OK | fsConstants.X_OK);
    return null;
  } catch (err) {
    const e = err as NodeJS.ErrnoException;
    return e.code === "ENOENT" ? "it does not exist" : `${e.code ?? "error"}: ${e.message}`;
  }
}

function closedError(what: string, motivo: WireCloseReason): BridgeError {
  const reason = toCloseReason(motivo);
  return new BridgeError("ERR_BRIDGE_CLOSED", `${what}: the camera closed (${reason})`, null, reason);
}

function noCamera(what: string): BridgeError {
  return new BridgeError("ERR_BRIDGE_NO_CAMERA", `${what}: no camera is open`);
}
