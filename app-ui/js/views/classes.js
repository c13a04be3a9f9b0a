// The learner's classes (after the lessons to continue), then the courses of one class.

import { errorPanel, h, loadingPanel, replaceChildren } from '../dom.js';
import { routeHash } from '../router.js';
import { continueSection } from './continue.js';

export async function load(app, container, fetch, draw) {
  replaceChildren(container, loadingPanel());
  try {
    const data = await fetch();
    replaceChildren(container, draw(data));
  } catch (error) {
    if (error.kind === 'auth') return app.sessionExpired();
    const offline = error.kind === 'network';
    replaceChildren(container, errorPanel(error.message, () => load(app, container, fetch, draw)),
      offline && h('p', { className: 'muted' }, '无法连接课堂服务时，可以在“离线课程”中继续学习已下载的课时。'));
  }
}

function card(href, title, ...lines) {
  return h('a', { className: 'card', href }, h('h2', {}, title), ...lines.map((line) => h('p', { className: 'muted' }, line)));
}

export function render(app, container) {
  const resume = continueSection(app);
  const list = h('div');
  container.append(h('h1', {}, '我的班级'), resume.element, list);
  load(app, list, () => app.api.get('classes'), (classes) => [
    classes.length === 0
      ? h('p', { className: 'muted' }, '你还没有加入任何班级。')
      : h('div', { className: 'cards' }, classes.map((c) =>
        card(routeHash('class', c.id), c.title, `${c.teacher} · ${c.course_count} 门课程 · ${c.lesson_count} 个课时`))),
  ]);
  return resume.stop;
}

export function renderClass(app, container, classId) {
  load(app, container, () => app.api.get(`classes/${classId}/courses`), (data) => [
    h('nav', { className: 'crumbs' }, h('a', { href: routeHash('classes') }, '我的班级'), ' / ', data.class.title),
    h('h1', {}, data.class.title),
    h('div', { className: 'cards' }, data.courses.map((course) =>
      card(routeHash('course', course.id), course.title, course.summary, `${course.lesson_count} 个课时`))),
  ]);
}
