// The face panel: one face drawn whole, every axis with a slider and a number field (all of
// them kept in one location, so moving one never drops the others), the family's named
// instances, the sample with its language, and the CSS that draws what is shown.

import {axisKey, axisTag, coordinates, cssString, cssStretch, cssStyle, cssWeight,
        variationSettings} from './vorn-fonts.js';
import {SAMPLES, chooseSample, languageName, sampleLanguages,
        sampleText} from './picker-samples.js';
import {FeatureToggles} from './picker-features.js';
import {$, el} from './picker-dom.js';

const AXIS_NAMES = {wght: 'Weight', wdth: 'Width', slnt: 'Slant', ital: 'Italic',
                    opsz: 'Optical size', GRAD: 'Grade'};
const CUSTOM = '';

export function round(value) {
  return Math.round(value * 1000) / 1000;
}

/** "Bold Italic" for a face, from its full name, PostScript name or traits. */
export function styleName(family, face) {
  const full = typeof face.fullName === 'string' ? face.fullName : '';
  if (full.startsWith(family.family + ' ')) return full.slice(family.family.length + 1);
  const ps = typeof face.postScript === 'string' ? face.postScript : '';
  if (ps.includes('-')) return ps.slice(ps.lastIndexOf('-') + 1).replace(/([a-z])([A-Z])/g, '$1 $2');
  // A slant may only show in the coordinates (an instance at slnt -10 listed as "Normal").
  const style = cssStyle(face);
  const slant = face.slant !== 'Normal' ? face.slant :
    style === 'normal' ? '' : style.startsWith('oblique') ? 'Oblique' : 'Italic';
  const words = [face.weight, face.width, slant].filter((w) => w && w !== 'Normal');
  return words.join(' ') || 'Regular';
}

/** Faces that are locations in the same font as `face`: the named instances to pick from. */
export function instancesOf(family, face) {
  return family.childList.filter((f) => f.file === face.file && f.index === face.index &&
                                        coordinates(f).size > 0);
}

/**
 * The axes of a face: the family's, narrowed to those the face has coordinates for, plus axes
 * only the coordinates show (a family of several files lists one file's axes). Their range
 * is then what the instances span.
 * @returns {{tag: string, min: number, def: number, max: number, name: string,
 *            hidden: boolean}[]}
 */
export function axesOf(family, face) {
  const own = coordinates(face);
  const axes = new Map();
  for (const axis of Array.isArray(family.variationRange) ? family.variationRange : []) {
    const tag = axisTag(axis?.key);
    const [min, def, max] = [axis.minValue, axis.defaultValue, axis.maxValue];
    if (!tag || ![min, def, max].every(Number.isFinite) || min > max) continue;
    if (own.size && !own.has(tag)) continue;
    axes.set(tag, {tag, min, def: Math.min(Math.max(def, min), max), max,
                   name: axis.name || AXIS_NAMES[tag] || tag, hidden: axis.hidden === true});
  }
  for (const tag of own.keys()) {
    if (axes.has(tag)) continue;
    const values = instancesOf(family, face).map((f) => coordinates(f).get(tag))
      .filter(Number.isFinite);
    const [min, max] = [Math.min(...values), Math.max(...values)];
    axes.set(tag, {tag, min, max, def: min <= 0 && max >= 0 ? 0 : min,
                   name: AXIS_NAMES[tag] || tag, hidden: false});
  }
  return [...axes.values()];
}

function stepOf(axis) {
  const span = axis.max - axis.min;
  return span <= 1 ? 0.01 : span <= 50 ? 0.1 : 1;
}

export class FacePanel {
  constructor({agent, drawer, onClose}) {
    this.agent = agent;
    this.drawer = drawer;
    this.onClose = onClose;
    this.root = $('panel');
    this.releaseFont = () => {};
    this.generation = 0;
    this.location = new Map();
    this.ui = {
      title: $('panel-title'), style: $('panel-style'), facts: $('panel-facts'),
      file: $('panel-file'), text: $('panel-text'), size: $('panel-size'),
      sizeNumber: $('panel-size-number'), lang: $('panel-lang'), preview: $('panel-preview'),
      note: $('panel-note'), instance: $('panel-instance'), instances: $('panel-instances'),
      axes: $('panel-axes'), reset: $('panel-reset'), css: $('css-text'), copy: $('copy-css'),
      copyState: $('copy-state'), close: $('panel-close'),
    };
    this.ui.text.addEventListener('input', () => this.onText());
    this.ui.size.addEventListener('input', () => this.setSize(this.ui.size.value));
    this.ui.sizeNumber.addEventListener('change', () => this.setSize(this.ui.sizeNumber.value));
    this.ui.lang.addEventListener('change', () => this.onLanguage());
    this.ui.instance.addEventListener('change', () => this.onInstance());
    this.ui.reset.addEventListener('click', () => this.pickInstance(this.face));
    this.ui.copy.addEventListener('click', () => this.copy());
    this.ui.close.addEventListener('click', () => this.close());
    this.features = new FeatureToggles($('panel-features'), () => this.showFeatures());
    this.root.addEventListener('keydown', (event) => {
      if (event.key === 'Escape') this.close();
    });
    this.setSize(this.ui.size.value);
  }

  /** Shows a face of a family; `wanted` is the page's sample ({text, lang}). */
  async open(family, face, wanted) {
    const generation = ++this.generation;
    this.family = family;
    this.face = face;
    this.wanted = wanted;
    this.index = Number.isInteger(face.index) ? face.index : null;
    this.current = null;
    this.faceCount = 0;
    this.coverage = null;
    this.root.hidden = false;
    this.root.dataset.state = 'loading';
    this.root.dataset.postscript = face.postScript;
    this.ui.title.textContent = family.family;
    this.ui.file.textContent = face.file;
    this.ui.note.textContent = 'Loading…';
    this.showFacts();
    this.buildInstances();
    this.buildAxes();
    this.features.show(face);
    this.ui.preview.style.fontFeatureSettings = this.features.settings();
    this.pickInstance(face);
    this.setSample(chooseSample(face, wanted));

    this.ui.preview.style.fontFamily = '';
    // The new face first: another instance of the same font then keeps its bytes.
    const [font, release] = this.drawer.acquire(face);
    this.releaseFont();
    this.releaseFont = release;
    try {
      const loaded = await font;
      if (generation !== this.generation) return;
      this.index = loaded.index;
      this.coverage = loaded.coverage;
      this.faceCount = loaded.faceCount;
      this.ui.preview.style.fontFamily = cssString(loaded.font.family);
      this.root.dataset.state = 'loaded';
      this.root.dataset.fontName = loaded.font.family;
      this.setSample(chooseSample(face, wanted, loaded.coverage));
      this.showFacts();
      this.showCss();
    } catch (err) {
      if (generation !== this.generation) return;
      this.root.dataset.state = 'error';
      this.ui.note.textContent = 'Cannot show this face: ' + err.message + '.';
    }
  }

  close() {
    this.generation++;
    this.root.hidden = true;
    this.releaseFont();
    this.releaseFont = () => {};
    this.onClose();
  }

  /** What the panel draws now, for Compare: the face (the named instance picked), the axis
   * location, the OpenType features and the sample text. */
  shown() {
    const face = this.current && this.instances.includes(this.current) ? this.current : this.face;
    return {family: this.family, face, location: new Map(this.location),
            features: this.featureSettings(), text: this.ui.text.value};
  }

  /** The font-feature-settings the preview is drawn with: "normal" until something (feature
   * toggles) sets it on the preview. */
  featureSettings() {
    return this.ui.preview.style.fontFeatureSettings || 'normal';
  }

  showFacts() {
    const face = this.face;
    const facts = [face.postScript || '(no PostScript name)', 'weight ' + face.weight,
                   'width ' + face.width, 'slant ' + face.slant];
    if (typeof face.format === 'string') facts.push(face.format);
    if (face.monospace) facts.push('monospace');
    if (face.color) facts.push('colour');
    if (Number.isInteger(face.fileSize)) facts.push(Math.ceil(face.fileSize / 1024) + ' KiB');
    const count = this.faceCount > 1 ? this.faceCount :
      new Set(this.family.childList.filter((f) => f.file === face.file)
        .map((f) => f.index)).size;
    if (this.index !== null && (count > 1 || this.index > 0)) {
      facts.push('face ' + (this.index + 1) + ' of ' + count + ' in a collection');
    }
    const other = this.family.localName;
    if (typeof other === 'string' && other && other !== this.family.family) {
      facts.push('also named ' + other);
    }
    const langs = Array.isArray(face.languages) ? face.languages : null;
    if (langs) facts.push(langs.length ? 'covers ' + langs.length + ' languages' :
                                         'no languages listed');
    this.ui.style.textContent = styleName(this.family, face);
    this.ui.facts.textContent = facts.join(' · ');
  }

  // ---- Sample ----

  setSample(choice) {
    this.ui.text.value = choice.text;
    this.sampleLang = choice.lang;
    this.buildLanguages();
    this.ui.preview.textContent = choice.text;
    if (choice.lang) this.ui.preview.lang = choice.lang;
    else this.ui.preview.removeAttribute('lang');
    this.ui.preview.dataset.drawable = choice.drawable;
    this.ui.note.textContent = choice.note;
  }

  buildLanguages() {
    const coverage = this.coverage;
    const fromCatalogue = sampleLanguages(this.face) || [];
    const fit = coverage ? SAMPLES.map(([tag]) => tag)
      .filter((tag) => coverage.missing(sampleText(tag)).length === 0) : [];
    const tags = [...new Set([...fromCatalogue, ...fit])];
    const options = tags.map((tag) => new Option(languageName(tag) + ' (' + tag + ')', tag));
    options.unshift(new Option('Own text', CUSTOM));
    this.ui.lang.replaceChildren(...options);
    this.ui.lang.value = tags.includes(this.sampleLang) ? this.sampleLang : CUSTOM;
  }

  onLanguage() {
    const lang = this.ui.lang.value;
    if (lang) this.setSample({text: sampleText(lang), lang, note: '', drawable: true});
  }

  onText() {
    const text = this.ui.text.value;
    this.ui.preview.textContent = text;
    this.ui.preview.removeAttribute('lang');
    this.ui.lang.value = CUSTOM;
    const missing = this.coverage ? this.coverage.missing(text) : [];
    this.ui.note.textContent = missing.length ?
      'The face has no glyphs for ' + missing.slice(0, 12).join(' ') +
        (missing.length > 12 ? ' …' : '') + ' (drawn in a fallback font).' : '';
  }

  setSize(value) {
    const size = Math.min(Math.max(Number(value) || 48, 6), 400);
    this.ui.size.value = size;
    this.ui.sizeNumber.value = size;
    this.ui.preview.style.fontSize = size + 'px';
  }

  // ---- Instances and axes ----

  buildInstances() {
    const instances = instancesOf(this.family, this.face);
    this.instances = instances;
    this.ui.instances.hidden = instances.length === 0;
    const options = instances.map((f, i) => new Option(
      styleName(this.family, f) + '  (' + [...coordinates(f)].map(([t, v]) => t + ' ' + round(v))
        .join(', ') + ')', String(i)));
    options.push(new Option('Custom location', CUSTOM));
    this.ui.instance.replaceChildren(...options);
  }

  buildAxes() {
    this.axes = axesOf(this.family, this.face);
    this.ui.axes.hidden = this.axes.length === 0;
    const rows = this.axes.map((axis) => {
      const row = el('div', 'axis');
      row.dataset.tag = axis.tag;
      const id = 'axis-' + axis.tag.replace(/[^A-Za-z0-9]/g, '_');
      const label = el('label', 'axis-name', axis.name + (axis.hidden ? ' (hidden)' : ''));
      label.htmlFor = id;
      label.append(el('span', 'axis-tag', axis.tag));
      const slider = el('input');
      const number = el('input');
      slider.type = 'range';
      number.type = 'number';
      slider.id = id;
      number.setAttribute('aria-label', axis.name + ' value');
      for (const input of [slider, number]) {
        input.min = axis.min;
        input.max = axis.max;
        input.step = stepOf(axis);
        input.dataset.tag = axis.tag;
      }
      slider.addEventListener('input', () => this.setAxis(axis, slider.value));
      number.addEventListener('change', () => this.setAxis(axis, number.value));
      axis.slider = slider;
      axis.number = number;
      row.append(label, el('span', 'axis-min', String(round(axis.min))), slider,
                 el('span', 'axis-max', String(round(axis.max))), number);
      return row;
    });
    this.ui.axes.replaceChildren(el('legend', '', 'Axes'), ...rows, this.ui.reset);
  }

  /** Moves to a named instance (or a static face's own location). */
  pickInstance(face) {
    const own = coordinates(face);
    this.location = new Map(this.axes.map((a) => [a.tag, own.get(a.tag) ?? a.def]));
    const index = this.instances.indexOf(face);
    if (index >= 0) this.current = face;
    this.ui.instance.value = index >= 0 ? String(index) : CUSTOM;
    this.showLocation();
  }

  onInstance() {
    const face = this.instances[Number(this.ui.instance.value)];
    if (face) {
      this.pickInstance(face);
      this.ui.style.textContent = styleName(this.family, face);
    }
  }

  setAxis(axis, value) {
    const number = Number(value);
    if (!Number.isFinite(number)) return this.showLocation();
    this.location.set(axis.tag, Math.min(Math.max(number, axis.min), axis.max));
    const match = this.instances.findIndex((f) => {
      const at = coordinates(f);
      return this.axes.every((a) => (at.get(a.tag) ?? a.def) === this.location.get(a.tag));
    });
    this.ui.instance.value = match >= 0 ? String(match) : CUSTOM;
    this.showLocation();
  }

  showLocation() {
    for (const axis of this.axes) {
      const value = String(round(this.location.get(axis.tag)));
      axis.slider.value = value;
      axis.number.value = value;
    }
    const face = this.current && this.instances.includes(this.current) ? this.current : this.face;
    const style = this.ui.preview.style;
    style.fontWeight = String(cssWeight(face));
    style.fontStretch = cssStretch(face) + '%';
    style.fontVariationSettings = variationSettings(this.location);
    this.showCss();
  }

  // ---- CSS ----

  /** What "Copy CSS" copies: an @font-face rule for the face at the agent, and the properties
   * that draw it at the location shown. */
  cssText() {
    const face = this.current && this.instances.includes(this.current) ? this.current : this.face;
    const at = {variations: [...this.location].map(([tag, value]) => ({key: axisKey(tag), value})),
                slant: face.slant, weight: face.weight, width: face.width};
    const family = this.family.family;
    return this.agent.fontFaceRule(face, family, {axes: this.family.variationRange || [],
                                                  index: this.index}) + '\n\n' +
      '.sample {\n' +
      `  font-family: ${cssString(family)};\n` +
      `  font-weight: ${cssWeight(this.location.has('wght') ? at : face)};\n` +
      `  font-style: ${cssStyle(at)};\n` +
      `  font-variation-settings: ${variationSettings(this.location)};\n` +
      this.featureCss() + '}\n';
  }

  // ---- Features ----

  /** The features toggled away from their defaults, as a declaration of the CSS rule. */
  featureCss() {
    const settings = this.features.settings();
    return settings ? `  font-feature-settings: ${settings};\n` : '';
  }

  showFeatures() {
    this.ui.preview.style.fontFeatureSettings = this.features.settings();
    this.showCss();
  }

  /** The face shown, from a newer catalogue: its features may have come with the details. */
  updateFeatures(face) {
    if (face.file !== this.face?.file || face.postScript !== this.face.postScript) return;
    this.features.show(face);
    this.showFeatures();
  }

  showCss() {
    this.ui.css.textContent = this.cssText();
    this.ui.copyState.textContent = '';
  }

  async copy() {
    const text = this.cssText();
    try {
      await navigator.clipboard.writeText(text);
      this.ui.copyState.textContent = 'Copied.';
    } catch {
      // No clipboard access (an insecure origin, a denied permission): select it for Ctrl+C.
      getSelection().selectAllChildren(this.ui.css);
      this.ui.copyState.textContent = 'Selected: press Ctrl+C to copy.';
    }
  }
}
