import test from 'node:test';
import assert from 'node:assert/strict';
import { App, OFFLINE_NOTICE } from '../../app-ui/js/app.js';
import { NativeBridge } from '../../app-ui/js/bridge.js';
import { MemoryStorage } from './memory-storage.js';

const ACCOUNT = { token: 't-a', ownerKey: 'acct-a', userName: '小明' };
const OTHER = { token: 't-b', ownerKey: 'acct-b', userName: '小红' };
const settled = () => new Promise((resolve) => setTimeout(resolve, 0));

// The page's bridge to a native side whose classroom service is unreachable until `reachable` is
// set; the service keeps the progress it is sent, stamped in whole seconds as the real one does,
// and the native side holds ACCOUNT's session.
function service() {
  const state = { reachable: false, sent: [], progress: new Map(), status: 200 };
  const answer = (command) => {
    const body = command.jsonBody ? JSON.parse(command.jsonBody) : null;
    if (command.path === 'progress') {
      state.sent.push([command.headers.Authorization, body.lesson_id, body.position]);
      if (state.status !== 200) return { status: state.status, body: { code: 1, msg: '不行' } };
      state.progress.set(body.lesson_id, { position: body.position, updated_at: Math.floor(Date.now() / 1000) });
    }
    const lesson = /^lessons\/(\d+)$/.exec(command.path);
    const data = lesson ? { id: Number(lesson[1]), progress: state.progress.get(Number(lesson[1])) ?? null } : {};
    return { status: 200, body: { code: 0, data } };
  };
  const reply = (command) => {
    if (command.type === 'restoreSession') return { type: 'session', ...ACCOUNT };
    if (!state.reachable) return { type: 'nativeResponse', ok: false, message: 'Could not connect to server' };
    const { status, body } = answer(command);
    return { type: 'nativeResponse', ok: true, result: { status, body: JSON.stringify(body), message: '' } };
  };
  const postMessage = (command) => setTimeout(() => state.bridge.receive({ requestId: command.requestId, ...reply(command) }));
  state.bridge = new NativeBridge({ webkit: { messageHandlers: { velmora: { postMessage } } } });
  state.bridge.deliver = (data) => state.bridge.receive(data);
  return state;
}

function appOn(svc, storage, session = ACCOUNT) {
  const app = new App(svc.bridge, { banner: { textContent: '', hidden: true } }, storage);
  app.listen();
  app.useSession(session);
  return app;
}

async function watchOffline(app) {
  app.saveProgress(1, 5, 40);
  app.saveProgress(2, 8, 40);
  await settled();
  app.saveProgress(1, 12, 40);
  await app.outbox.flush();
}

test('saves made offline reach the service when it can be reached again, oldest first, newest per lesson, once', async () => {
  const triggers = [
    ['the next successful API call', (app) => app.api.get('classes')],
    ['the network coming back', (app, svc) => svc.bridge.deliver({ type: 'networkChanged', available: true, metered: false })],
    ['a restart', (app, svc, storage) => appOn(svc, storage, null).restoreSession()],
    ['two triggers at once', (app, svc) => {
      svc.bridge.deliver({ type: 'networkChanged', available: true, metered: false });
      app.reconnected();
    }],
  ];
  for (const [name, trigger] of triggers) {
    const svc = service();
    const storage = new MemoryStorage();
    const app = appOn(svc, storage);
    await watchOffline(app);
    assert.deepEqual(svc.sent, [], name);
    svc.reachable = true;
    await trigger(app, svc, storage);
    for (let i = 0; i < 20; i += 1) await settled();
    svc.bridge.deliver({ type: 'networkChanged', available: true, metered: false });
    await app.outbox.flush();
    assert.deepEqual(svc.sent, [['Bearer t-a', 2, 8], ['Bearer t-a', 1, 12]], name);
    assert.equal(storage.getItem('velmora.progressOutbox.acct-a'), null, name);
  }
});

test('the queue stays while the network is still down or the service fails, and drops what the service refuses', async () => {
  for (const [name, prepare, sentLater] of [
    ['no network yet', (svc) => svc.bridge.deliver({ type: 'networkChanged', available: false, metered: false }), 2],
    ['service fault', (svc) => { svc.reachable = true; svc.status = 503; svc.bridge.deliver({ type: 'networkChanged', available: true }); }, 2],
    ['refused record', (svc) => { svc.reachable = true; svc.status = 400; svc.bridge.deliver({ type: 'networkChanged', available: true }); }, 0],
  ]) {
    const svc = service();
    const app = appOn(svc, new MemoryStorage());
    await watchOffline(app);
    prepare(svc);
    await app.outbox.flush();
    svc.reachable = true;
    svc.status = 200;
    const before = svc.sent.length;
    await app.api.get('classes');
    await app.outbox.flush();
    assert.equal(svc.sent.length - before, sentLater, name);
  }
});

test('a newer record on the service is not overwritten, and a save that already arrived is not sent again', async () => {
  const svc = service();
  const storage = new MemoryStorage();
  await watchOffline(appOn(svc, storage));
  svc.reachable = true;
  // Lesson 1 was watched further on another device after this machine's save.
  svc.progress.set(1, { position: 30, updated_at: Math.floor(Date.now() / 1000) + 60 });
  // Lesson 2's save reached the service just before the page went away, unconfirmed.
  svc.progress.set(2, { position: 8, updated_at: Math.floor(Date.now() / 1000) });
  const app = appOn(svc, storage);
  await app.outbox.flush();
  assert.deepEqual(svc.sent, []);
  assert.equal(svc.progress.get(1).position, 30);
  assert.equal(storage.getItem('velmora.progressOutbox.acct-a'), null);
});

test('signing out keeps the queue for that account; another account never sends it', async () => {
  const svc = service();
  const storage = new MemoryStorage();
  const app = appOn(svc, storage);
  await watchOffline(app);
  app.signOut();
  svc.reachable = true;
  await settled();
  app.useSession(OTHER);
  app.saveProgress(7, 3, 40);
  await app.outbox.flush();
  assert.deepEqual(svc.sent, [['Bearer t-b', 7, 3]]);
  app.useSession(ACCOUNT);
  await app.outbox.flush();
  assert.deepEqual(svc.sent.slice(1), [['Bearer t-a', 2, 8], ['Bearer t-a', 1, 12]]);
});

test('the offline notice goes away as soon as the service answers again', async () => {
  const svc = service();
  const app = appOn(svc, new MemoryStorage());
  app.showOffline();
  assert.equal(app.elements.banner.textContent, OFFLINE_NOTICE);
  await app.api.get('classes').catch(() => {});
  assert.equal(app.offline, true);
  svc.reachable = true;
  svc.bridge.deliver({ type: 'networkChanged', available: true, metered: false });
  for (let i = 0; i < 5; i += 1) await settled();
  assert.equal(app.offline, false);
  assert.equal(app.elements.banner.hidden, true);
});
