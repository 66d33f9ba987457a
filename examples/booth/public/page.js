// What every part of the page uses: elements by id, the message box, and
// the server's actions.

export const $ = (id) => document.getElementById(id);

export function showProblem(message, detail) {
  $('problem-message').textContent = message;
  $('problem-detail').textContent = detail || '';
  $('problem-more').hidden = !detail;
  $('problem-more').open = false;
  $('problem').hidden = false;
}

export function clearProblem() {
  $('problem').hidden = true;
}

/** POSTs an action; throws with the server's plain words (and `detail`) when it fails. */
export async function post(name, body = {}) {
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

/** An action whose failure is shown in the message box; null then. */
export async function act(name, body) {
  try {
    return await post(name, body);
  } catch (err) {
    showProblem(err.message, err.detail);
    return null;
  }
}
