// Font picker for the catalogue a Vorn Font Agent serves: a virtualised family list whose
// names are drawn in their own faces, filters and search, a face panel, and live updates.
// Every string from the catalogue reaches the page through textContent or an attribute
// value, never through HTML parsing: font names are chosen by whoever made the font.

import {AgentError, CSS_STRETCH, DEFAULT_AGENT, VornFontAgent, coordinates, cssStretch,
        cssStyle, cssWeight, instanceSettings, standingFace,
        variationSettings} from './vorn-fonts.js';
import {FaceDrawer} from './picker-fonts.js';
import {VirtualList} from './picker-list.js';
import {Compare} from './picker-compare.js';
import {Favourites, identifies} from './picker-favourites.js';
import {FacePanel, axesOf, styleName} from './picker-panel.js';
import {SAMPLES, languageName, preferredLanguages, sampleText,
        scriptName} from './picker-samples.js';
import {DrawsFilter} from './picker-draws.js';
import {CopyChooser, chooseCopy, foldCopies} from './picker-duplicates.js';
import {$, el} from './picker-dom.js';

const ui = {
  form: $('agent-form'), agent: $('agent'), status: $('status'), counts: $('counts'),
  caps: $('caps'), search: $('search'), sampleText: $('sample-text'),
  sampleSize: $('sample-size'), sampleSizeValue: $('sample-size-value'), list: $('families'),
  filters: $('filters'), variable: $('f-variable'), italic: $('f-italic'),
  monospace: $('f-monospace'), color: $('f-color'), width: $('f-width'),
  weightMin: $('f-weight-min'), weightMax: $('f-weight-max'), language: $('f-language'),
};
const FAMILY_ROW = 44;
const HEADING_ROW = 32;
const SAMPLE_DEBOUNCE_MS = 250;
const NARROW = matchMedia('(max-width: 760px)');

// Everything about the catalogue on screen. `generation` grows with each agent loaded, so
// replies for an earlier one, still in flight, are dropped.
const state = {generation: 0, agent: null, text: '', detailed: false, model: [], expanded:
               new Set(), drawer: null, stream: null, updates: 0, panelFace: null};

const str = (value) => (typeof value === 'string' ? value : '');
const plural = (n, word) => n + ' ' + word + (n === 1 ? '' : 's');
const familiesText = (n) => n + (n === 1 ? ' family' : ' families');
// The order of localeCompare, from one collator: the list sorts every family at once.
const ORDER = new Intl.Collator();

function setStatus(kind, message) {
  document.body.dataset.state = kind;
  ui.status.textContent = message;
}

// ---- The sample every row draws ----------------------------------------------------------------

// The reader's own text, or (empty box) a pangram in their language; each face that lacks it
// draws a sample in a language it covers instead.
function wantedSample() {
  const own = ui.sampleText.value.trim();
  if (own) return {text: own, lang: ''};
  const lang = preferredLanguages()[0];
  return {text: sampleText(lang), lang};
}

// ---- Catalogue ---------------------------------------------------------------------------------

async function loadCatalogue() {
  const generation = ++state.generation;
  state.stream?.close();
  state.drawer?.close();
  state.stream = null;
  let agent;
  try {
    agent = new VornFontAgent(ui.agent.value);
  } catch {
    setStatus('error', 'The agent address "' + ui.agent.value + '" is not an http:// URL.');
    return;
  }
  state.agent = agent;
  state.drawer = new FaceDrawer(agent, () => onFontsChanged());
  panel.close();
  panel.agent = agent;
  panel.drawer = state.drawer;
  favourites.load(new URL(agent.base).origin);
  compare.reset(state.drawer);
  setModel([], '', false);
  setStatus('loading', 'Asking the agent at ' + agent.base + ' for its fonts…');
  // The plain catalogue first: the details (languages above all) can make the document three
  // times larger, and the first screen needs none of them.
  let catalogue;
  try {
    catalogue = await agent.catalogue({details: false});
  } catch (err) {
    if (generation === state.generation) setStatus('error', explain(err, agent));
    return;
  }
  if (generation !== state.generation) return;
  state.firstDrawn = false;
  state.firstScreen = false;
  state.validator = null;
  setModel(catalogue.families, catalogue.text, false);
  document.body.dataset.details = 'pending';
  const faces = state.model.reduce((n, f) => n + f.faces.length, 0);
  setStatus('ready', state.model.length === 0 ? 'The agent at ' + agent.base + ' lists no fonts.' :
            'Loaded ' + familiesText(state.model.length) + ' with ' + plural(faces, 'face') +
            ' from ' + agent.base + '.');
}

// Once the first screen is drawn: the details, then the event stream (whose first event is
// compared with the catalogue just fetched, so it costs no second download).
async function afterFirstScreen(generation) {
  let catalogue = null;
  try {
    catalogue = await state.agent.catalogue({details: true});
  } catch {
    // The plain catalogue is on screen; the stream or a later refresh will try again.
  }
  if (generation !== state.generation) return;
  if (catalogue?.detailed) {
    setModel(catalogue.families, catalogue.text, true);
    keepPanel();
  }
  document.body.dataset.details = state.detailed ? 'yes' : 'no';
  subscribe(state.agent, generation);
}

function explain(err, agent) {
  if (!(err instanceof AgentError)) return 'Unexpected failure: ' + err.message;
  if (err.kind === 'unreachable') {
    return 'Cannot reach the agent at ' + agent.base + '. Is it running? Start it with ' +
      '"vorn-font-agent -l 127.0.0.1 -p ' + (new URL(agent.base).port || '80') + '". A page ' +
      'on a public site also needs the browser\'s permission to reach local addresses.';
  }
  if (err.status === 204) {
    return 'The agent answered 204 "utf-8 error": its font list could not be written as UTF-8.';
  }
  if (err.status === 500) return 'The agent answered 500: it failed to build its font list.';
  if (err.kind === 'status') return 'The agent answered ' + err.status + '.';
  return 'The agent\'s reply is not a JSON font list (' + err.message + ').';
}

// Live updates: the stream says when the catalogue changed; the document is fetched again and
// shown only when its text really differs. A hidden tab hears nothing, so coming back to the
// tab does it too (a 304 when nothing changed).
function subscribe(agent, generation) {
  document.body.dataset.live = 'connecting';
  state.stream = agent.subscribe((event) => {
    const first = state.validator === null;
    if (!first && event.validator === state.validator) return;
    state.validator = event.validator;
    if (first && event.families === state.counts.families && event.faces === state.counts.faces) {
      return;
    }
    refresh(generation);
  }, {onState: (live) => {
    if (generation !== state.generation) return;
    document.body.dataset.live = {open: 'on', reconnecting: 'connecting'}[live] || 'off';
    showCaps();
  }});
}

// Events that arrive during a refresh are folded into one more refresh after it.
let refreshing = false;
let refreshAgain = false;
async function refresh(generation) {
  if (refreshing) {
    refreshAgain = true;
    return;
  }
  refreshing = true;
  try {
    do {
      refreshAgain = false;
      await refreshOnce(generation);
    } while (refreshAgain && generation === state.generation);
  } finally {
    refreshing = false;
  }
}

async function refreshOnce(generation) {
  let catalogue;
  try {
    catalogue = await state.agent.catalogue({details: state.detailed});
  } catch (err) {
    if (generation === state.generation) setStatus('error', explain(err, state.agent));
    return;
  }
  if (generation !== state.generation || catalogue.text === state.text) return;
  const before = new Set(state.model.map((f) => f.name));
  setModel(catalogue.families, catalogue.text, catalogue.detailed);
  const after = new Set(state.model.map((f) => f.name));
  const added = [...after].filter((n) => !before.has(n)).length;
  const removed = [...before].filter((n) => !after.has(n)).length;
  state.updates++;
  document.body.dataset.updates = state.updates;
  setStatus('ready', 'The font list changed: ' + familiesText(after.size) + ' now (' +
            added + ' added, ' + removed + ' removed).');
  keepPanel();
}

// After a new catalogue, the face panel stays as it is (its axes too) while its face is
// still listed.
function keepPanel() {
  const open = state.panelFace;
  const again = open && findFace(open.file, open.postScript);
  if (again) {
    state.panelFace = again.face;
    panel.family = again.family.record;
    panel.updateFeatures(again.face);
    state.panelFamily = again.family;
    copyChooser.show(again.face, again.family.copies.get(again.face));
  } else if (open) {
    panel.close();
  }
  // Pinned faces stay pinned the same way.
  compare.keep((face) => {
    const now = findFace(face.file, face.postScript);
    return now && {family: now.family.record, face: now.face};
  });
}

document.addEventListener('visibilitychange', () => {
  if (document.visibilityState === 'visible' && document.body.dataset.state === 'ready') {
    refresh(state.generation);
  }
});

// ---- Model: families, their faces, and what each can be found by ----------------------------

function pickRegular(faces) {
  const score = (f) => Math.abs(cssWeight(f) - 400) + (cssStyle(f) === 'normal' ? 0 : 1000) +
                       Math.abs(cssStretch(f) - 100) * 4;
  // Each face scored once: the list is built from every face of the catalogue at once.
  let best = null;
  let bestScore = Infinity;
  for (const face of faces) {
    const value = score(face);
    if (value < bestScore) [best, bestScore] = [face, value];
  }
  return best;
}

function setModel(families, text, detailed) {
  state.text = text;
  state.detailed = detailed;
  state.counts = {families: families.length,
                  faces: families.reduce((n, f) => n + (Array.isArray(f?.childList) ?
                                                        f.childList.length : 0), 0)};
  const catalogueIndex = new Map(families.map((f, i) => [f, i]));
  const records = families.filter((f) => f && typeof f === 'object' &&
                                         typeof f.family === 'string');
  records.sort((a, b) => ORDER.compare(a.family, b.family));
  state.model = records.map((record, i) => {
    const faces = (Array.isArray(record.childList) ? record.childList : [])
      .filter((c) => c && typeof c === 'object' && typeof c.file === 'string');
    record.childList = faces;
    const standing = standingFace(record);
    const regular = pickRegular(faces);
    return {key: 'f' + i + ':' + record.family, name: record.family, record, faces,
            regular, axes: axesOf(record, {}),
            // The family's place in the agent's font menu, when the menu shows the regular face.
            menuIndex: standing?.file === regular?.file && standing?.postScript ===
                       regular?.postScript ? catalogueIndex.get(record) : undefined,
            haystack: (record.family + '\n' + str(record.localName)).toLowerCase(),
            faceHaystacks: faces.map((f) => (str(f.postScript) + '\n' + str(f.fullName))
              .toLowerCase())};
  });
  state.model.forEach(foldFamilyCopies);
  buildLanguageFilter();
  showCaps();
  draws.follow(state.agent, records);
  applyFilters();
}

// A face listed from several files is one row; its record keeps every copy (picker-duplicates.js).
function foldFamilyCopies(family) {
  const {faces, copies} = foldCopies(family.faces);
  family.copies = copies;
  if (faces === family.faces) return;
  const kept = new Set(faces);
  family.faceHaystacks = family.faceHaystacks.filter((_, i) => kept.has(family.faces[i]));
  family.faces = faces;
  if (!faces.includes(family.regular)) family.regular = pickRegular(faces);
}

function findFace(file, postScript) {
  for (const family of state.model) {
    const face = family.faces.find((f) => f.file === file && f.postScript === postScript);
    if (face) return {family, face};
  }
  return null;
}

function showCaps() {
  const s = state.agent?.supports || {};
  const say = (v) => (v === true ? 'yes' : v === false ? 'no' : 'not known yet');
  const live = {on: true, off: false}[document.body.dataset.live];
  document.body.dataset.subsets = {true: 'yes', false: 'no'}[s.subsets] || 'unknown';
  ui.caps.textContent = 'Agent features: details ' + say(s.details) + ', subsets ' +
                        say(s.subsets) + ', live updates ' + say(live) + '.';
  for (const input of [ui.monospace, ui.color, ui.language]) {
    input.disabled = !state.detailed;
    input.title = state.detailed ? '' : 'Needs an agent that sends catalogue details';
  }
}

// ---- Filters and search --------------------------------------------------------------------------

// The script a language is most likely written in ("el" -> "Grek"), for the script filter.
const scriptOf = (() => {
  const known = new Map();
  return (tag) => {
    if (!known.has(tag)) {
      try {
        known.set(tag, new Intl.Locale(tag).maximize().script || '');
      } catch {
        known.set(tag, '');  // fontconfig has tags Intl does not accept
      }
    }
    return known.get(tag);
  };
})();

function buildLanguageFilter() {
  const counts = new Map();
  const add = (value) => counts.set(value, (counts.get(value) || 0) + 1);
  for (const family of state.model) {
    const langs = new Set(family.faces.flatMap((f) => (Array.isArray(f.languages) ?
                                                       f.languages : [])));
    langs.forEach(add);
    new Set([...langs].map(scriptOf).filter(Boolean)).forEach((s) => add('script:' + s));
  }
  const chosen = ui.language.value;
  const group = (label, scripts) => {
    const node = document.createElement('optgroup');
    node.label = label;
    node.append(...[...counts]
      .filter(([value]) => value.startsWith('script:') === scripts)
      .map(([value, n]) => {
        const tag = value.replace('script:', '');
        return [(scripts ? scriptName(tag) : languageName(tag)) + ' (' + tag + ') · ' + n,
                value];
      })
      .sort((a, b) => a[0].localeCompare(b[0])).map(([label, value]) => new Option(label, value)));
    return node;
  };
  ui.language.replaceChildren(new Option('Any language', ''), group('Scripts', true),
                              group('Languages', false));
  ui.language.value = counts.has(chosen) ? chosen : '';
}

function coversLanguage(face, value) {
  if (!Array.isArray(face.languages)) return false;
  if (!value.startsWith('script:')) return face.languages.includes(value);
  return face.languages.some((tag) => 'script:' + scriptOf(tag) === value);
}

// A family's axis may stand for a trait its faces do not list (an italic axis, a width range).
function axisSpan(family, tag) {
  const axis = family.axes.find((a) => a.tag === tag);
  return axis ? [axis.min, axis.max] : null;
}

function filterSet() {
  const num = (input, fallback) => (Number.isFinite(parseFloat(input.value)) ?
                                    parseFloat(input.value) : fallback);
  return {query: ui.search.value.trim().toLowerCase(), variable: ui.variable.checked,
          italic: ui.italic.checked, monospace: ui.monospace.checked && state.detailed,
          color: ui.color.checked && state.detailed, width: ui.width.value,
          weight: [num(ui.weightMin, 1), num(ui.weightMax, 1000)],
          language: state.detailed ? ui.language.value : '', favourites: ui.favourites.checked};
}

const WIDTH_TEST = {
  condensed: (w, span) => w < 100 || (span && span[0] < 100),
  normal: (w, span) => w === 100 || (span && span[0] <= 100 && span[1] >= 100),
  expanded: (w, span) => w > 100 || (span && span[1] > 100),
};

function faceMatches(family, face, i, f, nameHit) {
  if (!draws.allows(family, face)) return false;
  if (f.query && !nameHit && !family.faceHaystacks[i].includes(f.query)) return false;
  if (f.variable && !(family.record.isVariation === true || coordinates(face).size > 0)) {
    return false;
  }
  if (f.italic && cssStyle(face) === 'normal' && !axisSpan(family, 'ital') &&
      !(axisSpan(family, 'slnt')?.[0] < 0)) {
    return false;
  }
  if (f.width && !WIDTH_TEST[f.width](CSS_STRETCH[face.width] ?? 100, axisSpan(family, 'wdth'))) {
    return false;
  }
  const span = axisSpan(family, 'wght') || [cssWeight(face), cssWeight(face)];
  if (span[1] < f.weight[0] || span[0] > f.weight[1]) return false;
  if (f.monospace && face.monospace !== true) return false;
  if (f.color && face.color !== true) return false;
  if (f.favourites && !favourites.hasFamily(family.name) && !favourites.hasFace(face)) return false;
  return !f.language || coversLanguage(face, f.language);
}

function applyFilters() {
  const f = filterSet();
  const faceFilter = f.variable || f.italic || f.monospace || f.color || f.width ||
                     f.language || f.weight[0] > 1 || f.weight[1] < 1000 || f.favourites ||
                     draws.active;
  const items = [];
  let shownFamilies = 0;
  let shownFaces = 0;
  for (const family of state.model) {
    const nameHit = !f.query || family.haystack.includes(f.query);
    const matching = family.faces.flatMap((face, i) => (faceMatches(family, face, i, f, nameHit) ?
                                                         [i] : []));
    const faces = matching.map((i) => family.faces[i]);
    if (!faces.length && (faceFilter || !nameHit || family.faces.length)) continue;
    shownFamilies++;
    shownFaces += faces.length;
    const expanded = state.expanded.has(family.name);
    items.push({kind: 'family', key: family.key, family, faces, expanded});
    if (!expanded) continue;
    for (const i of matching) {
      items.push({kind: 'face', key: family.key + '/' + i, family, face: family.faces[i],
                  parentKey: family.key});
    }
  }
  const faceCount = state.model.reduce((n, fam) => n + fam.faces.length, 0);
  const total = familiesText(state.model.length) + ', ' + plural(faceCount, 'face');
  ui.counts.textContent = shownFamilies === state.model.length && shownFaces === faceCount ?
    total : 'Showing ' + shownFamilies + ' of ' + total + ' (' + plural(shownFaces, 'face') +
            ' shown)';
  list.setItems(recentItems(f).concat(items));
}

// ---- Rows ----------------------------------------------------------------------------------------

function faceRowHeight() {
  return Math.round(Number(ui.sampleSize.value) * 1.35) + 28;
}

// What a row draws, from the drawer; asking marks the row as on screen.
function entryFor(item) {
  if (item.kind === 'heading') return null;
  if (item.kind === 'face') return state.drawer.get(item.face, wantedSample(), 'sample');
  const {name, regular, menuIndex} = item.family;
  return regular && state.drawer.get(regular, {text: name, lang: /^[\x20-\x7e]+$/.test(name) ?
                                                                 'en' : '',
                                                 family: menuIndex}, 'name');
}

function drawRow(row, item) {
  if (item.kind === 'heading') drawHeading(row, item);
  else if (item.kind === 'family') drawFamily(row, item);
  else drawFace(row, item);
}

function applyFont(node, entry, face) {
  node.style.fontFamily = entry.state === 'ready' ? `"${entry.family}", var(--fallback)` : '';
  node.style.fontVariationSettings = entry.state === 'ready' ? instanceSettings(face) : '';
  node.style.fontWeight = entry.state === 'ready' ? String(cssWeight(face)) : '';
  if (entry.lang) node.lang = entry.lang;
  else node.removeAttribute('lang');
}

function drawFamily(row, item) {
  const {family} = item;
  row.setAttribute('aria-level', '1');
  row.setAttribute('aria-expanded', String(item.expanded));
  row.dataset.family = family.name;
  const name = el('span', 'family-name', family.name);
  const snippet = el('span', 'snippet');
  const meta = el('span', 'meta', item.faces.length === family.faces.length ?
                  plural(family.faces.length, 'face') :
                  item.faces.length + ' of ' + plural(family.faces.length, 'face'));
  if (family.record.isVariation === true) meta.append(el('span', 'badge', 'Variable'));
  row.replaceChildren(el('span', 'caret'), name, snippet, meta);
  row.append(starButton(favourites.hasFamily(family.name), family.name));
  if (!family.regular) {
    row.dataset.state = 'empty';
    return;
  }
  const entry = entryFor(item);
  row.dataset.state = entry.state;
  row.title = entry.note;
  if (entry.state !== 'ready') return;
  if (entry.text === family.name) return applyFont(name, entry, family.regular);
  // The face cannot draw its own name: the name stays in the page's font, and a few words in
  // a language the face covers show what it looks like.
  snippet.textContent = entry.text;
  applyFont(snippet, entry, family.regular);
}

function drawFace(row, item) {
  const {family, face} = item;
  row.setAttribute('aria-level', '2');
  row.dataset.postscript = str(face.postScript);
  row.dataset.face = family.faces.indexOf(face);  // PostScript names can repeat in a family
  const coords = [...coordinates(face)].map(([t, v]) => t + ' ' + Math.round(v * 100) / 100);
  const entry = entryFor(item);
  const meta = el('div', 'face-meta');
  meta.append(el('span', 'style', styleName(family.record, face)),
              el('span', 'ps-name', str(face.postScript) || '(no PostScript name)'));
  const copies = family.copies.get(face);
  if (copies) meta.append(el('span', 'copies-note', copies.length + ' copies'));
  if (coords.length) meta.append(el('span', 'coords', coords.join(', ')));
  if (item.recent) meta.prepend(el('span', 'recent-family', family.name));
  row.toggleAttribute('data-recent', item.recent === true);
  meta.append(starButton(favourites.hasFace(face), faceLabel(family, face)));
  meta.append(el('span', 'face-note', entry.state === 'loading' || entry.state === 'queued' ?
                 'Loading…' : entry.note));
  const sample = el('div', 'sample', entry.text);
  applyFont(sample, entry, face);
  row.dataset.state = {ready: 'loaded', error: 'error', skipped: 'error'}[entry.state] || 'loading';
  row.dataset.fontName = entry.family || '';
  row.replaceChildren(meta, sample);
}

// Rows on screen whose fonts have not arrived yet; the first time none are left, the first
// screen is complete (the benchmark and the tests read the mark).
function onDrawn(visible) {
  if (!state.drawer) return;
  for (const item of visible) entryFor(item);
  state.drawer.settle(!state.firstDrawn);
  state.firstDrawn = true;
  countPending();
}

function onFontsChanged() {
  showCaps();
  list.refresh();
}

function countPending() {
  const drawer = state.drawer;
  if (!drawer?.onScreen) return;
  let pending = 0;
  for (const key of drawer.onScreen) {
    const entry = drawer.entries.get(key);
    if (entry && ['idle', 'queued', 'loading'].includes(entry.state)) pending++;
  }
  document.body.dataset.pending = pending;
  if (!pending && document.body.dataset.state === 'ready' && !state.firstScreen) {
    state.firstScreen = true;
    performance.mark('vorn-first-screen');
    document.body.dataset.firstScreen = 'drawn';
    afterFirstScreen(state.generation);
  }
}

// ---- Opening faces -------------------------------------------------------------------------------

function toggle(item) {
  const name = item.family.name;
  if (state.expanded.has(name)) state.expanded.delete(name);
  else state.expanded.add(name);
  applyFilters();
}

function openFace(family, face, how) {
  state.panelFace = face;
  document.body.classList.add('panel-open');
  state.panelFamily = family;
  copyChooser.show(face, family.copies.get(face));
  panel.open(family.record, face, wantedSample());
  favourites.opened(face);
  showPanelStars();
  ui.pinState.textContent = '';
  if (how === 'key' && NARROW.matches) $('panel-close').focus();
}

function onOpen(item, how) {
  if (item.kind === 'heading') return;
  if (item.kind === 'face') return openFace(item.family, item.face, how);
  toggle(item);
  const {regular} = item.family;
  const face = item.faces.includes(regular) ? regular : item.faces[0];
  if (face) openFace(item.family, face, how);
}

const draws = new DrawsFilter($('f-draws'), $('f-draws-state'), applyFilters);
// Another copy of the face in the panel: the list and the panel draw that one from now on.
const copyChooser = new CopyChooser($('panel-copies'), (copy) => {
  const family = state.panelFamily;
  chooseCopy(family, state.panelFace, copy);
  openFace(family, copy, 'copy');
  applyFilters();
});

const list = new VirtualList(ui.list, {
  heights: {family: FAMILY_ROW, face: faceRowHeight()}, draw: drawRow, onOpen,
  onToggle: toggle, onDrawn,
});
const panel = new FacePanel({agent: null, drawer: null, onClose: () => {
  state.panelFace = null;
  document.body.classList.remove('panel-open');
  if (NARROW.matches) ui.list.focus({preventScroll: true});
}});

// ---- Favourites, recent faces and Compare ---------------------------------------------------

Object.assign(ui, {favourites: $('f-favourites'), announce: $('announce'),
                   starFamily: $('panel-star-family'), starFace: $('panel-star-face'),
                   pin: $('panel-pin'), pinState: $('pin-state')});
list.options.heights.heading = HEADING_ROW;

const favourites = new Favourites(undefined, () => {
  ui.status.textContent += ' Favourites and recent faces are kept for this visit only: the ' +
                           'browser would not store them.';
});
const compare = new Compare({onEmpty: () => ui.list.focus({preventScroll: true})});

const faceLabel = (family, face) => family.name + ' ' + styleName(family.record, face);

// The faces opened last, above the families while nothing is searched for, narrowed by the
// filters as the list is. A face opened now shows there once the list is next rebuilt, so
// rows never move under the pointer.
function recentItems(f) {
  if (f.query) return [];
  const items = [];
  for (const id of favourites.recentFaces) {
    for (const family of state.model) {
      const i = family.faces.findIndex((face) => identifies(id, face));
      if (i < 0) continue;
      const face = family.faces[i];
      if (faceMatches(family, face, i, f, true) && !items.some((item) => item.face === face)) {
        items.push({kind: 'face', key: 'recent/' + family.key + '/' + i, family, face,
                    parentKey: 'recent', recent: true});
      }
      break;
    }
  }
  return items.length ? [{kind: 'heading', key: 'recent', label: 'Recent'}, ...items] : [];
}

function drawHeading(row, item) {
  row.setAttribute('aria-level', '1');
  row.replaceChildren(el('span', 'heading', item.label));
}

// Rows come and go as the list scrolls and the list keeps the focus, so a row's star is out
// of the tab order: a click on it, or F on the active row, toggles it.
function starButton(on, label) {
  const star = el('button', 'star', on ? '★' : '☆');
  star.type = 'button';
  star.tabIndex = -1;
  star.setAttribute('aria-pressed', String(on));
  star.setAttribute('aria-label', 'Favourite: ' + label);
  star.title = (on ? 'Remove from favourites' : 'Add to favourites') + ' (F)';
  return star;
}

function toggleStar(item) {
  let label;
  let on;
  if (item?.kind === 'family') {
    label = item.family.name;
    on = favourites.toggleFamily(label);
  } else if (item?.kind === 'face') {
    label = faceLabel(item.family, item.face);
    on = favourites.toggleFace(item.face);
  } else {
    return;
  }
  ui.announce.textContent = label + (on ? ' is a favourite.' : ' is no longer a favourite.');
  starsChanged();
}

function starsChanged() {
  if (ui.favourites.checked) applyFilters();
  else list.refresh();
  showPanelStars();
}

function showPanelStars() {
  if (!state.panelFace) return;
  ui.starFamily.setAttribute('aria-pressed', String(favourites.hasFamily(panel.family.family)));
  ui.starFace.setAttribute('aria-pressed', String(favourites.hasFace(state.panelFace)));
}

ui.list.addEventListener('click', (event) => {
  const row = event.target.closest('.star')?.closest('.row');
  if (!row) return;
  const index = list.indexOfRow(row);
  if (index < 0) return;
  list.setActive(index);
  ui.list.focus({preventScroll: true});
  toggleStar(list.items[index]);
});
ui.list.addEventListener('keydown', (event) => {
  if (event.key.toLowerCase() !== 'f' || event.ctrlKey || event.metaKey || event.altKey) return;
  event.preventDefault();
  toggleStar(list.items[list.active]);
});
ui.starFamily.addEventListener('click', () => {
  favourites.toggleFamily(panel.family.family);
  starsChanged();
});
ui.starFace.addEventListener('click', () => {
  favourites.toggleFace(state.panelFace);
  starsChanged();
});
// Another tab of the page starred something for the same agent.
addEventListener('storage', (event) => {
  if (!favourites.isOurs(event.key)) return;
  favourites.read();
  starsChanged();
});
ui.pin.addEventListener('click', () => {
  ui.pinState.textContent = compare.pin(panel.shown());
});

// ---- Controls ------------------------------------------------------------------------------------

ui.form.addEventListener('submit', (event) => {
  event.preventDefault();
  try {
    const url = new URL(location.href);
    url.searchParams.set('agent', ui.agent.value.trim());
    history.replaceState(null, '', url.href);
  } catch {
    // Some setups refuse history changes; the address field still holds the value.
  }
  loadCatalogue();
});
// Filtering every face takes a millisecond or two, so it runs on each keystroke; the list
// then draws the rows on screen in the next frame.
ui.search.addEventListener('input', applyFilters);
for (const [node, type] of [[ui.search, 'keydown'], [ui.list, 'scroll'], [ui.filters, 'input']]) {
  node.addEventListener(type, () => state.drawer?.touch(), {passive: true});
}
ui.filters.addEventListener('input', applyFilters);
ui.filters.addEventListener('change', applyFilters);

let sampleTimer = 0;
ui.sampleText.addEventListener('input', () => {
  clearTimeout(sampleTimer);
  sampleTimer = setTimeout(() => list.refresh(), SAMPLE_DEBOUNCE_MS);
});
ui.sampleSize.addEventListener('input', () => {
  ui.sampleSizeValue.textContent = ui.sampleSize.value + ' px';
  ui.list.style.setProperty('--row-sample-size', ui.sampleSize.value + 'px');
  list.options.heights.face = faceRowHeight();
  applyFilters();
});

// On a phone the filters start folded, so the list keeps most of the screen.
if (NARROW.matches) $('filters-box').open = false;
const params = new URLSearchParams(location.search);
ui.agent.value = params.get('agent') || DEFAULT_AGENT;
ui.search.value = params.get('search') || '';
ui.sampleText.placeholder = 'Empty: ' + SAMPLES[0][1].slice(0, 19) + '… or a sample in each ' +
                            'face\'s language';
loadCatalogue();

// For scripts and tests: the state of the picker, read-only by convention.
window.vornPicker = {state, list, panel, variationSettings};
