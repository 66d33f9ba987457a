// The camera's whole configuration, focus, alert mode and busy shots,
// against the scripted stand-in for the bridge: how values are typed in and
// out, which lines answer which call, and when a busy shot is fired again.
import { test } from "node:test";
import assert from "node:assert/strict";
import { BridgeError } from "../dist/index.js";
import { AJUSTES, OPENED, foto, startFake, record } from "./support/fake.mjs";
import { waitUntil } from "./support/sim.mjs";

const LIMIT = { timeout: 30000 };
const write = (...lines) => [{ write: lines.map((l) => (typeof l === "string" ? l : JSON.stringify(l)) + "\n").join("") }];
const error = (texto) => ({ e: "error", texto });

/** A wire element and the control the client makes of it. */
const ELEMENTS = [
  [
    { ruta: "/main/settings/artist", etiqueta: "Artist", tipo: "texto", valor: "Ana", soloLectura: false, opciones: [], rango: [] },
    { path: "/main/settings/artist", name: "artist", label: "Artist", type: "text", value: "Ana", readOnly: false, choices: [], range: null },
  ],
  [
    { ruta: "/main/capturesettings/exposurecompensation", etiqueta: "EV", tipo: "rango", valor: "-0.5", soloLectura: false, opciones: [], rango: ["-2", "2", "0.5"] },
    { path: "/main/capturesettings/exposurecompensation", name: "exposurecompensation", label: "EV", type: "range", value: -0.5, readOnly: false, choices: [], range: { min: -2, max: 2, step: 0.5 } },
  ],
  [
    { ruta: "/main/actions/viewfinder", etiqueta: "Viewfinder", tipo: "interruptor", valor: "1", soloLectura: false, opciones: [], rango: [] },
    { path: "/main/actions/viewfinder", name: "viewfinder", label: "Viewfinder", type: "toggle", value: true, readOnly: false, choices: [], range: null },
  ],
  [
    { ruta: "/main/imgsettings/iso", etiqueta: "ISO Speed", tipo: "radio", valor: "100", soloLectura: false, opciones: ["100", "200"], rango: [] },
    { path: "/main/imgsettings/iso", name: "iso", label: "ISO Speed", type: "radio", value: "100", readOnly: false, choices: ["100", "200"], range: null },
  ],
  [
    { ruta: "/main/imgsettings/imageformat", etiqueta: "Format", tipo: "menu", valor: "RAW", soloLectura: false, opciones: ["JPEG", "RAW"], rango: [] },
    { path: "/main/imgsettings/imageformat", name: "imageformat", label: "Format", type: "menu", value: "RAW", readOnly: false, choices: ["JPEG", "RAW"], range: null },
  ],
  [
    { ruta: "/main/settings/datetime", etiqueta: "Clock", tipo: "fecha", valor: "1700000000", soloLectura: true, opciones: [], rango: [] },
    { path: "/main/settings/datetime", name: "datetime", label: "Clock", type: "date", value: new Date(1700000000000), readOnly: true, choices: [], range: null },
  ],
];
const control = (el) => ({ e: "control", ...el });

test("the whole configuration, one control at a time", LIMIT, async (t) => {
  await t.test("each type comes typed out of config() and get(); set() takes typed values and reads the control back", async (t) => {
    const setAnswers = ELEMENTS.map(([el]) => write(control(el)));
    const { bridge, commands } = await startFake(t, {
      on: {
        abrir: OPENED,
        configuracion: write({ e: "configuracion", lista: ELEMENTS.map(([el]) => el) }),
        // Each control once for get(), then the read-back of set("iso").
        leer: { each: [...ELEMENTS.map(([el]) => write(control(el))), write(control(ELEMENTS[3][0]))] },
        ajustar: { each: setAnswers },
      },
    });
    await assert.rejects(bridge.config(), { code: "ERR_BRIDGE_NO_CAMERA" });
    await bridge.open(0, ".");
    const unclaimed = record(bridge, ["bridgeError", "protocolError"]);
    assert.deepEqual(await bridge.config(), ELEMENTS.map(([, c]) => c));
    for (const [el, c] of ELEMENTS) assert.deepEqual(await bridge.get(el.ruta), c);
    const typed = ["Bea", 1.5, false, "200", "JPEG", new Date(1700000123999)];
    for (const [i, value] of typed.entries()) assert.deepEqual(await bridge.set(ELEMENTS[i][1].name, value), ELEMENTS[i][1]);
    assert.deepEqual(commands().filter((c) => c.startsWith("ajustar")), [
      "ajustar artist Bea",
      "ajustar exposurecompensation 1.5",
      "ajustar viewfinder 0",
      // An exposure key is answered with a settings report: read back with leer.
      "ajustar iso 200",
      "ajustar imageformat JPEG",
      "ajustar datetime 1700000123",
    ]);
    assert.ok(commands().includes("leer iso"));
    assert.deepEqual(unclaimed, []);
  });

  await t.test("refusals: the bridge's text for a refused set or an unknown name; bad arguments unsent", async (t) => {
    const { bridge, commands } = await startFake(t, {
      on: {
        abrir: OPENED,
        leer: { each: [write(error("leer: Bad parameters")), write(control(ELEMENTS[3][0]))] },
        ajustar: write(error("ajustar: Bad parameters")),
      },
    });
    await bridge.open(0, ".");
    await assert.rejects(bridge.get("nosuch"), { code: "READ_FAILED", text: "leer: Bad parameters" });
    await assert.rejects(bridge.set("artist", "x"), { code: "SETTING_REJECTED", text: "ajustar: Bad parameters" });
    // A refused exposure key fails, though its read-back answers.
    await assert.rejects(bridge.set("iso", "999"), { code: "SETTING_REJECTED" });
    const sent = commands().length;
    for (const [name, value] of [["a b", "1"], ["", "1"], ["x\ny", "1"], ["x", NaN], ["x", ""], ["x", "1\ndisparar"], ["x", {}], ["x", new Date(NaN)]]) {
      await assert.rejects(bridge.set(name, value), TypeError);
    }
    await assert.rejects(bridge.set("x", "y".repeat(5000)), RangeError);
    assert.equal(commands().length, sent);
  });

  await t.test("serial number, focus and alert mode", async (t) => {
    const serial = (valor) => write(control({ ...ELEMENTS[0][0], ruta: "/main/status/serialnumber", valor }));
    const focusWidget = write(control({ ...ELEMENTS[2][0], ruta: "/main/actions/autofocusdrive", valor: "0" }));
    const { bridge, commands } = await startFake(t, {
      on: {
        abrir: OPENED,
        leer: { each: [serial("SIM0001"), serial(""), write(error("leer: Bad parameters")), focusWidget, focusWidget, write(error("leer: Bad parameters"))] },
        ajustar: { each: [focusWidget, write(error("ajustar: Out of Focus")), write(error("ajustar: Bad parameters"))] },
      },
    });
    await bridge.open(0, ".");
    const unclaimed = record(bridge, ["bridgeError"]);
    assert.equal(await bridge.serialNumber(), "SIM0001");
    assert.equal(await bridge.serialNumber(), null);
    assert.equal(await bridge.serialNumber(), null);
    await bridge.focus();
    const refused = await bridge.focus().catch((e) => e);
    assert.ok(refused instanceof BridgeError);
    assert.deepEqual([refused.code, refused.text], ["FOCUS_FAILED", "ajustar: Out of Focus"]);
    await assert.rejects(bridge.focus(), { code: "NOT_SUPPORTED" });
    await bridge.setAlert(true);
    await bridge.setAlert(false);
    // No answer to wait for: the stand-in logs the line when it reads it.
    await waitUntil(() => commands().at(-1) === "alerta 0");
    assert.deepEqual(commands().slice(-3), ["ajustar autofocusdrive 1", "alerta 1", "alerta 0"]);
    assert.deepEqual(unclaimed, []);
  });
});

test("a shot the camera refuses as busy", LIMIT, async (t) => {
  const BUSY = write(error("disparar: I/O in progress"));
  const PHOTO = [{ write: foto("A.JPG") + AJUSTES + "\n" }];
  const cases = [
    // [what, options, disparar answers, shots fired, outcome]
    ["fired again until it goes through", {}, [BUSY, BUSY, PHOTO], 3, "A.JPG"],
    ["no more than busyRetries times", { busyRetries: 1 }, [BUSY, BUSY, PHOTO], 2, "CAMERA_BUSY"],
    ["never with busyRetries 0", { busyRetries: 0 }, [BUSY, PHOTO], 1, "CAMERA_BUSY"],
    ["never once a file of the shot has come", { siblingWaitMs: 300 }, [[...PHOTO, ...BUSY], PHOTO], 1, "A.JPG"],
  ];
  for (const [what, options, answers, fired, outcome] of cases) {
    await t.test(what, async (t) => {
      const { bridge, commands } = await startFake(t, { on: { abrir: OPENED, disparar: { each: answers } } });
      await bridge.open(0, ".");
      const got = await bridge.capture({ siblingWaitMs: 0, ...options }).then((p) => p.name, (e) => e.code);
      assert.equal(got, outcome);
      assert.equal(commands().filter((c) => c === "disparar").length, fired);
    });
  }
  await t.test("busyRetries must be a count", async (t) => {
    const { bridge } = await startFake(t, { on: { abrir: OPENED } });
    await bridge.open(0, ".");
    for (const n of [-1, 1.5, NaN]) await assert.rejects(bridge.capture({ busyRetries: n }), RangeError);
  });
});
