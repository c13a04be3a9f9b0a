// Progress saves on their way to the service, kept per account in the page's storage so that a
// lesson watched without a connection still counts once the service can be reached again. No DOM.

const PREFIX = 'velmora.progressOutbox.';
const SERVER_ERROR_STATUS = 500;
// The service stamps its records in whole seconds.
const SERVICE_CLOCK_STEP_MS = 1000;

/** A failure after which the save should be tried again later: no answer, or a service fault. */
function worthRetrying(error) {
  if (error?.name !== 'ApiError') return true; // a bridge time-out: nothing is known to have arrived
  return error.kind === 'network' || error.kind === 'auth' || error.status >= SERVER_ERROR_STATUS;
}

export class ProgressOutbox {
  /**
   * `storage` is localStorage or a stand-in; `api` has get(path) and post(path, body) and throws
   * ApiError; `stillSignedIn()` tells whether the account is still the signed-in one.
   */
  constructor(storage, ownerKey, api, stillSignedIn = () => true) {
    this.storage = storage;
    this.key = PREFIX + ownerKey;
    this.api = api;
    this.stillSignedIn = stillSignedIn;
    this.sending = null;
    // Saves queued by this page that have not failed yet go straight out; anything older may
    // have reached the service already, or been overtaken there, and is checked first.
    this.fresh = new Set();
  }

  /** The queued saves, oldest first: [{lessonId, position, duration, savedAt}]. */
  pending() {
    try {
      const saved = JSON.parse(this.storage.getItem(this.key) ?? '[]');
      return Array.isArray(saved) ? saved.filter((r) => Number.isInteger(r?.lessonId) && Number.isFinite(r.savedAt)) : [];
    } catch {
      return [];
    }
  }

  write(records) {
    try {
      if (records.length > 0) this.storage.setItem(this.key, JSON.stringify(records));
      else this.storage.removeItem(this.key);
    } catch {
      // A full or unavailable store keeps what it had; the local position is still saved apart.
    }
  }

  /** Queues a save; a newer save of the same lesson replaces an older one. */
  add(lessonId, position, duration, savedAt) {
    const queued = this.pending();
    const earlier = queued.find((r) => r.lessonId === lessonId);
    if (earlier && earlier.savedAt > savedAt) return;
    const record = { lessonId, position, duration, savedAt };
    this.write([...queued.filter((r) => r.lessonId !== lessonId), record].sort((a, b) => a.savedAt - b.savedAt));
    this.fresh.add(`${lessonId}@${savedAt}`);
  }

  /** Takes `record` off the queue unless a newer save of its lesson came in meanwhile. */
  settle(record) {
    this.fresh.delete(`${record.lessonId}@${record.savedAt}`);
    this.write(this.pending().filter((r) => !(r.lessonId === record.lessonId && r.savedAt === record.savedAt)));
  }

  /** Sends the queue, oldest first, until it is empty or the service cannot be reached. One run at a time. */
  flush() {
    this.sending ??= this.sendAll().finally(() => { this.sending = null; });
    return this.sending;
  }

  async sendAll() {
    const tried = new Set();
    for (;;) {
      const record = this.pending().find((r) => !tried.has(`${r.lessonId}@${r.savedAt}`));
      if (!record || !this.stillSignedIn()) return;
      tried.add(`${record.lessonId}@${record.savedAt}`);
      try {
        if (this.fresh.has(`${record.lessonId}@${record.savedAt}`) || !(await this.serviceHasNewer(record))) {
          if (!this.stillSignedIn()) return;
          await this.api.post('progress', { lesson_id: record.lessonId, position: record.position, duration: record.duration });
        }
      } catch (error) {
        if (worthRetrying(error)) {
          this.fresh.delete(`${record.lessonId}@${record.savedAt}`);
          return;
        }
        // Refused for good (an unknown lesson, a malformed record): trying again cannot help.
      }
      this.settle(record);
    }
  }

  /** Whether the service already holds this save, or a newer one from another device. */
  async serviceHasNewer(record) {
    const lesson = await this.api.get(`lessons/${record.lessonId}`);
    const updatedAtMs = (Number(lesson?.progress?.updated_at) || 0) * 1000;
    return updatedAtMs + SERVICE_CLOCK_STEP_MS > record.savedAt;
  }
}
