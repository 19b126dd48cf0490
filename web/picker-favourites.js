// Favourite families and faces, and the faces opened last, kept in localStorage per agent
// origin (two agents list different fonts). Families are kept by name; faces by file,
// PostScript name and index, which stay the same while the font stays installed. Storage may
// throw (private mode, a full quota, a policy) and may hold anything another script or an
// older page wrote: both leave the reader with a working, if forgetful, picker.

const PREFIX = 'vorn-picker:';
const RECENT = 8;
// Bounds on what is read back, so junk in storage costs little.
const MAX_KEPT = 5000;
const MAX_TEXT = 4096;

/** localStorage, or null where merely touching it throws (a sandboxed frame, a policy). */
export function pageStorage() {
  try {
    return globalThis.localStorage ?? null;
  } catch {
    return null;
  }
}

const text = (value) => (typeof value === 'string' && value.length <= MAX_TEXT ? value : null);

/** A face's identity as stored; the index is left out until the catalogue's details give it. */
export function faceIdentity(face) {
  return {file: face.file, postScript: typeof face.postScript === 'string' ? face.postScript : '',
          index: Number.isInteger(face.index) ? face.index : null};
}

function readIdentity(value) {
  if (!value || typeof value !== 'object') return null;
  const [file, postScript] = [text(value.file), text(value.postScript)];
  if (file === null || postScript === null) return null;
  return {file, postScript, index: Number.isInteger(value.index) ? value.index : null};
}

// An identity without an index (stored from, or compared with, the plain catalogue) stands
// for every face of that file with that PostScript name.
function sameFace(a, b) {
  return a.file === b.file && a.postScript === b.postScript &&
         (a.index === null || b.index === null || a.index === b.index);
}

/** Whether a stored identity names this catalogue face. */
export function identifies(id, face) {
  return sameFace(id, faceIdentity(face));
}

export class Favourites {
  /** @param {Storage|null} storage  @param {() => void} onUnsaved  called once when a write
   * fails: what changed is then kept for this page only. */
  constructor(storage = pageStorage(), onUnsaved = () => {}) {
    this.storage = storage;
    this.onUnsaved = onUnsaved;
    this.saved = true;
    this.key = '';
    this.clear();
  }

  clear() {
    this.families = new Set();
    this.faces = [];
    this.recentFaces = [];
  }

  /** Reads what was kept for an agent (its origin, e.g. "http://127.0.0.1:16801"). */
  load(origin) {
    this.key = PREFIX + origin;
    this.read();
  }

  read() {
    this.clear();
    let kept = null;
    try {
      kept = JSON.parse(this.storage?.getItem(this.key) ?? 'null');
    } catch {
      return;  // unreadable storage or junk: start empty
    }
    if (!kept || typeof kept !== 'object') return;
    const list = (value) => (Array.isArray(value) ? value.slice(0, MAX_KEPT) : []);
    this.families = new Set(list(kept.families).map(text).filter((v) => v !== null));
    this.faces = list(kept.faces).map(readIdentity).filter(Boolean);
    this.recentFaces = list(kept.recent).map(readIdentity).filter(Boolean).slice(0, RECENT);
  }

  /** Whether a storage event for `key` (null: all cleared) concerns this agent. */
  isOurs(key) {
    return key === null || key === this.key;
  }

  save() {
    if (!this.key) return;
    try {
      if (!this.storage) throw new Error('no storage');
      this.storage.setItem(this.key, JSON.stringify({families: [...this.families],
                                                     faces: this.faces,
                                                     recent: this.recentFaces}));
    } catch {
      if (this.saved) this.onUnsaved();
      this.saved = false;
    }
  }

  hasFamily(name) {
    return this.families.has(name);
  }

  hasFace(face) {
    const id = faceIdentity(face);
    return this.faces.some((kept) => sameFace(kept, id));
  }

  /** Stars or unstars a family; returns whether it is now a favourite. */
  toggleFamily(name) {
    const on = !this.families.delete(name);
    if (on) this.families.add(name);
    this.save();
    return on;
  }

  toggleFace(face) {
    const id = faceIdentity(face);
    const on = !this.hasFace(face);
    this.faces = on ? [...this.faces, id] : this.faces.filter((kept) => !sameFace(kept, id));
    this.save();
    return on;
  }

  /** A face was opened: first among the recent ones (`recentFaces`, identities of faces
   * that may no longer be installed), once. */
  opened(face) {
    const id = faceIdentity(face);
    this.recentFaces = [id, ...this.recentFaces.filter((kept) => !sameFace(kept, id))]
      .slice(0, RECENT);
    this.save();
  }
}
