// "Continue watching": the lessons the learner left unfinished, from the progress kept on this
// machine and the service's saved progress, newest first. Pure.

import { NEAR_EDGE_SECONDS } from './progress.js';
import { routeHash } from './router.js';

export const CONTINUE_LIMIT = 6;

function newer(local, remote) {
  if (!remote) return local;
  return (Number(remote.updatedAt) || 0) > (Number(local.updatedAt) || 0) ? { ...local, ...remote } : local;
}

/** Started and not yet near its end; a lesson of unknown length counts as unfinished. */
function unfinished({ position, duration }) {
  if (!Number.isFinite(position) || position < NEAR_EDGE_SECONDS) return false;
  return !(Number(duration) > 0) || position <= duration - NEAR_EDGE_SECONDS;
}

/**
 * entries: LocalProgress.entries(); remote: Map of progress key → {position, duration, updatedAt}
 * from the service; isStored(assetId): whether the offline library holds the lesson.
 * Gives [{key, lesson, position, duration, percent, remaining, offline, href}].
 */
export function continueWatching(entries, remote, isStored, limit = CONTINUE_LIMIT) {
  const rows = [];
  for (const entry of entries) {
    const latest = newer(entry, remote.get(entry.key));
    const position = Number(latest.position);
    const duration = Number(latest.duration) || 0;
    if (!unfinished({ position, duration })) continue;
    const { lesson } = entry;
    const offline = Boolean(lesson.assetId) && isStored(lesson.assetId);
    if (!offline && !lesson.id) continue;
    rows.push({
      key: entry.key,
      lesson,
      position,
      duration,
      updatedAt: Number(latest.updatedAt) || 0,
      percent: duration > 0 ? Math.floor((position * 100) / duration) : null,
      remaining: duration > 0 ? duration - position : null,
      offline,
      href: offline ? routeHash('offline', lesson.assetId) : routeHash('lesson', lesson.id),
    });
  }
  rows.sort((a, b) => b.updatedAt - a.updatedAt);
  return rows.slice(0, limit);
}
