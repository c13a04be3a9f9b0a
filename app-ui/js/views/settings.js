// Settings: page zoom (90–160 %), downloads over metered connections, the signed-in account, and
// where the app runs. Both settings live in the page's storage; the native side is told at start-up.

import { h } from '../dom.js';

export const ZOOM_KEY = 'velmora.zoom';
export const METERED_KEY = 'velmora.meteredDownloads';
const ZOOM_MIN = 90;
const ZOOM_MAX = 160;

export function storedZoom() {
  const value = Number(localStorage.getItem(ZOOM_KEY));
  return Number.isFinite(value) && value >= ZOOM_MIN && value <= ZOOM_MAX ? value : 100;
}

export function applyZoom(app, percent) {
  localStorage.setItem(ZOOM_KEY, String(percent));
  app.bridge.send({ type: 'setZoom', percent });
}

/** Whether downloads may use a metered connection: off unless the learner switched it on. */
export function storedMeteredAllowed(storage = localStorage) {
  try {
    return storage.getItem(METERED_KEY) === 'true';
  } catch {
    return false;
  }
}

/** Tells the native side the stored choice; sent after load, before the session is restored. */
export function sendMeteredAllowed(bridge, storage = localStorage) {
  bridge.send({ type: 'setMeteredDownloadsAllowed', allowed: storedMeteredAllowed(storage) });
}

export function applyMeteredAllowed(app, allowed, storage = localStorage) {
  try {
    storage.setItem(METERED_KEY, String(allowed === true));
  } catch {
    // A storage that refuses keeps the choice for this run only: the native side still gets it.
  }
  app.bridge.send({ type: 'setMeteredDownloadsAllowed', allowed: allowed === true });
}

export function render(app, container) {
  const label = h('output', { for: 'zoom' }, `${storedZoom()}%`);
  const slider = h('input', {
    id: 'zoom', type: 'range', min: ZOOM_MIN, max: ZOOM_MAX, step: 10, value: storedZoom(),
    onInput: () => { label.textContent = `${slider.value}%`; },
    onChange: () => applyZoom(app, Number(slider.value)),
  });
  const native = document.body.classList.contains('mac-native');
  const metered = h('input', {
    id: 'metered', type: 'checkbox', role: 'switch', checked: storedMeteredAllowed(),
    onChange: () => applyMeteredAllowed(app, metered.checked),
  });

  container.append(
    h('h1', {}, '设置'),
    h('section', { className: 'panel form' },
      h('h2', {}, '显示'),
      h('label', { for: 'zoom' }, '页面缩放'),
      h('div', { className: 'zoom' }, slider, label,
        h('button', { type: 'button', className: 'secondary', onClick: () => {
          slider.value = 100;
          label.textContent = '100%';
          applyZoom(app, 100);
        } }, '恢复默认'))),
    h('section', { className: 'panel form' },
      h('h2', {}, '下载'),
      h('label', { className: 'switch', for: 'metered' }, metered, '允许使用计量网络下载'),
      h('p', { className: 'muted' }, '关闭时，连接按流量计费的网络（如手机热点）时不下载离线课程；可在下载任务中选择“仍然下载”。')),
    app.session && h('section', { className: 'panel form' },
      h('h2', {}, '账号'),
      h('p', {}, `当前登录：${app.session.userName}`),
      h('button', { type: 'button', className: 'secondary', onClick: () => app.signOut() }, '退出登录')),
    h('section', { className: 'panel form' },
      h('h2', {}, '关于'),
      h('p', { className: 'muted' }, native ? `桌面端 · ${navigator.userAgent}` : '网页预览（未在桌面端中运行）'),
      app.webSite && h('button', {
        type: 'button', className: 'secondary',
        onClick: () => app.bridge.send({ type: 'openExternal', url: app.webSite }),
      }, '访问星禾课堂官网')));
}
