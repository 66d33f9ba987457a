// The server's command line.

export const STOP_GRACE_MS = 3000; // how long a stop waits for the camera before killing the bridge

// A name for this server as a Host header gives it: a DNS name or IPv4
// address, or an IPv6 address in brackets, with an optional port.
const HOST_NAME = /^(?:[a-z0-9](?:[a-z0-9.-]*[a-z0-9])?|\[[0-9a-f:.]+\])(?::\d{1,5})?$/i;

/** The options of `argv` (without node and the script); throws on a bad one. */
export function parseArgs(argv) {
  const opts = {
    port: 8080, host: '127.0.0.1', allowHosts: [], bridge: undefined, live: undefined, photos: undefined,
    graceMs: STOP_GRACE_MS, debug: false,
  };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    const value = () => { if (i + 1 >= argv.length) throw new Error(`${a} needs a value`); return argv[++i]; };
    if (a === '--port') opts.port = Number(value());
    else if (a === '--host') opts.host = value();
    else if (a === '--allow-host') opts.allowHosts.push(value());
    else if (a === '--grace') opts.graceMs = Number(value()) * 1000;
    else if (a === '--bridge') opts.bridge = value();
    else if (a === '--live') opts.live = value();
    else if (a === '--photos') opts.photos = value();
    else if (a === '--debug') opts.debug = true;
    else throw new Error(`unknown option ${a}`);
  }
  if (!opts.photos) throw new Error('--photos DIR is required');
  if (!Number.isInteger(opts.port) || opts.port < 0 || opts.port > 65535) throw new Error('bad --port');
  if (!(opts.graceMs >= 0) || !Number.isFinite(opts.graceMs)) throw new Error('bad --grace');
  for (const h of opts.allowHosts) if (!HOST_NAME.test(h)) throw new Error(`bad --allow-host ${h}`);
  return opts;
}
