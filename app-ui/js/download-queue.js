// The page's download queue: lessons wait here and at most two download at once. The native side
// takes one "download" at a time, so the queue sends the next one whenever a download ends. A paused
// download holds no slot: pausing frees it, and carrying it on takes one or waits for one. Pure:
// `start(lesson)` and `resume(lesson)` are the only ways out.

export const MAX_IN_FLIGHT = 2;

export class DownloadQueue {
  /** `start(lesson)` sends a new download; `resume(lesson)` carries a paused one on. */
  constructor({ start, resume }, limit = MAX_IN_FLIGHT) {
    this.send = { start, resume };
    this.limit = limit;
    this.waiting = [];
    this.resumes = new Set();
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

  /** Queues a paused download to carry on when a slot is free; false when it is queued or running. */
  resume(lesson) {
    if (!lesson?.asset_id || this.has(lesson.asset_id)) return false;
    this.waiting.push(lesson);
    this.resumes.add(lesson.asset_id);
    this.pump();
    return true;
  }

  /**
   * The native side runs a download the queue did not send (one it carried on by itself after a
   * restart, or a wait that ended): it holds a slot from now on, and is no longer waiting for one.
   */
  began(assetId) {
    this.cancel(assetId);
    this.running.add(assetId);
  }

  /** A download ended (completed or failed) or was paused: its place goes to the next lesson. */
  ended(assetId) {
    if (this.running.delete(assetId)) this.pump();
  }

  /** Takes a lesson that has not started out of the queue; a running one is left alone. */
  cancel(assetId) {
    const before = this.waiting.length;
    this.waiting = this.waiting.filter((lesson) => lesson.asset_id !== assetId);
    this.resumes.delete(assetId);
    return this.waiting.length !== before;
  }

  /** Forgets everything, running downloads included (the account signed out). */
  clear() {
    this.waiting = [];
    this.resumes.clear();
    this.running.clear();
  }

  pump() {
    while (this.running.size < this.limit && this.waiting.length > 0) {
      const lesson = this.waiting.shift();
      this.running.add(lesson.asset_id);
      if (this.resumes.delete(lesson.asset_id)) this.send.resume(lesson);
      else this.send.start(lesson);
    }
  }
}
