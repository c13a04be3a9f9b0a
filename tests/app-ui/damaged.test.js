import test from 'node:test';
import assert from 'node:assert/strict';
import { App } from '../../app-ui/js/app.js';
import { NativeBridge } from '../../app-ui/js/bridge.js';
import { MemoryStorage } from './memory-storage.js';

// The page's bridge over a native side that records commands and answers deletes as the shell does.
function native() {
  const sent = [];
  const postMessage = (command) => {
    sent.push(command);
    if (command.type === 'deleteDownload') setTimeout(() => bridge.receive({ type: 'deleteCompleted', assetId: command.assetId }));
  };
  const bridge = new NativeBridge({ webkit: { messageHandlers: { velmora: { postMessage } } } });
  return Object.assign(bridge, { sent, deliver: (data) => bridge.receive(data) });
}

function appFor(bridge, storage, ownerKey) {
  const app = new App(bridge, {}, storage);
  app.toast = () => {};
  app.listen();
  app.useSession({ token: 't', ownerKey, userName: '' });
  return app;
}

test('a damaged lesson stays marked for its account until it is deleted or downloaded again', () => {
  const storage = new MemoryStorage();
  const bridge = native();
  const app = appFor(bridge, storage, 'acct-a');
  const seen = [];
  app.subscribe('damaged', (assetId) => seen.push(assetId));
  bridge.deliver({ type: 'offlineLessonDamaged', assetId: 'L1' });
  bridge.deliver({ type: 'offlineLessonDamaged', assetId: 'L2' });
  assert.deepEqual(seen, ['L1', 'L2']);
  for (const [who, asset, expected] of [['acct-a', 'L1', true], ['acct-a', 'L3', false], ['acct-b', 'L1', false]]) {
    assert.equal(appFor(native(), storage, who).isDamaged(asset), expected, `${who} ${asset} after a restart`);
  }
  bridge.deliver({ type: 'deleteCompleted', assetId: 'L1' });
  bridge.deliver({ type: 'downloadCompleted', assetId: 'L2' });
  assert.deepEqual([app.isDamaged('L1'), app.isDamaged('L2')], [false, false]);
});

test('replacing a damaged lesson deletes the stored copy first, then downloads it again', async () => {
  const bridge = native();
  const app = appFor(bridge, new MemoryStorage(), 'acct-a');
  app.library = [{ assetId: 'L1' }];
  bridge.deliver({ type: 'offlineLessonDamaged', assetId: 'L1' });
  await app.replaceDamaged({ asset_id: 'L1', id: 7, title: '课时', offline: true });
  const changes = bridge.sent.filter((c) => c.type !== 'listDownloads');
  assert.deepEqual(changes.map((c) => [c.type, c.assetId]), [['deleteDownload', 'L1'], ['download', 'L1']]);
  assert.equal(app.isDamaged('L1'), false);
});
