// Learning progress: where to resume a lesson and how it is kept on this machine. The service
// keeps the learner's progress too; the newer of the two wins.

export const NEAR_EDGE_SECONDS = 5;

/**
 * The position to resume from, in seconds. `local` and `remote` are {position, updatedAt} with
 * updatedAt in milliseconds (or null). Near the start or the end of the lesson it starts over.
 */
export function resumePosition(local, remote, duration) {
  const candidates = [local, remote].filter((p) => p && Number.isFinite(Number(p.position)));
  if (candidates.length === 0) return 0;
  candidates.sort((a, b) => (Number(b.updatedAt) || 0) - (Number(a.updatedAt) || 0));
  const position = Number(candidates[0].position);
  if (position < NEAR_EDGE_SECONDS) return 0;
  if (Number.isFinite(duration) && duration > 0 && position > duration - NEAR_EDGE_SECONDS) return 0;
  return position;
}

/** The service's progress record ({position, updated_at} in seconds) in the page's form. */
export function fromService(progress) {
  if (!progress || typeof progress !== 'object') return null;
  return { position: Number(progress.position) || 0, updatedAt: (Number(progress.updated_at) || 0) * 1000 };
}

export class LocalProgress {
  /** `storage` is localStorage or a stand-in with getItem/setItem. */
  constructor(storage, ownerKey) {
    this.storage = storage;
    this.prefix = `velmora.progress.${ownerKey}.`;
  }

  /** Every saved record that names its lesson: [{key, position, duration, updatedAt, lesson}]. */
  entries() {
    const found = [];
    try {
      for (let i = 0; i < this.storage.length; i += 1) {
        const name = this.storage.key(i);
        if (!name?.startsWith(this.prefix)) continue;
        const saved = this.load(name.slice(this.prefix.length));
        if (saved?.lesson && typeof saved.lesson === 'object') found.push({ key: name.slice(this.prefix.length), ...saved });
      }
    } catch {
      // An unreadable store has nothing to offer; the service's progress still reaches the player.
    }
    return found;
  }

  load(lessonKey) {
    try {
      const saved = JSON.parse(this.storage.getItem(this.prefix + lessonKey) ?? 'null');
      return saved && Number.isFinite(saved.position) ? saved : null;
    } catch {
      return null;
    }
  }

  /** `lesson` ({id, assetId, title, courseTitle, chapterTitle}) lets "continue watching" name it. */
  save(lessonKey, position, duration, nowMs, lesson = null) {
    const record = lesson ? { position, duration, updatedAt: nowMs, lesson } : { position, duration, updatedAt: nowMs };
    try {
      this.storage.setItem(this.prefix + lessonKey, JSON.stringify(record));
    } catch {
      // A full or unavailable store only costs the local copy; the service keeps its own.
    }
  }
}
