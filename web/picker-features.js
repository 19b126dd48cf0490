// The face panel's OpenType features: one toggle per feature the detailed catalogue lists for
// the face, drawn into the panel's sample and its CSS with font-feature-settings. Only toggles
// moved away from what browsers do by default are written, so an untouched panel draws and
// copies the face exactly as a page would draw it.

import {cssString} from './vorn-fonts.js';

// Readable names for registered tags a reader meets often. Stylistic sets and character
// variants are left out on purpose: their meaning is the font's own, told by its name table.
const FEATURE_NAMES = {
  aalt: 'Access all alternates', afrc: 'Alternative fractions',
  c2pc: 'Petite capitals from capitals', c2sc: 'Small capitals from capitals',
  calt: 'Contextual alternates', case: 'Case-sensitive forms', ccmp: 'Glyph composition',
  clig: 'Contextual ligatures', cpsp: 'Capital spacing', cswh: 'Contextual swash',
  dlig: 'Discretionary ligatures', dnom: 'Denominators', frac: 'Fractions',
  hist: 'Historical forms', hlig: 'Historical ligatures', kern: 'Kerning',
  liga: 'Standard ligatures', lnum: 'Lining figures', locl: 'Localised forms',
  mark: 'Mark positioning', mkmk: 'Mark to mark positioning', numr: 'Numerators',
  onum: 'Oldstyle figures', ordn: 'Ordinals', ornm: 'Ornaments', pcap: 'Petite capitals',
  pnum: 'Proportional figures', rlig: 'Required ligatures', salt: 'Stylistic alternates',
  sinf: 'Scientific inferiors', smcp: 'Small capitals', subs: 'Subscript', sups: 'Superscript',
  swsh: 'Swash', titl: 'Titling', tnum: 'Tabular figures', unic: 'Unicase', zero: 'Slashed zero',
};

// Features browsers (HarfBuzz) apply unless told otherwise: their toggles start on, and
// turning one off writes `"tag" 0`.
const ON_BY_DEFAULT = new Set([
  'abvf', 'abvm', 'abvs', 'akhn', 'blwf', 'blwm', 'blws', 'calt', 'ccmp', 'cfar', 'cjct',
  'clig', 'curs', 'dist', 'fin2', 'fin3', 'fina', 'half', 'haln', 'init', 'isol', 'kern',
  'liga', 'ljmo', 'locl', 'mark', 'med2', 'medi', 'mkmk', 'nukt', 'pref', 'pres', 'pstf',
  'psts', 'rclt', 'rkrf', 'rlig', 'rphf', 'rvrn', 'tjmo', 'vatu', 'vjmo',
]);

// What CSS accepts as a feature tag: four characters from U+20 to U+7E.
const TAG = /^[\x20-\x7e]{4}$/;

/** The features of a face the panel can offer ({tag, name}), or null when the catalogue does
 * not say (an agent without them). Tags that CSS could not carry are left out. */
export function featuresOf(face) {
  if (!Array.isArray(face?.features)) return null;
  const seen = new Set();
  return face.features.filter((f) => typeof f?.tag === 'string' && TAG.test(f.tag) &&
                                     !seen.has(f.tag) && seen.add(f.tag))
    .map((f) => ({tag: f.tag, name: typeof f.name === 'string' ? f.name : ''}));
}

/** The label of a feature: the font's own name, else a standard name, else nothing (the tag
 * alone is shown). */
export function featureName(feature) {
  return feature.name || FEATURE_NAMES[feature.tag] || '';
}

/** font-feature-settings for the toggles in `on` (tag -> boolean) that differ from the
 * default; '' when none do. */
export function featureSettings(on) {
  return [...on].filter(([tag, value]) => value !== ON_BY_DEFAULT.has(tag))
    .map(([tag, value]) => cssString(tag) + (value ? '' : ' 0')).join(', ');
}

export class FeatureToggles {
  /**
   * @param {HTMLFieldSetElement} root  The panel's features box (its legend is kept).
   * @param {() => void} onChange  Called after a toggle moved.
   */
  constructor(root, onChange) {
    this.root = root;
    this.onChange = onChange;
    this.legend = root.querySelector('legend');
    this.on = new Map();
    this.postScript = null;
  }

  /** Lists a face's features. The same face again (another copy of it, the catalogue
   * refreshed) keeps the toggles it shares with the previous list. */
  show(face) {
    const features = featuresOf(face);
    const before = face.postScript === this.postScript ? this.on : new Map();
    this.postScript = face.postScript;
    this.on = new Map((features || []).map(({tag}) => [tag, before.get(tag) ??
                                                        ON_BY_DEFAULT.has(tag)]));
    this.root.hidden = !features || features.length === 0;
    const rows = (features || []).map((feature) => {
      const label = document.createElement('label');
      label.className = 'feature';
      const box = document.createElement('input');
      box.type = 'checkbox';
      box.checked = this.on.get(feature.tag);
      box.dataset.tag = feature.tag;
      box.addEventListener('change', () => {
        this.on.set(feature.tag, box.checked);
        this.onChange();
      });
      const name = featureName(feature);
      // The label's text runs name and tag together; say them apart.
      box.setAttribute('aria-label', name ? name + ' (' + feature.tag + ')' : feature.tag);
      const tag = document.createElement('span');
      tag.className = 'feature-tag';
      tag.textContent = feature.tag;
      label.append(box, ...(name ? [document.createTextNode(name), tag] : [tag]));
      return label;
    });
    this.root.replaceChildren(this.legend, ...rows);
  }

  /** The value for font-feature-settings, '' when every toggle is at its default. */
  settings() {
    return featureSettings(this.on);
  }
}
