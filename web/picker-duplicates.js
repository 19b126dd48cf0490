// Copies of one face in several files (a font installed twice, by the system and by the user,
// or kept in an old version beside the new): the list shows such a face once, and the face
// panel lists its copies and lets the reader choose the one it draws and copies CSS for.
// Faces repeated inside one file (a collection's faces, a variable font's instances) are not
// copies: they stay as they are.

import {instanceSettings} from './vorn-fonts.js';

// The copy chosen for each face, by copyKey, as "file\nindex": kept across new catalogues
// while that copy is still listed.
const chosen = new Map();

/** Faces that are the same face of the same font share this key: the PostScript name and the
 * location (named instances of a variable font share the name). '' for a face without one. */
export function copyKey(face) {
  return face.postScript ? face.postScript + '\n' + instanceSettings(face) : '';
}

const where = (face) => face.file + '\n' + (Number.isInteger(face.index) ? face.index : 0);

// Files the agent can cut faces out of and subset: the copy shown unless the reader chose one
// (a family shipped as TTF, OTF and WOFF then draws from subsets, not the whole WOFF).
const SFNT_FILE = /\.(ttf|otf|ttc|otc)$/i;

/**
 * A family's faces with each face found in more than one file shown once: the copy chosen
 * before, else the first listed in an OpenType or TrueType file, else the first listed. Returns the faces to show, in the catalogue's order, and for
 * each shown face that has copies, all of them (itself included), in the catalogue's order.
 * @returns {{faces: object[], copies: Map<object, object[]>}}
 */
export function foldCopies(faces) {
  const groups = new Map();
  for (const face of faces) {
    const key = copyKey(face);
    if (!key) continue;
    if (!groups.has(key)) groups.set(key, []);
    groups.get(key).push(face);
  }
  const copies = new Map();
  const hidden = new Set();
  for (const [key, group] of groups) {
    if (new Set(group.map((f) => f.file)).size < 2) continue;
    const shown = group.find((f) => where(f) === chosen.get(key)) ||
                  group.find((f) => SFNT_FILE.test(f.file)) || group[0];
    copies.set(shown, group);
    group.forEach((f) => f !== shown && hidden.add(f));
  }
  return {faces: hidden.size ? faces.filter((f) => !hidden.has(f)) : faces, copies};
}

/** Shows the copies in `copy`'s file in place of the family's faces from now on: `face`
 * (shown, one of `copy`'s copies), and any other face of the family with a copy there (the
 * other instances of a variable font). `family` is the picker's model entry. */
export function chooseCopy(family, face, copy) {
  if (!family.copies.get(face)?.includes(copy)) return;
  for (const [shown, group] of [...family.copies]) {
    const there = group.find((f) => where(f) === where(copy));
    if (!there || there === shown) continue;
    chosen.set(copyKey(there), where(there));
    family.copies.delete(shown);
    family.copies.set(there, group);
    family.faces[family.faces.indexOf(shown)] = there;
    if (family.regular === shown) family.regular = there;
  }
}

/** What the panel says about a copy: its path, its face in a collection, format and size. */
export function copyFacts(copy) {
  const facts = [];
  if (Number.isInteger(copy.index) && copy.index > 0) facts.push('face ' + (copy.index + 1));
  if (typeof copy.format === 'string' && copy.format) facts.push(copy.format);
  if (Number.isInteger(copy.fileSize)) facts.push(Math.ceil(copy.fileSize / 1024) + ' KiB');
  return facts.join(' · ');
}

export class CopyChooser {
  /**
   * @param {HTMLFieldSetElement} root  The panel's copies box (its legend is kept).
   * @param {(copy: object) => void} onChoose  Called with the copy the reader chose.
   */
  constructor(root, onChoose) {
    this.root = root;
    this.onChoose = onChoose;
    this.legend = root.querySelector('legend');
  }

  /** Lists the copies of the face shown (`group`, or nothing to hide the box). */
  show(face, group) {
    this.root.hidden = !group;
    const focused = this.root.contains(document.activeElement);
    if (!group) return this.root.replaceChildren(this.legend);
    const rows = group.map((copy, i) => {
      const label = document.createElement('label');
      label.className = 'copy';
      const radio = document.createElement('input');
      radio.type = 'radio';
      radio.name = 'panel-copy';
      radio.value = String(i);
      radio.checked = copy === face;
      radio.setAttribute('aria-label', [copy.file, copyFacts(copy)].filter(Boolean).join(', '));
      radio.addEventListener('change', () => radio.checked && this.onChoose(copy));
      const path = document.createElement('span');
      path.className = 'copy-file';
      path.textContent = copy.file;
      const facts = document.createElement('span');
      facts.className = 'copy-facts';
      facts.textContent = copyFacts(copy);
      label.append(radio, path, facts);
      return label;
    });
    this.root.replaceChildren(this.legend, ...rows);
    // Choosing a copy draws the list anew: a keyboard reader stays on the chosen one.
    if (focused) this.root.querySelector('input:checked')?.focus();
  }
}
