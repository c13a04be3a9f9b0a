// Start-up: find the native bridge, restore the session, then route between the views.

import { App } from './app.js';
import { NativeBridge } from './bridge.js';
import { h, replaceChildren } from './dom.js';
import { busyCount } from './download-list.js';
import { parseRoute, routeHash } from './router.js';
import * as classes from './views/classes.js';
import * as course from './views/course.js';
import * as lesson from './views/lesson.js';
import * as library from './views/library.js';
import * as settings from './views/settings.js';
import { openShortcuts } from './views/shortcuts.js';
import * as signin from './views/signin.js';

const VIEWS = {
  classes: classes.render,
  class: classes.renderClass,
  course: course.render,
  lesson: lesson.render,
  offline: lesson.renderOffline,
  library: library.render,
  settings: settings.render,
};
const NAV_OF = { class: 'classes', course: 'classes', lesson: 'classes', offline: 'library' };

const elements = {
  view: document.getElementById('view'),
  nav: document.getElementById('nav'),
  user: document.getElementById('user'),
  banner: document.getElementById('banner'),
  toasts: document.getElementById('toasts'),
  titlebar: document.getElementById('titlebar'),
  announcer: h('div', { className: 'visually-hidden', 'aria-live': 'polite' }),
};
document.body.append(elements.announcer);
const bridge = new NativeBridge(window);
const app = new App(bridge, elements);
// The first frame drawn after load, for the app's start-up trace; the bridge ignores the message.
window.addEventListener('load', () => requestAnimationFrame(() => { if (bridge.available) bridge.send({ type: 'firstFrame' }); }));
let leaveView = null;

function show() {
  leaveView?.();
  leaveView = null;
  const { view, param } = parseRoute(location.hash);
  const signedIn = Boolean(app.session);
  document.body.classList.toggle('signed-in', signedIn);
  elements.user.textContent = signedIn ? app.session.userName : '';
  for (const button of elements.nav.querySelectorAll('[data-view]')) {
    button.setAttribute('aria-current', String(button.dataset.view === (NAV_OF[view] ?? view)));
  }
  elements.view.replaceChildren();
  window.scrollTo(0, 0);
  const render = signedIn || view === 'settings' ? VIEWS[view] : signin.render;
  leaveView = render(app, elements.view, param) ?? null;
  // Keyboard users start in the new view, unless the view put the focus somewhere itself.
  if (!elements.view.contains(document.activeElement)) elements.view.focus({ preventScroll: true });
}

function wireChrome() {
  elements.nav.addEventListener('click', (event) => {
    const target = event.target.closest('[data-view]');
    if (target) location.hash = routeHash(target.dataset.view);
  });
  for (const button of document.querySelectorAll('[data-window]')) {
    button.addEventListener('click', () => bridge.send({ type: button.dataset.window }));
  }
  elements.titlebar.addEventListener('mousedown', (event) => {
    if (event.button === 0 && !event.target.closest('button, a, input')) bridge.send({ type: 'drag' });
  });
  elements.titlebar.addEventListener('dblclick', (event) => {
    if (!event.target.closest('button, a, input')) bridge.send({ type: 'maximize' });
  });
  document.addEventListener('keydown', (event) => {
    if (event.key === 'Escape' && !event.target.closest?.('input, form, dialog')) history.back();
    if (event.key === '?' && !event.target.closest?.('input, textarea, dialog')) {
      event.preventDefault();
      openShortcuts();
    }
  });
}

/** The small count on "离线课程" while downloads run or wait. */
function wireDownloadCount() {
  const button = elements.nav.querySelector('[data-view="library"]');
  const badge = h('span', { className: 'nav-count', 'aria-hidden': 'true', hidden: true });
  button.append(badge);
  const draw = () => {
    const count = busyCount(app.trackers.values(), app.queue.waiting);
    badge.hidden = count === 0;
    badge.textContent = String(count);
    if (count > 0) button.setAttribute('aria-label', `离线课程（${count} 个下载进行中）`);
    else button.removeAttribute('aria-label');
  };
  app.subscribe('download', draw);
  app.subscribe('session', draw);
}

function showUnavailable(detail) {
  document.body.classList.add('no-bridge');
  replaceChildren(elements.view, h('section', { className: 'signin' },
    h('img', { src: 'img/logo.svg', alt: '', width: 64, height: 64 }),
    h('h1', {}, '星禾课堂'),
    h('p', { className: 'panel notice error', role: 'alert' }, detail)));
}

async function checkService() {
  try {
    const me = await app.api.get('me');
    app.webSite = typeof me?.web_site === 'string' ? me.web_site : '';
  } catch (error) {
    if (error.kind === 'auth') app.sessionExpired();
    else if (error.kind === 'network') app.showOffline();
  }
}

async function start() {
  if (!bridge.available) {
    showUnavailable('未检测到星禾课堂桌面端：这个页面需要在星禾课堂应用中打开，才能登录、下载和播放课程。');
    return;
  }
  wireChrome();
  wireDownloadCount();
  app.listen();
  app.subscribe('session', (session) => {
    if (session && parseRoute(location.hash).view === 'settings') location.hash = routeHash('classes');
    show();
  });
  window.addEventListener('hashchange', show);
  window.addEventListener('online', () => app.reconnected());
  bridge.send({ type: 'setZoom', percent: settings.storedZoom() });
  settings.sendMeteredAllowed(bridge);
  try {
    await app.restoreSession();
  } catch (error) {
    app.toast(error.message, 'error');
  }
  show();
  if (app.session) {
    app.refreshLibrary();
    app.refreshInterrupted();
    checkService();
  }
}

start();
