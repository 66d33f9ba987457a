export { Bridge } from "./bridge.js";
export type { StartOptions, CaptureOptions, Opened, BridgeStats, BridgeEvents } from "./bridge.js";
export { BridgeError } from "./errors.js";
export type { BridgeErrorCode } from "./errors.js";
export { Frame, LiveView } from "./liveview.js";
export { LineSplitter } from "./lines.js";
export { WIRE, parseEvent } from "./wire.js";
export type {
  Camera,
  Settings,
  Photo,
  CloseReason,
  WireEvent,
  CamaraEntry,
  CamarasEvent,
  AbiertaEvent,
  CerradaEvent,
  ErrorEvent,
  FotoEvent,
  VistaEvent,
  VistaFinEvent,
  AjustesEvent,
} from "./wire.js";
