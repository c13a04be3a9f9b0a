// One course: its chapters and lessons, each with its download control.

import { h } from '../dom.js';
import { routeHash } from '../router.js';
import { load } from './classes.js';
import { downloadControl } from './download-control.js';

export function render(app, container, courseId) {
  const controls = [];
  load(app, container, () => app.api.get(`courses/${courseId}`), (course) => [
    h('nav', { className: 'crumbs' },
      h('a', { href: routeHash('classes') }, '我的班级'), ' / ',
      h('a', { href: routeHash('class', course.class.id) }, course.class.title), ' / ', course.title),
    h('h1', {}, course.title),
    h('p', { className: 'muted' }, course.summary),
    course.chapters.map((chapter) => h('section', { className: 'panel chapter' },
      h('h2', {}, chapter.title),
      h('ol', { className: 'lessons' }, chapter.lessons.map((lesson) => {
        const full = {
          ...lesson,
          class_id: course.class.id, class_title: course.class.title,
          course_title: course.title, course_index: course.index,
          chapter_title: chapter.title, chapter_index: chapter.index,
        };
        const control = downloadControl(app, full);
        controls.push(control);
        return h('li', { className: 'lesson-row' },
          h('a', { href: routeHash('lesson', lesson.id), className: 'lesson-title' }, lesson.title),
          control.element);
      })))),
  ]);
  app.refreshLibrary();
  return () => controls.forEach((control) => control.stop());
}
