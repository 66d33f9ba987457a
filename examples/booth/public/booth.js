// The booth page. Two faces: the guest view (the default once a camera is
// open: the live view filling the screen, the shutter, a countdown, the photo
// just taken shown large for a few seconds, small thumbnails) and the
// operator's controls behind one button (camera picker, settings menus, the
// gallery). State comes from the server as Server-Sent Events; actions are
// JSON posts. This module holds the page's state and wires the parts:
// page.js (messages, actions), live.js, gallery.js, settings.js.

import { $, showProblem, clearProblem, act } from './page.js';
import { stats, clearLive, showHeld, pullFrames } from './live.js';
import { setThumbWidth, setGallery, addPhoto, review, hideReview } from './gallery.js';
import { renderSettings, renderChoices, enableMenus, wireMenus } from './settings.js';

const params = new URLSearchParams(location.search);
const COUNT_STEP_MS = Number(params.get('countdownMs')) || 1000;

window.boothStats = stats;

let camera = null;
let cameras = [];
let busy = false; // opening a camera, or counting down and shooting
let disconnected = false;
let operatorWanted = false; // the operator's controls were asked for

$('problem-dismiss').addEventListener('click', clearProblem);

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
  enableMenus(camera && !busy);
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
  const on = (kind, handle) => source.addEventListener(kind, (ev) => handle(JSON.parse(ev.data)));
  on('state', (s) => {
    cameras = s.cameras;
    camera = s.camera;
    setThumbWidth(s.thumbWidth);
    renderControls();
    renderChoices(s.choices);
    renderSettings(s.settings);
    setGallery(s.photos);
    setDisconnected(s.disconnected);
    showHeld(camera);
  });
  on('cameras', (list) => {
    cameras = list;
    renderCameras();
  });
  on('opened', (d) => {
    camera = d.camera;
    renderControls();
    renderChoices(null);
    renderSettings(d.settings);
    setDisconnected(false);
    clearProblem();
    showHeld(camera);
  });
  on('choices', renderChoices);
  on('settings', renderSettings);
  on('photo', addPhoto);
  on('closed', (d) => {
    camera = null;
    showHeld(camera); // without a camera: dropped
    renderCamera();
    renderChoices(null);
    renderSettings(null);
    setDisconnected(d.disconnected);
  });
  on('problem', (d) => showProblem(d.message, d.detail));
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

wireMenus(() => Boolean(camera) && !busy);

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
pullFrames(() => Boolean(camera));
