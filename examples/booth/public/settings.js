// The settings with a menu (ISO, aperture, shutter speed) and the battery:
// a menu of the camera's values for each setting it offers values for, its
// value as text for one it offers none for.

import { $, act } from './page.js';

// Key in the server's reports, and the element that shows the value when
// the camera offers no choices.
const SETTINGS = [['iso', 'iso'], ['aperture', 'aperture'], ['shutterSpeed', 'shutter-speed']];

let settings = null;

/** Shows the camera's report of its settings (null: no camera). */
export function renderSettings(s) {
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
export function renderChoices(c) {
  for (const [key, out] of SETTINGS) {
    const list = (c && c[key]) || [];
    const menu = $(`${key}-menu`);
    menu.replaceChildren(...list.map((v) => new Option(v, v)));
    menu.hidden = list.length === 0;
    $(out).hidden = list.length > 0;
  }
  renderSettings(settings);
}

/** Whether the menus can be used now. */
export function enableMenus(on) {
  for (const [key] of SETTINGS) $(`${key}-menu`).disabled = !on;
}

/** Sets the camera's value when one is chosen; `usable()` says whether the menus may be used after. */
export function wireMenus(usable) {
  for (const [key] of SETTINGS) {
    const menu = $(`${key}-menu`);
    menu.addEventListener('change', async () => {
      const value = menu.value;
      menu.disabled = true;
      const answer = await act('setting', { key, value });
      menu.disabled = !usable();
      // Refused: back to what the camera has.
      renderSettings(answer ? answer.settings : settings);
    });
  }
}
