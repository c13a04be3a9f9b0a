// Drives the packaged page through a large library and posts the timings to the benchmark
// (window.benchConfig: report, ownerKey, lessons).
import { drive, pause, until } from './bench-session.js';

const config = window.benchConfig;
const OPENS = 5;
const DELETES = 3;
const SCROLL_STEP_PX = 120;

/** The time of the page's mark `name` once one is made after `after`. */
async function markAfter(name, after, test = () => true) {
  const made = () => performance.getEntriesByName(name, 'mark').find((entry) => entry.startTime > after);
  await until(() => made() && test(), `"${name}" mark`);
  return made().startTime;
}

const rows = () => document.querySelectorAll('.library-item');
const row = (assetId) => document.querySelector(`.library-item[data-asset="${assetId}"]`);
const nav = (view) => document.querySelector(`[data-view="${view}"]`);

async function openLibrary() {
  nav('settings').click();
  await pause(400);
  const clicked = performance.now();
  nav('library').click();
  const painted = await markAfter('library-painted', clicked, () => rows().length > 0);
  // The view asks for the listing as it opens.
  const listed = await markAfter('library-listed', clicked);
  const asked = await markAfter('library-listing-asked', clicked);
  await until(() => rows().length === config.lessons, 'whole library');
  await pause(300);
  return { paintMs: painted - clicked, listingMs: listed - asked };
}

/** Scrolls the view from top to bottom a step a frame; the longest stretch without a task of ours getting through. */
async function scrollThrough() {
  const view = document.getElementById('view');
  view.scrollTop = 0;
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
      view.scrollTop += SCROLL_STEP_PX;
      if (view.scrollTop + view.clientHeight >= view.scrollHeight - 1) resolve();
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
  const clicked = performance.now();
  row(assetId).querySelector('button.danger').click();
  const painted = await markAfter('library-painted', clicked, () => !row(assetId));
  await pause(300);
  return painted - clicked;
}

async function run() {
  await markAfter('library-listed', 0);
  const paintMs = [];
  const listingMs = [];
  for (let open = 0; open < OPENS; open += 1) {
    const opened = await openLibrary();
    paintMs.push(opened.paintMs);
    listingMs.push(opened.listingMs);
  }
  const { longestTaskMs, scrollMs } = await scrollThrough();
  const shown = rows().length;
  const deleteMs = [];
  for (let index = 1; index <= DELETES; index += 1) {
    deleteMs.push(await deleteLesson(rows()[Math.floor((rows().length * index) / (DELETES + 1))].dataset.asset));
  }
  return { rows: shown, paintMs, listingMs, longestTaskMs, scrollMs, deleteMs };
}

drive(run);
