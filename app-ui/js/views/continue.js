// "继续观看" at the top of the classes page: up to six unfinished lessons, newest first, each opening
// the offline copy when the library holds one. The service answers saved progress per lesson only,
// so the page asks it about the lessons this machine remembers and keeps whichever record is newer.

import { continueWatching, CONTINUE_LIMIT } from '../continue-watching.js';
import { h, replaceChildren } from '../dom.js';
import { formatClock } from '../format.js';
import { LocalProgress, fromService } from '../progress.js';

function card(row) {
  const { lesson } = row;
  const left = row.remaining !== null ? `还剩 ${formatClock(row.remaining)}` : `看到 ${formatClock(row.position)}`;
  return h('a', { className: 'card resume', href: row.href, dataset: { lesson: row.key } },
    h('h3', {}, lesson.title),
    h('p', { className: 'muted' }, [lesson.courseTitle, lesson.chapterTitle].filter(Boolean).join(' · ')),
    h('progress', { max: 100, value: row.percent ?? undefined, 'aria-label': row.percent === null ? '已开始' : `已看 ${row.percent}%` }),
    h('p', { className: 'muted resume-meta' }, left, row.offline && h('span', { className: 'badge ok' }, '离线副本')));
}

export function continueSection(app) {
  const section = h('section', { className: 'continue', 'aria-labelledby': 'continue-title', hidden: true });
  const entries = new LocalProgress(localStorage, app.session?.ownerKey ?? '').entries();
  const remote = new Map();
  const isStored = (assetId) => Boolean(app.libraryItem(assetId));
  let left = false;

  const draw = () => {
    const rows = continueWatching(entries, remote, isStored);
    section.hidden = rows.length === 0;
    replaceChildren(section, h('h2', { id: 'continue-title' }, '继续观看'), h('div', { className: 'cards' }, rows.map(card)));
  };

  const askService = async () => {
    const candidates = continueWatching(entries, remote, () => false, CONTINUE_LIMIT * 2).filter((row) => row.lesson.id);
    await Promise.all(candidates.map(async (row) => {
      try {
        const lesson = await app.api.get(`lessons/${row.lesson.id}`);
        const saved = fromService(lesson?.progress);
        if (saved) remote.set(row.key, { ...saved, duration: Number(lesson.progress.duration) || 0 });
      } catch {
        // Without the service the local record stands.
      }
    }));
    if (!left) draw();
  };

  const stop = app.subscribe('library', draw);
  draw();
  askService();
  return { element: section, stop: () => { left = true; stop(); } };
}
