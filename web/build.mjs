// Bundles the dashboard page into one folder: node build.mjs OUTDIR
// (index.html, main.js, style.css). Everything the page loads comes from there
// or from kav serve itself.
import { build } from "esbuild";
import { copyFileSync, mkdirSync } from "node:fs";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
const out = process.argv[2] ?? join(here, "dist");
mkdirSync(out, { recursive: true });
await build({
  entryPoints: [join(here, "src/main.js")],
  bundle: true,
  format: "esm",
  minify: true,
  sourcemap: false,
  target: "es2020",
  outfile: join(out, "main.js"),
  logLevel: "warning",
});
for (const file of ["index.html", "style.css"]) copyFileSync(join(here, "src", file), join(out, file));
