// Shots and their files: which files belong to one shot (a RAW beside a
// JPEG), and the capture call, which takes the first file after `disparar`
// as its photo and waits a moment for the rest of the shot.
import { BridgeError, reported } from "./errors.js";
import { Call, MAX_TIMER_MS, noCamera, validLimit } from "./calls.js";
import type { State } from "./state.js";
import type { CaptureOptions } from "./types.js";
import { WIRE, errorLabelOf, toCloseReason, type Photo, type PhotoFile, type WireEvent } from "./wire.js";

const DEFAULT_CAPTURE_TIMEOUT_MS = 60000;
const DEFAULT_SIBLING_WAIT_MS = 300;
export const DEFAULT_BUSY_RETRIES = 3;
const BUSY_RETRY_FIRST_MS = 250;

/** The files of one shot, as they arrive. */
export interface Shot {
  files: PhotoFile[];
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

/** Every file downloaded, sorted into shots as it comes. */
export class Shots {
  private last: Shot | null = null;
  private sibling = false;

  /** Files `file`: a further file of the last shot joins it, any other starts a shot. */
  add(file: PhotoFile): void {
    const last = this.last;
    this.sibling = last !== null && isSibling(last, file);
    if (this.sibling) last!.files.push(file);
    else this.last = { files: [file] };
  }

  /** The shot of the last file added. */
  get tail(): Shot {
    return this.last!;
  }

  /** Whether the last file added was a further file of an earlier one's shot. */
  get lastWasSibling(): boolean {
    return this.sibling;
  }
}

/**
 * The call for `disparar`: it resolves to the photo it produced, with every
 * file of the same shot in `files`; or an error for options it cannot take.
 */
export function captureCall(state: State, shots: Shots, options: CaptureOptions): Call<Photo> | Error {
  const timeoutMs = options.timeoutMs ?? DEFAULT_CAPTURE_TIMEOUT_MS;
  if (!validLimit(timeoutMs)) {
    return new RangeError(`capture: timeoutMs must be a number >= 0, got ${String(timeoutMs)}`);
  }
  const siblingWaitMs = options.siblingWaitMs ?? DEFAULT_SIBLING_WAIT_MS;
  if (!validLimit(siblingWaitMs) || siblingWaitMs > MAX_TIMER_MS) {
    return new RangeError(`capture: siblingWaitMs must be a number of ms >= 0, got ${String(siblingWaitMs)}`);
  }
  const busyRetries = options.busyRetries ?? state.options.busyRetries ?? DEFAULT_BUSY_RETRIES;
  if (!Number.isSafeInteger(busyRetries) || busyRetries < 0) {
    return new RangeError(`capture: busyRetries must be an integer >= 0, got ${String(busyRetries)}`);
  }
  const call = new Call<Photo>(WIRE.command.capture, "capture");
  call.needs = "camera";
  call.holdMs = timeoutMs;
  call.busy = true;
  call.prepare = () => (state.cameraOpen ? null : noCamera("capture"));
  // Longer than a timer can hold (about 24.8 days, or Infinity): no limit.
  call.started = () => {
    if (timeoutMs > MAX_TIMER_MS) return;
    call.timeout(timeoutMs, () => new BridgeError("ERR_BRIDGE_TIMEOUT", `capture: no photo within ${timeoutMs} ms`));
  };
  const shot = new ShotWait(call, shots, siblingWaitMs, busyRetries);
  call.exited = (err) => (shot.taken ? shot.done() : call.fail(err));
  call.event = (ev) => shot.event(ev);
  return call;
}

/** A capture's shot, once its photo has come: the wait for the rest of its files. */
class ShotWait {
  private shot: Shot | null = null;
  private window: NodeJS.Timeout | null = null;
  private framesSince = 0;

  constructor(
    private readonly call: Call<Photo>,
    private readonly shots: Shots,
    private readonly siblingWaitMs: number,
    private busyRetries: number,
  ) {}

  private retry: NodeJS.Timeout | null = null;
  private tries = 0;

  get taken(): boolean {
    return this.shot !== null;
  }

  done(): void {
    this.clear();
    const files = this.shot!.files;
    this.call.succeed({ path: files[0].path, name: files[0].name, files });
  }

  /** Sees every event while the capture is in flight; true claims an `error` as its answer. */
  event(ev: WireEvent): boolean {
    switch (ev.e) {
      case WIRE.event.photo:
        this.photo();
        return false;
      case WIRE.event.frame:
        // Live view: a camera event is looked for after every frame, so
        // two frames with no file between them mean none is coming.
        if (this.shot !== null && ++this.framesSince >= 2) this.done();
        return false;
      case WIRE.event.error: {
        if (this.shot !== null) return false;
        const label = errorLabelOf(ev.texto);
        if (label === WIRE.errorLabel.capture || label === WIRE.errorLabel.download || ev.texto === WIRE.folderError) {
          const err = reported("capture", ev.texto);
          if (err.code === "CAMERA_BUSY" && this.busyRetries > 0) this.again();
          else this.call.fail(err);
          return true;
        }
        return false;
      }
      case WIRE.event.closed: {
        if (this.shot !== null) {
          this.done();
          return false;
        }
        const reason = toCloseReason(ev.motivo);
        this.call.fail(new BridgeError("ERR_BRIDGE_CLOSED", `capture: the camera closed (${reason})`, null, reason));
        return false;
      }
      default:
        return false;
    }
  }

  private photo(): void {
    if (this.shot === null) {
      // A further file of an earlier shot is never this capture's photo.
      if (this.shots.lastWasSibling) return;
      this.shot = this.shots.tail;
      this.call.clearTimeout();
      if (this.siblingWaitMs === 0) this.done();
      else this.wait();
    } else if (this.shots.tail === this.shot && this.shots.lastWasSibling) {
      this.wait();
    } else {
      this.done(); // another shot's file: this one has all of its own
    }
  }

  /** The camera was busy and nothing of the shot came: fire again after a pause. */
  private again(): void {
    this.busyRetries--;
    const pause = BUSY_RETRY_FIRST_MS * 2 ** this.tries++;
    this.retry = setTimeout(() => {
      this.retry = null;
      if (this.shot === null) this.call.send(WIRE.command.capture);
    }, pause);
  }

  private wait(): void {
    this.framesSince = 0;
    if (this.window !== null) clearTimeout(this.window);
    this.window = setTimeout(() => this.done(), this.siblingWaitMs);
  }

  private clear(): void {
    if (this.window !== null) clearTimeout(this.window);
    this.window = null;
    if (this.retry !== null) clearTimeout(this.retry);
    this.retry = null;
  }
}
