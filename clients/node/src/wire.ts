// The bridge's wire language. Commands, event kinds, keys and error labels
// are Spanish words fixed by the protocol (docs/protocol.md); the client's
// API is English. WIRE below is the only place where the two meet: every
// other module names wire words through it.

/** English name -> Spanish wire word, for everything the client reads or writes. */
export const WIRE = {
  command: {
    listCameras: "buscar",
    open: "abrir",
    capture: "disparar",
    liveViewOn: "vista 1",
    liveViewOff: "vista 0",
    close: "cerrar",
    quit: "salir",
    settingChoices: "opciones",
    setSetting: "ajustar",
    config: "configuracion",
    get: "leer",
    alertOn: "alerta 1",
    alertOff: "alerta 0",
  },
  event: {
    cameras: "camaras",
    opened: "abierta",
    closed: "cerrada",
    photo: "foto",
    frame: "vista",
    liveViewEnd: "vistaFin",
    settings: "ajustes",
    choices: "opciones",
    config: "configuracion",
    control: "control",
    error: "error",
  },
  key: {
    kind: "e",
    list: "lista",
    model: "modelo",
    port: "puerto",
    reason: "motivo",
    path: "ruta",
    name: "nombre",
    frameNumber: "n",
    iso: "iso",
    aperture: "diafragma",
    shutterSpeed: "velocidad",
    battery: "bateria",
    text: "texto",
    label: "etiqueta",
    type: "tipo",
    value: "valor",
    readOnly: "soloLectura",
    choices: "opciones",
    range: "rango",
  },
  /** A control's type: English name -> the wire's `tipo`. */
  controlType: {
    text: "texto",
    range: "rango",
    toggle: "interruptor",
    radio: "radio",
    menu: "menu",
    date: "fecha",
  },
  /** Widgets the client names itself. */
  widget: {
    serialNumber: "serialnumber",
    focus: "autofocusdrive",
  },
  closeReason: {
    requested: "orden",
    replaced: "otra",
    disconnected: "desconectada",
  },
  /** Error texts are "<label>: <camera library text>", or the one fixed text. */
  errorLabel: {
    open: "abrir",
    capture: "disparar",
    liveView: "vista en directo",
    camera: "cámara",
    download: "bajar la foto",
    setSetting: "ajustar",
    config: "configuracion",
    get: "leer",
  },
  folderError: "No se puede guardar en la carpeta",
  /** The camera library's text for a busy camera (GP_ERROR_CAMERA_BUSY), after an error's label. */
  busyText: "I/O in progress",
} as const;

// ---------------------------------------------------------------------------
// Wire shapes: one type per event line, exactly as schema/events.schema.json
// describes it.

/** A close reason as the bridge writes it. */
export type WireCloseReason = (typeof WIRE.closeReason)[keyof typeof WIRE.closeReason];

export interface CamaraEntry {
  modelo: string;
  puerto: string;
}
export interface CamarasEvent {
  e: "camaras";
  lista: CamaraEntry[];
}
export interface AbiertaEvent {
  e: "abierta";
  modelo: string;
}
export interface CerradaEvent {
  e: "cerrada";
  motivo: WireCloseReason;
}
export interface ErrorEvent {
  e: "error";
  texto: string;
}
export interface FotoEvent {
  e: "foto";
  ruta: string;
  nombre: string;
}
export interface VistaEvent {
  e: "vista";
  ruta: string;
  n: number;
}
export interface VistaFinEvent {
  e: "vistaFin";
}
export interface AjustesEvent {
  e: "ajustes";
  iso: string;
  diafragma: string;
  velocidad: string;
  bateria: string;
}
export interface OpcionesEvent {
  e: "opciones";
  iso: string[];
  diafragma: string[];
  velocidad: string[];
}
/** A control's type as the bridge writes it. */
export type WireControlType = (typeof WIRE.controlType)[keyof typeof WIRE.controlType];
/** One leaf widget of the camera's configuration, as the bridge writes it. */
export interface ElementoEntry {
  ruta: string;
  etiqueta: string;
  tipo: WireControlType;
  valor: string;
  soloLectura: boolean;
  opciones: string[];
  rango: string[];
}
export interface ConfiguracionEvent {
  e: "configuracion";
  lista: ElementoEntry[];
}
export interface ControlEvent extends ElementoEntry {
  e: "control";
}
export type WireEvent =
  | CamarasEvent
  | AbiertaEvent
  | CerradaEvent
  | ErrorEvent
  | FotoEvent
  | VistaEvent
  | VistaFinEvent
  | AjustesEvent
  | OpcionesEvent
  | ConfiguracionEvent
  | ControlEvent;

// ---------------------------------------------------------------------------
// English API shapes.

/** Why the camera closed: on request (close, quit), replaced by another open, or gone. */
export type CloseReason = keyof typeof WIRE.closeReason;

export interface Camera {
  model: string;
  port: string;
}
export interface Settings {
  iso: string;
  aperture: string;
  shutterSpeed: string;
  battery: string;
}
/** The settings a host can change with setSetting(). */
export type SettingKey = "iso" | "aperture" | "shutterSpeed";
/** The choices the camera offers for each setting, in its own order ([] when it offers none). */
export interface SettingChoices {
  iso: string[];
  aperture: string[];
  shutterSpeed: string[];
}
/** A control's type: what kind of value it holds. */
export type ControlType = keyof typeof WIRE.controlType;
/**
 * A control's value, typed by its type: a boolean for a toggle, a number
 * for a range, a Date for a date, a string otherwise.
 */
export type ControlValue = string | number | boolean | Date;
/** One setting of the camera's configuration (a leaf widget). */
export interface Control {
  /** The names from the top window down, each after a "/" (`/main/capturesettings/f-number`). */
  path: string;
  /** The widget's own name, the last part of `path`: what get() and set() take. */
  name: string;
  label: string;
  type: ControlType;
  value: ControlValue;
  readOnly: boolean;
  /** A radio or menu control's choices, in the camera's order; [] for the others. */
  choices: string[];
  /** A range control's bounds and step; null for the others. */
  range: { min: number; max: number; step: number } | null;
}
/** One file in the download folder. */
export interface PhotoFile {
  path: string;
  name: string;
}
/** What a capture produced: the photo, and every file of the shot (the photo itself first). */
export interface Photo extends PhotoFile {
  files: PhotoFile[];
}

const K = WIRE.key;

export function toCamera(c: CamaraEntry): Camera {
  return { model: c[K.model], port: c[K.port] };
}
export function toSettings(a: AjustesEvent): Settings {
  return { iso: a[K.iso], aperture: a[K.aperture], shutterSpeed: a[K.shutterSpeed], battery: a[K.battery] };
}
export function toChoices(o: OpcionesEvent): SettingChoices {
  return { iso: [...o[K.iso]], aperture: [...o[K.aperture]], shutterSpeed: [...o[K.shutterSpeed]] };
}
export function toPhotoFile(f: FotoEvent): PhotoFile {
  return { path: f[K.path], name: f[K.name] };
}
const TYPE_NAMES = new Map<string, ControlType>(
  (Object.entries(WIRE.controlType) as [ControlType, string][]).map(([en, wire]) => [wire, en]),
);

/** A control's value as a string, as the bridge writes it, typed by the control's type. */
export function toControlValue(type: ControlType, valor: string): ControlValue {
  switch (type) {
    case "toggle":
      return Number(valor) !== 0;
    case "range":
      return Number(valor);
    case "date":
      return new Date(Number(valor) * 1000);
    default:
      return valor;
  }
}
export function toControl(el: ElementoEntry): Control {
  const type = TYPE_NAMES.get(el[K.type])!;
  const path = el[K.path];
  const r = el[K.range];
  return {
    path,
    name: path.slice(path.lastIndexOf("/") + 1),
    label: el[K.label],
    type,
    value: toControlValue(type, el[K.value]),
    readOnly: el[K.readOnly],
    choices: [...el[K.choices]],
    range: r.length === 3 ? { min: Number(r[0]), max: Number(r[1]), step: Number(r[2]) } : null,
  };
}
/** A typed value as the bridge takes it in `ajustar`: a toggle as 0 or 1, a date in seconds since 1970. */
export function fromControlValue(value: ControlValue): string {
  if (typeof value === "boolean") return value ? "1" : "0";
  if (value instanceof Date) return String(Math.floor(value.getTime() / 1000));
  return String(value);
}
/** The English close reason for a wire one. */
export function toCloseReason(r: WireCloseReason): CloseReason {
  return REASON_NAMES.get(r)!;
}
const REASON_NAMES = new Map<WireCloseReason, CloseReason>(
  (Object.entries(WIRE.closeReason) as [CloseReason, WireCloseReason][]).map(([en, wire]) => [wire, en]),
);

/** The label of an error text ("disparar" for "disparar: I/O problem"), or "" for the fixed text. */
export function errorLabelOf(text: string): string {
  const i = text.indexOf(": ");
  return i < 0 ? "" : text.slice(0, i);
}

// ---------------------------------------------------------------------------
// Checking a line. A line is an event when it is one JSON object of one of
// the kinds above with exactly its keys and value types. The bridge writes
// objects with nothing around them, so a line that does not start with "{"
// and end with "}" (a stray CR included) is refused before parsing.

type Check = (v: unknown) => boolean;

const INT32_MAX = 2147483647;
const isString: Check = (v) => typeof v === "string";
const maxLen = (n: number): Check => (v) => typeof v === "string" && v.length <= n;
const ERROR_TEXT = new RegExp(`^(${Object.values(WIRE.errorLabel).join("|")}): `);
const isChoiceList: Check = (v) => Array.isArray(v) && v.every(isString);
const REASONS: ReadonlySet<unknown> = new Set(Object.values(WIRE.closeReason));
const isEntry: Check = (v) => hasExactly(v, ENTRY);
const ENTRY: Record<string, Check> = { [K.model]: isString, [K.port]: isString };

const CONTROL_TYPES: ReadonlySet<unknown> = new Set(Object.values(WIRE.controlType));
const ELEMENT: Record<string, Check> = {
  [K.path]: (v) => typeof v === "string" && v.length >= 2 && v[0] === "/",
  [K.label]: isString,
  [K.type]: (v) => CONTROL_TYPES.has(v),
  [K.value]: isString,
  [K.readOnly]: (v) => typeof v === "boolean",
  [K.choices]: isChoiceList,
  [K.range]: (v) => isChoiceList(v) && ((v as string[]).length === 0 || (v as string[]).length === 3),
};
const isElement: Check = (v) => hasExactly(v, ELEMENT);

const SHAPES: Record<string, Record<string, Check>> = {
  [WIRE.event.cameras]: { [K.list]: (v) => Array.isArray(v) && v.every(isEntry) },
  [WIRE.event.opened]: { [K.model]: maxLen(255) },
  [WIRE.event.closed]: { [K.reason]: (v) => REASONS.has(v) },
  [WIRE.event.error]: {
    [K.text]: (v) => typeof v === "string" && v.length <= 511 && (ERROR_TEXT.test(v) || v === WIRE.folderError),
  },
  [WIRE.event.photo]: {
    [K.path]: (v) => typeof v === "string" && v.length >= 2 && /\/[^/]+$/.test(v),
    [K.name]: (v) => typeof v === "string" && v.length >= 1 && !v.includes("/"),
  },
  [WIRE.event.frame]: {
    [K.path]: (v) => typeof v === "string" && v.endsWith("/vista.jpg"),
    [K.frameNumber]: (v) => Number.isInteger(v) && (v as number) >= 1 && (v as number) <= INT32_MAX,
  },
  [WIRE.event.liveViewEnd]: {},
  [WIRE.event.settings]: {
    [K.iso]: maxLen(63),
    [K.aperture]: maxLen(63),
    [K.shutterSpeed]: maxLen(63),
    [K.battery]: maxLen(63),
  },
  [WIRE.event.choices]: {
    [K.iso]: isChoiceList,
    [K.aperture]: isChoiceList,
    [K.shutterSpeed]: isChoiceList,
  },
  [WIRE.event.config]: { [K.list]: (v) => Array.isArray(v) && v.every(isElement) },
  [WIRE.event.control]: ELEMENT,
};

const SIZES = new Map<object, number>([[ENTRY, 2], [ELEMENT, 7], ...Object.values(SHAPES).map((s) => [s, Object.keys(s).length] as const)]);

function hasExactly(v: unknown, shape: Record<string, Check>, skip?: string): boolean {
  if (typeof v !== "object" || v === null || Array.isArray(v)) return false;
  const o = v as Record<string, unknown>;
  let seen = 0;
  for (const key in o) {
    if (key === skip) continue;
    if (!Object.hasOwn(shape, key) || !shape[key](o[key])) return false;
    seen++;
  }
  return seen === SIZES.get(shape);
}

/** The event a line holds, or null when the line is not a valid event. */
export function parseEvent(line: string): WireEvent | null {
  if (line.charCodeAt(0) !== 0x7b || line.charCodeAt(line.length - 1) !== 0x7d) return null;
  let v: unknown;
  try {
    v = JSON.parse(line);
  } catch {
    return null;
  }
  const kind = (v as Record<string, unknown>)[K.kind];
  if (typeof kind !== "string" || !Object.hasOwn(SHAPES, kind)) return null;
  return hasExactly(v, SHAPES[kind], K.kind) ? (v as WireEvent) : null;
}
