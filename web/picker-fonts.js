// The fonts behind the list: each family name and face sample drawn in its own face, loaded
// only for rows on screen, and let go again when many have piled up. The names on a screen come
// from one font menu request (and the samples of the faces that cannot draw their names, from
// one more); everything else, and every name with an agent that has no menu, is asked for face
// by face, a few at a time.

import {AgentError, readCoverage} from './vorn-fonts.js';
import {PROBE_TEXT, SAMPLES, chooseByProbe, chooseSample, snippet} from './picker-samples.js';

// Browsers open six connections per host; more in flight would only queue there, out of our
// reach when the rows scroll away. A menu request takes one of them.
const CONCURRENT = 6;
// The most families the agent sends in one menu; a screen holds a few dozen rows.
const MENU_MAX = 1000;
// The first words of every sample (414 characters): a face that cannot draw its own name shows
// one of them in a list row, and one menu subset for them all tells which, and draws it.
const SNIPPETS = SAMPLES.map(([, text]) => snippet(text)).join(' ');
// A scroll or a keystroke in search changes the rows on screen many times a second; loading
// starts once they have stayed put this long, so rows that only flash by cost nothing.
const SETTLE_MS = 60;
// Loaded fonts kept; beyond this the least recently drawn ones not on screen are removed.
const KEEP_FONTS = 400;
const KEEP_BYTES = 192 << 20;
// With an agent that makes no subsets, a name costs its whole file: large ones (CJK, mostly)
// are left in the page's font in the list; a sample row or the face panel still loads them.
export const NAME_MAX_BYTES = 3 << 20;
const SAMPLE_MAX_BYTES = 48 << 20;
// FontFace parses fonts made from bytes on the main thread (some 20 ms per MB): a font larger
// than this waits until the reader has neither typed nor scrolled for QUIET_MS, and such
// fonts are parsed one per frame.
const SMALL_FONT = 64 << 10;
const QUIET_MS = 300;
// Every face claims the whole weight and width range so the browser never picks another one
// or synthesises bold for a sample; a static font just ignores the request.
export const DESCRIPTORS = {weight: '1 1000', stretch: '50% 200%'};

let fontCounter = 0;

export class FaceDrawer {
  /** @param {import('./vorn-fonts.js').VornFontAgent} agent */
  constructor(agent, onChange) {
    this.agent = agent;
    this.onChange = onChange;
    this.entries = new Map();  // key -> entry, least recently drawn first
    this.fonts = new Map();    // key -> {promise, refs, size}: loaded fonts, shared
    this.queue = [];
    this.active = 0;
    this.menus = new Set();  // menu requests in flight: {controller, waiting: index -> entry}
    this.menuFailed = false;
    this.wanted = new Set();
    this.timer = 0;
    this.bytes = 0;
    this.closed = false;
    this.lastInput = 0;
    this.parseTurn = Promise.resolve();
  }

  /** The reader typed or scrolled: big fonts wait a little longer. */
  touch() {
    this.lastInput = performance.now();
  }

  quiet(bytes) {
    if (bytes.byteLength < SMALL_FONT) return undefined;
    this.parseTurn = this.parseTurn.then(() => new Promise((resolve) => {
      const check = () => {
        const wait = this.lastInput + QUIET_MS - performance.now();
        if (wait > 0) setTimeout(check, wait);
        else requestAnimationFrame(() => setTimeout(resolve, 0));  // right after a frame
      };
      check();
    }));
    return this.parseTurn;
  }

  /**
   * What to draw for a face in a row: {state, family, text, lang, note}. `purpose` 'name'
   * draws `wanted.text` (the family name) or a short sample when the face lacks it; 'sample'
   * draws the page's sample or one in a language the face covers.
   */
  get(face, wanted, purpose) {
    // The same before and after the catalogue's details arrive (index, fileSize): the rows
    // on screen then keep their fonts. Instances sharing a PostScript name share the entry.
    const key = purpose + '\n' + face.file + '\n' + face.postScript + '\n' + wanted.text;
    let entry = this.entries.get(key);
    if (!entry) {
      entry = {key, face, wanted, purpose, state: 'idle', family: '', text: wanted.text,
               lang: wanted.lang, note: '', fonts: []};
      this.entries.set(key, entry);
    } else {
      this.entries.delete(key);  // most recently drawn last
      this.entries.set(key, entry);
    }
    this.wanted.add(key);
    if (entry.state === 'idle') {
      entry.state = 'queued';
      this.queue.push(entry);
    }
    return entry;
  }

  /** Called once the rows on screen are drawn: `get` was called for each of them since the
   * last call. Queued loads for rows no longer on screen are dropped. */
  settle(now = false) {
    const wanted = this.wanted;
    this.wanted = new Set();
    this.queue = this.queue.filter((entry) => {
      if (wanted.has(entry.key)) return true;
      entry.state = 'idle';
      return false;
    });
    this.onScreen = wanted;
    // A menu none of whose missing names is on screen any more is called off.
    for (const menu of this.menus) {
      const waiting = [...menu.waiting.values()];
      if (waiting.length && !waiting.some((entry) => wanted.has(entry.key))) {
        menu.controller.abort();
      }
    }
    clearTimeout(this.timer);
    if (now) this.pump();
    else this.timer = setTimeout(() => this.pump(), SETTLE_MS);
  }

  pump() {
    const byText = new Map();  // menu text -> entries
    this.queue = this.queue.filter((entry) => {
      const text = this.closed ? null : this.menuText(entry);
      if (text === null) return true;
      byText.set(text, [...(byText.get(text) || []), entry]);
      return false;
    });
    for (const [text, entries] of byText) {
      for (let at = 0; at < entries.length; at += MENU_MAX) {
        this.askMenu(entries.slice(at, at + MENU_MAX), text);
      }
    }
    while (!this.closed && this.active < CONCURRENT && this.queue.length) {
      const entry = this.queue.shift();
      this.active++;
      this.load(entry).finally(() => {
        this.active--;
        this.pump();
      });
    }
  }

  // What a menu subsets a family-name row's face for: '' for the family's own name (the menu's
  // own text), SNIPPETS when the face cannot draw it (by the catalogue's languages, or by the
  // name's subset); null when the row is not drawn from a menu: the family's face in the menu
  // (its first all-Normal face) is not the row's (preview.js gives the catalogue index only
  // when it is), or the agent has no menu.
  menuText(entry) {
    if (entry.purpose !== 'name' || !Number.isInteger(entry.wanted.family) || entry.noMenu ||
        this.menuFailed || this.agent.supports.menu === false ||
        this.agent.supports.subsets === false) {
      return null;
    }
    return entry.samples || chooseSample(entry.face, entry.wanted).text !== entry.wanted.text ?
      SNIPPETS : '';
  }

  // One menu request for these entries' families; each entry loads as its bytes arrive. What the
  // menu did not bring (a face it cannot subset, an agent without the menu, a failed request)
  // is asked for face by face; what was called off goes back to idle, off screen as it is.
  async askMenu(entries, text) {
    const menu = {controller: new AbortController(), waiting: new Map()};
    for (const entry of entries) {
      if (menu.waiting.has(entry.wanted.family)) {
        entry.noMenu = true;
        this.queue.push(entry);
        continue;
      }
      entry.state = 'loading';
      menu.waiting.set(entry.wanted.family, entry);
    }
    this.menus.add(menu);
    this.active++;
    const signal = menu.controller.signal;
    try {
      // No catalogue for the module's own fallback: without the menu, the entries go back to
      // the queue here, where six load at once and the samples have their own fallbacks.
      for await (const got of this.agent.menu({indices: [...menu.waiting.keys()], text,
                                               families: [], FontFace: null, signal})) {
        const entry = menu.waiting.get(got.family);
        if (!entry) continue;
        menu.waiting.delete(got.family);
        if (got.bytes && got.file === entry.face.file && got.postScript === entry.face.postScript) {
          entry.menuBytes = {bytes: got.bytes, index: got.index, text: text || entry.wanted.text};
        } else {
          entry.noMenu = true;
        }
        this.load(entry);
      }
    } catch {
      if (!signal.aborted) this.menuFailed = true;
    } finally {
      this.menus.delete(menu);
      this.active--;
      for (const entry of menu.waiting.values()) {
        if (signal.aborted && !this.onScreen?.has(entry.key)) {
          entry.state = 'idle';
        } else {
          entry.noMenu ||= !signal.aborted;  // back on screen since: the next menu brings it
          entry.state = 'queued';
          this.queue.push(entry);
        }
      }
      this.pump();
    }
  }

  async load(entry) {
    entry.state = 'loading';
    try {
      const done = await this.resolve(entry);
      if (done.samples) {
        // Back to the queue for the samples' menu, which the menu under way leaves to its end.
        this.release(entry);
        entry.samples = true;
        entry.state = 'queued';
        this.queue.push(entry);
        if (!this.menus.size) this.pump();
        return;
      }
      Object.assign(entry, done, {state: done.family ? 'ready' : 'error'});
    } catch (err) {
      entry.state = err.kind === 'too-large' ? 'skipped' : 'error';
      entry.note = err instanceof AgentError ? 'Cannot show this face: ' + err.message + '.' :
                   'Cannot show this face.';
    }
    if (this.closed) return this.release(entry);
    this.evict();
    this.onChange(entry);
  }

  // The sample is chosen from the catalogue's languages first; what the loaded bytes map
  // then confirms it, or picks another (for a subset: by one small probe subset).
  async resolve(entry) {
    const {face, wanted, purpose} = entry;
    const maxBytes = purpose === 'name' ? NAME_MAX_BYTES : SAMPLE_MAX_BYTES;
    const shorten = (choice) => purpose === 'name' && choice.text !== wanted.text ?
      {...choice, text: snippet(choice.text)} : choice;
    let choice = shorten(chooseSample(face, wanted));
    if (entry.menuBytes?.text === SNIPPETS) {
      // The subset of every sample's first words: those of the first language whose probe
      // letters it maps, drawn with it.
      const loaded = await this.font(entry, face, SNIPPETS, maxBytes);
      const other = loaded.coverage && chooseByProbe(face, wanted, loaded.coverage);
      if (!other) {
        return {family: '', note: 'This face has none of the sample languages\' letters.'};
      }
      choice = shorten(other);
      return {family: loaded.font.family, text: choice.text, lang: choice.lang,
              note: choice.note, faceIndex: loaded.index, faceCount: loaded.faceCount};
    }
    let loaded = await this.font(entry, face, choice.text, maxBytes);
    if (loaded.kind !== 'subset') {
      // The whole face: its map says exactly what it can draw.
      if (loaded.coverage) choice = shorten(chooseSample(face, wanted, loaded.coverage));
    } else if (loaded.coverage?.missing(choice.text).length) {
      // From a menu, the samples come from the next menu of the screen.
      if (this.menuText({...entry, samples: true}) !== null) return {samples: true};
      const probe = await this.font(entry, face, PROBE_TEXT, maxBytes);
      const other = probe.coverage && chooseByProbe(face, wanted, probe.coverage);
      if (!other) {
        return {family: '', note: 'This face has none of the sample languages\' letters.'};
      }
      choice = shorten(other);
      loaded = await this.font(entry, face, choice.text, maxBytes);
    }
    if (!choice.drawable) return {family: '', note: choice.note};
    return {family: loaded.font.family, text: choice.text, lang: choice.lang, note: choice.note,
            faceIndex: loaded.index, faceCount: loaded.faceCount};
  }

  // Faces sharing a file share its fonts: the instances of a variable font, and, once the
  // agent is known to make no subsets, every text drawn in one face.
  font(entry, face, text, maxBytes) {
    const collection = face.index > 0 || /\.(ttc|otc)$/i.test(face.file) ||
                       this.agent.collections.has(face.file);
    const key = face.file + '\n' + (collection ? face.postScript : '') + '\n' +
                (this.agent.supports.subsets === false ? '' : text);
    let font = this.fonts.get(key);
    const given = entry.menuBytes;
    entry.menuBytes = null;
    if (!font) {
      font = {key, refs: 0, size: 0};
      const family = 'vorn-' + ++fontCounter;
      font.promise = (given?.text === text ? this.parse(given, family) :
        this.agent.loadFace(face, {text, maxBytes, descriptors: DESCRIPTORS, family,
                                   beforeParse: (bytes) => this.quiet(bytes)}))
        .then((loaded) => {
          font.size = loaded.bytes.byteLength;
          this.bytes += font.size;
          loaded.bytes = null;  // the FontFace holds its own copy; ours would double the cost
          if (font.refs > 0) document.fonts.add(loaded.font);
          return loaded;
        }, (err) => {
          this.fonts.delete(key);  // a later request tries again
          throw err;
        });
      this.fonts.set(key, font);
    }
    font.refs++;
    entry.fonts.push(font);
    return font.promise;
  }

  // A subset the menu brought, as loadFace would have made it.
  async parse({bytes, index}, family) {
    await this.quiet(bytes);
    const font = new FontFace(family, bytes, DESCRIPTORS);
    try {
      await font.load();
    } catch (err) {
      throw new AgentError('font', 'the browser rejected the font data (' +
                           (err?.message || 'no reason given') + ')');
    }
    return {bytes, kind: 'subset', index, faceCount: 1, font, coverage: readCoverage(bytes)};
  }

  /** A face's font outside the rows (the face panel): shared with them when the agent sends
   * whole files anyway. Returns [promise of the LoadedFace, release function]. */
  acquire(face, text = '') {
    const holder = {fonts: []};
    return [this.font(holder, face, text, Infinity), () => this.release(holder)];
  }

  release(entry) {
    for (const font of entry.fonts) {
      if (--font.refs > 0) continue;
      this.fonts.delete(font.key);
      font.promise.then((loaded) => {
        this.bytes -= font.size;
        if (font.refs === 0) document.fonts.delete(loaded.font);
      }, () => {});
    }
    entry.fonts = [];
  }

  evict() {
    for (const [key, entry] of this.entries) {
      if (this.entries.size <= KEEP_FONTS && this.bytes <= KEEP_BYTES) break;
      if (this.onScreen?.has(key) || entry.state === 'loading' || entry.state === 'queued') {
        continue;
      }
      this.release(entry);
      this.entries.delete(key);
    }
  }

  /** Lets every font go (a new catalogue from another agent). */
  close() {
    this.closed = true;
    clearTimeout(this.timer);
    for (const menu of this.menus) menu.controller.abort();
    for (const entry of this.entries.values()) this.release(entry);
    this.entries.clear();
    this.fonts.clear();
    this.queue = [];
  }
}
