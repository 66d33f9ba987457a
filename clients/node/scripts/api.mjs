// Prints the package's public surface from the built type declarations:
// every name index.d.ts exports, with the declaration text it resolves to
// (doc comments included), private class members left out. Two builds with
// the same output have the same API, however the sources are split.
//
//   node scripts/api.mjs [dist/index.d.ts] > api.txt
import { createRequire } from "node:module";
import path from "node:path";
import { fileURLToPath } from "node:url";

const here = path.dirname(path.dirname(fileURLToPath(import.meta.url)));
const ts = createRequire(import.meta.url)("typescript");
const entry = path.resolve(process.argv[2] ?? path.join(here, "dist/index.d.ts"));
const program = ts.createProgram([entry], { noEmit: true, skipLibCheck: true, types: [] });
const checker = program.getTypeChecker();
const module = checker.getSymbolAtLocation(program.getSourceFile(entry));

const isPrivate = (m) =>
  (ts.canHaveModifiers(m) && ts.getModifiers(m)?.some((x) => x.kind === ts.SyntaxKind.PrivateKeyword)) ||
  (m.name !== undefined && ts.isPrivateIdentifier(m.name));

function text(decl) {
  const src = decl.getSourceFile();
  if (!ts.isClassDeclaration(decl)) return decl.getFullText(src).trim();
  // The class with its private members cut out.
  let out = "";
  let at = decl.getFullStart();
  for (const m of decl.members) {
    if (!isPrivate(m) || ts.isConstructorDeclaration(m)) continue; // a private constructor is API too
    out += src.text.slice(at, m.getFullStart());
    at = m.getEnd();
  }
  return (out + src.text.slice(at, decl.getEnd())).trim();
}

const dist = path.dirname(entry);
const ours = (d) => path.resolve(d.getSourceFile().fileName).startsWith(dist + path.sep);
const resolve = (s) => (s.flags & ts.SymbolFlags.Alias ? checker.getAliasedSymbol(s) : s);

/** The package's own declarations a public one names that are not exported themselves. */
function referenced(decl, found) {
  const visit = (node) => {
    if (isPrivate(node)) return;
    if (ts.isTypeReferenceNode(node) || ts.isExpressionWithTypeArguments(node) || ts.isTypeQueryNode(node)) {
      const name = node.typeName ?? node.expression ?? node.exprName;
      const s = name && checker.getSymbolAtLocation(name);
      if (s) found.add(resolve(s));
    }
    ts.forEachChild(node, visit);
  };
  visit(decl);
}

const lines = [];
const exported = checker.getExportsOfModule(module).sort((a, b) => a.name.localeCompare(b.name));
const shown = new Set(exported.map(resolve));
const hidden = new Set();
for (const sym of exported) {
  lines.push(`=== ${sym.name}`);
  for (const d of resolve(sym).declarations ?? []) {
    lines.push(text(d));
    referenced(d, hidden);
  }
}
// Unexported types the API names, and the ones they name, in turn.
for (const sym of hidden) {
  if (shown.has(sym) || !(sym.declarations ?? []).some(ours)) continue;
  shown.add(sym);
  lines.push(`=== (not exported) ${sym.name}`);
  for (const d of sym.declarations.filter(ours)) {
    lines.push(text(d));
    referenced(d, hidden);
  }
}
process.stdout.write(lines.join("\n") + "\n");
