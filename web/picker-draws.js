// "Draws this text": keeps the families whose faces map every character of a text. An agent
// that filters by text (`?covers=`) answers with the faces that do, in one request; with any
// other agent the font menu subsets each family's regular face for the text, and the
// character map of each subset tells whether all of it is there (a subset holds only what the
// face has). Typing is debounced, and a newer text aborts the request of an older one.

import {AgentError, MAX_SUBSET_TEXT, readCoverage} from './vorn-fonts.js';

// Long enough to let a word be typed, short enough to feel live.
const DEBOUNCE_MS = 300;
// Texts whose answers are kept, for a reader going back and forth.
const REMEMBERED = 8;

const faceKey = (face) => face.file + '\n' + face.postScript;

/** The faces (by file and PostScript name) the agent says draw all of `text`. */
async function facesByCovers(agent, text, signal) {
  const {families} = await agent.catalogue({details: false, covers: text, signal});
  return new Set(families.flatMap((f) => (Array.isArray(f?.childList) ? f.childList : []))
    .map(faceKey));
}

/** The families (by name) whose font-menu face maps all of `text`, from its subset. */
async function familiesByMaps(agent, records, text, signal) {
  if (agent.supports.subsets === false) {
    throw new AgentError('status', 'the agent makes no subsets, and checking every font ' +
                         'whole would fetch all of them');
  }
  const familyOf = new Map(records.flatMap((r) => r.childList.map((f) => [faceKey(f), r.family])));
  const families = new Set();
  for await (const entry of agent.menu({families: records, text, signal, FontFace: null})) {
    const coverage = entry.bytes && readCoverage(entry.bytes);
    const family = familyOf.get(faceKey(entry));
    if (family !== undefined && coverage && coverage.missing(text).length === 0) {
      families.add(family);
    }
  }
  return families;
}

export class DrawsFilter {
  /**
   * @param {HTMLInputElement} input  The text field.
   * @param {HTMLElement} status  Says what the filter is doing (a live region).
   * @param {() => void} onResult  Called when the families to show changed.
   */
  constructor(input, status, onResult) {
    this.input = input;
    this.status = status;
    this.onResult = onResult;
    this.agent = null;
    this.records = [];
    this.catalogue = null;
    this.answers = new Map();  // text -> {faces} or {families}, least recently used first
    this.result = null;
    this.timer = 0;
    this.abort = null;
    input.addEventListener('input', () => this.schedule(DEBOUNCE_MS));
  }

  /** A filter is in force (a text typed and its answer known). */
  get active() {
    return this.result !== null;
  }

  /** Whether the filter keeps this face of this family (model entries of the picker). */
  allows(family, face) {
    if (!this.result) return true;
    return this.result.faces ? this.result.faces.has(faceKey(face)) :
                               this.result.families.has(family.name);
  }

  /** The catalogue on screen (its family records, in any order): when its faces changed,
   * earlier answers no longer hold and a text typed is checked again. The details arriving
   * change no face. */
  follow(agent, records) {
    const faces = records.map((r) => r.childList.map(faceKey).join('\n')).join('\n');
    this.records = records;
    if (agent === this.agent && faces === this.catalogue) return;
    if (agent !== this.agent) {
      clearTimeout(this.timer);  // an answer of the agent before is no answer here
      this.abort?.abort();
      this.say('idle', '');
      this.drop();
    }
    this.agent = agent;
    this.catalogue = faces;
    this.answers.clear();
    if (records.length) this.schedule(0);
  }

  /** No filter in force: every face is shown again. */
  drop() {
    if (!this.result) return;
    this.result = null;
    this.onResult();
  }

  /** The text to check: its characters once each, without spaces and controls (a page draws
   * them in any font; a character map need not hold them). */
  wanted() {
    return [...new Set(this.input.value.replace(/[\s\p{Cc}\p{Cf}]/gu, ''))].join('');
  }

  schedule(wait) {
    clearTimeout(this.timer);
    this.abort?.abort();
    this.abort = null;
    const text = this.wanted();
    if (!text || !this.agent) {
      this.say('idle', '');
      return this.drop();
    }
    if ([...text].length > MAX_SUBSET_TEXT) {
      this.say('error', 'At most ' + MAX_SUBSET_TEXT.toLocaleString('en') +
               ' different characters.');
      return this.drop();
    }
    const known = this.answers.get(text);
    if (known) return this.show(text, known);
    this.say('checking', 'Checking…');
    this.timer = setTimeout(() => this.run(text), wait);
  }

  async run(text) {
    const abort = new AbortController();
    this.abort = abort;
    const {agent, records} = this;
    try {
      const answer = await agent.filtersByText(abort.signal) ?
        {faces: await facesByCovers(agent, text, abort.signal)} :
        {families: await familiesByMaps(agent, records, text, abort.signal)};
      if (abort.signal.aborted) return;
      this.show(text, answer);
    } catch (err) {
      if (abort.signal.aborted) return;
      this.say('error', 'Cannot check this text: ' + (err instanceof AgentError ? err.message :
                                                       'the reply could not be read') + '.');
      this.drop();
    }
  }

  show(text, answer) {
    this.answers.delete(text);  // most recently used last
    this.answers.set(text, answer);
    if (this.answers.size > REMEMBERED) this.answers.delete(this.answers.keys().next().value);
    this.result = answer;
    const families = answer.families ? answer.families.size :
      this.records.filter((r) => r.childList.some((f) => answer.faces.has(faceKey(f)))).length;
    this.say('done', families === 1 ? '1 family draws it.' : families + ' families draw it.');
    this.onResult();
  }

  say(state, message) {
    this.input.dataset.state = state;
    this.status.textContent = message;
  }
}
