import test from 'node:test';
import assert from 'node:assert/strict';
import { reconcileChildren } from '../../app-ui/js/dom.js';

// A parent of named children that logs every insertion and removal.
class Parent {
  constructor(names) {
    this.children = names.map((name) => this.child(name));
    this.log = [];
  }

  child(name) {
    const parent = this;
    return { name, get nextSibling() { return parent.children[parent.children.indexOf(this) + 1] ?? null; } };
  }

  get firstChild() {
    return this.children[0] ?? null;
  }

  insertBefore(node, before) {
    this.children = this.children.filter((child) => child !== node);
    this.children.splice(before ? this.children.indexOf(before) : this.children.length, 0, node);
    this.log.push(`+${node.name}`);
  }

  removeChild(node) {
    this.children = this.children.filter((child) => child !== node);
    this.log.push(`-${node.name}`);
  }
}

test('children end in the wanted order and only the differing places are touched', () => {
  const cases = [
    { was: 'abcde', wanted: 'abde', log: ['-c'] },           // a deleted row: one removal, nothing moved
    { was: 'abde', wanted: 'abcde', log: ['+c'] },
    { was: 'abcd', wanted: 'acbd', log: ['+c'] },             // a row moved up one place
    { was: 'abc', wanted: 'abc', log: [] },
    { was: 'abc', wanted: 'xy', log: ['-a', '-b', '-c', '+x', '+y'] },
    { was: '', wanted: 'ab', log: ['+a', '+b'] },
  ];
  for (const { was, wanted, log } of cases) {
    const parent = new Parent([...was]);
    const byName = new Map(parent.children.map((child) => [child.name, child]));
    reconcileChildren(parent, [...wanted].map((name) => byName.get(name) ?? parent.child(name)));
    assert.equal(parent.children.map((child) => child.name).join(''), wanted, `${was} → ${wanted}`);
    assert.deepEqual(parent.log, log, `${was} → ${wanted}`);
  }
});
