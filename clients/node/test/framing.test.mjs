// Line framing and event checking, without a process.
import { test } from "node:test";
import assert from "node:assert/strict";
import { LineSplitter, parseEvent } from "../dist/index.js";
import { schemaErrors } from "./support/sim.mjs";

const LINES = [
  '{"e":"camaras","lista":[{"modelo":"Mass Storage Camera","puerto":"disk:/media/card"}]}',
  '{"e":"error","texto":"cámara: Unsupported operation"}',
  "",
  '{"e":"vista","ruta":"/tmp/live/vista.jpg","n":17}',
];
const STREAM = Buffer.from(LINES.map((l) => l + "\n").join(""));

function splitAt(buf, cuts) {
  const s = new LineSplitter();
  const out = [];
  let prev = 0;
  for (const c of [...cuts, buf.length]) {
    out.push(...s.push(buf.subarray(prev, c)));
    prev = c;
  }
  return { out, rest: s.end() };
}

test("line framing", async (t) => {
  await t.test("the same lines whatever the chunk boundaries, inside UTF-8 sequences included", () => {
    for (let i = 0; i <= STREAM.length; i++) {
      for (let j = i; j <= STREAM.length; j += 7) {
        const { out, rest } = splitAt(STREAM, [i, j]);
        assert.deepEqual(out, LINES, `cuts at ${i}, ${j}`);
        assert.equal(rest, null);
      }
    }
  });

  await t.test("one byte per chunk, and all lines in one chunk", () => {
    const bytes = [...Array(STREAM.length).keys()].slice(1);
    assert.deepEqual(splitAt(STREAM, bytes).out, LINES);
    assert.deepEqual(new LineSplitter().push(STREAM), LINES);
  });

  await t.test("a chunk the stream reuses afterwards does not change a waiting partial line", () => {
    const s = new LineSplitter();
    const chunk = Buffer.from('{"e":"vis');
    assert.deepEqual(s.push(chunk), []);
    chunk.fill(0x41);
    assert.deepEqual(s.push(Buffer.from('taFin"}\n')), ['{"e":"vistaFin"}']);
  });

  await t.test("a partial trailing line is handed over at the end, once", () => {
    const s = new LineSplitter();
    assert.deepEqual(s.push(Buffer.from('{"e":"vistaFin"}\n{"e":"fo')), ['{"e":"vistaFin"}']);
    assert.equal(s.pendingBytes, 8);
    assert.equal(s.end(), '{"e":"fo');
    assert.equal(s.end(), null);
  });

  await t.test("only LF ends a line: a CR stays in it, and such a line is not an event", () => {
    const s = new LineSplitter();
    assert.deepEqual(s.push(Buffer.from('{"e":"vistaFin"}\r\n{"e":"vistaFin"}\rx\n')), [
      '{"e":"vistaFin"}\r',
      '{"e":"vistaFin"}\rx',
    ]);
    assert.equal(parseEvent('{"e":"vistaFin"}\r'), null);
  });
});

// Lines the bridge writes, and lines that are not events. The client's check
// must agree with the repository's schema on every one of them.
const VALID = [
  '{"e":"camaras","lista":[]}',
  '{"e":"camaras","lista":[{"modelo":"A","puerto":"usb:001,005"},{"modelo":"B","puerto":"disk:/m"}]}',
  '{"e":"abierta","modelo":"Canon EOS 80D"}',
  '{"e":"cerrada","motivo":"orden"}',
  '{"e":"cerrada","motivo":"otra"}',
  '{"e":"cerrada","motivo":"desconectada"}',
  '{"e":"foto","ruta":"photos/IMG_0001.JPG","nombre":"IMG_0001.JPG"}',
  '{"e":"vista","ruta":"/tmp/vista.jpg","n":2147483647}',
  '{"e":"vistaFin"}',
  '{"e":"ajustes","iso":"","diafragma":"","velocidad":"","bateria":""}',
  '{"e":"error","texto":"disparar: Unsupported operation"}',
  '{"e":"error","texto":"cámara: I/O problem"}',
  '{"e":"error","texto":"No se puede guardar en la carpeta"}',
];
const INVALID = [
  "",
  "not json",
  "{not json}",
  "{}",
  '{"e":"nada"}',
  '{"e":"vistaFin","extra":1}',
  '{"e":"foto","ruta":"/x/IMG.JPG"}',
  '{"e":"foto","ruta":"/x/","nombre":"IMG.JPG"}',
  '{"e":"foto","ruta":"/x/a","nombre":"a/b"}',
  '{"e":"vista","ruta":"/tmp/vista.jpg","n":"1"}',
  '{"e":"vista","ruta":"/tmp/vista.jpg","n":0}',
  '{"e":"vista","ruta":"/tmp/vista.jpg","n":1.5}',
  '{"e":"vista","ruta":"/tmp/vista.jpg","n":2147483648}',
  '{"e":"vista","ruta":"/tmp/other.jpg","n":1}',
  '{"e":"cerrada","motivo":"luego"}',
  '{"e":"error","texto":"something broke"}',
  '{"e":"error","texto":"disparar:no space"}',
  '{"e":"camaras","lista":[{"modelo":"A"}]}',
  '{"e":"camaras","lista":{}}',
  '{"e":"ajustes","iso":"100","diafragma":"f/5.6","velocidad":"1/125"}',
  '{"e":"ajustes","iso":100,"diafragma":"f/5.6","velocidad":"1/125","bateria":"1"}',
  `{"e":"abierta","modelo":"${"m".repeat(256)}"}`,
  '{"e":"vistaFin","__proto__":{"x":1}}',
];

test("event checking", async (t) => {
  await t.test("every event kind the bridge writes is accepted as it is", () => {
    for (const line of VALID) {
      assert.deepEqual(parseEvent(line), JSON.parse(line), line);
      assert.equal(schemaErrors(line), null, line);
    }
  });

  await t.test("malformed lines are refused, as the schema refuses them", () => {
    for (const line of INVALID) {
      assert.equal(parseEvent(line), null, line);
      assert.notEqual(schemaErrors(line), null, line);
    }
  });

  await t.test("text around the object is refused", () => {
    for (const line of [' {"e":"vistaFin"}', '{"e":"vistaFin"} ', '[{"e":"vistaFin"}]', '"{}"']) {
      assert.equal(parseEvent(line), null, line);
    }
  });
});
