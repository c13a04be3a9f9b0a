// The page's state around the native bridge: the signed-in session, the offline library, the
// running downloads and the notices shown to the learner. Views read it and subscribe to changes.

import { ApiClient } from './api.js';
import { DamagedLessons } from './damaged-lessons.js';
import { passedMilestone } from './download-list.js';
import { DownloadQueue } from './download-queue.js';
import { DownloadTracker, heldPhase } from './download-tracker.js';
import { downloadCommand, lessonFromLibraryItem } from './media.js';
import { ASSUMED_ONLINE, networkAfter } from './network-state.js';
import { ProgressOutbox } from './progress-outbox.js';

const SAVE_SESSION_GRACE_MS = 400;
const TOAST_MS = 6000;
// How often running downloads are looked at again, so a stall or a retry countdown shows without an event.
const REDRAW_MS = 1000;
// The native side's answer to "cancelDownload": not a failure the learner must read about.
const CANCELLED = '下载已取消';
export const OFFLINE_NOTICE = '暂时无法连接课堂服务：已下载的离线课程仍可观看。';
export const DAMAGED_NOTICE = '这节离线课程已损坏，请删除后重新下载';
// Performance marks around the library listing: asked for, and answered.
const LISTING_ASKED_MARK = 'library-listing-asked';
const LISTED_MARK = 'library-listed';

function mark(name) {
  performance.clearMarks(name);
  performance.mark(name);
}

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
    this.queue = new DownloadQueue({
      start: (lesson) => this.sendDownload(lesson),
      resume: (lesson) => this.bridge.send({ type: 'resumeDownload', assetId: lesson.asset_id }),
    });
    this.shownText = new Map();
    this.redrawTimer = null;
    this.network = ASSUMED_ONLINE;
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
      mark(LISTED_MARK);
      this.library = Array.isArray(e.items) ? e.items : [];
      this.libraryLoaded = true;
      this.emit('library', this.library);
    });
    for (const type of ['downloadProgress', 'downloadCompleted', 'downloadFailed']) on(type, (e) => this.onDownloadEvent(e));
    on('interruptedDownloads', (e) => this.seedInterrupted(e.items, Date.now()));
    on('networkChanged', (e) => {
      this.network = networkAfter(this.network, e);
      this.emit('network', this.network);
      if (e.available === true) this.reconnected();
    });
    on('deleteCompleted', (e) => this.onDeleteCompleted(e));
    on('offlineLessonDamaged', (e) => {
      const assetId = String(e.assetId ?? '');
      this.damaged?.add(assetId);
      this.emit('damaged', assetId);
      this.emit('library', this.library);
    });
    on('resourceDownloadCompleted', (e) => this.toast(`课件已保存到 ${e.path}`));
    on('resourceDownloadFailed', (e) => this.toast(`课件保存失败：${e.message}`, 'error'));
    on('saveProgressRequested', () => this.emit('saveProgress'));
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
    if ((await answer).type !== 'deleteCompleted') return;  // the library has already dropped it
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
    this.refreshInterrupted();
  }

  signOut(notice) {
    if (this.session) this.api.post('auth/logout').catch(() => {});
    this.bridge.send({ type: 'clearSession' });
    this.useSession(null);
    this.library = [];
    this.libraryLoaded = false;
    // The native side pauses this account's downloads; the next account must not see them.
    this.queue.clear();
    this.trackers.clear();
    this.titles.clear();
    this.lessons.clear();
    this.shownText.clear();
    this.emit('session', null);
    if (notice) this.toast(notice, 'error');
  }

  /** Called when the service refuses the token: the learner has to sign in again. */
  sessionExpired() {
    this.signOut('登录已过期，请重新登录');
  }

  get library() {
    return this.libraryItems;
  }

  /** The stored lessons, in the vault's order, indexed by asset id for the page's look-ups. */
  set library(items) {
    this.libraryItems = items;
    this.libraryByAsset = new Map(items.map((item) => [item.assetId, item]));
  }

  refreshLibrary() {
    if (!this.session) return;
    mark(LISTING_ASKED_MARK);
    this.bridge.send({ type: 'listDownloads', ownerKey: this.session.ownerKey });
  }

  /** Asks for the account's downloads that have not ended (kept from an earlier run, paused, running). */
  refreshInterrupted() {
    if (this.session) this.bridge.send({ type: 'listInterruptedDownloads', ownerKey: this.session.ownerKey });
  }

  libraryItem(assetId) {
    return this.libraryByAsset.get(assetId) ?? null;
  }

  /** A deleted lesson leaves the library at once; the listing asked for after it brings the rest up to date. */
  onDeleteCompleted(event) {
    this.toast('已从本机删除这节离线课程');
    const assetId = String(event.assetId ?? '');
    this.damaged?.remove(assetId);
    if (this.libraryItem(assetId)) {
      this.library = this.library.filter((item) => item.assetId !== assetId);
      this.emit('library', this.library);
    }
    this.refreshLibrary();
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
      !this.tracker(lesson.asset_id)?.active && !this.tracker(lesson.asset_id)?.paused);
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

  pauseDownload(assetId) {
    this.bridge.send({ type: 'pauseDownload', assetId });
  }

  /** Carries a paused download on when one of the queue's slots is free. */
  resumeDownload(assetId) {
    if (this.queue.resume(this.lessons.get(assetId) ?? { asset_id: assetId })) this.emit('download', assetId);
  }

  /** This one download may use the metered connection it is waiting on; it keeps its slot. */
  downloadAnyway(assetId) {
    this.bridge.send({ type: 'resumeDownload', assetId, allowMetered: true });
  }

  /** A download the native side holds (running, waiting or paused) is cancelled there; a queued one here. */
  cancelDownload(assetId) {
    const tracker = this.tracker(assetId);
    if (!tracker?.active && !tracker?.paused) return this.cancelQueued(assetId);
    this.queue.cancel(assetId);
    this.bridge.send({ type: 'cancelDownload', assetId });
    this.emit('download', assetId);
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
    // After signing out, the native side pauses that account's downloads: their events are not ours.
    if (!this.session) return;
    const assetId = String(event.assetId ?? '');
    if (event.type === 'downloadFailed' && event.message === CANCELLED) return this.forget(assetId);
    if (!this.trackers.has(assetId)) this.trackers.set(assetId, new DownloadTracker(assetId));
    const tracker = this.trackers.get(assetId);
    const before = tracker.percent;
    const now = Date.now();
    tracker.apply(event, now);
    const mark = tracker.active ? passedMilestone(before, tracker.percent) : null;
    if (mark) this.announce(`《${this.titles.get(assetId) ?? assetId}》已下载 ${mark}%`);
    if (tracker.active) this.queue.began(assetId);
    else if (event.type !== 'downloadProgress' || tracker.paused) this.queue.ended(assetId);
    const title = this.titles.get(assetId) ?? assetId;
    if (event.type === 'downloadCompleted') {
      this.damaged?.remove(assetId);
      this.toast(`《${title}》已保存为离线课程`);
      this.refreshLibrary();
    } else if (tracker.phase === 'failed' || (tracker.paused && tracker.reason)) {
      this.toast(title ? `《${title}》${tracker.describe(now)}` : tracker.describe(now), 'error');
    }
    this.shownText.set(assetId, tracker.describe(now));
    this.emit('download', assetId);
    this.watchRunning();
  }

  /** A cancelled download leaves no trace: no tracker, no slot, nothing left in the queue. */
  forget(assetId) {
    this.trackers.delete(assetId);
    this.shownText.delete(assetId);
    this.queue.cancel(assetId);
    this.queue.ended(assetId);
    this.emit('download', assetId);
  }

  /** Seeds trackers, titles and lessons from an "interruptedDownloads" listing. */
  seedInterrupted(items, nowMs) {
    if (!this.session || !Array.isArray(items)) return;
    for (const item of items) {
      const assetId = typeof item?.assetId === 'string' ? item.assetId : '';
      if (!assetId || this.libraryItem(assetId)) continue;
      if (!this.lessons.has(assetId)) this.lessons.set(assetId, lessonFromLibraryItem(item));
      if (typeof item.lessonTitle === 'string' && item.lessonTitle) this.titles.set(assetId, item.lessonTitle);
      const tracker = this.trackers.get(assetId) ?? new DownloadTracker(assetId);
      this.trackers.set(assetId, tracker.apply({ ...item, type: 'downloadProgress', phase: heldPhase(item.phase) }, nowMs));
      if (tracker.active) this.queue.began(assetId);
      this.shownText.set(assetId, tracker.describe(nowMs));
      this.emit('download', assetId);
    }
    this.watchRunning();
  }

  /** Looks at the running downloads every REDRAW_MS while there are any, and not at all otherwise. */
  watchRunning() {
    const running = [...this.trackers.values()].some((tracker) => tracker.active);
    if (running && !this.redrawTimer) {
      this.redrawTimer = setInterval(() => this.redrawChanged(Date.now()), REDRAW_MS);
    } else if (!running && this.redrawTimer) {
      clearInterval(this.redrawTimer);
      this.redrawTimer = null;
    }
  }

  /** Redraws the running downloads whose line reads differently now: a stall, a retry countdown. */
  redrawChanged(nowMs) {
    this.watchRunning();
    for (const tracker of this.trackers.values()) {
      if (!tracker.active) continue;
      const text = tracker.describe(nowMs);
      if (this.shownText.get(tracker.assetId) === text) continue;
      this.shownText.set(tracker.assetId, text);
      this.emit('download', tracker.assetId);
    }
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
