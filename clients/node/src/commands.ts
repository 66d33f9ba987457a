// The call of each command that is neither a capture nor live view: what it
// writes, and which events answer it. Each builder checks its arguments and
// returns the call, or the error the host gets without anything being sent.
import { BridgeError, reported } from "./errors.js";
import { Call, DEFAULT_WAIT_MS, closedError, noCamera, validLimit } from "./calls.js";
import type { State } from "./state.js";
import type { CallOptions, Opened } from "./types.js";
import {
  WIRE,
  errorLabelOf,
  toCamera,
  toChoices,
  toCloseReason,
  toSettings,
  type Camera,
  type CloseReason,
  type SettingChoices,
  type SettingKey,
  type Settings,
} from "./wire.js";

const MAX_VALUE_BYTES = 4095;
const SETTING_KEYS: Record<SettingKey, string> = {
  iso: WIRE.key.iso,
  aperture: WIRE.key.aperture,
  shutterSpeed: WIRE.key.shutterSpeed,
};

/** `what`'s time limit for waiting on a camera that is away, or the error for one it cannot take. */
export function waitLimit(what: string, options: CallOptions): number | Error {
  const waitMs = options.timeoutMs ?? DEFAULT_WAIT_MS;
  if (!validLimit(waitMs)) return new RangeError(`${what}: timeoutMs must be a number >= 0, got ${String(waitMs)}`);
  return waitMs;
}

/** `buscar`: the cameras detected, in order. */
export function listCall(internal: boolean): Call<Camera[]> {
  const call = new Call<Camera[]>(WIRE.command.listCameras, "listCameras");
  call.internal = internal;
  call.holdMs = DEFAULT_WAIT_MS;
  call.event = (ev) => {
    if (ev.e === WIRE.event.cameras) call.succeed(ev.lista.map(toCamera));
    return false;
  };
  return call;
}

/** `abrir`: the camera's model and its first settings report; `onOpened` sees them before the call settles. */
export function openCall(
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

/** `opciones`: the choices of the three settings. */
export function choicesCall(state: State, options: CallOptions): Call<SettingChoices> | Error {
  const waitMs = waitLimit("settingChoices", options);
  if (waitMs instanceof Error) return waitMs;
  const call = new Call<SettingChoices>(WIRE.command.settingChoices, "settingChoices");
  call.needs = "camera";
  call.holdMs = waitMs;
  call.prepare = () => (state.cameraOpen ? null : noCamera("settingChoices"));
  call.event = (ev) => {
    if (ev.e === WIRE.event.choices) call.succeed(toChoices(ev));
    else if (ev.e === WIRE.event.closed) call.fail(closedError("settingChoices", ev.motivo));
    return false;
  };
  return call;
}

/** `ajustar` of one of the three settings: the settings reported afterwards. */
export function setSettingCall(state: State, key: SettingKey, value: string, options: CallOptions): Call<Settings> | Error {
  if (typeof key !== "string" || !Object.hasOwn(SETTING_KEYS, key)) {
    return new TypeError(`setSetting: key must be one of ${Object.keys(SETTING_KEYS).join(", ")}, got ${String(key)}`);
  }
  if (typeof value !== "string" || value === "" || /[\n\r\0]/.test(value)) {
    return new TypeError("setSetting: value must be a non-empty string without CR, LF or NUL");
  }
  if (Buffer.byteLength(value) > MAX_VALUE_BYTES) {
    return new RangeError(`setSetting: value longer than ${MAX_VALUE_BYTES} bytes`);
  }
  const waitMs = waitLimit("setSetting", options);
  if (waitMs instanceof Error) return waitMs;
  // The bridge's idle settings report may cross the command on its way:
  // an `opciones` sent right behind it marks where the answer ends, and
  // the answer is the last report (or `ajustar` error) before it.
  const call = new Call<Settings>(
    `${WIRE.command.setSetting} ${SETTING_KEYS[key]} ${value}\n${WIRE.command.settingChoices}`,
    "setSetting",
  );
  call.needs = "camera";
  call.holdMs = waitMs;
  call.prepare = () => (state.cameraOpen ? null : noCamera("setSetting"));
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
  return call;
}

/** `cerrar`: why the camera closed; `wasAway` when it had gone before the close was asked for. */
export function closeCall(state: State, wasAway: boolean): Call<CloseReason> {
  const call = new Call<CloseReason>(WIRE.command.close, "close");
  call.needs = "none";
  let first: CloseReason | null = wasAway ? "disconnected" : null;
  call.prepare = () => (state.proc.lost ? { value: first ?? "requested" } : null);
  call.event = (ev) => {
    if (ev.e === WIRE.event.closed) {
      const reason = toCloseReason(ev.motivo);
      first ??= reason;
      if (reason === "requested") call.succeed(first);
    }
    return false;
  };
  return call;
}

/** `salir`, then the end of the bridge's input: the exit code. */
export function quitCall(state: State): Call<number | null> {
  const call = new Call<number | null>(WIRE.command.quit, "quit");
  call.needs = "none";
  call.started = () => state.proc.child.stdin?.end();
  call.exited = () => void exitCode(state).then((code) => call.succeed(code));
  return call;
}

/** The exit code of the process running now, once it is gone (null when a signal ended it). */
export function exitCode(state: State): Promise<number | null> {
  const p = state.proc;
  return p.whenGone.then(() => p.exitStatus?.code ?? null);
}
