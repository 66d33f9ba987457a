// Test support for rigs: N simulated cards that every bridge sees at the
// same mount points (one bridge per camera, as on a USB hub), plus spare
// mount points with no card, where a card can be plugged back in to come
// back on another port.
import { mkdtempSync, mkdirSync, writeFileSync, rmSync, chmodSync, renameSync, readFileSync, existsSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { Card, CAMLIBS_DIR, GPBRIDGE, NS_RUN } from "./sim.mjs";

const q = (s) => "'" + s.replaceAll("'", "'\\''") + "'";

export class RigSim {
  /** `cards`: one scenario (a list of lines) per card; `spares`: empty mount points. */
  constructor(cards, { spares = 0 } = {}) {
    this.root = mkdtempSync(path.join(tmpdir(), "gpbridge-node-rig-"));
    this.folder = path.join(this.root, "rig");
    const mounts = [];
    this.cards = cards.map((scenario, i) => {
      const src = path.join(this.root, "cards", `card${i}`);
      mkdirSync(path.join(src, "DCIM"), { recursive: true });
      mkdirSync(path.join(src, "sim"), { recursive: true });
      writeFileSync(path.join(src, "sim", "scenario"), scenario.map((l) => l + "\n").join(""));
      const card = new Card(src, path.join(this.root, "mnt", `card${i}`));
      mounts.push([card.mount, src]);
      return card;
    });
    this.spares = Array.from({ length: spares }, (_, i) => {
      const src = path.join(this.root, "cards", `spare${i}`);
      mkdirSync(src, { recursive: true });
      const spare = { src, mount: path.join(this.root, "mnt", `spare${i}`) };
      mounts.push([spare.mount, src]);
      return spare;
    });
    const cardArgs = mounts.map(([m, s]) => `--card ${q(`${m}=${s}`)}`).join(" ");
    this.executable = path.join(this.root, "gpbridge-rig");
    writeFileSync(
      this.executable,
      `#!/bin/sh\nexec ${q(NS_RUN)} ${cardArgs} -- env CAMLIBS=${q(CAMLIBS_DIR)} ${q(GPBRIDGE)} "$@"\n`,
    );
    chmodSync(this.executable, 0o755);
  }

  /** The lines of the rig's manifest, parsed ([] before the first). */
  manifest() {
    const p = path.join(this.folder, "shots.jsonl");
    if (!existsSync(p)) return [];
    return readFileSync(p, "utf8")
      .split("\n")
      .filter((l) => l !== "")
      .map((l) => JSON.parse(l));
  }

  /**
   * Moves an unplugged card onto spare mount point `i`: plugged in again it
   * comes back on another port. The card's folders move by rename, so its
   * log and control file go with it.
   */
  movePort(card, i) {
    const spare = this.spares[i];
    for (const name of ["DCIM", "DCIM.unplugged", "sim"]) {
      if (existsSync(path.join(card.src, name))) renameSync(path.join(card.src, name), path.join(spare.src, name));
    }
    this.spares[i] = { src: card.src, mount: card.mount };
    card.src = spare.src;
    card.mount = spare.mount;
  }

  remove() {
    rmSync(this.root, { recursive: true, force: true });
  }
}
