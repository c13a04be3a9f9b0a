// Every download the learner started, from any course, as the offline library lists them: running
// ones first (waiting on the network counts as running), then those waiting in the queue, then the
// paused ones, then the failed ones. Pure.

const MILESTONE_PERCENT = 25;

/**
 * trackers: DownloadTracker values; waiting: queued lessons (API form) in queue order;
 * titleOf(assetId) and isStored(assetId) ask the page. Gives [{assetId, title, state, percent, text}]
 * with state "running", "queued", "paused" or "failed".
 */
export function downloadRows(trackers, waiting, titleOf, isStored, nowMs) {
  const all = [...trackers];
  const queued = new Set(waiting.map((lesson) => lesson.asset_id));
  const row = (tracker, state) => ({
    assetId: tracker.assetId, title: titleOf(tracker.assetId), state, percent: tracker.percent, text: tracker.describe(nowMs),
  });
  return [
    ...all.filter((t) => t.active).map((t) => row(t, 'running')),
    ...waiting.map((lesson) => ({
      assetId: lesson.asset_id, title: titleOf(lesson.asset_id), state: 'queued', percent: null, text: '排队中',
    })),
    ...all.filter((t) => t.paused && !queued.has(t.assetId)).map((t) => row(t, 'paused')),
    ...all.filter((t) => t.phase === 'failed' && !queued.has(t.assetId) && !isStored(t.assetId)).map((t) => row(t, 'failed')),
  ];
}

/** How many downloads run or wait: the count the navigation shows. */
export function busyCount(trackers, waiting) {
  return [...trackers].filter((t) => t.active).length + waiting.length;
}

/** The quarter mark (25, 50, 75) that progress passed from `before` to `after`, or null. */
export function passedMilestone(before, after) {
  if (after === null || after >= 100) return null;
  const mark = Math.floor(after / MILESTONE_PERCENT) * MILESTONE_PERCENT;
  return mark > 0 && (before ?? 0) < mark ? mark : null;
}
