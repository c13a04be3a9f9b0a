// Settings: page zoom (90–160 %), the signed-in account, and where the app runs.

import { h } from '../dom.js';

export const ZOOM_KEY = 'velmora.zoom';
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

export function render(app, container) {
  const label = h('output', { for: 'zoom' }, `${storedZoom()}%`);
  const slider = h('input', {
    id: 'zoom', type: 'range', min: ZOOM_MIN, max: ZOOM_MAX, step: 10, value: storedZoom(),
    onInput: () => { label.textContent = `${slider.value}%`; },
    onChange: () => applyZoom(app, Number(slider.value)),
  });
  const native = document.body.classList.contains('mac-native');

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
