// The names this server answers to: its own addresses and the names the
// operator gave. A page on another site that rebinds its own name to this
// machine sends that name as Host (and as Origin), and gets nowhere.

import os from 'node:os';

/** The names of a server bound to `host`, once `listening()` gives its port. */
export function createNames(host, allowHosts) {
  return { host, allowHosts, port: 0, allowed: new Set(), readAt: 0 };
}

/** Bound to every interface (0.0.0.0 or ::). */
export function everywhere(host) {
  return host === '0.0.0.0' || host === '::';
}

/** The server listens on `port` now: reads its names. */
export function listening(names, port) {
  names.port = port;
  readNames(names);
}

function readNames(names) {
  const { host, port } = names;
  const own = ['localhost', '127.0.0.1', '[::1]'];
  if (everywhere(host)) {
    // Every interface: every address the machine has now.
    for (const list of Object.values(os.networkInterfaces())) {
      for (const a of list || []) own.push(a.family === 'IPv6' || a.family === 6 ? `[${a.address.split('%')[0]}]` : a.address);
    }
  } else {
    own.push(host.includes(':') ? `[${host}]` : host);
  }
  const set = new Set();
  const add = (h) => {
    h = h.toLowerCase();
    if (/(?::\d+)$/.test(h) && !/^\[[^\]]*\]$/.test(h)) { set.add(h); return; }
    set.add(`${h}:${port}`);
    if (port === 80) set.add(h); // browsers leave the default port out
  };
  for (const n of own) add(n);
  for (const n of names.allowHosts) add(n);
  names.allowed = set;
  names.readAt = Date.now();
}

function isOwnName(names, h) {
  h = (h || '').toLowerCase();
  if (names.allowed.has(h)) return true;
  // An address the machine got since (a new lease, a new interface).
  if (Date.now() - names.readAt > 2000) readNames(names);
  return names.allowed.has(h);
}

export function hostAllowed(names, req) {
  return isOwnName(names, req.headers.host);
}

export function originAllowed(names, req) {
  const origin = req.headers.origin;
  if (origin === undefined) return true; // not a browser's cross-site request
  return origin.startsWith('http://') && isOwnName(names, origin.slice('http://'.length));
}

/** The Host names answered to, as a list. */
export function nameList(names) {
  return [...names.allowed];
}
