import { WIRE, errorLabelOf, type CloseReason } from "./wire.js";

/**
 * The code of an error the bridge reported, by the label of its text (the
 * text itself is in `BridgeError.text`).
 */
export type ReportedErrorCode =
  | "FOLDER_NOT_WRITABLE"
  | "OPEN_FAILED"
  | "CAPTURE_FAILED"
  | "CAMERA_BUSY"
  | "DOWNLOAD_FAILED"
  | "LIVE_VIEW_FAILED"
  | "SETTING_REJECTED"
  | "CAMERA_ERROR"
  | "CONFIG_FAILED"
  | "READ_FAILED"
  | "BRIDGE_ERROR";

/**
 * Why a call failed.
 * - A `ReportedErrorCode`: the bridge answered with an `error` event; `text` holds its text.
 * - `CAMERA_UNAVAILABLE`: with `reconnect` on, the camera was away and did not come back
 *   within the call's time limit (or reconnecting was stopped by close(), open() or quit()).
 * - `ERR_BRIDGE_TIMEOUT`: no answer within the call's time limit (capture).
 * - `ERR_BRIDGE_CLOSED`: the camera closed while the call waited; `reason` says why.
 * - `ERR_BRIDGE_NO_CAMERA`: the call needs an open camera and none is open.
 * - `ERR_BRIDGE_EXITED`: the bridge process ended (or stopped answering) before the call finished.
 * - `FOCUS_FAILED`: the camera refused to focus (`text` holds the bridge's text).
 * - `NOT_SUPPORTED`: the camera has no way to do what was asked (no autofocus control).
 */
export type BridgeErrorCode =
  | ReportedErrorCode
  | "CAMERA_UNAVAILABLE"
  | "ERR_BRIDGE_TIMEOUT"
  | "ERR_BRIDGE_CLOSED"
  | "ERR_BRIDGE_NO_CAMERA"
  | "ERR_BRIDGE_EXITED"
  | "FOCUS_FAILED"
  | "NOT_SUPPORTED";

/** The error code of each label of the bridge's error texts. */
const LABEL_CODES: Record<keyof typeof WIRE.errorLabel, ReportedErrorCode> = {
  open: "OPEN_FAILED",
  capture: "CAPTURE_FAILED",
  download: "DOWNLOAD_FAILED",
  liveView: "LIVE_VIEW_FAILED",
  setSetting: "SETTING_REJECTED",
  camera: "CAMERA_ERROR",
  config: "CONFIG_FAILED",
  get: "READ_FAILED",
};
const CODES = new Map<string, ReportedErrorCode>(
  (Object.entries(WIRE.errorLabel) as [keyof typeof WIRE.errorLabel, string][]).map(([en, label]) => [
    label,
    LABEL_CODES[en],
  ]),
);

/** The code of an error text the bridge wrote. */
export function reportedCode(text: string): ReportedErrorCode {
  if (text === WIRE.folderError) return "FOLDER_NOT_WRITABLE";
  const label = errorLabelOf(text);
  if (label === WIRE.errorLabel.capture && text === `${label}: ${WIRE.busyText}`) return "CAMERA_BUSY";
  return CODES.get(label) ?? "BRIDGE_ERROR";
}

export class BridgeError extends Error {
  override name = "BridgeError";
  /** The bridge's own error text (e.g. `abrir: Unknown model`), or null when the bridge sent none. */
  readonly text: string | null;
  readonly code: BridgeErrorCode;
  /** For ERR_BRIDGE_CLOSED: why the camera closed. */
  readonly reason: CloseReason | null;

  constructor(code: BridgeErrorCode, message: string, text: string | null = null, reason: CloseReason | null = null) {
    super(message);
    this.code = code;
    this.text = text;
    this.reason = reason;
  }
}

/** A BridgeError for an error text the bridge wrote, in answer to call `what` (or to none). */
export function reported(what: string | null, text: string): BridgeError {
  return new BridgeError(reportedCode(text), what === null ? text : `${what}: ${text}`, text);
}
