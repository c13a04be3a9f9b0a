import test from 'node:test';
import assert from 'node:assert/strict';
import { explainFailure } from '../../app-ui/js/failure-text.js';
import { ASSUMED_ONLINE, networkAfter, networkKind } from '../../app-ui/js/network-state.js';
import { applyMeteredAllowed, sendMeteredAllowed, storedMeteredAllowed } from '../../app-ui/js/views/settings.js';
import { MemoryStorage } from './memory-storage.js';

test('platform failures read as a Chinese sentence with the platform text as detail', () => {
  const cases = [
    ["Failed to connect to 127.0.0.1 port 47443 after 0 ms: Couldn't connect to server", "无法连接到服务器（Couldn't connect to server）"],
    ['Could not resolve host: media.velmora.test', '无法解析服务器地址（media.velmora.test）'],
    ['Operation timed out after 30001 milliseconds with 0 bytes received', '连接超时（Operation timed out after 30001 milliseconds with 0 bytes received）'],
    ['SSL certificate problem: unable to get local issuer certificate', '安全连接失败（unable to get local issuer certificate）'],
    ['Recv failure: Connection reset by peer', '连接意外中断（Connection reset by peer）'],
    ['OpenSSL SSL_read: Connection reset by peer, errno 104', '连接意外中断（Connection reset by peer, errno 104）'],
    ['transfer closed with 1048576 bytes remaining to read', '连接意外中断（transfer closed with 1048576 bytes remaining to read）'],
    ['Network is unreachable', '网络不可用（Network is unreachable）'],
    ['write /home/u/.local/share/x.part: No space left on device', '磁盘空间不足（No space left on device）'],
    ['Permission denied', '无法写入本机的离线课程目录（Permission denied）'],
    ['HTTP/2 stream 1 was not closed cleanly', '出现了意外错误（HTTP/2 stream 1 was not closed cleanly）'],
    ['trailing colon: ', '出现了意外错误（trailing colon:）'],
    // The service's and the app's own sentences are shown as they are.
    ['课程授权服务返回 HTTP 401', '课程授权服务返回 HTTP 401'],
    ['该小节已在下载队列中', '该小节已在下载队列中'],
  ];
  for (const [platform, shown] of cases) assert.equal(explainFailure('下载失败', platform), `下载失败：${shown}`, platform);
});

test('the network is online until told otherwise, and metered only while online', () => {
  const steps = [
    [{ type: 'networkChanged', available: false, metered: false }, 'offline'],
    [{ type: 'networkChanged', available: true, metered: true }, 'metered'],
    [{ type: 'networkChanged', available: 'yes' }, 'metered'],   // malformed: the state stays
    [{ type: 'downloadProgress', available: false }, 'metered'],
    [{ type: 'networkChanged', available: false, metered: true }, 'offline'],
    [{ type: 'networkChanged', available: true }, 'online'],
  ];
  let state = ASSUMED_ONLINE;
  assert.equal(networkKind(state), 'online');
  for (const [event, kind] of steps) {
    state = networkAfter(state, event);
    assert.equal(networkKind(state), kind, JSON.stringify(event));
  }
  assert.equal(state.known, true);
});

test('metered downloads stay off until switched on, and the choice survives a restart', () => {
  const storage = new MemoryStorage();
  const sent = [];
  const app = { bridge: { send: (command) => sent.push(command) } };
  sendMeteredAllowed(app.bridge, storage);
  applyMeteredAllowed(app, true, storage);
  sendMeteredAllowed(app.bridge, storage);
  applyMeteredAllowed(app, false, storage);
  sendMeteredAllowed(app.bridge, storage);
  assert.deepEqual(sent.map((c) => [c.type, c.allowed]), [false, true, true, false, false].map((v) => ['setMeteredDownloadsAllowed', v]));
  storage.setItem('velmora.meteredDownloads', 'yes');
  assert.equal(storedMeteredAllowed(storage), false);
  const broken = { getItem() { throw new Error('denied'); }, setItem() { throw new Error('full'); } };
  assert.equal(storedMeteredAllowed(broken), false);
  applyMeteredAllowed(app, true, broken);
  assert.equal(sent.at(-1).allowed, true);
});
