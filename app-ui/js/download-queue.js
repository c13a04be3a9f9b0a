// The page's download queue: lessons wait here and at most two download at once. The native side
// takes one "download" at a time, so the queue sends the next one whenever a download ends. Pure:
// `start(lesson)` is the only way out.

export const MAX_IN_FLIGHT = 2;

export class DownloadQueue {
  constructor(start, limit = MAX_IN_FLIGHT) {
    this.start = start;
    this.limit = limit;
    this.waiting = [];
    this.running = new Set();
  }

  has(assetId) {
    return this.running.has(assetId) || this.isWaiting(assetId);
  }

  isWaiting(assetId) {
    return this.waiting.some((lesson) => lesson.asset_id === assetId);
  }

  /** Queues the lessons not already queued or running; gives how many were added. */
  add(lessons) {
    let added = 0;
    for (const lesson of lessons) {
      if (!lesson?.asset_id || this.has(lesson.asset_id)) continue;
      this.waiting.push(lesson);
      added += 1;
    }
    this.pump();
    return added;
  }

  /** A download ended (completed or failed): its place goes to the next lesson. */
  ended(assetId) {
    if (this.running.delete(assetId)) this.pump();
  }

  /** Takes a lesson that has not started out of the queue; a running one is left alone. */
  cancel(assetId) {
    const before = this.waiting.length;
    this.waiting = this.waiting.filter((lesson) => lesson.asset_id !== assetId);
    return this.waiting.length !== before;
  }

  /** Forgets everything, running downloads included (the account signed out). */
  clear() {
    this.waiting = [];
    this.running.clear();
  }

  pump() {
    while (this.running.size < this.limit && this.waiting.length > 0) {
      const lesson = this.waiting.shift();
      this.running.add(lesson.asset_id);
      this.start(lesson);
    }
  }
}
