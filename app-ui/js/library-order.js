// The offline library's grouping, reordering and re-titling, as plans of "updateDownloadMetadata"
// commands. Pure: items are the native "downloads" list, already in the vault's order.

const MAX_TITLE_CHARACTERS = 1000;

export function courseKey(item) {
  return `${item.classTitle}\u0000${item.courseIndex}\u0000${item.courseTitle}`;
}

function chapterKey(item) {
  return `${courseKey(item)}\u0000${item.chapterIndex}\u0000${item.chapterTitle}`;
}

/** Consecutive items of one course, in list order: [{key, classTitle, courseTitle, items}]. */
export function groupByCourse(items) {
  const groups = [];
  for (const item of items) {
    const key = courseKey(item);
    const last = groups[groups.length - 1];
    if (last && last.key === key) last.items.push(item);
    else groups.push({ key, classTitle: item.classTitle, courseTitle: item.courseTitle, items: [item] });
  }
  return groups;
}

function update(item, changes) {
  return {
    type: 'updateDownloadMetadata',
    assetId: item.assetId,
    courseTitle: item.courseTitle,
    chapterTitle: item.chapterTitle,
    courseIndex: item.courseIndex,
    chapterIndex: item.chapterIndex,
    lessonIndex: item.lessonIndex,
    ...changes,
  };
}

function swapped(list, index, direction) {
  const target = index + direction;
  if (index < 0 || target < 0 || target >= list.length) return null;
  const copy = list.slice();
  [copy[index], copy[target]] = [copy[target], copy[index]];
  return copy;
}

/**
 * Moves a lesson one place up (-1) or down (+1) among the lessons of its chapter, then numbers
 * that chapter's lessons 1, 2, 3… Only items whose number changes get a command.
 */
export function planLessonMove(items, assetId, direction) {
  const moving = items.find((item) => item.assetId === assetId);
  if (!moving) return [];
  const chapter = items.filter((item) => chapterKey(item) === chapterKey(moving));
  const reordered = swapped(chapter, chapter.indexOf(moving), direction);
  if (!reordered) return [];
  return reordered
    .map((item, position) => ({ item, lessonIndex: position + 1 }))
    .filter(({ item, lessonIndex }) => item.lessonIndex !== lessonIndex)
    .map(({ item, lessonIndex }) => update(item, { lessonIndex }));
}

/** Moves a course one place up or down within its class, numbering the class's courses 1, 2, 3… */
export function planCourseMove(items, key, direction) {
  const first = items.find((item) => courseKey(item) === key);
  if (!first) return [];
  const groups = groupByCourse(items.filter((item) => item.classTitle === first.classTitle));
  const reordered = swapped(groups, groups.findIndex((group) => group.key === key), direction);
  if (!reordered) return [];
  const commands = [];
  reordered.forEach((group, position) => {
    for (const item of group.items) {
      if (item.courseIndex !== position + 1) commands.push(update(item, { courseIndex: position + 1 }));
    }
  });
  return commands;
}

/** A title as the learner typed it, without line breaks and NULs, or null when nothing is left. */
export function cleanTitle(text) {
  const cleaned = String(text ?? '').replace(/[\r\n\u0000]/g, '').trim();
  if (!cleaned) return null;
  const characters = Array.from(new Intl.Segmenter('zh', { granularity: 'grapheme' }).segment(cleaned), (s) => s.segment);
  return characters.slice(0, MAX_TITLE_CHARACTERS).join('');
}

/** Renames a course: one command per lesson of the course group. */
export function planCourseRename(items, key, title) {
  const clean = cleanTitle(title);
  if (clean === null) return [];
  return items.filter((item) => courseKey(item) === key && item.courseTitle !== clean)
    .map((item) => update(item, { courseTitle: clean }));
}

/** Renames the chapter shown for one lesson. */
export function planChapterRename(items, assetId, title) {
  const clean = cleanTitle(title);
  const item = items.find((candidate) => candidate.assetId === assetId);
  if (clean === null || !item || item.chapterTitle === clean) return [];
  return [update(item, { chapterTitle: clean })];
}
