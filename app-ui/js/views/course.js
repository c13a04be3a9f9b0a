// One course: its chapters and lessons, each with its download control, and buttons that queue a
// whole chapter or the whole course for download.

import { h } from '../dom.js';
import { routeHash } from '../router.js';
import { load } from './classes.js';
import { downloadControl } from './download-control.js';

function queueAll(app, lessons, what) {
  const added = app.startDownloads(lessons);
  app.toast(added > 0 ? `${what}的 ${added} 个课时已加入下载队列` : `${what}没有需要下载的课时`);
}

/**
 * 全部暂停 / 全部继续 / 全部取消 for a group of lessons (a chapter or the whole course), each shown
 * with its count while any lesson of the group is in that state. Cancelling takes queued lessons out
 * here and cancels the held ones on the native side.
 */
function groupControls(app, lessons, what) {
  const held = (lesson) => app.tracker(lesson.asset_id);
  const groups = [
    ['全部暂停', (lesson) => held(lesson)?.active, (lesson) => app.pauseDownload(lesson.asset_id)],
    ['全部继续', (lesson) => held(lesson)?.paused && !app.isQueued(lesson.asset_id), (lesson) => app.resumeDownload(lesson.asset_id)],
    ['全部取消', (lesson) => app.isQueued(lesson.asset_id) || held(lesson)?.active || held(lesson)?.paused,
      (lesson) => app.cancelDownload(lesson.asset_id)],
  ];
  const buttons = groups.map(([label, matches, act]) => {
    const button = h('button', { type: 'button', className: 'ghost', hidden: true });
    button.addEventListener('click', () => lessons.filter(matches).forEach(act));
    return { button, label, matches };
  });
  const draw = () => {
    for (const { button, label, matches } of buttons) {
      const count = lessons.filter(matches).length;
      button.hidden = count === 0;
      button.textContent = `${label}（${count}）`;
      button.setAttribute('aria-label', `${what}${label}（${count} 个课时）`);
    }
  };
  const stop = app.subscribe('download', draw);
  draw();
  return { element: h('span', { className: 'group-controls' }, buttons.map(({ button }) => button)), stop };
}

export function render(app, container, courseId) {
  const controls = [];
  load(app, container, () => app.api.get(`courses/${courseId}`), (course) => {
    const chapters = course.chapters.map((chapter) => ({
      ...chapter,
      lessons: chapter.lessons.map((lesson) => ({
        ...lesson,
        class_id: course.class.id, class_title: course.class.title,
        course_title: course.title, course_index: course.index,
        chapter_title: chapter.title, chapter_index: chapter.index,
      })),
    }));
    const all = chapters.flatMap((chapter) => chapter.lessons);
    const group = (lessons, what) => {
      const control = groupControls(app, lessons, what);
      controls.push(control);
      return control.element;
    };
    return [
      h('nav', { className: 'crumbs' },
        h('a', { href: routeHash('classes') }, '我的班级'), ' / ',
        h('a', { href: routeHash('class', course.class.id) }, course.class.title), ' / ', course.title),
      h('h1', {}, course.title),
      h('p', { className: 'muted' }, course.summary),
      h('div', { className: 'course-actions' },
        h('button', { type: 'button', className: 'secondary', onClick: () => queueAll(app, all, '本课程') }, '下载整门课程'),
        group(all, '本课程')),
      chapters.map((chapter) => h('section', { className: 'panel chapter' },
        h('div', { className: 'group-head' }, h('h2', {}, chapter.title), h('span', { className: 'spacer' }),
          group(chapter.lessons, '本章'),
          h('button', {
            type: 'button', className: 'ghost', 'aria-label': `下载本章：${chapter.title}`,
            onClick: () => queueAll(app, chapter.lessons, '本章'),
          }, '下载本章')),
        h('ol', { className: 'lessons' }, chapter.lessons.map((lesson) => {
          const control = downloadControl(app, lesson);
          controls.push(control);
          return h('li', { className: 'lesson-row' },
            h('a', { href: routeHash('lesson', lesson.id), className: 'lesson-title' }, lesson.title),
            control.element);
        })))),
    ];
  });
  app.refreshLibrary();
  return () => controls.forEach((control) => control.stop());
}
