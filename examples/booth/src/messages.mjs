// What the booth says, in plain words: for each error code of the client,
// and for each action of the page that failed. The bridge's own text goes
// in the detail line.

export const MESSAGES = {
  OPEN_FAILED: 'The camera could not be opened. Check that it is switched on and its cable is plugged in.',
  CAPTURE_FAILED: 'The photo could not be taken. Check the camera and try again.',
  DOWNLOAD_FAILED: 'A photo could not be copied from the camera. It is still on the camera\'s card.',
  LIVE_VIEW_FAILED: 'The live view stopped. It will restart by itself in a moment.',
  SETTING_REJECTED: 'The camera did not accept that setting. Choose another value.',
  CAMERA_ERROR: 'The camera is not answering properly. If this lasts, switch it off and on again.',
  FOLDER_NOT_WRITABLE: 'Photos cannot be saved: the photo folder is missing, read-only or full.',
  BRIDGE_ERROR: 'The camera reported a problem.',
  CAMERA_UNAVAILABLE: 'The camera is not there. Check its cable and that it is switched on.',
  ERR_BRIDGE_TIMEOUT: 'The camera took too long to answer. Try again.',
  ERR_BRIDGE_CLOSED: 'The camera closed before it had finished.',
  ERR_BRIDGE_NO_CAMERA: 'Open a camera first.',
  ERR_BRIDGE_EXITED: 'The camera program stopped. Open the camera again to restart it.',
};
// A few library texts say more than their code.
const OPEN_TEXTS = [
  ['Unknown model', 'That camera is no longer there. Press "Find cameras" and choose it again.'],
  ['Could not claim', 'Another program is using the camera. Close it, then open the camera again.'],
];
// What failed, by the page's action.
const ACTIONS = {
  search: 'The cameras could not be listed.',
  open: 'The camera could not be opened.',
  reconnect: 'The camera could not be opened again.',
  capture: 'The photo did not arrive. Check the camera and try again.',
  setting: 'The setting could not be changed.',
  close: 'The camera could not be closed.',
};

/** What the booth says for a client error: by its code, or `fallback`. */
export function explain(err, fallback = 'Something went wrong.') {
  const code = err && err.code;
  if (code === 'OPEN_FAILED' && typeof err.text === 'string') {
    for (const [part, words] of OPEN_TEXTS) if (err.text.includes(part)) return words;
  }
  return (typeof code === 'string' && Object.hasOwn(MESSAGES, code) && MESSAGES[code]) || fallback;
}

/** The bridge's own words for an error, else its message. */
export function detailOf(err) {
  return err && typeof err.text === 'string' ? err.text : (err && err.message) || String(err);
}

/** An error whose words for the operator are already chosen. */
export function operatorError(message, words) {
  const err = new Error(message);
  err.operator = words;
  return err;
}

/** { message, detail } for a failed action of the page. */
export function actionProblem(err, action) {
  if (err && err.operator) {
    return { message: err.operator, detail: typeof err.text === 'string' ? err.text : err.message };
  }
  const what = ACTIONS[action] || 'Something went wrong.';
  const message = action === 'capture' && err && err.code === 'ERR_BRIDGE_TIMEOUT' ? what : explain(err, what);
  return { message, detail: detailOf(err) };
}
