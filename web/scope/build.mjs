// Bundles the page into one self-contained file, dist/index.html: the
// script (uPlot included) and the styles are inlined, so the server sends a
// single document and the page needs nothing from the network.
import * as esbuild from 'esbuild';
import { mkdir, readFile, writeFile } from 'node:fs/promises';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const outDir = process.argv[2] ? path.resolve(process.argv[2]) : path.join(here, 'dist');

const result = await esbuild.build({
  entryPoints: [path.join(here, 'src/main.js')],
  bundle: true,
  minify: true,
  format: 'iife',
  target: ['es2020'],
  outdir: outDir,
  write: false,
  logLevel: 'warning',
});
const output = (ext) => {
  const file = result.outputFiles.find((f) => f.path.endsWith(ext));
  if (!file) throw new Error(`esbuild produced no ${ext} output`);
  return file.text;
};
// An inline script ends at the first "</script", whatever the JavaScript
// around it means; the same goes for styles.
const script = output('.js').replace(/<\/script/gi, '<\\/script');
const style = output('.css').replace(/<\/style/gi, '<\\/style');

const template = await readFile(path.join(here, 'src/index.html'), 'utf8');
for (const marker of ['/*STYLE*/', '/*SCRIPT*/']) {
  if (!template.includes(marker)) throw new Error(`src/index.html lacks ${marker}`);
}
const page = template.replace('/*STYLE*/', () => style).replace('/*SCRIPT*/', () => script);
await mkdir(outDir, { recursive: true });
await writeFile(path.join(outDir, 'index.html'), page);
console.log(`page: ${path.join(outDir, 'index.html')} (${page.length} bytes)`);
