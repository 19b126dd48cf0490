// web/picker-favourites.js over stand-in storages: a working one, one holding junk, one that
// throws on every call.

import assert from 'node:assert/strict';
import {test} from 'node:test';

import {Favourites} from '../../web/picker-favourites.js';

const ORIGIN = 'http://127.0.0.1:16801';

class MemoryStorage {
  items = new Map();
  getItem(key) {
    return this.items.get(key) ?? null;
  }
  setItem(key, value) {
    this.items.set(key, String(value));
  }
}

const face = (postScript, index) => ({file: '/fonts/' + postScript + '.ttf', postScript, index});

function loaded(storage, origin = ORIGIN, onUnsaved = undefined) {
  const favourites = new Favourites(storage, onUnsaved);
  favourites.load(origin);
  return favourites;
}

test('stars and recent faces are kept per agent origin', () => {
  const storage = new MemoryStorage();
  const first = loaded(storage);
  first.toggleFamily('Example Sans');
  first.toggleFace(face('Trio-Italic', 2));
  for (let i = 0; i < 10; i++) first.opened(face('R' + i, 0));
  first.opened(face('R5', 0));
  assert.ok([...storage.items.keys()].every((key) => key.includes(ORIGIN)));

  const again = loaded(storage);
  assert.ok(again.hasFamily('Example Sans'));
  assert.ok(again.hasFace(face('Trio-Italic', 2)));
  assert.ok(!again.hasFace(face('Trio-Italic', 1)));
  // The plain catalogue has no indexes yet: the face is still the starred one.
  assert.ok(again.hasFace(face('Trio-Italic', undefined)));
  // Most recent first, once each, eight at most.
  assert.deepEqual(again.recentFaces.map((id) => id.postScript),
                   ['R5', 'R9', 'R8', 'R7', 'R6', 'R4', 'R3', 'R2']);
  again.toggleFamily('Example Sans');
  assert.ok(!loaded(storage).hasFamily('Example Sans'));
  assert.ok(!loaded(storage, 'http://127.0.0.1:16802').hasFace(face('Trio-Italic', 2)));
});

test('junk in storage is dropped, entry by entry', () => {
  for (const junk of ['{', '"text"', '42', '[1]', '{"families": "Sans", "faces": {}, "recent": 7}']) {
    const favourites = loaded({getItem: () => junk, setItem() {}});
    assert.deepEqual([favourites.families.size, favourites.faces.length,
                      favourites.recentFaces.length], [0, 0, 0], junk);
  }
  const mixed = JSON.stringify({
    families: ['Sans', 3, null, {family: 'Sans'}, 'x'.repeat(5000)],
    faces: [{file: '/a.ttf', postScript: 'A', index: 0}, {file: 5, postScript: 'B'}, 'A', null,
            {file: '/c.ttf'}, {file: '/d.ttf', postScript: 'D', index: 'zero'}],
    recent: Array.from({length: 20}, (_, i) => ({file: '/r.ttf', postScript: 'R' + i})),
  });
  const favourites = loaded({getItem: () => mixed, setItem() {}});
  assert.deepEqual([...favourites.families], ['Sans']);
  assert.deepEqual(favourites.faces, [{file: '/a.ttf', postScript: 'A', index: 0},
                                      {file: '/d.ttf', postScript: 'D', index: null}]);
  assert.equal(favourites.recentFaces.length, 8);
});

test('a storage that throws leaves the stars working for the page, and says so once', () => {
  let told = 0;
  const refusing = {
    getItem() {
      throw new Error('SecurityError');
    },
    setItem() {
      throw new Error('QuotaExceededError');
    },
  };
  const favourites = loaded(refusing, ORIGIN, () => told++);
  assert.ok(favourites.toggleFamily('Sans'));
  favourites.opened(face('A', 0));
  assert.ok(favourites.hasFamily('Sans'));
  assert.equal(favourites.recentFaces.length, 1);
  assert.equal(told, 1);
  // Node has no localStorage at all, as some sandboxed frames do not.
  const none = loaded(undefined);
  assert.ok(none.toggleFace(face('A', 0)) && none.hasFace(face('A', 0)));
});
