// Font browser for the catalogue a Vorn Font Agent serves. A classic script with no imports, so
// the page also works opened straight from disk (file://), where module scripts are refused.
// Every string from the catalogue reaches the page through textContent or an attribute value,
// never through HTML parsing: font names are chosen by whoever made the font.
(function () {
  'use strict';

  const DEFAULT_AGENT = 'http://127.0.0.1:16801/';
  // Loading starts a little before a face scrolls into view so it is ready when seen.
  const PRELOAD_MARGIN = '200px 0px';
  const AXIS_NAMES = {wght: 'Weight', wdth: 'Width', slnt: 'Slant', ital: 'Italic',
                      opsz: 'Optical size'};
  // CSS values for the catalogue's weight and width names. A sample asks for its face's weight
  // and width, so a variable font listed without coordinates still shows roughly the instance
  // (the browser sets the wght and wdth axes from font-weight and font-stretch).
  const CSS_WEIGHT = {Thin: 100, ExtraLight: 200, Light: 300, Normal: 400, Medium: 500,
                      SemiBold: 600, Bold: 700, ExtraBold: 800, Black: 900, ExtraBlack: 950};
  const CSS_STRETCH = {UltraCondensed: '50%', ExtraCondensed: '62.5%', Condensed: '75%',
                       SemiCondensed: '87.5%', Normal: '100%', SemiExpanded: '112.5%',
                       Expanded: '125%', ExtraExpanded: '150%', UltraExpanded: '200%'};
  // Every loaded face claims the whole weight and width range so the browser never picks
  // another face or synthesises bold for a sample; a static font just ignores the request.
  const FACE_DESCRIPTORS = {weight: '1 1000', stretch: '50% 200%'};
  // Formats fontconfig lists that no browser draws; named in the error so it is not a mystery.
  const NON_WEB_FORMAT = /\.(pfb|pfa|t1|pcf|pcf\.gz|bdf|pfr|afm|snf|otb)$/i;

  const $ = (id) => document.getElementById(id);
  const ui = {
    form: $('agent-form'),
    agent: $('agent'),
    search: $('search'),
    sampleText: $('sample-text'),
    sampleSize: $('sample-size'),
    sampleSizeValue: $('sample-size-value'),
    status: $('status'),
    counts: $('counts'),
    families: $('families'),
  };

  // State of the catalogue on screen. `generation` grows with every load so that replies for
  // an earlier catalogue, still in flight, are dropped instead of touching the new one.
  let generation = 0;
  let agentBase = '';
  let families = [];
  let faceCount = 0;
  let observer = null;
  let addedFonts = [];
  let bytesByFile = new Map();
  let fontByKey = new Map();
  let faceByCard = new WeakMap();
  let idCounter = 0;  // unique ids for slider labels and FontFace names

  function el(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  function str(value) {
    return typeof value === 'string' ? value : '';
  }

  function plural(n, word) {
    return n + ' ' + word + (n === 1 ? '' : 's');
  }

  function familiesText(n) {
    return n + (n === 1 ? ' family' : ' families');
  }

  function setStatus(state, message) {
    document.body.dataset.state = state;
    ui.status.textContent = message;
  }

  // The agent answers on any path; only the query counts, so it is dropped here and the file
  // route is built on the bare address. "127.0.0.1:16801" alone means plain http.
  function normaliseAgent(text) {
    const trimmed = text.trim();
    const url = new URL(/^[a-z][a-z0-9+.-]*:\/\//i.test(trimmed) ? trimmed : 'http://' + trimmed);
    if (url.protocol !== 'http:' && url.protocol !== 'https:') {
      throw new Error('not an http address');
    }
    url.search = '';
    url.hash = '';
    return url.href;
  }

  // encodeURIComponent writes a space as %20; a "+" could be read back as a space.
  function fileUrl(file) {
    return agentBase + '?file=' + encodeURIComponent(file);
  }

  // ---- Catalogue ------------------------------------------------------------------------------

  async function loadCatalogue() {
    const gen = ++generation;
    clear();
    try {
      agentBase = normaliseAgent(ui.agent.value);
    } catch (err) {
      setStatus('error', 'The agent address "' + ui.agent.value + '" is not an http:// URL.');
      return;
    }
    setStatus('loading', 'Asking the agent at ' + agentBase + ' for its fonts…');

    let response;
    try {
      response = await fetch(agentBase, {cache: 'no-store', credentials: 'omit'});
    } catch (err) {
      if (gen !== generation) return;
      setStatus('error', 'Cannot reach the agent at ' + agentBase + '. Is it running? Start it ' +
                'with "vorn-font-agent -l 127.0.0.1 -p ' + (new URL(agentBase).port || '80') +
                '". A page on a public site also needs the browser\'s permission to reach ' +
                'local addresses.');
      return;
    }
    if (gen !== generation) return;
    if (response.status === 204) {
      setStatus('error', 'The agent answered 204 "utf-8 error": its font list could not be ' +
                'written as UTF-8.');
      return;
    }
    if (!response.ok) {
      const why = response.status === 500 ? ': it failed to build its font list.' : '.';
      setStatus('error', 'The agent answered ' + response.status + ' ' + response.statusText +
                why);
      return;
    }

    let catalogue;
    try {
      catalogue = JSON.parse(await response.text());
    } catch (err) {
      if (gen !== generation) return;
      setStatus('error', 'The agent\'s reply is not a JSON font list.');
      return;
    }
    if (gen !== generation) return;
    if (!Array.isArray(catalogue)) {
      setStatus('error', 'The agent\'s reply is not a font list (expected a JSON array).');
      return;
    }
    render(catalogue);
  }

  function clear() {
    if (observer) observer.disconnect();
    observer = null;
    for (const font of addedFonts) document.fonts.delete(font);
    addedFonts = [];
    bytesByFile = new Map();
    fontByKey = new Map();
    faceByCard = new WeakMap();
    families = [];
    faceCount = 0;
    ui.families.replaceChildren();
    ui.counts.textContent = '';
    ui.search.disabled = true;
  }

  function render(catalogue) {
    const records = catalogue.filter((f) => f && typeof f === 'object' &&
                                            typeof f.family === 'string');
    records.sort((a, b) => a.family.localeCompare(b.family));
    const fragment = document.createDocumentFragment();
    families = records.map((record) => buildFamily(record));
    for (const family of families) fragment.append(family.section);
    ui.families.append(fragment);
    faceCount = families.reduce((n, f) => n + f.faces.length, 0);

    if ('IntersectionObserver' in window) {
      observer = new IntersectionObserver(onIntersect, {rootMargin: PRELOAD_MARGIN});
      for (const family of families) {
        for (const face of family.faces) observer.observe(face.card);
      }
    } else {
      for (const family of families) family.faces.forEach(loadFace);
    }

    ui.search.disabled = false;
    applySearch();
    if (families.length === 0) {
      setStatus('ready', 'The agent at ' + agentBase + ' lists no fonts.');
    } else {
      setStatus('ready', 'Loaded ' + familiesText(families.length) + ' with ' +
                plural(faceCount, 'face') + ' from ' + agentBase +
                '. Faces load as they scroll into view.');
    }
  }

  // ---- Families and faces ---------------------------------------------------------------------

  function axisTag(key) {
    if (!Number.isInteger(key) || key < 0 || key > 0xffffffff) return null;
    const tag = String.fromCharCode((key >>> 24) & 0xff, (key >>> 16) & 0xff,
                                    (key >>> 8) & 0xff, key & 0xff);
    // A tag goes into a CSS string: printable ASCII without quote or backslash only.
    return /^[\x20-\x7e]{4}$/.test(tag) && !/["\\]/.test(tag) ? tag : null;
  }

  function number(value) {
    return typeof value === 'number' && Number.isFinite(value) ? value : null;
  }

  function formatNumber(value) {
    return String(Math.round(value * 100) / 100);
  }

  function coordinatesOf(record) {
    if (!Array.isArray(record.variations)) return [];
    const coords = [];
    for (const v of record.variations) {
      if (!v || typeof v !== 'object') continue;
      const tag = axisTag(v.key);
      const value = number(v.value);
      if (tag !== null && value !== null) coords.push({tag, value});
    }
    return coords;
  }

  function variationSettings(coords) {
    return coords.map((c) => '"' + c.tag + '" ' + c.value).join(', ');
  }

  function buildFamily(record) {
    const name = record.family;
    const localName = str(record.localName);
    const section = el('section', 'family');
    section.dataset.family = name;

    const head = el('header', 'family-head');
    head.append(el('h2', 'family-name', name));
    if (localName && localName !== name) head.append(el('span', 'local-name', localName));
    const children = Array.isArray(record.childList) ?
      record.childList.filter((c) => c && typeof c === 'object' && typeof c.file === 'string') :
      [];
    const variable = record.isVariation === true;
    if (variable) head.append(el('span', 'badge', 'Variable'));
    head.append(el('span', 'face-count', plural(children.length, 'face')));
    section.append(head);

    const family = {record, section, faces: [], axes: [],
                    haystack: [name, localName].concat(children.map((c) => str(c.postScript)))
                      .join('\n').toLowerCase()};

    if (variable) section.append(buildAxes(family));
    if (children.length === 0) {
      section.append(el('p', 'empty', 'The agent lists no faces for this family.'));
      return family;
    }
    if (variable) section.append(el('h3', 'instances-title', 'Named instances'));
    const list = el('ol', 'faces');
    for (const child of children) {
      const face = buildFace(child, family, variable);
      family.faces.push(face);
      list.append(face.card);
    }
    section.append(list);
    return family;
  }

  function buildAxes(family) {
    const box = el('div', 'axes');
    const ranges = Array.isArray(family.record.variationRange) ?
      family.record.variationRange : [];
    for (const range of ranges) {
      if (!range || typeof range !== 'object') continue;
      const tag = axisTag(range.key);
      const min = number(range.minValue);
      const def = number(range.defaultValue);
      const max = number(range.maxValue);
      if (tag === null || min === null || def === null || max === null || min > max) continue;
      const row = el('div', 'axis');
      const id = 'axis-' + (++idCounter);
      const label = el('label', 'axis-name', tag + (AXIS_NAMES[tag] ? ' ' + AXIS_NAMES[tag] : ''));
      label.htmlFor = id;
      const input = el('input');
      input.type = 'range';
      input.id = id;
      input.min = String(min);
      input.max = String(max);
      const span = max - min;
      input.step = span <= 2 ? '0.01' : span <= 20 ? '0.1' : '1';
      input.value = String(def);
      input.dataset.tag = tag;
      const output = el('output', 'axis-value', formatNumber(def));
      output.htmlFor = id;
      input.addEventListener('input', () => {
        output.textContent = formatNumber(Number(input.value));
        applyAxes(family);
      });
      row.append(label, el('span', 'axis-min', formatNumber(min)), input,
                 el('span', 'axis-max', formatNumber(max)), output);
      box.append(row);
      family.axes.push({tag, def, input, output});
    }
    if (family.axes.length === 0) {
      box.append(el('p', 'empty', 'No usable axes in the font list.'));
      return box;
    }
    const reset = el('button', 'reset', 'Show named instances');
    reset.type = 'button';
    reset.title = 'Draw every instance at its own coordinates again';
    reset.addEventListener('click', () => {
      for (const axis of family.axes) {
        axis.input.value = String(axis.def);
        axis.output.textContent = formatNumber(axis.def);
      }
      for (const face of family.faces) face.sample.style.fontVariationSettings = face.ownSettings;
      delete family.section.dataset.axesMoved;
    });
    box.append(reset);
    return box;
  }

  // The sliders set one location for the whole family, overriding each instance's own.
  function applyAxes(family) {
    const settings = variationSettings(family.axes.map((a) => ({tag: a.tag,
                                                               value: Number(a.input.value)})));
    family.section.dataset.axesMoved = 'true';
    for (const face of family.faces) face.sample.style.fontVariationSettings = settings;
  }

  function buildFace(record, family, variable) {
    const card = el('li', 'face');
    card.dataset.state = 'idle';
    const postScript = str(record.postScript);
    card.dataset.postscript = postScript;

    const meta = el('div', 'face-meta');
    meta.append(el('span', 'ps-name', postScript || '(no PostScript name)'));
    for (const [label, value] of [['weight', record.weight], ['width', record.width],
                                  ['slant', record.slant]]) {
      const tag = el('span', 'trait');
      tag.append(el('span', 'trait-label', label + ' '), el('span', 'trait-value', str(value)));
      meta.append(tag);
    }
    const coords = coordinatesOf(record);
    if (variable || coords.length > 0) {
      meta.append(el('span', 'coords', coords.length ?
        coords.map((c) => c.tag + ' ' + formatNumber(c.value)).join(', ') : 'no coordinates'));
    }
    card.append(meta);

    const sample = el('p', 'sample', ui.sampleText.value);
    sample.style.fontWeight = String(CSS_WEIGHT[record.weight] || 400);
    sample.style.fontStretch = CSS_STRETCH[record.width] || '100%';
    const ownSettings = variationSettings(coords);
    sample.style.fontVariationSettings = ownSettings;
    card.append(sample);
    const note = el('p', 'face-note', '');
    card.append(note, el('p', 'file', record.file));
    const face = {record, family, card, sample, note, ownSettings, postScript};
    faceByCard.set(card, face);
    return face;
  }

  function onIntersect(entries) {
    for (const entry of entries) {
      if (!entry.isIntersecting) continue;
      observer.unobserve(entry.target);
      const face = faceByCard.get(entry.target);
      if (face) loadFace(face);
    }
  }

  async function loadFace(face) {
    const gen = generation;
    face.card.dataset.state = 'loading';
    face.note.textContent = 'Loading…';
    try {
      const font = await fontFor(face.record.file, face.postScript);
      if (gen !== generation) return;
      face.sample.style.fontFamily = '"' + font.name + '"';
      face.card.dataset.fontName = font.name;
      face.card.dataset.state = 'loaded';
      face.note.textContent = font.note;
    } catch (err) {
      if (gen !== generation) return;
      face.card.dataset.state = 'error';
      face.note.textContent = 'Cannot show this face: ' + err.message;
    }
  }

  // ---- Font bytes -----------------------------------------------------------------------------

  // Faces of one collection or one variable font share a file; it is fetched once.
  function bytesFor(file) {
    if (!bytesByFile.has(file)) bytesByFile.set(file, fetchBytes(file));
    return bytesByFile.get(file);
  }

  async function fetchBytes(file) {
    let response;
    try {
      response = await fetch(fileUrl(file), {credentials: 'omit'});
    } catch (err) {
      throw new Error('the agent could not be reached for the font file.');
    }
    if (response.status === 404) {
      throw new Error('the agent refused the file (404); it may have been removed since the ' +
                      'list was loaded.');
    }
    if (!response.ok) {
      throw new Error('the agent answered ' + response.status + ' for the font file.');
    }
    return response.arrayBuffer();
  }

  // One FontFace per file, or per face of a collection. A single-font file's bytes are let go
  // once its FontFace exists (it keeps a copy); a collection's stay for its other faces.
  async function fontFor(file, postScript) {
    const whole = '-1\n' + file;
    if (!fontByKey.has(whole)) {
      const bytes = await bytesFor(file);
      if (isCollection(bytes)) {
        const pick = pickCollectionFace(bytes, postScript);
        const key = pick.index + '\n' + file;
        if (!fontByKey.has(key)) fontByKey.set(key, addFont(bytes, pick.index, file));
        return {name: await fontByKey.get(key), note: pick.note};
      }
      if (!fontByKey.has(whole)) fontByKey.set(whole, addFont(bytes, -1, file));
      bytesByFile.delete(file);
    }
    return {name: await fontByKey.get(whole), note: ''};
  }

  async function addFont(bytes, index, file) {
    const source = index >= 0 ? extractFace(bytes, index) : bytes;
    const name = 'vorn-face-' + (++idCounter);
    const font = new FontFace(name, source, FACE_DESCRIPTORS);
    try {
      await font.load();
    } catch (err) {
      throw new Error(NON_WEB_FORMAT.test(file) ?
        'browsers do not draw this font format.' :
        'the browser rejected the font data (' + (err && err.message || 'no reason given') + ').');
    }
    document.fonts.add(font);
    addedFonts.push(font);
    return name;
  }

  // ---- Collections ----------------------------------------------------------------------------
  // FontFace always takes the first face of a collection (.ttc/.otc). To show the face the
  // catalogue means, the face with that PostScript name is copied out into a standalone font.

  function isCollection(buffer) {
    if (buffer.byteLength < 12) return false;
    const view = new DataView(buffer);
    return view.getUint32(0) === 0x74746366;  // 'ttcf'
  }

  function tag4(view, offset) {
    return String.fromCharCode(view.getUint8(offset), view.getUint8(offset + 1),
                               view.getUint8(offset + 2), view.getUint8(offset + 3));
  }

  // DataView throws RangeError for reads past the end, so a truncated face fails here.
  function tableDirectory(view, offset) {
    const count = view.getUint16(offset + 4);
    const tables = [];
    for (let i = 0; i < count; i++) {
      const record = offset + 12 + 16 * i;
      const table = {record, tag: tag4(view, record), offset: view.getUint32(record + 8),
                     length: view.getUint32(record + 12)};
      if (table.offset + table.length > view.byteLength) throw new RangeError('table past end');
      tables.push(table);
    }
    return tables;
  }

  function postScriptNames(view, faceOffset) {
    const table = tableDirectory(view, faceOffset).find((t) => t.tag === 'name');
    if (!table) return [];
    const base = table.offset;
    const count = view.getUint16(base + 2);
    const strings = base + view.getUint16(base + 4);
    const names = [];
    for (let i = 0; i < count; i++) {
      const r = base + 6 + 12 * i;
      if (view.getUint16(r + 6) !== 6) continue;
      const platform = view.getUint16(r);
      const length = view.getUint16(r + 8);
      const start = strings + view.getUint16(r + 10);
      if (start + length > view.byteLength) continue;
      const raw = new Uint8Array(view.buffer, start, length);
      if (platform === 0 || platform === 3) {
        names.push(new TextDecoder('utf-16be').decode(raw));
      } else if (platform === 1) {
        names.push(String.fromCharCode.apply(null, raw));
      }
    }
    return names;
  }

  function pickCollectionFace(buffer, postScript) {
    const view = new DataView(buffer);
    const count = view.getUint32(8);
    let first = -1;
    for (let i = 0; i < count && 12 + 4 * i + 4 <= view.byteLength; i++) {
      let names;
      try {
        names = postScriptNames(view, view.getUint32(12 + 4 * i));
      } catch (err) {
        continue;  // an unreadable face; the others may still be fine
      }
      if (first < 0) first = i;
      if (postScript && names.includes(postScript)) {
        return {index: i, note: 'Face ' + (i + 1) + ' of ' + count + ' in a collection.'};
      }
    }
    if (first < 0) throw new Error('no face of this collection can be read.');
    return {index: first, note: 'Collection face not found by its PostScript name; showing ' +
            'face ' + (first + 1) + ' of ' + count + ' instead.'};
  }

  function extractFace(buffer, index) {
    const view = new DataView(buffer);
    const offset = view.getUint32(12 + 4 * index);
    const tables = tableDirectory(view, offset);
    let size = 12 + 16 * tables.length;
    for (const t of tables) size += (t.length + 3) & ~3;
    const out = new ArrayBuffer(size);
    const outView = new DataView(out);
    const outBytes = new Uint8Array(out);
    const inBytes = new Uint8Array(buffer);
    // sfnt version and the binary-search fields stay as the collection has them.
    outBytes.set(inBytes.subarray(offset, offset + 12), 0);
    let at = 12 + 16 * tables.length;
    tables.forEach((t, i) => {
      const r = 12 + 16 * i;
      outBytes.set(inBytes.subarray(t.record, t.record + 8), r);  // tag and checksum
      outView.setUint32(r + 8, at);
      outView.setUint32(r + 12, t.length);
      outBytes.set(inBytes.subarray(t.offset, t.offset + t.length), at);
      at += (t.length + 3) & ~3;
    });
    return out;
  }

  // ---- Controls -------------------------------------------------------------------------------

  function applySearch() {
    const query = ui.search.value.trim().toLowerCase();
    let shownFamilies = 0;
    let shownFaces = 0;
    for (const family of families) {
      const show = !query || family.haystack.includes(query);
      family.section.hidden = !show;
      if (show) {
        shownFamilies++;
        shownFaces += family.faces.length;
      }
    }
    const total = familiesText(families.length) + ', ' + plural(faceCount, 'face');
    ui.counts.textContent = query ?
      'Showing ' + shownFamilies + ' of ' + total + ' (' + plural(shownFaces, 'face') +
        ' shown)' :
      total;
  }

  function applySampleText() {
    for (const family of families) {
      for (const face of family.faces) face.sample.textContent = ui.sampleText.value;
    }
  }

  function applySampleSize() {
    ui.families.style.setProperty('--sample-size', ui.sampleSize.value + 'px');
    ui.sampleSizeValue.textContent = ui.sampleSize.value + ' px';
  }

  ui.form.addEventListener('submit', (event) => {
    event.preventDefault();
    try {
      const url = new URL(location.href);
      url.searchParams.set('agent', ui.agent.value.trim());
      history.replaceState(null, '', url.href);
    } catch (err) {
      // Some file:// setups refuse history changes; the address field still holds the value.
    }
    loadCatalogue();
  });
  ui.search.addEventListener('input', applySearch);
  ui.sampleText.addEventListener('input', applySampleText);
  ui.sampleSize.addEventListener('input', applySampleSize);

  const params = new URLSearchParams(location.search);
  ui.agent.value = params.get('agent') || DEFAULT_AGENT;
  ui.search.value = params.get('search') || '';
  applySampleSize();
  loadCatalogue();
})();
