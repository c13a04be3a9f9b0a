// The page's state around the native bridge: the signed-in session, the offline library, the
// running downloads and the notices shown to the learner. Views read it and subscribe to changes.

import { ApiClient } from './api.js';
import { DamagedLessons } from './damaged-lessons.js';
import { passedMilestone } from './download-list.js';
import { DownloadQueue } from './download-queue.js';
import { DownloadTracker } from './download-tracker.js';
import { downloadCommand } from './media.js';
import { ProgressOutbox } from './progress-outbox.js';

const SAVE_SESSION_GRACE_MS = 400;
const TOAST_MS = 6000;
export const OFFLINE_NOTICE = '暂时无法连接课堂服务：已下载的离线课程仍可观看。';
export const DAMAGED_NOTICE = '这节离线课程已损坏，请删除后重新下载';

export class App {
  /** `storage` is localStorage or a stand-in; it keeps progress saves that could not be sent. */
  constructor(bridge, elements, storage = globalThis.localStorage) {
    this.bridge = bridge;
    this.elements = elements;
    this.storage = storage;
    this.api = new ApiClient(bridge, () => this.session?.token ?? '', () => this.serviceAnswered());
    this.session = null;
    this.outbox = null;
    this.damaged = null;
    this.library = [];
    this.libraryLoaded = false;
    this.trackers = new Map();
    this.titles = new Map();
    this.lessons = new Map();
    this.queue = new DownloadQueue((lesson) => this.sendDownload(lesson));
    this.webSite = '';
    this.subscribers = new Map();
  }

  subscribe(name, listener) {
    if (!this.subscribers.has(name)) this.subscribers.set(name, new Set());
    this.subscribers.get(name).add(listener);
    return () => this.subscribers.get(name)?.delete(listener);
  }

  emit(name, value) {
    for (const listener of [...(this.subscribers.get(name) ?? [])]) listener(value);
  }

  listen() {
    const on = (type, handler) => this.bridge.on(type, handler);
    on('error', (e) => this.toast(e.message || '操作失败', 'error'));
    on('downloads', (e) => {
      this.library = Array.isArray(e.items) ? e.items : [];
      this.libraryLoaded = true;
      this.emit('library', this.library);
    });
    for (const type of ['downloadProgress', 'downloadCompleted', 'downloadFailed']) on(type, (e) => this.onDownloadEvent(e));
    on('deleteCompleted', (e) => {
      this.damaged?.remove(String(e.assetId ?? ''));
      this.toast('已从本机删除这节离线课程');
      this.refreshLibrary();
    });
    on('offlineLessonDamaged', (e) => {
      const assetId = String(e.assetId ?? '');
      this.damaged?.add(assetId);
      this.emit('damaged', assetId);
      this.emit('library', this.library);
    });
    on('resourceDownloadCompleted', (e) => this.toast(`课件已保存到 ${e.path}`));
    on('resourceDownloadFailed', (e) => this.toast(`课件保存失败：${e.message}`, 'error'));
    on('saveProgressRequested', () => this.emit('saveProgress'));
    on('networkChanged', (e) => { if (e.available === true) this.reconnected(); });
  }

  /** Holds `session` (or none) and opens its account's queue of progress saves. */
  useSession(session) {
    this.session = session;
    const ownerKey = session?.ownerKey;
    this.outbox = session
      ? new ProgressOutbox(this.storage, ownerKey, this.api, () => this.session?.ownerKey === ownerKey)
      : null;
    this.damaged = session ? new DamagedLessons(this.storage, ownerKey) : null;
  }

  isDamaged(assetId) {
    return this.damaged?.has(assetId) ?? false;
  }

  /** Deletes a damaged stored lesson (a record of the lessons API) and downloads it again. */
  async replaceDamaged(lesson) {
    const assetId = String(lesson.asset_id ?? '');
    const answer = this.bridge.next(['deleteCompleted', 'error'], 15000);
    this.bridge.send({ type: 'deleteDownload', ownerKey: this.session.ownerKey, assetId });
    if ((await answer).type !== 'deleteCompleted') return;
    this.library = this.library.filter((item) => item.assetId !== assetId);
    this.startDownload(lesson);
  }

  /** Saves a lesson's position on the service, or keeps it until the service can be reached. */
  saveProgress(lessonId, position, duration) {
    if (!this.outbox || !Number.isInteger(lessonId)) return;
    this.outbox.add(lessonId, position, duration, Date.now());
    this.outbox.flush();
  }

  serviceAnswered() {
    if (this.offline) this.setBanner('');
    this.outbox?.flush();
  }

  /** The network is back: send what waits, and find out whether the service answers again. */
  reconnected() {
    if (!this.session) return;
    this.outbox.flush();
    if (this.offline) this.api.get('me').catch(() => {});
  }

  showOffline() {
    this.setBanner(OFFLINE_NOTICE);
  }

  get offline() {
    return this.elements.banner?.textContent === OFFLINE_NOTICE && !this.elements.banner.hidden;
  }

  /** Asks the native side for the stored session: resolves with it or null. */
  async restoreSession() {
    const answer = this.bridge.next(['session', 'noSession'], 15000);
    this.bridge.send({ type: 'restoreSession' });
    const reply = await answer;
    this.useSession(reply.type === 'session'
      ? { token: reply.token, ownerKey: reply.ownerKey, userName: reply.userName }
      : null);
    this.outbox?.flush();
    return this.session;
  }

  async signIn(account, password) {
    const data = await this.api.post('auth/login', { account, password });
    const session = { token: String(data?.token ?? ''), ownerKey: String(data?.owner_key ?? ''), userName: String(data?.display_name ?? '') };
    // A stored session is confirmed by silence; a refusal arrives as an "error" event.
    const refusal = this.bridge.next(['error'], SAVE_SESSION_GRACE_MS).catch(() => null);
    this.bridge.send({ type: 'saveSession', ...session });
    const failure = await refusal;
    if (failure) throw new Error(failure.message);
    this.useSession(session);
    this.emit('session', session);
    this.refreshLibrary();
  }

  signOut(notice) {
    if (this.session) this.api.post('auth/logout').catch(() => {});
    this.bridge.send({ type: 'clearSession' });
    this.useSession(null);
    this.library = [];
    this.libraryLoaded = false;
    this.queue.clear();
    this.emit('session', null);
    if (notice) this.toast(notice, 'error');
  }

  /** Called when the service refuses the token: the learner has to sign in again. */
  sessionExpired() {
    this.signOut('登录已过期，请重新登录');
  }

  refreshLibrary() {
    if (this.session) this.bridge.send({ type: 'listDownloads', ownerKey: this.session.ownerKey });
  }

  libraryItem(assetId) {
    return this.library.find((item) => item.assetId === assetId) ?? null;
  }

  /** Waits for the first library listing of this session. */
  async loadedLibrary() {
    if (this.libraryLoaded) return this.library;
    const answer = this.bridge.next(['downloads'], 15000);
    this.refreshLibrary();
    await answer;
    return this.library;
  }

  /** Queues lessons for download; gives how many were not yet stored, running or queued. */
  startDownloads(lessons) {
    const wanted = lessons.filter((lesson) => lesson.offline && !this.libraryItem(lesson.asset_id) &&
      !this.tracker(lesson.asset_id)?.active);
    for (const lesson of wanted) {
      this.lessons.set(lesson.asset_id, lesson);
      this.titles.set(lesson.asset_id, String(lesson.title ?? ''));
    }
    const added = this.queue.add(wanted);
    for (const lesson of wanted) this.emit('download', lesson.asset_id);
    return added;
  }

  startDownload(lesson) {
    this.startDownloads([lesson]);
  }

  /** Takes a lesson that has not started out of the queue. */
  cancelQueued(assetId) {
    if (this.queue.cancel(assetId)) this.emit('download', assetId);
  }

  /** Forgets a failed download so the list no longer shows it. */
  dismissDownload(assetId) {
    if (this.tracker(assetId)?.phase !== 'failed') return;
    this.trackers.delete(assetId);
    this.emit('download', assetId);
  }

  isQueued(assetId) {
    return this.queue.isWaiting(assetId);
  }

  sendDownload(lesson) {
    const command = downloadCommand(lesson, this.session);
    this.trackers.set(command.assetId, new DownloadTracker(command.assetId));
    this.bridge.send(command);
    this.emit('download', command.assetId);
  }

  tracker(assetId) {
    return this.trackers.get(assetId) ?? null;
  }

  onDownloadEvent(event) {
    const assetId = String(event.assetId ?? '');
    if (!this.trackers.has(assetId)) this.trackers.set(assetId, new DownloadTracker(assetId));
    const tracker = this.trackers.get(assetId);
    const before = tracker.percent;
    tracker.apply(event, Date.now());
    const mark = tracker.active ? passedMilestone(before, tracker.percent) : null;
    if (mark) this.announce(`《${this.titles.get(assetId) ?? assetId}》已下载 ${mark}%`);
    if (event.type !== 'downloadProgress') this.queue.ended(assetId);
    if (event.type === 'downloadCompleted') {
      this.damaged?.remove(assetId);
      this.toast(`《${this.titles.get(assetId) ?? assetId}》已保存为离线课程`);
      this.refreshLibrary();
    } else if (event.type === 'downloadFailed') {
      const title = this.titles.get(assetId) ?? assetId;
      this.toast(title ? `《${title}》下载失败：${event.message}` : `下载失败：${event.message}`, 'error');
    }
    this.emit('download', assetId);
  }

  saveCourseware(file) {
    this.bridge.send({ type: 'downloadResource', url: file.url, suggestedName: file.name });
  }

  setBanner(text) {
    this.elements.banner.textContent = text ?? '';
    this.elements.banner.hidden = !text;
  }

  /** Read out by screen readers without showing anything. */
  announce(message) {
    if (this.elements.announcer) this.elements.announcer.textContent = message;
  }

  toast(message, kind = 'info') {
    const note = document.createElement('div');
    note.className = `toast ${kind}`;
    note.setAttribute('role', kind === 'error' ? 'alert' : 'status');
    note.textContent = message;
    this.elements.toasts.append(note);
    setTimeout(() => note.remove(), TOAST_MS);
  }
}
