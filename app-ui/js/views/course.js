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

/** "取消排队" for the course's lessons that have not started, shown while any waits. */
function queueControl(app, lessons) {
  const button = h('button', { type: 'button', className: 'secondary' });
  const waiting = () => lessons.filter((lesson) => app.isQueued(lesson.asset_id));
  const draw = () => {
    const count = waiting().length;
    button.hidden = count === 0;
    button.textContent = `取消排队（${count}）`;
  };
  button.addEventListener('click', () => waiting().forEach((lesson) => app.cancelQueued(lesson.asset_id)));
  const stop = app.subscribe('download', draw);
  draw();
  return { element: button, stop };
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
    const cancel = queueControl(app, all);
    controls.push(cancel);
    return [
      h('nav', { className: 'crumbs' },
        h('a', { href: routeHash('classes') }, '我的班级'), ' / ',
        h('a', { href: routeHash('class', course.class.id) }, course.class.title), ' / ', course.title),
      h('h1', {}, course.title),
      h('p', { className: 'muted' }, course.summary),
      h('div', { className: 'course-actions' },
        h('button', { type: 'button', className: 'secondary', onClick: () => queueAll(app, all, '本课程') }, '下载整门课程'),
        cancel.element),
      chapters.map((chapter) => h('section', { className: 'panel chapter' },
        h('div', { className: 'group-head' }, h('h2', {}, chapter.title), h('span', { className: 'spacer' }),
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
