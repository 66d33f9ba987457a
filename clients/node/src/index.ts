export { Bridge } from "./bridge.js";
export type {
  StartOptions,
  CaptureOptions,
  OpenOptions,
  CallOptions,
  Opened,
  BridgeStats,
  BridgeEvents,
  DisconnectCause,
  UnrestoredSetting,
} from "./types.js";
export { Rig } from "./rig.js";
export type { RigOptions, RigCamera, RigCaptureOptions, RigEvents, SetResult, ShotSet } from "./rigtypes.js";
export { BridgeError } from "./errors.js";
export type { BridgeErrorCode, ReportedErrorCode } from "./errors.js";
export { Frame, LiveView } from "./liveview.js";
export { LineSplitter, OverlongLine, MAX_LINE_BYTES } from "./lines.js";
export { WIRE, parseEvent } from "./wire.js";
export type {
  Camera,
  Settings,
  SettingKey,
  SettingChoices,
  Photo,
  PhotoFile,
  CloseReason,
  WireCloseReason,
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
  OpcionesEvent,
  Control,
  ControlType,
  ControlValue,
  WireControlType,
  ElementoEntry,
  ConfiguracionEvent,
  ControlEvent,
} from "./wire.js";
