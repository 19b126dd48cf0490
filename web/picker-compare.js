// Compare: up to four faces pinned from the face panel, each at the axis location and with
// the OpenType features it was pinned with, drawn side by side in one text at one size.
// Pinned faces hold their fonts through the page's FaceDrawer, so a face that is also on
// screen in the list or the panel is loaded once.

import {cssStretch, cssString, cssWeight, variationSettings} from './vorn-fonts.js';
import {round, styleName} from './picker-panel.js';
import {$, el} from './picker-dom.js';

// Four samples side by side still leave each about 300 px at 1280 px wide.
export const MAX_PINS = 4;
const DEFAULT_SIZE = 36;

const identity = (face) => face.file + '\n' + face.postScript + '\n' + face.index;

export class Compare {
  /** @param {{onEmpty: () => void}} options  `onEmpty` runs when the last pin is let go (the
   * region hides, so focus must go elsewhere). */
  constructor({onEmpty}) {
    this.onEmpty = onEmpty;
    this.pins = [];
    this.drawer = null;
    this.ui = {root: $('compare'), count: $('compare-count'), text: $('compare-text'),
               size: $('compare-size'), sizeValue: $('compare-size-value'),
               faces: $('compare-faces')};
    this.ui.size.value = DEFAULT_SIZE;
    this.ui.text.addEventListener('input', () => this.drawSamples());
    this.ui.size.addEventListener('input', () => this.drawSamples());
    this.ui.faces.addEventListener('click', (event) => {
      const button = event.target.closest('button.unpin');
      if (button) this.unpin(this.pins[Number(button.dataset.pin)]);
    });
    this.render();
  }

  /** Another agent: its drawer, and none of the old agent's pins. */
  reset(drawer) {
    for (const pin of this.pins) pin.release();
    this.pins = [];
    this.drawer = drawer;
    this.render();
  }

  /**
   * Pins what the face panel shows: {family (the catalogue record), face, location (axis tag
   * -> value), features (a font-feature-settings value), text}. Returns what to tell the
   * reader, since a fifth face or the same one twice is refused.
   */
  pin({family, face, location, features, text}) {
    const key = identity(face) + '\n' + variationSettings(location) + '\n' + features;
    if (this.pins.some((pin) => pin.key === key)) {
      return 'This face is already pinned at this location.';
    }
    if (this.pins.length >= MAX_PINS) {
      return 'Compare holds ' + MAX_PINS + ' faces: unpin one to pin this face.';
    }
    const [font, release] = this.drawer.acquire(face);
    const pin = {key, family, face, location: new Map(location), features, release,
                 state: 'loading', fontFamily: '', coverage: null, note: ''};
    font.then((loaded) => {
      Object.assign(pin, {state: 'loaded', fontFamily: loaded.font.family,
                          coverage: loaded.coverage});
    }, (err) => {
      Object.assign(pin, {state: 'error', note: 'Cannot show this face: ' + err.message + '.'});
    }).finally(() => {
      if (this.pins.includes(pin)) this.drawSamples();
    });
    if (!this.ui.text.value.trim()) this.ui.text.value = text;
    this.pins.push(pin);
    this.render();
    return 'Pinned to compare (' + this.pins.length + ' of ' + MAX_PINS + ').';
  }

  unpin(pin) {
    const at = this.pins.indexOf(pin);
    if (at < 0) return;
    pin.release();
    this.pins.splice(at, 1);
    this.render();
    // Focus stays in the region: on the next pin's button, else the previous one's.
    const next = this.ui.faces.querySelectorAll('button.unpin')[Math.min(at, this.pins.length - 1)];
    if (next) next.focus();
    else this.onEmpty();
  }

  /** After a new catalogue: pins of faces no longer listed go. `listed(face)` returns the
   * catalogue's records for it now ({family, face}), or null. */
  keep(listed) {
    const kept = this.pins.filter((pin) => {
      const now = listed(pin.face);
      if (now) Object.assign(pin, now);
      else pin.release();
      return now;
    });
    if (kept.length === this.pins.length) return;
    this.pins = kept;
    this.render();
  }

  render() {
    this.ui.root.hidden = this.pins.length === 0;
    this.ui.count.textContent = this.pins.length + ' of ' + MAX_PINS;
    this.ui.faces.replaceChildren(...this.pins.map((pin, i) => {
      const name = pin.family.family + ' ' + styleName(pin.family, pin.face);
      const card = el('li', 'pin');
      card.dataset.postscript = pin.face.postScript;
      const head = el('div', 'pin-head');
      const unpin = el('button', 'ghost unpin', 'Unpin');
      unpin.type = 'button';
      unpin.dataset.pin = i;
      unpin.setAttribute('aria-label', 'Unpin ' + name);
      head.append(el('span', 'pin-name', name), unpin);
      const where = [...pin.location].map(([tag, value]) => tag + ' ' + round(value));
      if (pin.features !== 'normal') where.push(pin.features);
      card.append(head, el('p', 'pin-where', where.join(' · ')), el('p', 'pin-sample'),
                  el('p', 'pin-note'));
      return card;
    }));
    this.drawSamples();
  }

  // The text and size change on every keystroke: only the samples are touched.
  drawSamples() {
    const text = this.ui.text.value;
    const size = Number(this.ui.size.value);
    this.ui.sizeValue.textContent = size + ' px';
    this.ui.faces.querySelectorAll('.pin').forEach((card, i) => {
      const pin = this.pins[i];
      const sample = card.querySelector('.pin-sample');
      card.dataset.state = pin.state;
      sample.textContent = text;
      Object.assign(sample.style, {
        fontSize: size + 'px',
        fontFamily: pin.fontFamily ? cssString(pin.fontFamily) : '',
        fontWeight: String(cssWeight(pin.face)),
        fontStretch: cssStretch(pin.face) + '%',
        fontVariationSettings: variationSettings(pin.location),
        fontFeatureSettings: pin.features,
      });
      const missing = pin.coverage ? pin.coverage.missing(text) : [];
      card.querySelector('.pin-note').textContent = pin.note || (missing.length ?
        'No glyphs for ' + missing.slice(0, 8).join(' ') + (missing.length > 8 ? ' …' : '') +
        ' (drawn in a fallback font).' : '');
    });
  }
}
