import test from 'node:test';
import assert from 'node:assert/strict';

// Just enough of a DOM for the library view: elements with children, attributes and listeners.
class FakeNode {
  constructor(tagName) {
    Object.assign(this, { tagName, childNodes: [], parentNode: null, dataset: {}, style: {}, attributes: {}, className: '' });
  }

  get firstChild() { return this.childNodes[0] ?? null; }

  get nextSibling() {
    const siblings = this.parentNode?.childNodes ?? [];
    return siblings[siblings.indexOf(this) + 1] ?? null;
  }

  set textContent(text) { this.replaceChildren(document.createTextNode(text)); }

  addEventListener() {}
  setAttribute(name, value) { this.attributes[name] = value; }
  getAttribute(name) { return this.attributes[name] ?? null; }
  append(...nodes) { for (const node of nodes) this.insertBefore(node, null); }
  replaceChildren(...nodes) {
    for (const child of [...this.childNodes]) this.removeChild(child);
    this.append(...nodes);
  }

  insertBefore(node, before) {
    node.parentNode?.removeChild(node);
    this.childNodes.splice(before ? this.childNodes.indexOf(before) : this.childNodes.length, 0, node);
    node.parentNode = this;
  }

  removeChild(node) {
    this.childNodes.splice(this.childNodes.indexOf(node), 1);
    node.parentNode = null;
  }

  contains(node) {
    for (let at = node; at; at = at.parentNode) if (at === this) return true;
    return false;
  }
}

let frames = [];
// Building an element takes 0.1 ms; on a busy machine every look at the clock also finds it `busy` ms later.
let now = 0;
let busy = 0;
Object.assign(globalThis, {
  Node: FakeNode,
  document: { createElement: (tag) => { now += 0.1; return new FakeNode(tag); }, createTextNode: (text) => Object.assign(new FakeNode('#text'), { text }), activeElement: null },
  window: { innerHeight: 0 },
  requestAnimationFrame: (callback) => frames.push(callback),
});
performance.now = () => (now += busy);

const { App } = await import('../../app-ui/js/app.js');
const { render } = await import('../../app-ui/js/views/library.js');

const COURSES = 12;
const library = Array.from({ length: COURSES * 3 }, (_, index) => ({
  assetId: `a${index}`, classTitle: '高一', courseIndex: Math.floor(index / 3) + 1, courseTitle: `课程 ${Math.floor(index / 3) + 1}`,
  chapterIndex: 1, chapterTitle: '第一章', lessonIndex: (index % 3) + 1, lessonTitle: `课时 ${index}`, size: 4096,
}));

function signedInApp() {
  const app = new App({ send() {}, on() {} }, {});
  app.session = { token: 't', ownerKey: 'k', userName: 'u' };
  app.toast = () => {};
  app.library = library;
  app.libraryLoaded = true;
  return app;
}

const sections = (container) => container.childNodes.filter((node) => node.className.includes('library-group'));
const rowsOf = (container) => sections(container).flatMap((section) => section.childNodes[1].childNodes);

async function nextFrame() {
  frames.splice(0).forEach((callback) => callback());
  await new Promise((resolve) => setTimeout(resolve));
}

test('a redraw while the library is still being built keeps the groups on the page, and a deletion takes only its row', async () => {
  window.innerHeight = 10000;
  const app = signedInApp();
  const container = new FakeNode('main');
  render(app, container);
  const firstSlice = sections(container).length;
  await nextFrame();
  const built = sections(container);
  assert.ok(firstSlice < built.length && built.length < COURSES, `${firstSlice}, then ${built.length} groups`);

  // A slow redraw (the listing's answer on a busy machine) has no time left for new groups.
  busy = 20;
  app.emit('library', app.library);
  assert.deepEqual(sections(container), built);
  app.onDeleteCompleted({ type: 'deleteCompleted', assetId: 'a10' });
  assert.deepEqual(sections(container), built);
  assert.deepEqual(rowsOf(container).map((row) => row.dataset.asset), library.slice(0, built.length * 3).map((item) => item.assetId).filter((id) => id !== 'a10'));
  busy = 0;
});

test('coming back to the library shows the rows built on the first visit, a few screens a frame', async () => {
  window.innerHeight = 200;  // two screens hold two groups of three lessons
  const app = signedInApp();
  const first = new FakeNode('main');
  const leave = render(app, first);
  while (frames.length > 0) await nextFrame();
  const rows = rowsOf(first);
  assert.equal(rows.length, library.length);
  leave();
  first.replaceChildren();

  const again = new FakeNode('main');
  render(app, again);
  assert.equal(sections(again).length, 2);
  while (frames.length > 0) await nextFrame();
  assert.deepEqual(rowsOf(again), rows);
});
