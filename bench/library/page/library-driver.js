// Drives the packaged page through a large library and posts the timings to the benchmark
// (window.benchConfig: report, ownerKey, lessons).
import { drive, pause, until } from './bench-session.js';

const config = window.benchConfig;
const OPENS = 5;
const DELETES = 3;
// Half a screen a frame: as fast as a learner flicks through the list.
const SCROLL_STEP_SCREENS = 0.5;

// Every mark the page makes, as it makes it (the page keeps only the latest of each name).
const marks = [];
new PerformanceObserver((list) => marks.push(...list.getEntries())).observe({ type: 'mark', buffered: true });

/** The time of the page's first mark `name` made after `after`, once there is one and `test()` holds. */
async function markAfter(name, after, test = () => true) {
  const made = () => marks.find((entry) => entry.name === name && entry.startTime > after);
  await until(() => made() && test(), `"${name}" mark`);
  return made().startTime;
}

/** When `element` leaves the page. */
function removal(element) {
  return new Promise((resolve) => {
    const observer = new MutationObserver(() => {
      if (element.isConnected) return;
      observer.disconnect();
      resolve(performance.now());
    });
    observer.observe(document.getElementById('view'), { childList: true, subtree: true });
  });
}

const rows = () => document.querySelectorAll('.library-item');
const row = (assetId) => document.querySelector(`.library-item[data-asset="${assetId}"]`);
const nav = (view) => document.querySelector(`[data-view="${view}"]`);

/** When the first row is in the page. */
function firstRow() {
  return new Promise((resolve) => {
    const observer = new MutationObserver(() => {
      if (rows().length === 0) return;
      observer.disconnect();
      resolve(performance.now());
    });
    observer.observe(document.getElementById('view'), { childList: true, subtree: true });
  });
}

async function openLibrary() {
  nav('settings').click();
  await pause(400);
  const shown = firstRow();
  const clicked = performance.now();
  nav('library').click();
  const painted = await markAfter('library-painted', clicked, () => rows().length > 0);
  // The view asks for the listing as it opens.
  const listed = await markAfter('library-listed', clicked);
  const asked = await markAfter('library-listing-asked', clicked);
  await until(() => rows().length === config.lessons, 'whole library');
  await pause(300);
  return { paintMs: painted - clicked, domMs: (await shown) - clicked, listingMs: listed - asked };
}

/** How long a frame takes to be drawn on this machine now, with nothing changed: the floor of every paint above. */
async function idleFrame() {
  await pause(200);
  const start = performance.now();
  await new Promise((resolve) => requestAnimationFrame(() => setTimeout(resolve)));
  return performance.now() - start;
}

/** Scrolls the page from top to bottom a step a frame; the longest stretch without a task of ours getting through. */
async function scrollThrough() {
  const page = document.scrollingElement;
  page.scrollTop = 0;
  await pause(300);
  // Timer callbacks (not a message loop, which would starve the frames) show how long the page's thread was held.
  let longest = 0;
  let last = performance.now();
  let pinging = true;
  const ping = () => {
    const now = performance.now();
    longest = Math.max(longest, now - last);
    last = now;
    if (pinging) setTimeout(ping);
  };
  setTimeout(ping);
  const started = performance.now();
  await new Promise((resolve) => {
    const step = () => {
      page.scrollTop += page.clientHeight * SCROLL_STEP_SCREENS;
      if (page.scrollTop + page.clientHeight >= page.scrollHeight - 1) resolve();
      else requestAnimationFrame(step);
    };
    requestAnimationFrame(step);
  });
  pinging = false;
  return { longestTaskMs: longest, scrollMs: performance.now() - started };
}

async function deleteLesson(assetId) {
  row(assetId).scrollIntoView({ block: 'center' });
  await pause(300);
  [...row(assetId).querySelectorAll('button')].find((button) => button.textContent === '删除').click();
  await until(() => row(assetId)?.querySelector('button.danger'), 'delete confirmation');
  await pause(300);
  const removed = removal(row(assetId));
  const clicked = performance.now();
  row(assetId).querySelector('button.danger').click();
  const gone = await removed;
  const painted = await markAfter('library-painted', gone);
  await pause(300);
  return { deleteMs: painted - clicked, domMs: gone - clicked };
}

async function run() {
  await markAfter('library-listed', 0);
  const opens = [];
  for (let open = 0; open < OPENS; open += 1) opens.push(await openLibrary());
  const frames = [];
  for (let frame = 0; frame < OPENS; frame += 1) frames.push(await idleFrame());
  const { longestTaskMs, scrollMs } = await scrollThrough();
  const shown = rows().length;
  const deletes = [];
  for (let index = 1; index <= DELETES; index += 1) {
    deletes.push(await deleteLesson(rows()[Math.floor((rows().length * index) / (DELETES + 1))].dataset.asset));
  }
  const of = (list, key) => list.map((entry) => entry[key]);
  return {
    rows: shown, paintMs: of(opens, 'paintMs'), openDomMs: of(opens, 'domMs'), listingMs: of(opens, 'listingMs'), idleFrameMs: frames,
    longestTaskMs, scrollMs, deleteMs: of(deletes, 'deleteMs'), deleteDomMs: of(deletes, 'domMs'),
  };
}

drive(run);
