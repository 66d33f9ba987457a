// "All settings": every control of the camera in one dialog for the
// operator, grouped by the section it is in, each edited with the input its
// type calls for (a box for text, a slider for a range, a switch for a
// toggle, buttons or a menu for a choice, a date and time). Read-only ones
// show their value only. A value the camera refuses is explained beside
// the control, which goes back to the camera's value.

import { $, post } from './page.js';

// The sections of the PTP driver's tree, by name, with its own labels.
const SECTIONS = {
  actions: 'Camera Actions',
  settings: 'Camera Settings',
  status: 'Camera Status Information',
  imgsettings: 'Image Settings',
  capturesettings: 'Capture Settings',
  other: 'Other Settings',
};
const MAX_RADIO_BUTTONS = 6; // a longer list of choices is a menu

const rows = new Map(); // path -> { control, row }
let hasCamera = () => false;

/** Wires the dialog; `open()` tells whether a camera is open. */
export function wireAllSettings(open) {
  hasCamera = open;
  $('all-settings-open').addEventListener('click', () => {
    $('all-settings').showModal();
    load();
  });
  $('all-settings-reload').addEventListener('click', load);
  $('all-settings-close').addEventListener('click', () => $('all-settings').close());
}

/** The button that opens the dialog can be used now. */
export function enableAllSettings(on) {
  $('all-settings-open').disabled = !on;
}

async function load() {
  rows.clear();
  $('all-settings-list').replaceChildren();
  if (!hasCamera()) return note('Open a camera to see its settings.');
  note('Reading the camera\'s settings…');
  try {
    render((await post('config')).controls);
  } catch (err) {
    note(`${err.message}${err.detail ? ` (${err.detail})` : ''}`);
  }
}

function note(text) {
  $('all-settings-note').textContent = text;
  $('all-settings-note').hidden = !text;
}

function render(controls) {
  const groups = new Map(); // section path -> its <fieldset>
  for (const c of controls) {
    const section = c.path.slice(0, c.path.lastIndexOf('/'));
    if (!groups.has(section)) {
      const set = document.createElement('fieldset');
      set.className = 'section';
      const legend = document.createElement('legend');
      const name = section.slice(section.lastIndexOf('/') + 1);
      legend.textContent = SECTIONS[name] || name || 'Settings';
      set.append(legend);
      groups.set(section, set);
    }
    const row = makeRow(c);
    rows.set(c.path, { control: c, row });
    groups.get(section).append(row);
  }
  $('all-settings-list').replaceChildren(...groups.values());
  note(controls.length ? '' : 'This camera has no settings to show.');
}

// One control's row: its label, its input (or its value), and a place for
// the camera's refusal.
function makeRow(c) {
  const row = document.createElement('div');
  row.className = 'control';
  row.dataset.path = c.path;
  const id = `control-${c.path.replace(/[^A-Za-z0-9_-]/g, '_')}`;
  const label = document.createElement(c.readOnly || isRadios(c) ? 'span' : 'label');
  label.className = 'label';
  label.id = `${id}-label`;
  label.textContent = c.label || c.name;
  if (label.tagName === 'LABEL') label.htmlFor = id;
  const refusal = document.createElement('p');
  refusal.className = 'refusal';
  refusal.setAttribute('aria-live', 'polite');
  refusal.hidden = true;
  row.append(label, makeInput(c, id), refusal);
  return row;
}

const isRadios = (c) => c.type === 'radio' && !c.readOnly && c.choices.length > 0 && c.choices.length <= MAX_RADIO_BUTTONS;

function makeInput(c, id) {
  if (c.readOnly) {
    const out = document.createElement('output');
    out.id = id;
    out.setAttribute('aria-labelledby', `${id}-label`);
    out.textContent = shown(c);
    return out;
  }
  if (isRadios(c)) return radios(c, id);
  if (c.type === 'radio' || c.type === 'menu') return menu(c, id);
  const input = document.createElement('input');
  input.id = id;
  if (c.type === 'toggle') {
    input.type = 'checkbox';
    input.setAttribute('role', 'switch');
  } else if (c.type === 'range') {
    input.type = 'range';
    if (c.range) Object.assign(input, { min: c.range.min, max: c.range.max, step: c.range.step });
  } else if (c.type === 'date') {
    input.type = 'datetime-local';
    input.step = 1;
  } else {
    input.type = 'text';
  }
  const wrap = document.createElement('span');
  wrap.className = 'input';
  wrap.append(input);
  if (c.type === 'range') {
    const out = document.createElement('output');
    out.htmlFor = id;
    input.addEventListener('input', () => { out.textContent = input.value; });
    wrap.append(out);
  }
  input.addEventListener('change', () => commit(c.path, valueOf(input, c.type)));
  showValue(wrap, c);
  return wrap;
}

function radios(c, id) {
  const group = document.createElement('div');
  group.className = 'radios';
  group.id = id;
  group.setAttribute('role', 'radiogroup');
  group.setAttribute('aria-labelledby', `${id}-label`);
  for (const choice of c.choices) {
    const label = document.createElement('label');
    const input = document.createElement('input');
    input.type = 'radio';
    input.name = id;
    input.value = choice;
    input.addEventListener('change', () => commit(c.path, choice));
    label.append(input, choice || '(none)');
    group.append(label);
  }
  showValue(group, c);
  return group;
}

function menu(c, id) {
  const select = document.createElement('select');
  select.id = id;
  select.replaceChildren(...c.choices.map((v) => new Option(v, v)));
  select.addEventListener('change', () => commit(c.path, select.value));
  showValue(select, c);
  return select;
}

// A date as the local date and time a datetime-local input holds, and back.
function localTime(seconds) {
  const d = new Date(seconds * 1000);
  const p = (n) => String(n).padStart(2, '0');
  return `${d.getFullYear()}-${p(d.getMonth() + 1)}-${p(d.getDate())}T${p(d.getHours())}:${p(d.getMinutes())}:${p(d.getSeconds())}`;
}

function valueOf(input, type) {
  if (type === 'toggle') return input.checked;
  if (type === 'range') return Number(input.value);
  if (type === 'date') return input.value ? Math.round(new Date(input.value).getTime() / 1000) : NaN;
  return input.value;
}

// A control's value in words, for one that cannot be edited.
function shown(c) {
  if (c.type === 'toggle') return c.value ? 'On' : 'Off';
  if (c.type === 'date') return new Date(c.value * 1000).toLocaleString();
  return c.value === '' ? '–' : String(c.value);
}

// Puts the camera's value of `c` into its input (`el`, as makeInput made it).
function showValue(el, c) {
  if (c.readOnly) {
    el.textContent = shown(c);
  } else if (el.classList.contains('radios')) {
    for (const r of el.querySelectorAll('input')) r.checked = r.value === c.value;
  } else if (el.tagName === 'SELECT') {
    for (const o of [...el.options]) if (o.dataset.reported) o.remove();
    // A value the camera reports but does not list is shown, not offered.
    if (!c.choices.includes(c.value)) {
      const o = new Option(c.value === '' ? '(none)' : c.value, c.value);
      o.disabled = true;
      o.dataset.reported = '1';
      el.prepend(o);
    }
    el.value = c.value;
  } else {
    const input = el.querySelector('input');
    if (c.type === 'toggle') input.checked = Boolean(c.value);
    else if (c.type === 'date') input.value = localTime(c.value);
    else input.value = String(c.value);
    const out = el.querySelector('output');
    if (out) out.textContent = String(c.value);
  }
}

async function commit(path, value) {
  const entry = rows.get(path);
  if (!entry) return;
  const refusal = entry.row.querySelector('.refusal');
  refusal.hidden = true;
  for (const el of entry.row.querySelectorAll('input, select')) el.disabled = true;
  try {
    update((await post('control', { path, value: Number.isNaN(value) ? '' : value })).control);
  } catch (err) {
    refusal.textContent = err.message;
    refusal.title = err.detail || '';
    refusal.hidden = false;
    update(entry.control); // back to what the camera has
  } finally {
    for (const el of entry.row.querySelectorAll('input, select')) el.disabled = !hasCamera();
  }
}

/** A control the camera reported (set from this page or another). */
export function update(c) {
  const entry = rows.get(c.path);
  if (!entry) return;
  entry.control = c;
  showValue(entry.row.children[1], c);
}

/** The camera closed: its settings are no longer there. */
export function cameraClosed() {
  rows.clear();
  $('all-settings-list').replaceChildren();
  note('Open a camera to see its settings.');
}

/** A camera was opened: if the dialog is open, show this camera's settings. */
export function cameraOpened() {
  if ($('all-settings').open) load();
}
