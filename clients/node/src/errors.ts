import type { CloseReason } from "./wire.js";

/**
 * Why a call failed.
 * - `ERR_BRIDGE_REPORTED`: the bridge answered with an `error` event; `text` holds its text.
 * - `ERR_BRIDGE_TIMEOUT`: no answer within the call's time limit (capture).
 * - `ERR_BRIDGE_CLOSED`: the camera closed while the call waited; `reason` says why.
 * - `ERR_BRIDGE_NO_CAMERA`: the call needs an open camera and none is open.
 * - `ERR_BRIDGE_EXITED`: the bridge process ended before the call finished.
 */
export type BridgeErrorCode =
  | "ERR_BRIDGE_REPORTED"
  | "ERR_BRIDGE_TIMEOUT"
  | "ERR_BRIDGE_CLOSED"
  | "ERR_BRIDGE_NO_CAMERA"
  | "ERR_BRIDGE_EXITED";

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
