// The camera's whole configuration, one control at a time: the calls of
// config(), get(), set(), serialNumber(), focus() and setAlert().
import { BridgeError, reported } from "./errors.js";
import { Call, closedError, noCamera } from "./calls.js";
import { waitLimit } from "./commands.js";
import type { State } from "./state.js";
import type { CallOptions } from "./types.js";
import { WIRE, errorLabelOf, fromControlValue, toControl, type Control, type ControlValue, type WireEvent } from "./wire.js";

const MAX_VALUE_BYTES = 4095;
/** The keys `ajustar` answers with a settings report rather than the control read back. */
const EXPOSURE_KEYS: ReadonlySet<string> = new Set([WIRE.key.iso, WIRE.key.aperture, WIRE.key.shutterSpeed]);

/** Why `name` cannot name a control on a command line, or null. */
function badName(what: string, name: unknown): Error | null {
  if (typeof name !== "string" || name === "" || /[\s\0]/.test(name)) {
    return new TypeError(`${what}: name must be a non-empty widget name or path without white space, got ${String(name)}`);
  }
  return null;
}

/** The value `set()` writes for `value`, or why it cannot. */
export function wireValue(value: unknown): string | Error {
  const ok =
    typeof value === "string" ||
    typeof value === "boolean" ||
    (typeof value === "number" && Number.isFinite(value)) ||
    (value instanceof Date && !Number.isNaN(value.getTime()));
  if (!ok) return new TypeError(`set: value must be a string, a finite number, a boolean or a valid Date, got ${String(value)}`);
  const text = fromControlValue(value as ControlValue);
  if (text === "" || /[\n\r\0]/.test(text)) return new TypeError("set: value must be non-empty, without CR, LF or NUL");
  if (Buffer.byteLength(text) > MAX_VALUE_BYTES) return new RangeError(`set: value longer than ${MAX_VALUE_BYTES} bytes`);
  return text;
}

/** A call that needs the open camera, and fails when it closes. */
function cameraCall<T>(state: State, line: string, what: string, waitMs: number): Call<T> {
  const call = new Call<T>(line, what);
  call.needs = "camera";
  call.holdMs = waitMs;
  call.prepare = () => (state.cameraOpen ? null : noCamera(what));
  return call;
}

/** Whether `ev` is an error of `label`; fails `call` with it when it is. */
function failOn<T>(call: Call<T>, ev: WireEvent, label: string, what: string): boolean {
  if (ev.e !== WIRE.event.error || errorLabelOf(ev.texto) !== label) return false;
  call.fail(reported(what, ev.texto));
  return true;
}

/** `configuracion`: every control. */
export function configCall(state: State, options: CallOptions): Call<Control[]> | Error {
  const waitMs = waitLimit("config", options);
  if (waitMs instanceof Error) return waitMs;
  const call = cameraCall<Control[]>(state, WIRE.command.config, "config", waitMs);
  call.event = (ev) => {
    if (ev.e === WIRE.event.config) call.succeed(ev.lista.map(toControl));
    else if (ev.e === WIRE.event.closed) call.fail(closedError("config", ev.motivo));
    return failOn(call, ev, WIRE.errorLabel.config, "config");
  };
  return call;
}

/** `leer NAME`: one control. */
export function getCall(state: State, name: string, options: CallOptions, what = "get"): Call<Control> | Error {
  const bad = badName(what, name);
  if (bad !== null) return bad;
  const waitMs = waitLimit(what, options);
  if (waitMs instanceof Error) return waitMs;
  const call = cameraCall<Control>(state, `${WIRE.command.get} ${name}`, what, waitMs);
  call.event = (ev) => {
    if (ev.e === WIRE.event.control) call.succeed(toControl(ev));
    else if (ev.e === WIRE.event.closed) call.fail(closedError(what, ev.motivo));
    return failOn(call, ev, WIRE.errorLabel.get, what);
  };
  return call;
}

/**
 * `ajustar NAME VALUE`: the control read back. The bridge answers a set of
 * one of the three exposure keys with a settings report instead, so a
 * `leer` behind it reads the control back; the set's own refusal, if any,
 * comes first and is the answer.
 */
export function setCall(state: State, name: string, value: unknown, options: CallOptions): Call<Control> | Error {
  const bad = badName("set", name);
  if (bad !== null) return bad;
  const text = wireValue(value);
  if (text instanceof Error) return text;
  const waitMs = waitLimit("set", options);
  if (waitMs instanceof Error) return waitMs;
  const readBack = EXPOSURE_KEYS.has(name);
  const line = `${WIRE.command.setSetting} ${name} ${text}` + (readBack ? `\n${WIRE.command.get} ${name}` : "");
  const call = cameraCall<Control>(state, line, "set", waitMs);
  let refused: BridgeError | null = null;
  call.event = (ev) => {
    switch (ev.e) {
      case WIRE.event.control:
        if (refused !== null) call.fail(refused);
        else call.succeed(toControl(ev));
        return false;
      case WIRE.event.closed:
        call.fail(closedError("set", ev.motivo));
        return false;
      case WIRE.event.error: {
        const label = errorLabelOf(ev.texto);
        if (label === WIRE.errorLabel.setSetting) {
          refused = reported("set", ev.texto);
          if (!readBack) call.fail(refused);
          return true;
        }
        if (label !== WIRE.errorLabel.get || !readBack) return false;
        // Set, but not readable by that name: say so, rather than that the set failed.
        call.fail(refused ?? new BridgeError("READ_FAILED", `set: ${name} was set, but reading it back failed: ${ev.texto}`, ev.texto));
        return true;
      }
      default:
        return false;
    }
  };
  return call;
}

/** `leer serialnumber`: the serial number, or null where the camera has none. */
export function serialCall(state: State, options: CallOptions): Call<string | null> | Error {
  const waitMs = waitLimit("serialNumber", options);
  if (waitMs instanceof Error) return waitMs;
  const call = cameraCall<string | null>(state, `${WIRE.command.get} ${WIRE.widget.serialNumber}`, "serialNumber", waitMs);
  call.event = (ev) => {
    if (ev.e === WIRE.event.control) {
      call.succeed(ev.valor === "" ? null : ev.valor);
    } else if (ev.e === WIRE.event.closed) {
      call.fail(closedError("serialNumber", ev.motivo));
    } else if (ev.e === WIRE.event.error && errorLabelOf(ev.texto) === WIRE.errorLabel.get) {
      call.succeed(null);
      return true;
    }
    return false;
  };
  return call;
}

/**
 * Autofocus now: `leer` of the focus widget tells whether the camera has
 * one, `ajustar` of it to 1 focuses. No widget: NOT_SUPPORTED; a refusal:
 * FOCUS_FAILED.
 */
export function focusCall(state: State, options: CallOptions): Call<void> | Error {
  const waitMs = waitLimit("focus", options);
  if (waitMs instanceof Error) return waitMs;
  const w = WIRE.widget.focus;
  const call = cameraCall<void>(state, `${WIRE.command.get} ${w}\n${WIRE.command.setSetting} ${w} 1`, "focus", waitMs);
  let missing = false;
  let answers = 0;
  call.event = (ev) => {
    if (ev.e === WIRE.event.closed) {
      call.fail(closedError("focus", ev.motivo));
      return false;
    }
    const label = ev.e === WIRE.event.error ? errorLabelOf(ev.texto) : null;
    const mine = ev.e === WIRE.event.control || label === WIRE.errorLabel.get || label === WIRE.errorLabel.setSetting;
    if (!mine) return false;
    answers++;
    if (answers === 1) {
      missing = ev.e !== WIRE.event.control;
    } else if (missing) {
      call.fail(new BridgeError("NOT_SUPPORTED", `focus: the camera has no ${w} control to focus with`));
    } else if (ev.e === WIRE.event.error) {
      call.fail(new BridgeError("FOCUS_FAILED", `focus: the camera did not focus: ${ev.texto}`, ev.texto));
    } else {
      call.succeed();
    }
    return ev.e === WIRE.event.error;
  };
  return call;
}

/** `alerta 1|0`: no answer; settles once written. */
export function alertCall(on: boolean): Call<void> {
  const call = new Call<void>(on ? WIRE.command.alertOn : WIRE.command.alertOff, "setAlert");
  call.needs = "none";
  call.started = () => call.succeed();
  call.exited = () => call.succeed();
  return call;
}
