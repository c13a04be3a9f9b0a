import test from 'node:test';
import assert from 'node:assert/strict';
import { NativeBridge, BridgeMissingError } from '../../app-ui/js/bridge.js';
import { ApiClient, ApiError, interpretReply } from '../../app-ui/js/api.js';
import { LocalProgress, fromService, resumePosition } from '../../app-ui/js/progress.js';

// A window stand-in: records posted commands and delivers events like the native post().
function fakeWindow({ withHandler = true } = {}) {
  const target = new EventTarget();
  target.posted = [];
  if (withHandler) target.webkit = { messageHandlers: { velmora: { postMessage: (m) => target.posted.push(m) } } };
  target.deliver = (data) => target.dispatchEvent(new MessageEvent('message', { data }));
  return target;
}

test('without the native handler the bridge says so instead of failing silently', async () => {
  const bridge = new NativeBridge(fakeWindow({ withHandler: false }));
  assert.equal(bridge.available, false);
  assert.throws(() => bridge.send({ type: 'restoreSession' }), BridgeMissingError);
  await assert.rejects(bridge.request({ type: 'apiRequest' }), BridgeMissingError);
});

test('replies are matched by requestId whatever their order', async () => {
  const scope = fakeWindow();
  const bridge = new NativeBridge(scope);
  const first = bridge.request({ type: 'apiRequest', path: 'a' });
  const second = bridge.request({ type: 'apiRequest', path: 'b' });
  const [idA, idB] = scope.posted.map((m) => m.requestId);
  assert.notEqual(idA, idB);
  scope.deliver({ type: 'nativeResponse', requestId: idB, ok: true, result: { status: 200, body: 'B' } });
  scope.deliver({ type: 'nativeResponse', requestId: 'stranger', ok: true, result: {} });
  scope.deliver({ type: 'nativeResponse', requestId: idA, ok: true, result: { status: 200, body: 'A' } });
  assert.equal((await first).result.body, 'A');
  assert.equal((await second).result.body, 'B');
});

test('events reach their listeners; foreign messages are ignored', () => {
  const scope = fakeWindow();
  const bridge = new NativeBridge(scope);
  const seen = [];
  const stop = bridge.on('downloadProgress', (e) => seen.push(e.downloaded));
  scope.deliver({ type: 'downloadProgress', downloaded: 1 });
  scope.deliver('downloadProgress');
  scope.deliver(null);
  scope.deliver({ type: 7 });
  stop();
  scope.deliver({ type: 'downloadProgress', downloaded: 2 });
  assert.deepEqual(seen, [1]);
});

test('next() resolves with the first of several event types', async () => {
  const scope = fakeWindow();
  const answer = new NativeBridge(scope).next(['session', 'noSession']);
  scope.deliver({ type: 'error', message: 'x' });
  scope.deliver({ type: 'noSession' });
  assert.equal((await answer).type, 'noSession');
});

const reply = (status, body, message = '') => ({ type: 'nativeResponse', ok: true, result: { status, body, message } });

test('service answers become data or readable errors', () => {
  assert.deepEqual(interpretReply(reply(200, '{"code":0,"data":{"a":1}}')), { a: 1 });
  const cases = [
    [{ ok: false, message: 'Could not connect to server' }, 'network', '无法连接课堂服务：Could not connect to server'],
    [reply(401, '{"code":401,"msg":"登录已过期，请重新登录"}', '服务响应异常（HTTP 401）'), 'auth', '登录已过期，请重新登录'],
    [reply(500, '<html>', '服务响应异常（HTTP 500）'), 'service', '服务响应异常（HTTP 500）'],
    [reply(200, '{"code":3,"msg":"暂不可用"}'), 'service', '暂不可用'],
    [reply(200, 'not json'), 'service', '服务响应异常（HTTP 200）'],
  ];
  for (const [input, kind, message] of cases) {
    assert.throws(() => interpretReply(input), (e) => e instanceof ApiError && e.kind === kind && e.message === message);
  }
});

test('API calls go through apiRequest with the bearer token and a JSON body', async () => {
  const scope = fakeWindow();
  const api = new ApiClient(new NativeBridge(scope), () => 'tok');
  const call = api.post('progress', { lesson_id: 1, position: 2 });
  const sent = scope.posted[0];
  assert.equal(sent.type, 'apiRequest');
  assert.equal(sent.path, 'progress');
  assert.equal(sent.method, 'POST');
  assert.equal(sent.headers.Authorization, 'Bearer tok');
  assert.equal(sent.headers['Content-Type'], 'application/json');
  assert.deepEqual(JSON.parse(sent.jsonBody), { lesson_id: 1, position: 2 });
  scope.deliver({ ...reply(200, '{"code":0,"data":{}}'), requestId: sent.requestId });
  assert.deepEqual(await call, {});

  const anonymous = new ApiClient(new NativeBridge(scope), () => '');
  const classes = anonymous.get('classes');
  const plain = scope.posted[1];
  assert.equal('Authorization' in plain.headers, false);
  assert.equal('jsonBody' in plain, false);
  scope.deliver({ ...reply(404, '{"code":404,"msg":"班级不存在"}'), requestId: plain.requestId });
  await assert.rejects(classes, { message: '班级不存在', status: 404 });
});

test('resume picks the newer record and starts over near either end', () => {
  const older = { position: 30, updatedAt: 1000 };
  const newer = { position: 80, updatedAt: 2000 };
  assert.equal(resumePosition(older, newer, 120), 80);
  assert.equal(resumePosition(newer, older, 120), 80);
  assert.equal(resumePosition(null, older, 120), 30);
  assert.equal(resumePosition({ position: 3, updatedAt: 5 }, null, 120), 0);
  assert.equal(resumePosition({ position: 117, updatedAt: 5 }, null, 120), 0);
  assert.equal(resumePosition({ position: 117, updatedAt: 5 }, null, NaN), 117);
  assert.equal(resumePosition(null, null, 120), 0);
  assert.deepEqual(fromService({ position: 12.5, updated_at: 3 }), { position: 12.5, updatedAt: 3000 });
  assert.equal(fromService(null), null);
});

test('local progress is kept per account and survives damaged entries', () => {
  const data = new Map();
  const storage = { getItem: (k) => data.get(k) ?? null, setItem: (k, v) => data.set(k, v) };
  const mine = new LocalProgress(storage, 'k1');
  mine.save('10001', 42, 60, 1234);
  assert.deepEqual(mine.load('10001'), { position: 42, duration: 60, updatedAt: 1234 });
  assert.equal(new LocalProgress(storage, 'k2').load('10001'), null);
  data.set('velmora.progress.k1.bad', '{oops');
  assert.equal(mine.load('bad'), null);
  const full = new LocalProgress({ getItem: () => null, setItem: () => { throw new Error('quota'); } }, 'k');
  assert.doesNotThrow(() => full.save('1', 1, 1, 1));
});
