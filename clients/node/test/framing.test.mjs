// Line framing and event checking, without a process.
import { test } from "node:test";
import assert from "node:assert/strict";
import { LineSplitter, OverlongLine, MAX_LINE_BYTES, parseEvent } from "../dist/index.js";
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

  await t.test("a line over the limit is reported once by its head and skipped, whatever the chunks, in bounded memory", () => {
    const good = '{"e":"vistaFin"}';
    const data = Buffer.from("x".repeat(200) + "\n" + good + "\n" + "y".repeat(65) + "\n" + good + "\n" + "z".repeat(100));
    for (const size of [1, 7, 64, 1000]) {
      const s = new LineSplitter(64);
      const out = [];
      for (let i = 0; i < data.length; i += size) {
        out.push(...s.push(data.subarray(i, i + size)));
        assert.ok(s.pendingBytes <= 64, `chunks of ${size}: ${s.pendingBytes} bytes kept`);
      }
      assert.deepEqual(
        out.map((l) => (l instanceof OverlongLine ? l.head[0] : l)),
        ["x", good, "y", good, "z"],
        `chunks of ${size}`,
      );
      // The head holds what was kept when the limit was passed, up to 200 bytes.
      assert.match(out[0].head, /^x{65,200}$/);
      // The rest of an over-long last line is not reported again at the end.
      assert.equal(s.end(), null);
    }
  });

  await t.test("the default limit is 64 MiB: a line of that size passes, one byte more does not", () => {
    assert.equal(MAX_LINE_BYTES, 64 << 20);
    const s = new LineSplitter();
    const chunk = Buffer.alloc(64 * 1024, 0x61);
    const chunks = MAX_LINE_BYTES / chunk.length;
    for (let i = 0; i < chunks; i++) assert.deepEqual(s.push(chunk), []);
    assert.equal(s.pendingBytes, MAX_LINE_BYTES);
    const [line] = s.push(Buffer.from("\n"));
    assert.equal(line.length, MAX_LINE_BYTES);
    for (let i = 0; i < chunks; i++) s.push(chunk);
    const [over] = s.push(Buffer.from("b\n"));
    assert.ok(over instanceof OverlongLine);
    assert.equal(over.head, "a".repeat(200));
    // Many megabytes with no line feed keep at most the limit.
    for (let i = 0; i < chunks + 64; i++) s.push(chunk);
    assert.ok(s.pendingBytes <= MAX_LINE_BYTES);
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
  '{"e":"error","texto":"ajustar: Bad parameters"}',
  '{"e":"opciones","iso":["Auto ISO","100"],"diafragma":[],"velocidad":["1/125"]}',
  '{"e":"opciones","iso":[],"diafragma":[],"velocidad":[]}',
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
  '{"e":"opciones","iso":["100"],"diafragma":[]}',
  '{"e":"opciones","iso":[100],"diafragma":[],"velocidad":[]}',
  '{"e":"opciones","iso":"100","diafragma":[],"velocidad":[]}',
  '{"e":"opciones","iso":[],"diafragma":[],"velocidad":[],"bateria":[]}',
  '{"e":"error","texto":"ajustar:Bad parameters"}',
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
