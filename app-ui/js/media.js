// How the page names lesson media and builds the offline download command. No DOM access.

/** The offline player's address of a stored lesson: velmora-media://local/v1/<asset>?owner=<account key>. */
export function offlineMediaAddress(assetId, ownerKey) {
  return `velmora-media://local/v1/${encodeURIComponent(assetId)}?owner=${encodeURIComponent(ownerKey)}`;
}

function wholeNumber(value) {
  const number = Number(value);
  return Number.isFinite(number) ? Math.trunc(number) : 0;
}

/**
 * The "download" command for a lesson as the service describes it (see the lessons API), for the
 * signed-in session. The native side replaces the token with the one it holds.
 */
export function downloadCommand(lesson, session) {
  return {
    type: 'download',
    ownerKey: session.ownerKey,
    token: session.token,
    classTitle: String(lesson.class_title ?? ''),
    courseTitle: String(lesson.course_title ?? ''),
    chapterTitle: String(lesson.chapter_title ?? ''),
    lessonTitle: String(lesson.title ?? ''),
    coverUrl: String(lesson.cover_url ?? ''),
    assetId: String(lesson.asset_id ?? ''),
    classId: wholeNumber(lesson.class_id),
    courseIndex: wholeNumber(lesson.course_index),
    chapterIndex: wholeNumber(lesson.chapter_index),
    lessonIndex: wholeNumber(lesson.index),
    lessonId: wholeNumber(lesson.id),
  };
}

/** A lesson record shaped like the lessons API from a stored library item, for offline viewing. */
export function lessonFromLibraryItem(item) {
  return {
    id: item.lessonId,
    title: item.lessonTitle,
    asset_id: item.assetId,
    class_id: item.classId,
    class_title: item.classTitle,
    course_title: item.courseTitle,
    course_index: item.courseIndex,
    chapter_title: item.chapterTitle,
    chapter_index: item.chapterIndex,
    index: item.lessonIndex,
    cover_url: item.coverUrl,
    offline: true,
    courseware: [],
    progress: null,
  };
}
