import { EventEmitter } from "node:events";
import path from "node:path";
import { performance } from "node:perf_hooks";

import { CallQueue, validLimit, type Call } from "./calls.js";
import { alertCall, configCall, focusCall, getCall, serialCall, setCall } from "./config.js";
import { choicesCall, closeCall, exitCode, listCall, openCall, quitCall, setSettingCall, waitLimit } from "./commands.js";
import { reported } from "./errors.js";
import { folderPath, unusableFolder } from "./folders.js";
import { Keeper } from "./keeper.js";
import { Viewers, type LiveView } from "./liveview.js";
import { removeOwnDir } from "./owndirs.js";
import { attach, liveViewDirOf, spawnBridge, type Proc, type ProcSink } from "./process.js";
import { Shots, captureCall } from "./shots.js";
import { State } from "./state.js";
import type { BridgeEvents, BridgeStats, CallOptions, CaptureOptions, OpenOptions, Opened, StartOptions } from "./types.js";
import {
  WIRE,
  parseEvent,
  toCloseReason,
  toPhotoFile,
  toSettings,
  type Camera,
  type CloseReason,
  type Control,
  type ControlValue,
  type Photo,
  type SettingChoices,
  type SettingKey,
  type Settings,
  type WireEvent,
} from "./wire.js";

const DEFAULT_WATCHDOG_MS = 30000;

/** Rejects with `err` when a call's builder refused its arguments, else queues the call. */
function queued<T>(calls: CallQueue, call: Call<T> | Error): Promise<T> {
  return call instanceof Error ? Promise.reject(call) : calls.enqueue(call);
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
  private readonly state: State;
  private readonly calls: CallQueue;
  private readonly shots = new Shots();
  private readonly viewers: Viewers;
  private readonly keeper: Keeper;
  private readonly counters: BridgeStats = { lines: 0, frames: 0, protocolErrors: 0 };

  /** Starts the bridge; resolves once its process is running. */
  static async start(options: StartOptions = {}): Promise<Bridge> {
    const watchdogMs = options.watchdogMs ?? DEFAULT_WATCHDOG_MS;
    if (!validLimit(watchdogMs)) {
      throw new RangeError(`watchdogMs must be a number >= 0, got ${String(watchdogMs)}`);
    }
    const cwd = path.resolve(options.cwd ?? process.cwd());
    const { dir, ownDir } = await liveViewDirOf(options, cwd);
    let proc: Proc;
    try {
      proc = await spawnBridge(options, cwd, dir);
    } catch (err) {
      if (ownDir) removeOwnDir(dir);
      throw err;
    }
    return new Bridge(new State(options, proc, cwd, dir, ownDir, watchdogMs));
  }

  private constructor(state: State) {
    super();
    this.state = state;
    this.liveViewDir = state.liveViewDir;
    this.calls = new CallQueue(state);
    this.viewers = new Viewers(state, this.calls);
    const sink: ProcSink = {
      line: (line) => this.onLine(line),
      badLine: (head) => this.onBadLine(head),
      lose: (proc) => this.keeper.lose(proc),
      gone: (proc) => this.keeper.gone(proc),
    };
    this.keeper = new Keeper(state, this.calls, this.viewers, {
      disconnected: (cause) => this.emit("disconnected", cause),
      reconnected: (opened) => this.emit("reconnected", opened),
      exit: (code, signal) => this.emit("exit", code, signal),
      badLine: (line) => this.onBadLine(line),
    }, sink);
    attach(state.proc, sink);
    this.keeper.watch();
  }

  // -------------------------------------------------------------------------
  // Calls

  /** Detects the cameras (`buscar`). */
  listCameras(): Promise<Camera[]> {
    return this.calls.enqueue(listCall(false));
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
    const dir = folderPath(this.state.cwd, folder);
    if (dir instanceof Error) return Promise.reject(dir);
    const waitMs = waitLimit("open", options);
    if (waitMs instanceof Error) return Promise.reject(waitMs);
    const unusable = unusableFolder(dir, options.createFolder !== false);
    if (unusable !== null) return Promise.reject(unusable);
    // Another camera, or the same one afresh: stop waiting for the old one.
    this.keeper.stopReconnecting("open");
    if (!this.state.reconnect) return this.calls.enqueue(openCall(index, dir, false, waitMs));
    // To find the camera again after a reconnection, its port is needed:
    // a detection right before the open gives it.
    const list = listCall(false);
    list.holdMs = waitMs;
    let cams: Camera[] | null = null;
    this.calls.enqueue(list).then(
      (c) => (cams = c),
      () => {},
    );
    return this.calls.enqueue(
      openCall(index, dir, false, waitMs, (o) => {
        const c = cams?.[index];
        const port = c && c.model === o.model ? c.port : null;
        const others = new Set((cams ?? []).map((x) => x.port).filter((p) => p !== port));
        if (!this.state.noRestart) this.state.target = { folder: dir, port, model: o.model, others };
      }),
    );
  }

  /**
   * Fires the shutter (`disparar`) and resolves to the photo it produced:
   * the first file downloaded after the command was sent, with every file
   * of the same shot in `files`. The first capture or download error after
   * it fails the call instead.
   */
  capture(options: CaptureOptions = {}): Promise<Photo> {
    return queued(this.calls, captureCall(this.state, this.shots, options));
  }

  /** The choices the camera offers for each setting (`opciones`), in its own order. */
  settingChoices(options: CallOptions = {}): Promise<SettingChoices> {
    return queued(this.calls, choicesCall(this.state, options));
  }

  /**
   * Sets one setting (`ajustar`) to one of its choices and resolves to the
   * settings the camera reports afterwards. A value the bridge refuses
   * rejects with SETTING_REJECTED and the bridge's text.
   */
  setSetting(key: SettingKey, value: string, options: CallOptions = {}): Promise<Settings> {
    return queued(this.calls, setSettingCall(this.state, key, value, options));
  }

  /**
   * Every control of the camera's configuration (`configuracion`), in the
   * camera's order, each value typed by its control's type. Reading the
   * whole tree can take seconds on some bodies: get() reads one control.
   */
  config(options: CallOptions = {}): Promise<Control[]> {
    return queued(this.calls, configCall(this.state, options));
  }

  /** One control (`leer`), by its name or its whole path. Unknown: READ_FAILED, `leer: Bad parameters`. */
  get(name: string, options: CallOptions = {}): Promise<Control> {
    return queued(this.calls, getCall(this.state, name, options));
  }

  /**
   * Sets one control (`ajustar`), by its name or its whole path, to a value
   * typed as get() gives it (a boolean for a toggle, a number for a range,
   * a Date for a date, a string otherwise), and resolves to the control read
   * back. A value the bridge refuses rejects with SETTING_REJECTED.
   */
  set(name: string, value: ControlValue, options: CallOptions = {}): Promise<Control> {
    return queued(this.calls, setCall(this.state, name, value, options));
  }

  /** The camera's serial number, or null where it has none. */
  serialNumber(options: CallOptions = {}): Promise<string | null> {
    return queued(this.calls, serialCall(this.state, options));
  }

  /** Autofocuses now. FOCUS_FAILED when the camera refuses, NOT_SUPPORTED when it has no way to. */
  focus(options: CallOptions = {}): Promise<void> {
    return queued(this.calls, focusCall(this.state, options));
  }

  /**
   * Alert mode on or off (`alerta`): while on, the bridge takes each
   * command at once rather than at its next look at the camera. Resolves
   * once written; every close ends it.
   */
  setAlert(on: boolean): Promise<void> {
    return this.calls.enqueue(alertCall(on === true));
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
    return this.viewers.start();
  }

  /** Ends every live-view iteration and turns live view off (`vista 0`). */
  stopLiveView(): Promise<void> {
    return this.viewers.stop();
  }

  /**
   * Closes the camera (`cerrar`) and stops any reconnection; resolves to why
   * it closed: "requested", or "disconnected" if it went away first.
   */
  close(): Promise<CloseReason> {
    const wasAway = this.state.away;
    this.keeper.stopReconnecting("close");
    return this.calls.enqueue(closeCall(this.state, wasAway));
  }

  /**
   * Sends `salir` in its turn, like every call, and resolves to the exit
   * code (null when a signal ended it). Stops any reconnection at once. To
   * end the bridge without waiting for a pending call, use kill().
   */
  quit(): Promise<number | null> {
    this.state.noRestart = true;
    this.keeper.stopReconnecting("quit");
    this.keeper.settleIfOver();
    if (this.state.over) return exitCode(this.state);
    return this.calls.enqueue(quitCall(this.state));
  }

  /**
   * Sends a signal to the bridge, as ChildProcess.kill does. The bridge is
   * not restarted after this, even with `reconnect`.
   */
  kill(signal: NodeJS.Signals | number = "SIGTERM"): boolean {
    this.state.noRestart = true;
    this.keeper.stopReconnecting("kill");
    this.keeper.settleIfOver();
    return this.state.proc.child.kill(signal);
  }

  /** The bridge's process id (with `reconnect`, of the process running now). */
  get pid(): number {
    return this.state.proc.pid;
  }

  /** Counters over everything read so far. */
  get stats(): BridgeStats {
    return { ...this.counters };
  }

  /** Whether the last event said a camera is open. */
  get isOpen(): boolean {
    return this.state.cameraOpen;
  }

  /** With `reconnect`: whether the open camera is lost and being waited for. */
  get isAway(): boolean {
    return this.state.away;
  }

  /** Whether the process has ended for good (the `exit` event has been emitted). */
  get exited(): boolean {
    return this.state.finished;
  }

  /** Up to the last 4 KiB the process wrote on standard error (the bridge itself never does). */
  get stderr(): string {
    return this.state.proc.stderrTail;
  }

  // -------------------------------------------------------------------------
  // Events: each line updates the parts it concerns, goes to the call in
  // flight, and then to the host.

  private onBadLine(line: string): void {
    this.counters.lines++;
    this.state.lastActivity = performance.now();
    this.emit("line", line);
    this.counters.protocolErrors++;
    this.emit("protocolError", line);
  }

  private onLine(line: string): void {
    if (this.state.finished) return;
    this.counters.lines++;
    this.state.lastActivity = performance.now();
    this.emit("line", line);
    const ev = parseEvent(line);
    if (ev === null) {
      this.counters.protocolErrors++;
      this.emit("protocolError", line);
      return;
    }
    this.route(ev);
  }

  private route(ev: WireEvent): void {
    const s = this.state;
    switch (ev.e) {
      case WIRE.event.frame:
        this.counters.frames++;
        this.viewers.frame(ev);
        this.calls.dispatch(ev);
        return;
      case WIRE.event.liveViewEnd:
        s.liveViewOn = false;
        this.calls.dispatch(ev);
        this.viewers.failed();
        return;
      case WIRE.event.opened:
        s.cameraOpen = true;
        this.calls.dispatch(ev);
        return;
      case WIRE.event.closed: {
        s.cameraOpen = false;
        s.liveViewOn = false;
        const reason = toCloseReason(ev.motivo);
        const lost = reason === "disconnected" && s.target !== null && !s.noRestart;
        if (lost) this.viewers.clearEndTimer();
        else this.viewers.endAll(null);
        this.calls.dispatch(ev);
        this.emit("closed", reason);
        if (lost && !s.away) this.keeper.loseCamera("camera");
        return;
      }
      case WIRE.event.photo: {
        const file = toPhotoFile(ev);
        this.shots.add(file);
        this.calls.dispatch(ev);
        this.emit("photo", file);
        return;
      }
      case WIRE.event.settings:
        this.calls.dispatch(ev);
        this.emit("settings", toSettings(ev));
        return;
      case WIRE.event.cameras:
      case WIRE.event.choices:
      case WIRE.event.config:
      case WIRE.event.control:
        this.calls.dispatch(ev);
        return;
      case WIRE.event.error:
        if (!this.calls.dispatch(ev)) this.emit("bridgeError", reported(null, ev.texto));
        return;
    }
  }
}
