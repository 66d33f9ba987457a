// The booth page: camera picker, live view, shutter with countdown, gallery,
// settings strip, disconnection banner. State comes from the server as
// Server-Sent Events; actions are JSON posts.

const $ = (id) => document.getElementById(id);
const params = new URLSearchParams(location.search);
const COUNT_STEP_MS = Number(params.get('countdownMs')) || 1000;

// Counters for tests and benchmarks: stream parts received, frames shown.
const stats = { parts: 0, shown: 0 };
window.boothStats = stats;

let camera = null;
let cameras = [];
let busy = false;
let held = null; // a frame that came before the page knew a camera was open

// -- messages ---------------------------------------------------------------

function showProblem(message, detail) {
  $('problem-message').textContent = message;
  $('problem-detail').textContent = detail || '';
  $('problem-detail').hidden = !detail;
  $('problem').hidden = false;
}
function clearProblem() {
  $('problem').hidden = true;
}
$('problem-dismiss').addEventListener('click', clearProblem);

async function post(name, body = {}) {
  const res = await fetch(`/api/${name}`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
  });
  let data = {};
  try { data = await res.json(); } catch { /* an empty answer */ }
  if (!res.ok) {
    const err = new Error(data.message || `Request failed (${res.status})`);
    err.detail = data.detail;
    throw err;
  }
  return data;
}

async function act(name, body) {
  try {
    return await post(name, body);
  } catch (err) {
    showProblem(err.message, err.detail);
    return null;
  }
}

// -- rendering --------------------------------------------------------------

function renderCameras() {
  const select = $('camera');
  const keep = select.value;
  select.replaceChildren();
  if (!cameras.length) {
    select.append(new Option('No camera found', ''));
  }
  cameras.forEach((c, i) => select.append(new Option(`${c.model} (${c.port})`, String(i))));
  if (camera && cameras[camera.index]) select.value = String(camera.index);
  else if (keep && cameras[Number(keep)]) select.value = keep;
  $('open').disabled = !cameras.length || busy;
}

function renderCamera() {
  $('shutter').disabled = !camera || busy;
  $('idle').hidden = Boolean(camera);
  if (!camera) clearLive();
}

// Both groups of controls: `busy` (opening or shooting) holds them all.
function renderControls() {
  renderCameras();
  renderCamera();
}

function renderSettings(s) {
  $('iso').textContent = (s && s.iso) || '–';
  $('aperture').textContent = (s && s.aperture) || '–';
  $('shutter-speed').textContent = (s && s.shutterSpeed) || '–';
  $('battery').textContent = (s && s.battery) || '–';
}

function photoItem(p) {
  const li = document.createElement('li');
  const a = document.createElement('a');
  a.href = p.url;
  a.target = '_blank';
  a.rel = 'noopener';
  const img = document.createElement('img');
  img.src = p.url;
  img.alt = p.name;
  img.addEventListener('error', () => li.classList.add('noimage'));
  const label = document.createElement('span');
  label.textContent = p.name;
  a.append(img, label);
  li.append(a);
  return li;
}

function addPhoto(p) {
  $('gallery').prepend(photoItem(p));
  $('empty').hidden = true;
}

function setDisconnected(on) {
  $('banner').hidden = !on;
}

// -- server events ----------------------------------------------------------

function connectEvents() {
  const source = new EventSource('/events');
  source.addEventListener('state', (ev) => {
    const s = JSON.parse(ev.data);
    cameras = s.cameras;
    camera = s.camera;
    renderControls();
    renderSettings(s.settings);
    $('gallery').replaceChildren(...s.photos.map(photoItem));
    $('empty').hidden = s.photos.length > 0;
    setDisconnected(s.disconnected);
    showHeld();
  });
  source.addEventListener('cameras', (ev) => {
    cameras = JSON.parse(ev.data);
    renderCameras();
  });
  source.addEventListener('opened', (ev) => {
    const d = JSON.parse(ev.data);
    camera = d.camera;
    renderControls();
    renderSettings(d.settings);
    setDisconnected(false);
    clearProblem();
    showHeld();
  });
  source.addEventListener('settings', (ev) => renderSettings(JSON.parse(ev.data)));
  source.addEventListener('photo', (ev) => addPhoto(JSON.parse(ev.data)));
  source.addEventListener('closed', (ev) => {
    const d = JSON.parse(ev.data);
    camera = null;
    showHeld(); // without a camera: dropped
    renderCamera();
    renderSettings(null);
    setDisconnected(d.disconnected);
  });
  source.addEventListener('problem', (ev) => {
    const d = JSON.parse(ev.data);
    showProblem(d.message, d.detail);
  });
}

// -- live view ----------------------------------------------------------------
// The stream is multipart/x-mixed-replace. An <img> pointed at it shows the
// frames but reports only the first one, so the page reads the parts itself
// and shows the newest one: a frame that arrives while the previous one is
// still being decoded replaces the one waiting.

const live = $('live');
let pending = null;
let decoding = false;
let shownUrl = null;
let decodingUrl = null;

function showFrame(bytes) {
  if (decoding) {
    pending = bytes;
    return;
  }
  decoding = true;
  const url = URL.createObjectURL(new Blob([bytes], { type: 'image/jpeg' }));
  decodingUrl = url;
  const done = (ok) => {
    live.onload = live.onerror = null;
    decodingUrl = null;
    if (shownUrl) URL.revokeObjectURL(shownUrl);
    shownUrl = url;
    if (ok) stats.shown++;
    decoding = false;
    if (pending) {
      const next = pending;
      pending = null;
      showFrame(next);
    }
  };
  live.onload = () => done(true);
  live.onerror = () => done(false);
  live.src = url;
}

// Without a camera the picture goes blank. An image whose source is removed
// while it decodes fires neither load nor error, so the decode in flight is
// forgotten here; otherwise every later frame would wait behind it forever.
function clearLive() {
  live.onload = live.onerror = null;
  live.removeAttribute('src');
  for (const url of [shownUrl, decodingUrl]) if (url) URL.revokeObjectURL(url);
  shownUrl = decodingUrl = null;
  decoding = false;
  pending = null;
}

// The picture that came before the page heard of the open camera, shown
// now that it has (and dropped if there is no camera).
function showHeld() {
  if (camera && held) showFrame(held);
  held = null;
}

function indexOf(buf, len, needle, from) {
  outer: for (let i = from; i + needle.length <= len; i++) {
    for (let j = 0; j < needle.length; j++) if (buf[i + j] !== needle[j]) continue outer;
    return i;
  }
  return -1;
}

const HEADER_END = new TextEncoder().encode('\r\n\r\n');

async function readStream() {
  const res = await fetch('/live.mjpg', { cache: 'no-store' });
  if (!res.ok || !res.body) throw new Error(`live view stream: ${res.status}`);
  const reader = res.body.getReader();
  let buf = new Uint8Array(64 * 1024);
  let len = 0;
  for (;;) {
    const { value, done } = await reader.read();
    if (done) return;
    if (len + value.length > buf.length) {
      const bigger = new Uint8Array(Math.max(buf.length * 2, len + value.length));
      bigger.set(buf.subarray(0, len));
      buf = bigger;
    }
    buf.set(value, len);
    len += value.length;
    // Take every complete part: headers, blank line, Content-Length bytes.
    let at = 0;
    for (;;) {
      const end = indexOf(buf, len, HEADER_END, at);
      if (end < 0) break;
      const head = new TextDecoder().decode(buf.subarray(at, end));
      const m = /content-length:\s*(\d+)/i.exec(head);
      if (!m) throw new Error('live view stream: a part without Content-Length');
      const size = Number(m[1]);
      const start = end + HEADER_END.length;
      if (len < start + size + 2) break;
      stats.parts++;
      // The stream can be quicker than the page's own events: a new page
      // gets the current picture at once, perhaps before it has heard that
      // a camera is open. That picture may be the only one for a while.
      if (camera) showFrame(buf.slice(start, start + size));
      else held = buf.slice(start, start + size);
      at = start + size + 2; // the CRLF after the data
    }
    if (at) {
      buf.copyWithin(0, at, len);
      len -= at;
    }
  }
}

async function keepStreaming() {
  for (;;) {
    try {
      await readStream();
    } catch { /* the server went away; try again below */ }
    await new Promise((r) => setTimeout(r, 1000));
  }
}

// -- actions ----------------------------------------------------------------

$('picker').addEventListener('submit', async (ev) => {
  ev.preventDefault();
  const value = $('camera').value;
  if (value === '') {
    showProblem('Choose a camera first. If none is listed, connect one and press "Find cameras".');
    return;
  }
  busy = true;
  renderControls();
  await act('open', { index: Number(value) });
  busy = false;
  renderControls();
});

$('search').addEventListener('click', () => act('search'));

$('reconnect').addEventListener('click', async () => {
  $('reconnect').disabled = true;
  await act('reconnect');
  $('reconnect').disabled = false;
});

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

$('shutter').addEventListener('click', async () => {
  if (!camera || busy) return;
  busy = true;
  renderControls(); // no other camera is opened during the countdown
  const countdown = $('countdown');
  countdown.hidden = false;
  for (const n of ['3', '2', '1']) {
    countdown.textContent = n;
    await sleep(COUNT_STEP_MS);
  }
  countdown.hidden = true;
  countdown.textContent = '';
  // The camera may have gone during the countdown: its alert says so.
  if (camera) await act('capture');
  busy = false;
  renderControls();
});

connectEvents();
keepStreaming();
