// Learning progress: where to resume a lesson and how it is kept on this machine. The service
// keeps the learner's progress too; the newer of the two wins.

const NEAR_EDGE_SECONDS = 5;

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

  load(lessonKey) {
    try {
      const saved = JSON.parse(this.storage.getItem(this.prefix + lessonKey) ?? 'null');
      return saved && Number.isFinite(saved.position) ? saved : null;
    } catch {
      return null;
    }
  }

  save(lessonKey, position, duration, nowMs) {
    try {
      this.storage.setItem(this.prefix + lessonKey, JSON.stringify({ position, duration, updatedAt: nowMs }));
    } catch {
      // A full or unavailable store only costs the local copy; the service keeps its own.
    }
  }
}
