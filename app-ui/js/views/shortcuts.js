// The keyboard help panel, opened with "?" anywhere or from the player. A modal dialog: Escape or
// "关闭" closes it and the focus returns where it was.

import { h } from '../dom.js';
import { PLAYER_KEY_HELP } from '../player-keys.js';

export function openShortcuts() {
  if (document.querySelector('dialog.shortcuts')) return;
  const close = h('button', { type: 'button', className: 'secondary', onClick: () => dialog.close() }, '关闭');
  const dialog = h('dialog', { className: 'shortcuts', 'aria-labelledby': 'shortcuts-title' },
    h('h2', { id: 'shortcuts-title' }, '键盘快捷键'),
    h('p', { className: 'muted' }, 'Tab 在按钮和链接之间移动，Enter 打开或执行。播放课时时：'),
    h('dl', {}, PLAYER_KEY_HELP.map(([keys, what]) => [
      h('dt', {}, keys.map((key) => h('kbd', {}, key))),
      h('dd', {}, what),
    ])),
    h('div', { className: 'dialog-actions' }, close));
  dialog.addEventListener('close', () => dialog.remove());
  document.body.append(dialog);
  dialog.showModal();
  close.focus();
}
