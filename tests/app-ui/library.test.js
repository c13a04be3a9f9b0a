import test from 'node:test';
import assert from 'node:assert/strict';
import { App } from '../../app-ui/js/app.js';
import {
  cleanTitle, courseKey, groupByCourse, planChapterRename, planCourseMove, planCourseRename, planLessonMove,
} from '../../app-ui/js/library-order.js';

const item = (assetId, courseIndex, courseTitle, chapterIndex, chapterTitle, lessonIndex, classTitle = '数学') =>
  ({ assetId, classTitle, courseIndex, courseTitle, chapterIndex, chapterTitle, lessonIndex, lessonTitle: assetId });

const library = [
  item('a1', 1, '函数', 1, '第一章', 1),
  item('a2', 1, '函数', 1, '第一章', 2),
  item('a3', 1, '函数', 2, '第二章', 1),
  item('b1', 2, '三角', 1, '第一章', 1),
  item('c1', 1, '唐诗', 1, '第一单元', 1, '语文'),
];

const moves = (commands) => commands.map((c) => [c.assetId, c.courseIndex, c.chapterIndex, c.lessonIndex]);

test('groups follow the list order by course', () => {
  assert.deepEqual(groupByCourse(library).map((g) => [g.courseTitle, g.items.length]),
    [['函数', 3], ['三角', 1], ['唐诗', 1]]);
});

test('a lesson moves only within its chapter and the chapter is renumbered', () => {
  assert.deepEqual(moves(planLessonMove(library, 'a2', -1)), [['a2', 1, 1, 1], ['a1', 1, 1, 2]]);
  assert.deepEqual(planLessonMove(library, 'a1', -1), []);
  assert.deepEqual(planLessonMove(library, 'a2', +1), []);   // a3 is in another chapter
  assert.deepEqual(planLessonMove(library, 'missing', 1), []);
});

test('equal lesson numbers are made distinct by a move', () => {
  const tied = [item('x', 0, 'C', 0, 'K', 0), item('y', 0, 'C', 0, 'K', 0)];
  assert.deepEqual(moves(planLessonMove(tied, 'x', +1)), [['y', 0, 0, 1], ['x', 0, 0, 2]]);
});

test('a course moves within its class and keeps its titles', () => {
  const commands = planCourseMove(library, courseKey(library[3]), -1);
  assert.deepEqual(moves(commands), [['b1', 1, 1, 1], ['a1', 2, 1, 1], ['a2', 2, 1, 2], ['a3', 2, 2, 1]]);
  assert.ok(commands.every((c) => c.type === 'updateDownloadMetadata' && c.courseTitle && c.chapterTitle));
  assert.deepEqual(planCourseMove(library, courseKey(library[4]), -1), []);   // 语文 has one course
});

test('renaming sends one command per affected lesson with the cleaned title', () => {
  const renamed = planCourseRename(library, courseKey(library[0]), '  函数\n与导数 ');
  assert.deepEqual(renamed.map((c) => [c.assetId, c.courseTitle]), [['a1', '函数与导数'], ['a2', '函数与导数'], ['a3', '函数与导数']]);
  assert.deepEqual(planCourseRename(library, courseKey(library[0]), ' \r\n '), []);
  const chapter = planChapterRename(library, 'a3', '导数');
  assert.deepEqual(chapter.map((c) => [c.assetId, c.chapterTitle, c.lessonIndex]), [['a3', '导数', 1]]);
  assert.deepEqual(planChapterRename(library, 'a3', '第二章'), []);
});

test('titles lose line breaks and NULs and are cut at 1000 characters, not bytes', () => {
  assert.equal(cleanTitle('a\u0000b\rc'), 'abc');
  assert.equal(cleanTitle(null), null);
  const long = '👍🏽'.repeat(1001);
  assert.equal(Array.from(new Intl.Segmenter().segment(cleanTitle(long))).length, 1000);
});

test('a deleted lesson leaves the library before the listing that follows, and a foreign id changes nothing', () => {
  const sent = [];
  const app = new App({ send: (command) => sent.push(command), on() {} }, {});
  app.session = { token: 't', ownerKey: 'k', userName: 'u' };
  app.toast = () => {};
  app.library = library;
  const drawn = [];
  app.subscribe('library', (items) => drawn.push(items.map((entry) => entry.assetId)));
  app.onDeleteCompleted({ type: 'deleteCompleted', assetId: 'a2' });
  app.onDeleteCompleted({ type: 'deleteCompleted', assetId: 'elsewhere' });
  assert.deepEqual(drawn, [['a1', 'a3', 'b1', 'c1']]);
  assert.equal(app.libraryItem('a2'), null);
  assert.deepEqual(sent.map((command) => command.type), ['listDownloads', 'listDownloads']);
});
