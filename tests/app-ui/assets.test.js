// Checks the packaged page as the app scheme serves it: only file types it maps, and every
// module import and page reference pointing at a file that exists.
import test from 'node:test';
import assert from 'node:assert/strict';
import { readdirSync, readFileSync, existsSync, statSync } from 'node:fs';
import { dirname, extname, join, relative, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const root = resolve(dirname(fileURLToPath(import.meta.url)), '../../app-ui');
const MAPPED = new Set(['.html', '.css', '.js', '.svg', '.png', '.jpg', '.jpeg', '.webp']);

function files(folder) {
  return readdirSync(folder).flatMap((name) => {
    const path = join(folder, name);
    return statSync(path).isDirectory() ? files(path) : [path];
  });
}

test('every packaged file has a type the app scheme maps', () => {
  for (const path of files(root)) {
    assert.ok(MAPPED.has(extname(path).toLowerCase()), `${relative(root, path)} would be served as octet-stream`);
    assert.ok(!relative(root, path).includes('..'), `${path} has a name the app scheme refuses`);
  }
});

test('module imports and page references resolve to packaged files', () => {
  const references = [];
  for (const path of files(root)) {
    const text = readFileSync(path, 'utf8');
    if (path.endsWith('.js')) {
      for (const [, target] of text.matchAll(/(?:import|export)[^'"]*?from\s+'([^']+)'/g)) references.push([path, target]);
    } else if (path.endsWith('.html')) {
      for (const [, target] of text.matchAll(/(?:src|href)="([^"#:]+)"/g)) references.push([path, target]);
    }
  }
  assert.ok(references.length > 20);
  for (const [from, target] of references) {
    assert.ok(target.startsWith('.') || !target.startsWith('/'), `${relative(root, from)}: ${target} is not relative`);
    assert.ok(existsSync(resolve(dirname(from), target)), `${relative(root, from)} refers to missing ${target}`);
  }
});

test('images the views use by address exist', () => {
  for (const path of files(root).filter((p) => p.endsWith('.js'))) {
    for (const [, target] of readFileSync(path, 'utf8').matchAll(/src: '([^']+)'/g)) {
      assert.ok(existsSync(join(root, target)), `${relative(root, path)} shows missing ${target}`);
    }
  }
});

// The page preloads its whole module graph so that it arrives in one round through the app scheme
// rather than one round per import level; a module left out would load late again.
test('index.html preloads every module main.js imports, directly or not', () => {
  const html = readFileSync(join(root, 'index.html'), 'utf8');
  const preloaded = new Set([...html.matchAll(/rel="modulepreload" href="([^"]+)"/g)].map(([, href]) => resolve(root, href)));
  const pending = [resolve(root, 'js/main.js')];
  const reached = new Set();
  while (pending.length > 0) {
    const path = pending.pop();
    if (reached.has(path)) continue;
    reached.add(path);
    for (const [, target] of readFileSync(path, 'utf8').matchAll(/(?:import|export)[^'"]*?from\s+'([^']+)'/g)) pending.push(resolve(dirname(path), target));
  }
  reached.delete(resolve(root, 'js/main.js'));
  for (const path of reached) assert.ok(preloaded.has(path), `index.html does not preload ${relative(root, path)}`);
});
