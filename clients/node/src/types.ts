// The options, results and events of Bridge. The shapes of values read off
// the wire (Camera, Settings, Photo, ...) are beside the wire table, in
// wire.ts.
import type { BridgeError } from "./errors.js";
import type { CloseReason, PhotoFile, Settings } from "./wire.js";

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
  /** The default of capture()'s `busyRetries`: 3. */
  busyRetries?: number;
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
  /**
   * How many times a shot the camera refused as busy (CAMERA_BUSY: it
   * could not focus yet, or was still writing) is fired again, after a
   * pause growing from 250 ms, before the capture fails; default the
   * bridge's `busyRetries` (3), 0: never. Never once a file of the shot has
   * arrived.
   */
  busyRetries?: number;
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
