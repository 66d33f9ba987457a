// "All settings" in the operator controls, and alert mode for the
// countdown, in headless Chromium on the real bridge and a simulated
// camera. Imported by booth.test.mjs (one run for CTest).

import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fsp from 'node:fs/promises';
import path from 'node:path';
import { startBooth, directive, launchBrowser, until, SCREENS } from './helpers.mjs';

// What each row of the panel offers, as a user sees it: its section, its
// label, and how it is edited (or that it is not).
const panelRows = (page) => page.locator('#all-settings .control').evaluateAll((rows) => rows.map((row) => {
  const input = row.children[1];
  const field = input.matches('input, select, output, [role=radiogroup]') ? input : input.querySelector('input');
  let kind = field.tagName === 'OUTPUT' ? 'read-only' : field.tagName === 'SELECT' ? 'menu'
    : field.getAttribute('role') === 'radiogroup' ? 'buttons' : field.getAttribute('role') || field.type;
  if (kind === 'menu' || kind === 'buttons') {
    const opts = kind === 'menu' ? [...field.options].filter((o) => !o.disabled).map((o) => o.value)
      : [...field.querySelectorAll('input')].map((r) => r.value);
    kind += ` ${opts.join('|')}`;
  }
  if (kind === 'range') kind += ` ${field.min}..${field.max} by ${field.step}`;
  return [row.closest('fieldset').querySelector('legend').textContent, row.querySelector('.label').textContent, kind];
}));

describe('"All settings" in the operator controls', () => {
  let browser;
  let booth;
  let page;
  const sets = async () => (await booth.log()).filter((f) => f[0] === 'set_config' && f[1] !== 'capturetarget').map((f) => f.slice(1));
  const dialog = () => page.getByRole('dialog', { name: 'All settings' });
  const row = (label) => page.locator('#all-settings .control').filter({ has: page.locator('.label', { hasText: new RegExp(`^${label}$`) }) });

  before(async () => {
    browser = await launchBrowser();
    booth = await startBooth({
      scenario: [
        directive('readonly', 'artist'),
        directive('widget', 'settings/copyright', 'text', ''),
        directive('label', 'copyright', 'Copyright'),
        directive('widget', 'capturesettings/whitebalance', 'radio', 'Auto', 'Auto', 'Daylight', 'Shade', 'Cloudy', 'Tungsten', 'Fluorescent', 'Flash'),
        directive('label', 'whitebalance', 'WhiteBalance'),
      ],
    });
    assert.equal((await booth.post('open', { index: 0 })).status, 200);
    page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
    await page.goto(booth.url);
    await page.getByRole('button', { name: 'Operator controls' }).click();
    await page.getByRole('button', { name: 'All settings' }).click();
    await dialog().getByText('Capture Settings').waitFor({ timeout: 10000 });
  });
  after(async () => {
    await page?.close();
    await browser?.close();
    await booth?.stop();
  });

  test('every control, grouped by its section, with the input its type calls for; read-only ones not editable', async () => {
    assert.deepEqual(await panelRows(page), [
      ['Camera Actions', 'Drive Autofocus', 'switch'],
      ['Camera Actions', 'Viewfinder', 'switch'],
      ['Camera Settings', 'Capture Target', 'buttons Internal RAM|Memory card'],
      ['Camera Settings', 'Camera Date and Time', 'datetime-local'],
      ['Camera Settings', 'Artist', 'read-only'],
      ['Camera Settings', 'Copyright', 'text'],
      ['Camera Status Information', 'Serial Number', 'read-only'],
      ['Camera Status Information', 'Battery Level', 'read-only'],
      ['Image Settings', 'ISO Speed', 'buttons 100|200|400|800'],
      ['Image Settings', 'Image Format', 'menu JPEG Fine|RAW|RAW + JPEG Fine'],
      ['Capture Settings', 'F-Number', 'buttons f/2.8|f/4|f/5.6|f/8|f/11'],
      ['Capture Settings', 'Shutter Speed', 'buttons 1/30|1/60|1/125|1/250|1/500'],
      ['Capture Settings', 'Exposure Compensation', 'range -3..3 by 0.5'],
      ['Capture Settings', 'WhiteBalance', 'menu Auto|Daylight|Shade|Cloudy|Tungsten|Fluorescent|Flash'],
    ]);
    // The camera's values, each in its input.
    assert.match(await row('Serial Number').locator('output').textContent(), /^SIM[0-9A-F]{8}$/);
    assert.equal(await row('Battery Level').locator('output').textContent(), '100%');
    assert.equal(await dialog().getByRole('radio', { name: 'Memory card' }).isChecked(), true);
    assert.equal(await dialog().getByRole('switch', { name: 'Viewfinder' }).isChecked(), false);
    const local = await page.evaluate(() => {
      const d = new Date(1700000000 * 1000);
      const p = (n) => String(n).padStart(2, '0');
      return `${d.getFullYear()}-${p(d.getMonth() + 1)}-${p(d.getDate())}T${p(d.getHours())}:${p(d.getMinutes())}:${p(d.getSeconds())}`;
    });
    assert.equal(await dialog().getByLabel('Camera Date and Time').inputValue(), local);
    // On a phone too, every control fits the dialog's width.
    await fsp.mkdir(SCREENS, { recursive: true });
    for (const [width, height] of [[1280, 900], [390, 844]]) {
      await page.setViewportSize({ width, height });
      await page.screenshot({ path: path.join(SCREENS, `all-settings-${width}x${height}.png`) });
      const wide = await page.locator('#all-settings').evaluate((d) => d.scrollWidth - d.clientWidth);
      assert.ok(wide <= 0, `the dialog is ${wide}px wider than the window at ${width}x${height}`);
    }
  });

  test('each kind of input sets its control on the camera, and shows what the camera took', async () => {
    const when = '2024-02-03T04:05:06';
    const seconds = await page.evaluate((w) => new Date(w).getTime() / 1000, when);
    const steps = [
      [() => dialog().getByRole('switch', { name: 'Viewfinder' }).check(), ['viewfinder', '1']],
      [() => row('ISO Speed').getByRole('radio', { name: '800' }).check(), ['iso', '800']],
      [() => dialog().getByLabel('Image Format').selectOption('RAW'), ['imageformat', 'RAW']],
      [() => dialog().getByLabel('WhiteBalance').selectOption('Shade'), ['whitebalance', 'Shade']],
      [() => dialog().getByLabel('Exposure Compensation').fill('1.5'), ['exposurecompensation', '1.5']],
      [() => dialog().getByLabel('Copyright').fill('Booth 2026').then(() => page.keyboard.press('Enter')), ['copyright', 'Booth 2026']],
      [() => dialog().getByLabel('Camera Date and Time').fill(when), ['datetime', String(seconds)]],
    ];
    for (const [act, expected] of steps) {
      const before = (await sets()).length;
      await act();
      await until(`${expected[0]} to be set`, async () => (await sets()).length > before);
      assert.deepEqual((await sets()).slice(before), [expected]);
    }
    await until('the last answer', () => row('Camera Date and Time').locator('input:enabled').count());
    assert.equal(await row('Exposure Compensation').locator('output').textContent(), '1.5');
    // A set from elsewhere (another page) reaches this one.
    assert.equal((await booth.post('control', { path: '/main/imgsettings/iso', value: '200' })).status, 200);
    await until('the new ISO', () => row('ISO Speed').getByRole('radio', { name: '200' }).isChecked());
  });

  test('a refused value is explained in plain words, the camera not asked, and the input goes back', async () => {
    const refusals = [
      ['/main/capturesettings/exposurecompensation', 9, 'The camera did not accept 9 for Exposure Compensation. Choose a number from -3 to 3, in steps of 0.5.'],
      ['/main/settings/artist', 'me', 'Artist cannot be changed: the camera only reports it.'],
      ['/main/imgsettings/imageformat', 'TIFF', 'The camera did not accept "TIFF" for Image Format. Choose one of the values in its list.'],
      ['/main/actions/viewfinder', 'maybe', 'The camera did not accept that for Viewfinder: it can only be switched on or off.'],
      ['/main/settings/datetime', '', 'Enter a value for Camera Date and Time: it cannot be set to nothing from here.'],
      ['/main/nosuch', '1', 'Reload the settings: the camera has no such setting now.'],
    ];
    const before = (await sets()).length;
    for (const [path, value, message] of refusals) {
      const r = await booth.post('control', { path, value });
      assert.equal(r.status, 502, path);
      assert.equal(r.body.message, message);
    }
    assert.equal((await sets()).length, before, 'the camera was asked to take a refused value');

    // One the camera itself refuses, through the panel.
    await booth.control(directive('setfail', '-1'));
    // click(), not check(): the refusal may put the old value back before a check could see the new one.
    await row('F-Number').getByRole('radio', { name: 'f/8' }).click();
    const note = row('F-Number').locator('.refusal');
    await note.waitFor({ timeout: 10000 });
    assert.equal(await note.textContent(), 'The camera could not set F-Number. It may not allow that in its current mode; try again or choose another value.');
    assert.equal(await note.getAttribute('title'), 'ajustar: Unspecified error');
    await until('the camera\'s value again', () => row('F-Number').getByRole('radio', { name: 'f/5.6' }).isChecked());
    assert.equal(await row('F-Number').getByRole('radio', { name: 'f/8' }).isChecked(), false);
  });

  test('closing the camera empties the panel; it reads the camera again when one opens', async () => {
    assert.equal((await booth.post('close')).status, 200);
    await dialog().getByText('Open a camera to see its settings.').waitFor({ timeout: 10000 });
    assert.equal(await page.locator('#all-settings .control').count(), 0);
    assert.equal((await booth.post('open', { index: 0 })).status, 200);
    await dialog().getByText('Capture Settings').waitFor({ timeout: 10000 });
    await dialog().getByRole('button', { name: 'Close' }).click();
    assert.equal(await dialog().isVisible(), false);
  });
});

test('the countdown turns alert mode on, and the photo turns it off', async () => {
  const browser = await launchBrowser();
  const booth = await startBooth();
  try {
    assert.equal((await booth.post('open', { index: 0 })).status, 200);
    const page = await browser.newPage();
    // No live view (it keeps its own pace, alert or not): nobody watches.
    await page.route('**/live/frame*', (r) => r.abort());
    await page.goto(`${booth.url}?countdownMs=1000&reviewMs=60000`);
    await page.getByRole('button', { name: 'Take photo' }).click();
    await page.locator('#review').waitFor({ timeout: 20000 });
    // The camera's event waits: 200 ms idle, at most 1 ms in alert mode.
    const waits = async () => {
      const log = await booth.log();
      const shot = log.findIndex((f) => f[0] === 'trigger');
      return { before: log.slice(0, shot).filter((f) => f[0] === 'wait'), after: log.slice(shot).filter((f) => f[0] === 'wait') };
    };
    const { before } = await waits();
    assert.equal(before[0][1], '200');
    assert.ok(Number(before.at(-1)[1]) <= 1, 'the shutter was pressed without alert mode');
    await until('alert mode to end after the photo', async () => (await waits()).after.at(-1)?.[1] === '200');
  } finally {
    await browser.close();
    await booth.stop();
  }
});
