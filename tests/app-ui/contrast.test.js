// The dark theme's colour pairs against WCAG AA: 4.5:1 for text, 3:1 for bars and focus rings.
import test from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';

const css = readFileSync(new URL('../../app-ui/css/app.css', import.meta.url), 'utf8');
const colours = Object.fromEntries([...css.matchAll(/--([\w-]+):\s*(#[0-9a-f]{3,6})\b/gi)].map(([, name, hex]) => [name, hex]));

function luminance(hex) {
  const digits = hex.length === 4 ? [...hex.slice(1)].map((d) => d + d) : hex.slice(1).match(/../g);
  const [r, g, b] = digits.map((d) => parseInt(d, 16) / 255).map((c) => (c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4));
  return 0.2126 * r + 0.7152 * g + 0.0722 * b;
}

function contrast(a, b) {
  const [light, dark] = [luminance(a), luminance(b)].sort((x, y) => y - x);
  return (light + 0.05) / (dark + 0.05);
}

const TEXT = 4.5;
const GRAPHIC = 3;
const PAIRS = [
  ...['bg', 'surface', 'surface-2'].flatMap((back) => ['text', 'muted', 'accent', 'danger', 'ok'].map((fore) => [fore, back, TEXT])),
  ['on-accent', 'accent-strong', TEXT], ['on-accent', 'accent-2-strong', TEXT], ['on-accent', 'danger-strong', TEXT],
  ['banner-text', 'banner-bg', TEXT],
  ['accent', 'surface-2', GRAPHIC], ['accent-2', 'surface-2', GRAPHIC], ['accent', 'bg', GRAPHIC],
];

test('every text and control colour pair of the theme meets WCAG AA', () => {
  for (const [fore, back, minimum] of PAIRS) {
    assert.ok(colours[fore] && colours[back], `--${fore} or --${back} is not a hex colour in app.css`);
    const ratio = contrast(colours[fore], colours[back]);
    assert.ok(ratio >= minimum, `--${fore} on --${back}: ${ratio.toFixed(2)}:1, needs ${minimum}:1`);
  }
});

test('white text sits only on the strong fills', () => {
  const rules = css.replace(/\/\*[\s\S]*?\*\//g, '').match(/[^{}]+\{[^}]*\}/g);
  for (const rule of rules.filter((r) => /color:\s*(#fff\b|var\(--on-accent\))/.test(r))) {
    const fills = [...rule.matchAll(/background:[^;]*/g)].join(' ');
    assert.doesNotMatch(fills, /var\(--(accent|accent-2|danger)\)/, `light fill behind white text: ${rule.trim()}`);
  }
});
