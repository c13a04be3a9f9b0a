// Sign-in: the learner's account and password go to the service through the native proxy; the
// session it answers is handed to the native side to be kept sealed on this machine.

import { h } from '../dom.js';

export function render(app, container) {
  const message = h('p', { className: 'form-error', role: 'alert' });
  const account = h('input', { id: 'account', name: 'account', autocomplete: 'username', required: true, autofocus: true });
  const password = h('input', { id: 'password', name: 'password', type: 'password', autocomplete: 'current-password', required: true });
  const submit = h('button', { type: 'submit', className: 'primary' }, '登录');

  const onSubmit = async (event) => {
    event.preventDefault();
    if (!account.value.trim() || !password.value) {
      message.textContent = '请输入账号和密码';
      return;
    }
    submit.disabled = true;
    submit.textContent = '正在登录…';
    message.textContent = '';
    try {
      await app.signIn(account.value.trim(), password.value);
    } catch (error) {
      message.textContent = error.message;
      submit.disabled = false;
      submit.textContent = '登录';
      password.select();
    }
  };

  container.append(h('section', { className: 'signin' },
    h('img', { src: 'img/logo.svg', alt: '', width: 64, height: 64 }),
    h('h1', {}, '欢迎来到星禾课堂'),
    h('p', { className: 'muted' }, '登录后可在线学习，也可以把课时下载到本机离线观看。'),
    h('form', { className: 'panel form', onSubmit, novalidate: true },
      h('label', { for: 'account' }, '账号'), account,
      h('label', { for: 'password' }, '密码'), password,
      message, submit)));
  account.focus();
}
