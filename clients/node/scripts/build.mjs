// Builds the package: the ES module build in dist/, the CommonJS build in
// dist/cjs/ (marked as CommonJS by a package.json of its own), each with
// its type declarations.
import { execFileSync } from "node:child_process";
import { rmSync, writeFileSync } from "node:fs";
import { createRequire } from "node:module";
import path from "node:path";
import { fileURLToPath } from "node:url";

const here = path.dirname(path.dirname(fileURLToPath(import.meta.url)));
const tsc = createRequire(import.meta.url).resolve("typescript/bin/tsc");
rmSync(path.join(here, "dist"), { recursive: true, force: true });
for (const config of ["tsconfig.json", "tsconfig.cjs.json"]) {
  execFileSync(process.execPath, [tsc, "-p", path.join(here, config)], { stdio: "inherit" });
}
writeFileSync(path.join(here, "dist/cjs/package.json"), '{ "type": "commonjs" }\n');
