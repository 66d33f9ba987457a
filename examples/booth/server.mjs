#!/usr/bin/env node
// Photo booth server: one camera through gpbridge, one page in the browser.
//
//   node server.mjs --photos DIR [--port 8080] [--host 127.0.0.1]
//                   [--allow-host NAME]... [--bridge EXECUTABLE] [--live DIR]
//                   [--grace SECONDS] [--debug]
//
// Serves the page and its assets, the live view (frame by frame for the
// page, and as an MJPEG stream), Server-Sent Events with the camera's state,
// a small JSON API the page posts to, and the photos in the download folder.
// Nothing else is reachable. The parts are in src/ (see the README).

import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { parseArgs } from './src/options.mjs';
import { createBooth } from './src/http.mjs';
import { everywhere } from './src/names.mjs';
import { KILL_WAIT_MS } from './src/camera.mjs';

export { createBooth } from './src/http.mjs';
export { explain } from './src/messages.mjs';
export { photoFile } from './src/photos.mjs';

async function main() {
  let opts;
  try {
    opts = parseArgs(process.argv.slice(2));
  } catch (err) {
    process.stderr.write(`booth: ${err.message}\n`);
    process.exit(2);
  }
  const booth = await createBooth(opts);
  process.stdout.write(`${booth.url}\n`);
  if (everywhere(opts.host)) {
    process.stderr.write(`booth: answering to ${booth.names().join(', ')}\n`);
  }
  // The first signal stops in order, within the grace period and a little
  // more; a second one (Ctrl-C again) kills the bridge and exits at once.
  let stopping = false;
  const stop = (signal) => {
    const status = 128 + os.constants.signals[signal];
    if (stopping) {
      booth.kill();
      process.exit(status);
    }
    stopping = true;
    setTimeout(() => { booth.kill(); process.exit(status); }, opts.graceMs + 2 * KILL_WAIT_MS + 1000).unref();
    booth.close().then(() => process.exit(0), () => process.exit(status));
  };
  for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) process.on(signal, stop);
}

if (process.argv[1] && path.resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  main().catch((err) => {
    process.stderr.write(`booth: ${err.stack || err}\n`);
    process.exit(1);
  });
}
