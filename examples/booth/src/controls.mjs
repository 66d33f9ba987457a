// "All settings": every control of the camera's configuration for the
// operator's panel, one control set at a time, and a refused value
// explained in plain words from what the control allows.
//
// Uses of the booth (`ctx`): `ctx.session.controls` (the last list read,
// by path), `ctx.state.camera`, the hub for the pages.

import { send } from './events.mjs';
import { MESSAGES, operatorError } from './messages.mjs';
import { getBridge } from './camera.mjs';

/** A control as the page gets it: a date in seconds since 1970, the rest as the client types it. */
export function pageControl(c) {
  const value = c.value instanceof Date ? Math.round(c.value.getTime() / 1000) : c.value;
  return { path: c.path, name: c.name, label: c.label, type: c.type, value, readOnly: c.readOnly, choices: c.choices, range: c.range };
}

/** Every control, read from the camera now. */
export async function readControls(ctx) {
  if (!ctx.state.camera) throw operatorError('no camera open', MESSAGES.ERR_BRIDGE_NO_CAMERA);
  const b = await getBridge(ctx);
  const list = await b.config();
  ctx.session.controls = new Map(list.map((c) => [c.path, c]));
  return list.map(pageControl);
}

// The value the client takes for a control of `type`, from the page's JSON.
function clientValue(type, value) {
  if (type === 'date' && typeof value === 'number') return new Date(value * 1000);
  return value;
}

/** Sets the control at `path` to `value`; resolves to the control read back, sent to every page. */
export async function setControl(ctx, path, value) {
  const known = typeof path === 'string' ? ctx.session.controls.get(path) : undefined;
  if (!known || !['string', 'number', 'boolean'].includes(typeof value)) {
    throw operatorError('no such control', 'Reload the settings: the camera has no such setting now.');
  }
  if (!ctx.state.camera) throw operatorError('no camera open', MESSAGES.ERR_BRIDGE_NO_CAMERA);
  const b = await getBridge(ctx);
  let control;
  try {
    control = await b.set(path, clientValue(known.type, value));
  } catch (err) {
    if (err && (err.code === 'SETTING_REJECTED' || err instanceof TypeError || err instanceof RangeError)) {
      err.operator = refusal(known, value, err.text);
    }
    throw err;
  }
  ctx.session.controls.set(control.path, control);
  const out = pageControl(control);
  send(ctx.hub, 'control', out);
  return out;
}

// Why the camera would not take `value` for control `c`, in plain words.
// "Bad parameters" is the bridge's refusal before asking the camera: the
// value is not one the control allows. Any other text is the camera's.
function refusal(c, value, text) {
  const label = c.label || c.name;
  if (c.readOnly) return `${label} cannot be changed: the camera only reports it.`;
  if (value === '') return `Enter a value for ${label}: it cannot be set to nothing from here.`;
  if (typeof text === 'string' && !text.endsWith('Bad parameters')) {
    return `The camera could not set ${label}. It may not allow that in its current mode; try again or choose another value.`;
  }
  const shown = typeof value === 'string' ? `"${value}"` : String(value);
  switch (c.type) {
    case 'radio':
    case 'menu':
      return `The camera did not accept ${shown} for ${label}. Choose one of the values in its list.`;
    case 'range': {
      const r = c.range;
      return r ? `The camera did not accept ${shown} for ${label}. Choose a number from ${r.min} to ${r.max}, in steps of ${r.step}.`
        : `The camera did not accept ${shown} for ${label}. Choose a number.`;
    }
    case 'toggle':
      return `The camera did not accept that for ${label}: it can only be switched on or off.`;
    case 'date':
      return `The camera did not accept that date for ${label}. Enter a whole date and time.`;
    default:
      return `The camera did not accept ${shown} for ${label}. Try a shorter text without line breaks.`;
  }
}
