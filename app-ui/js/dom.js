// A tiny element builder so views stay declarative without a framework.

/**
 * h('button', {className: 'primary', onClick: fn, 'aria-label': '…'}, '文字', child)
 * Props starting with "on" become listeners; `dataset` entries become data-* attributes;
 * false, null and undefined props and children are skipped.
 */
export function h(tag, props = {}, ...children) {
  const element = document.createElement(tag);
  for (const [name, value] of Object.entries(props ?? {})) {
    if (value === false || value === null || value === undefined) continue;
    if (name.startsWith('on') && typeof value === 'function') {
      element.addEventListener(name.slice(2).toLowerCase(), value);
    } else if (name === 'className') {
      element.className = value;
    } else if (name === 'dataset') {
      Object.assign(element.dataset, value);
    } else if (name in element && typeof value !== 'string') {
      element[name] = value;
    } else {
      element.setAttribute(name, value === true ? '' : String(value));
    }
  }
  append(element, children);
  return element;
}

function append(element, children) {
  for (const child of children.flat(Infinity)) {
    if (child === null || child === undefined || child === false) continue;
    element.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
}

export function replaceChildren(element, ...children) {
  element.replaceChildren();
  append(element, children);
}

/**
 * Makes `nodes` the children of `parent`, touching only the places where they differ: children that
 * stay are neither re-inserted nor moved, so one removed row costs one removal, not a rebuilt list.
 */
export function reconcileChildren(parent, nodes) {
  const wanted = new Set(nodes);
  let current = parent.firstChild;
  const dropUnwanted = () => {
    while (current && !wanted.has(current)) {
      const next = current.nextSibling;
      parent.removeChild(current);
      current = next;
    }
  };
  for (const node of nodes) {
    dropUnwanted();
    if (node === current) current = current.nextSibling;
    else parent.insertBefore(node, current);
  }
  wanted.clear();
  dropUnwanted();
}

/** A panel saying something went wrong, with an optional retry button. */
export function errorPanel(message, retry) {
  return h('section', { className: 'panel notice error', role: 'alert' },
    h('p', {}, message),
    retry && h('button', { type: 'button', className: 'secondary', onClick: retry }, '重试'));
}

export function loadingPanel(text = '正在加载…') {
  return h('p', { className: 'loading', role: 'status' }, text);
}

function focusKey(element) {
  return `${element.closest('[data-asset]')?.dataset.asset ?? ''}\u0000${element.getAttribute('aria-label') ?? element.textContent}`;
}

/** Runs `redraw()` on `container` and gives the focus back to the control that had it, if it is still there. */
export function keepingFocus(container, redraw) {
  const focused = container.contains(document.activeElement) ? document.activeElement : null;
  const key = focused && focusKey(focused);
  redraw();
  if (!focused || container.contains(focused)) return;
  const row = key.split('\u0000')[0];
  // A control that was in a row can only come back in that row: look there, not through a whole long list.
  const scopes = row ? [...container.querySelectorAll(`[data-asset="${CSS.escape(row)}"]`)] : [container];
  const controls = scopes.flatMap((scope) => [...scope.querySelectorAll('button, a, input')]);
  // The same control if it is back, else the first one in the same row (a button that turned into another).
  (controls.find((element) => focusKey(element) === key) ??
    controls.find((element) => row && element.closest('[data-asset]')?.dataset.asset === row))?.focus();
}
