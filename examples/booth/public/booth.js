// The booth page. Two faces: the guest view (the default once a camera is
// open: the live view filling the screen, the shutter, a countdown, the photo
// just taken shown large for a few seconds, small thumbnails) and the
// operator's controls behind one button (camera picker, settings menus, the
// gallery). State comes from the server as Server-Sent Events; actions are
// JSON posts.

const $ = (id) => document.getElementById(id);
const params = new URLSearchParams(location.search);
const COUNT_STEP_MS = Number(params.get('countdownMs')) || 1000;
const REVIEW_MS = Number(params.get('reviewMs')) || 5000;

// Counters for tests and benchmarks: stream parts received, frames shown.
const stats = { parts: 0, shown: 0 };
window.boothStats = stats;

let camera = null;
let cameras = [];
let busy = false; // opening a camera, or counting down and shooting
let held = null; // a frame that came before the page knew a camera was open
let settings = null;
let choices = null;
let disconnected = false;
let operatorWanted = false; // the operator's controls were asked for
let thumbWidth = 320;

// The settings with a menu: key in the server's reports, and the element
// that shows the value when the camera offers no choices.
const SETTINGS = [['iso', 'iso'], ['aperture', 'aperture'], ['shutterSpeed', 'shutter-speed']];

// -- messages ---------------------------------------------------------------

function showProblem(message, detail) {
  $('problem-message').textContent = message;
  $('problem-detail').textContent = detail || '';
  $('problem-more').hidden = !detail;
  $('problem-more').open = false;
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
    const err = new Error(data.message || 'Something went wrong. Try again.');
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

// The guest view whenever a camera is open (or has just gone away: its
// banner then says so), unless the operator asked for the controls; before
// a camera is open there is nothing for a guest to do.
function renderMode() {
  const guest = Boolean(camera || disconnected) && !operatorWanted;
  document.body.dataset.mode = guest ? 'guest' : 'operator';
  $('operator').hidden = !guest;
  $('guest').hidden = guest || !camera;
}

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
  $('close').disabled = !camera || busy;
  $('idle').hidden = Boolean(camera);
  $('idle').textContent = disconnected ? 'Waiting for the camera…' : 'Open a camera to see the live view';
  for (const [key] of SETTINGS) $(`${key}-menu`).disabled = !camera || busy;
  if (!camera) {
    clearLive();
    hideReview();
  }
  renderMode();
}

// Both groups of controls: `busy` (opening or shooting) holds them all.
function renderControls() {
  renderCameras();
  renderCamera();
}

function renderSettings(s) {
  settings = s;
  for (const [key, out] of SETTINGS) {
    const value = (s && s[key]) || '–';
    $(out).textContent = value;
    const menu = $(`${key}-menu`);
    if (menu.hidden) continue;
    // A value the camera reports but does not offer (an automatic one, say)
    // is shown, not offered.
    for (const o of [...menu.options]) if (o.dataset.reported) o.remove();
    if (![...menu.options].some((o) => o.value === value)) {
      const o = new Option(value, value);
      o.disabled = true;
      o.dataset.reported = '1';
      menu.prepend(o);
    }
    menu.value = value;
  }
  $('battery').textContent = (s && s.battery) || '–';
}

// A menu for each setting the camera offers values for; none where it
// offers none (the value is shown as text there).
function renderChoices(c) {
  choices = c;
  for (const [key, out] of SETTINGS) {
    const list = (c && c[key]) || [];
    const menu = $(`${key}-menu`);
    menu.replaceChildren(...list.map((v) => new Option(v, v)));
    menu.hidden = list.length === 0;
    $(out).hidden = list.length > 0;
  }
  renderSettings(settings);
}

for (const [key] of SETTINGS) {
  const menu = $(`${key}-menu`);
  menu.addEventListener('change', async () => {
    const value = menu.value;
    menu.disabled = true;
    const answer = await act('setting', { key, value });
    menu.disabled = !camera || busy;
    // Refused: back to what the camera has.
    renderSettings(answer ? answer.settings : settings);
  });
}

// -- the gallery ------------------------------------------------------------
// Each photo is shown as a thumbnail the page makes once: the photo is
// fetched, scaled to the width the server chose, and kept as a small JPEG.
// Only photos scrolled into view are fetched, one at a time.

const thumbs = new WeakMap(); // <li> -> the photo it shows
const waiting = [];
let making = false;

const inView = new IntersectionObserver((entries) => {
  for (const e of entries) {
    if (!e.isIntersecting) continue;
    inView.unobserve(e.target);
    waiting.push(e.target);
  }
  makeThumbs();
}, { rootMargin: '300px' });

async function makeThumbs() {
  if (making) return;
  making = true;
  while (waiting.length) {
    const li = waiting.shift();
    if (!li.isConnected) continue;
    const p = thumbs.get(li);
    const img = li.querySelector('img');
    try {
      img.src = await thumbnail(p.url);
    } catch {
      li.classList.add('noimage');
    }
  }
  making = false;
}

async function thumbnail(url) {
  const res = await fetch(url);
  if (!res.ok) throw new Error(`photo: ${res.status}`);
  const bitmap = await createImageBitmap(await res.blob(), { resizeWidth: thumbWidth, resizeQuality: 'medium' });
  try {
    const canvas = new OffscreenCanvas(bitmap.width, bitmap.height);
    canvas.getContext('2d').drawImage(bitmap, 0, 0);
    return URL.createObjectURL(await canvas.convertToBlob({ type: 'image/jpeg', quality: 0.85 }));
  } finally {
    bitmap.close();
  }
}

function photoItem(p) {
  const li = document.createElement('li');
  const a = document.createElement('a');
  a.href = p.url;
  a.target = '_blank';
  a.rel = 'noopener';
  const img = document.createElement('img');
  img.alt = p.name;
  img.addEventListener('error', () => li.classList.add('noimage'));
  const label = document.createElement('span');
  label.textContent = p.name;
  a.append(img, label);
  li.append(a);
  thumbs.set(li, p);
  inView.observe(li);
  return li;
}

function setGallery(photos) {
  for (const img of $('gallery').querySelectorAll('img[src^="blob:"]')) URL.revokeObjectURL(img.src);
  $('gallery').replaceChildren(...photos.map(photoItem));
  $('empty').hidden = photos.length > 0;
}

function addPhoto(p) {
  $('gallery').prepend(photoItem(p));
  $('empty').hidden = true;
}

// -- the photo just taken ---------------------------------------------------

let reviewTimer = null;

function review(p) {
  const img = $('review-photo');
  $('review-caption').textContent = 'Your photo';
  img.onerror = () => { $('review-caption').textContent = 'Your photo is saved.'; };
  img.src = p.url;
  $('review').hidden = false;
  clearTimeout(reviewTimer);
  reviewTimer = setTimeout(hideReview, REVIEW_MS);
}

function hideReview() {
  clearTimeout(reviewTimer);
  $('review').hidden = true;
  $('review-photo').removeAttribute('src');
}
$('review').addEventListener('click', hideReview);
document.addEventListener('keydown', (ev) => { if (ev.key === 'Escape') hideReview(); });

// -- the camera's state ---------------------------------------------------------

function setDisconnected(on) {
  disconnected = on;
  $('banner').hidden = !on;
  // One message about a camera that went away: its banner.
  if (on) clearProblem();
  renderCamera();
}

// -- server events ----------------------------------------------------------

function connectEvents() {
  const source = new EventSource('/events');
  source.addEventListener('state', (ev) => {
    const s = JSON.parse(ev.data);
    cameras = s.cameras;
    camera = s.camera;
    thumbWidth = s.thumbWidth || thumbWidth;
    renderControls();
    renderChoices(s.choices);
    renderSettings(s.settings);
    setGallery(s.photos);
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
    renderChoices(null);
    renderSettings(d.settings);
    setDisconnected(false);
    clearProblem();
    showHeld();
  });
  source.addEventListener('choices', (ev) => renderChoices(JSON.parse(ev.data)));
  source.addEventListener('settings', (ev) => renderSettings(JSON.parse(ev.data)));
  source.addEventListener('photo', (ev) => addPhoto(JSON.parse(ev.data)));
  source.addEventListener('closed', (ev) => {
    const d = JSON.parse(ev.data);
    camera = null;
    showHeld(); // without a camera: dropped
    renderCamera();
    renderChoices(null);
    renderSettings(null);
    setDisconnected(d.disconnected);
  });
  source.addEventListener('problem', (ev) => {
    const d = JSON.parse(ev.data);
    showProblem(d.message, d.detail);
  });
}

// -- live view ----------------------------------------------------------------
// The page asks for frames one by one (/live/frame?after=N answers with the
// newest frame once it is not frame N), asking for the next as soon as one
// starts to arrive: a slow connection never has more than that one frame
// queued behind the one arriving, and the picture is always about the
// newest the connection can carry. A frame that arrives while the previous
// one is still being decoded replaces the one waiting.

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

async function pullFrames() {
  const ask = (after) => fetch(`/live/frame?after=${after}`, { cache: 'no-store' });
  let after = 0;
  let next = null; // the request for the following frame, made while this one arrives
  for (;;) {
    try {
      const res = await (next || ask(after));
      next = null;
      if (res.status === 200) {
        after = Number(res.headers.get('X-Frame')) || 0;
        next = ask(after);
        next.catch(() => {});
        const bytes = new Uint8Array(await res.arrayBuffer());
        stats.parts++;
        // Frames can be quicker than the page's own events: a new page gets
        // the current picture at once, perhaps before it has heard that a
        // camera is open. That picture may be the only one for a while.
        if (camera) showFrame(bytes);
        else held = bytes;
        continue;
      }
      if (res.status === 204) continue; // no new frame for a while: ask again
    } catch {
      next = null; // the server went away; try again below
    }
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
  const opened = await act('open', { index: Number(value) });
  busy = false;
  if (opened) operatorWanted = false; // over to the guests
  renderControls();
});

$('search').addEventListener('click', () => act('search'));
$('close').addEventListener('click', () => act('close'));

$('reconnect').addEventListener('click', async () => {
  $('reconnect').disabled = true;
  await act('reconnect');
  $('reconnect').disabled = false;
});

$('operator').addEventListener('click', () => {
  operatorWanted = true;
  renderMode();
  $('camera').focus();
});
$('guest').addEventListener('click', () => {
  operatorWanted = false;
  renderMode();
  $('shutter').focus();
});

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

$('shutter').addEventListener('click', async () => {
  if (!camera || busy) return;
  hideReview();
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
  // The camera may have gone during the countdown: its banner says so.
  const shot = camera ? await act('capture') : null;
  busy = false;
  renderControls();
  if (shot && shot.photo && camera) review(shot.photo);
});

connectEvents();
pullFrames();
