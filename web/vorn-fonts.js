// Client for a Vorn Font Agent: the catalogue, faces as FontFace objects, instance coordinates,
// CSS for a face, and the change stream. An ES module with no dependencies; it runs in browsers
// and in Node 20 (which has fetch, but neither FontFace nor EventSource: pass your own).
//
// It asks for what newer agents offer (`?details=1`, `&face=N`, `&text=`, `?events=1`) and
// falls back by itself when an agent answers as older ones do: a plain catalogue, the whole
// file for a face or a subset (a face of a collection is then cut out here), no event stream.

/**
 * @typedef {object} Coordinate  One axis of a face's location.
 * @property {number} key    Axis tag packed into an integer, first letter most significant.
 * @property {number} value
 *
 * @typedef {object} Axis  One axis of a variable family.
 * @property {number} key
 * @property {number} minValue
 * @property {number} defaultValue
 * @property {number} maxValue
 * @property {string} [name]     Detailed catalogue: the axis name from the font, "" if none.
 * @property {boolean} [hidden]  Detailed catalogue: the font asks not to show this axis.
 *
 * @typedef {object} Face
 * @property {string} file        Absolute path, the value for `?file=`.
 * @property {string} postScript
 * @property {string} weight      "Thin" … "ExtraBlack".
 * @property {string} width       "UltraCondensed" … "UltraExpanded".
 * @property {string} slant       "Normal", "Italic" or "Oblique".
 * @property {Coordinate[]} [variations]  A named instance's location.
 * @property {number} [index]          Detailed: the face's index in its file.
 * @property {number} [namedInstance]  Detailed: the instance number (1-based), instances only.
 * @property {string} [fullName]       Detailed.
 * @property {string[]} [languages]    Detailed: languages fontconfig says the face covers.
 * @property {string} [format]         Detailed: "TrueType", "CFF", "Type 1", …
 * @property {boolean} [color]         Detailed.
 * @property {boolean} [monospace]     Detailed.
 * @property {number} [fileSize]       Detailed: bytes.
 * @property {{tag: string, name?: string}[]} [features]  Detailed: the OpenType layout features
 *     of GSUB and GPOS, each tag once, sorted by tag; `name` only where the font names the
 *     feature (stylistic sets, character variants).
 *
 * @typedef {object} Family
 * @property {string} family
 * @property {string} localName
 * @property {Face[]} childList
 * @property {boolean} [isVariation]
 * @property {Axis[]} [variationRange]
 *
 * @typedef {object} Catalogue
 * @property {Family[]} families
 * @property {boolean} detailed  The agent added the detail members.
 * @property {string} text       The document as received (compare it to spot a change).
 *
 * @typedef {object} CatalogueEvent  What the event stream says on connect and on each change.
 * @property {string} validator
 * @property {number} families
 * @property {number} faces
 *
 * @typedef {object} FaceBytes
 * @property {ArrayBuffer} bytes  A standalone font: a subset, one face, or the whole file.
 * @property {'subset'|'face'|'whole'} kind
 * @property {number|null} index  The face's index in its file, when known.
 * @property {number} faceCount   Faces in the file (1 unless it is a collection we saw).
 *
 * @typedef {FaceBytes & {font: FontFace, coverage: Coverage|null}} LoadedFace
 *
 * @typedef {object} MenuFace  One family of a font menu and the face that stands for it.
 * @property {number} family     The family's index in the catalogue.
 * @property {string} file
 * @property {number} index      The face's index in its file.
 * @property {string} postScript
 * @property {string} [type]     "font/ttf" or "font/otf", with bytes.
 * @property {ArrayBuffer|null} bytes  A subset of the face for the menu's text; null with error.
 * @property {string} [error]    Why there are no bytes (a format that cannot be subset, ...).
 * @property {FontFace} [font]   The bytes as a loaded FontFace, where FontFace exists.
 */

export const DEFAULT_AGENT = 'http://127.0.0.1:16801/';

/** The most characters the agent subsets for (longer texts get the whole face instead). */
export const MAX_SUBSET_TEXT = 1024;

/** CSS font-weight for each weight name of the catalogue. */
export const CSS_WEIGHT = {Invisible: 1, Thin: 100, ExtraLight: 200, Light: 300, Normal: 400,
                           Medium: 500, SemiBold: 600, Bold: 700, ExtraBold: 800, Black: 900,
                           ExtraBlack: 950};
/** CSS font-stretch for each width name of the catalogue. */
export const CSS_STRETCH = {UltraCondensed: 50, ExtraCondensed: 62.5, Condensed: 75,
                            SemiCondensed: 87.5, Normal: 100, SemiExpanded: 112.5, Expanded: 125,
                            ExtraExpanded: 150, UltraExpanded: 200};

/** A failed exchange with the agent. `kind`: unreachable, status, format, too-large, font. */
export class AgentError extends Error {
  /**
   * @param {'unreachable'|'status'|'format'|'too-large'|'font'} kind
   * @param {string} message
   * @param {number} [status]  The agent's HTTP status, when it answered.
   */
  constructor(kind, message, status = 0) {
    super(message);
    this.name = 'AgentError';
    this.kind = kind;
    this.status = status;
  }
}

// ---- Axes and CSS values ----------------------------------------------------------------------

/** "wght" for 2003265652; null for anything that is not four printable ASCII letters, or
 * holds a quote or backslash (tags end up inside CSS strings).
 * @param {number} key
 * @returns {string|null}
 */
export function axisTag(key) {
  if (!Number.isInteger(key) || key < 0 || key > 0xffffffff) return null;
  const tag = String.fromCharCode(key >>> 24 & 255, key >>> 16 & 255, key >>> 8 & 255, key & 255);
  return /^[\x20-\x7e]{4}$/.test(tag) && !/["\\]/.test(tag) ? tag : null;
}

/** 2003265652 for "wght".
 * @param {string} tag
 * @returns {number}
 */
export function axisKey(tag) {
  return [...tag].reduce((key, c) => key * 256 + c.charCodeAt(0), 0);
}

/** A face's coordinates as a Map from tag to value (unusable entries left out).
 * @param {Face|null|undefined} face
 * @returns {Map<string, number>}
 */
export function coordinates(face) {
  const map = new Map();
  for (const v of Array.isArray(face?.variations) ? face.variations : []) {
    const tag = axisTag(v?.key);
    if (tag && Number.isFinite(v.value)) map.set(tag, v.value);
  }
  return map;
}

/** `"wght" 700, "wdth" 75` for a Map or an array of [tag, value]; "normal" when empty.
 * @param {Iterable<[string, number]>} location
 * @returns {string}
 */
export function variationSettings(location) {
  const entries = [...location].filter(([tag, value]) => axisTag(axisKey(tag)) &&
                                                         Number.isFinite(value));
  return entries.length ? entries.map(([t, v]) => `"${t}" ${round(v)}`).join(', ') : 'normal';
}

/** The font-variation-settings that draw a named instance at its own location.
 * @param {Face} face
 * @returns {string}
 */
export function instanceSettings(face) {
  return variationSettings(coordinates(face));
}

/** CSS font-weight of a face: its wght coordinate, else its weight name.
 * @param {Face} face
 * @returns {number}
 */
export function cssWeight(face) {
  return round(coordinates(face).get('wght') ?? CSS_WEIGHT[face?.weight] ?? 400);
}

/** CSS font-style of a face: from its slant name, or its ital/slnt coordinates.
 * @param {Face} face
 * @returns {string}
 */
export function cssStyle(face) {
  const at = coordinates(face);
  if (face?.slant === 'Italic' || at.get('ital') >= 0.5) return 'italic';
  if (at.get('slnt') < 0) return `oblique ${round(-at.get('slnt'))}deg`;
  return face?.slant === 'Oblique' ? 'oblique' : 'normal';
}

/** CSS font-stretch of a face, in percent.
 * @param {Face} face
 * @returns {number}
 */
export function cssStretch(face) {
  return round(coordinates(face).get('wdth') ?? CSS_STRETCH[face?.width] ?? 100);
}

/** A CSS string literal; names come from fonts and may hold anything.
 * @param {string} text
 * @returns {string}
 */
export function cssString(text) {
  return '"' + String(text).replace(/[\\"]/g, '\\$&').replace(/[\n\r\f]/g, '\\a ') + '"';
}

function round(value) {
  return Math.round(value * 1000) / 1000;
}

// ---- The agent ----------------------------------------------------------------------------------

/** Bytes of whole collections kept so that more of their faces can be cut out without fetching
 * the file again (only used with agents that do not cut faces themselves). */
const COLLECTION_CACHE_BYTES = 64 << 20;

/** A busy agent (503 with Retry-After) is asked again this many times, waiting at most this
 * long each time. */
const BUSY_RETRIES = 3;
const MAX_RETRY_WAIT_S = 5;

export class VornFontAgent {
  /**
   * @param {string} [url]  The agent's address; "127.0.0.1:16801" alone means http.
   * @param {{fetch?: typeof fetch}} [options]
   */
  constructor(url = DEFAULT_AGENT, {fetch: fetchImpl = globalThis.fetch} = {}) {
    this.base = normaliseAgent(url);
    // Called unbound: window.fetch refuses any other `this`.
    this.fetchImpl = (url, init) => fetchImpl(url, init);
    /**
     * What this agent turned out to offer: null until a reply tells.
     * @type {Record<'details'|'faces'|'subsets'|'events'|'menu'|'covers', boolean|null>}
     */
    this.supports = {details: null, faces: null, subsets: null, events: null, menu: null,
                     covers: null};
    /** @type {Promise<boolean>|null} */
    this.coversAsked = null;
    /** @type {Map<string, ArrayBuffer>} */
    this.collections = new Map();  // file -> ArrayBuffer, least recently used first
    this.collectionBytes = 0;
  }

  /** @param {string} file */
  fileUrl(file) {
    // encodeURIComponent writes a space as %20; a "+" could be read back as a space.
    return this.base + '?file=' + encodeURIComponent(file);
  }

  /** One face as a standalone font. Index 0 needs no parameter: a browser draws a file's first
   * face anyway, and older agents then still send the right face.
   * @param {Face} face
   * @param {number} [index]
   */
  faceUrl(face, index = face.index) {
    return this.fileUrl(face.file) + (Number.isInteger(index) && index > 0 ? '&face=' + index : '');
  }

  /** A subset of the face holding what `text` needs, or null for a text the agent would refuse
   * (empty or over MAX_SUBSET_TEXT characters).
   * @param {Face} face
   * @param {string} text
   * @param {number} [index]
   * @returns {string|null}
   */
  subsetUrl(face, text, index = face.index) {
    const length = [...String(text)].length;
    if (length === 0 || length > MAX_SUBSET_TEXT) return null;
    return this.faceUrl(face, index) + '&text=' + encodeURIComponent(text);
  }

  eventsUrl() {
    return this.base + '?events=1';
  }

  /**
   * The catalogue; with `details` (the default) the agent is asked for the detail members, and
   * `detailed` says whether it added them. With `covers`, a text, only the faces that map every
   * one of its characters (each counts once, spaces too), and the families that keep a face; an
   * empty text asks for every face. The agent refuses (status 400) a text over MAX_SUBSET_TEXT
   * characters; an agent older than the parameter sends every face.
   * @param {{details?: boolean, covers?: string, signal?: AbortSignal}} [options]
   * @returns {Promise<Catalogue>}
   */
  async catalogue({details = true, covers = '', signal} = {}) {
    let url = details ? this.base + '?details=1' : this.base;
    if (covers) url += (details ? '&' : '?') + 'covers=' + encodeURIComponent(covers);
    const reply = await this.get(url, signal);
    if (reply.status === 204) {
      throw new AgentError('status', 'the font list could not be written as UTF-8', 204);
    }
    if (!reply.ok) throw new AgentError('status', 'the agent answered ' + reply.status,
                                        reply.status);
    const text = await reply.text();
    let families;
    try {
      families = JSON.parse(text);
    } catch {
      throw new AgentError('format', 'the reply is not JSON');
    }
    if (!Array.isArray(families)) throw new AgentError('format', 'the reply is not a list');
    const faces = families.flatMap((f) => (Array.isArray(f?.childList) ? f.childList : []));
    const detailed = faces.some((face) => Number.isInteger(face?.index));
    if (details && faces.length > 0) this.supports.details = detailed;
    return {families, detailed, text};
  }

  /**
   * Whether the agent filters its catalogue by text (`covers`), asked once: an agent without
   * the parameter ignores it and answers with every face, one with it refuses an empty text
   * (400). An unreachable agent is asked again next time.
   * @param {AbortSignal} [signal]  Stops this caller's wait, not the question.
   * @returns {Promise<boolean>}
   */
  async filtersByText(signal) {
    this.coversAsked ??= this.fetchImpl(this.base + '?covers=', {method: 'HEAD',
                                                                 credentials: 'omit'})
      .then((reply) => (this.supports.covers = reply.status === 400), () => {
        this.coversAsked = null;
        return false;
      });
    const known = await this.coversAsked;
    signal?.throwIfAborted();
    return known;
  }

  /**
   * The bytes of one face: a subset for `text` when given and the agent makes subsets, else
   * the face alone, else the whole file (a collection's face is then cut out here).
   * `maxBytes` refuses (AgentError 'too-large') a whole file above that size before its body
   * is read, so a list can skip large fonts on agents without subsets.
   * @param {Face} face
   * @param {{text?: string, maxBytes?: number, signal?: AbortSignal}} [options]
   * @returns {Promise<FaceBytes>}
   */
  async faceBytes(face, {text = '', maxBytes = Infinity, signal} = {}) {
    const index = Number.isInteger(face.index) ? face.index : null;
    const subset = this.supports.subsets === false ? null : this.subsetUrl(face, text);
    const cached = this.collections.get(face.file);
    if (cached && !subset) return this.cutOut(face, cached);
    const whole = !subset && (!(index > 0) || this.supports.faces === false);
    if (whole && face.fileSize > maxBytes) {
      throw new AgentError('too-large', 'the font file is too large to preview here');
    }
    const url = subset || (whole ? this.fileUrl(face.file) : this.faceUrl(face));
    const abort = new AbortController();
    const stop = () => abort.abort();
    signal?.addEventListener('abort', stop);
    try {
      let reply = await this.get(url, abort.signal);
      // A newer agent refuses a text it cannot subset (400); the face alone still draws.
      if (reply.status === 400 && url !== this.fileUrl(face.file)) {
        reply = await this.get(subset ? this.faceUrl(face) : this.fileUrl(face.file),
                               abort.signal);
      }
      if (reply.status === 404) {
        throw new AgentError('status', 'the agent refused the file (404); it may have been ' +
                             'removed since the list was loaded', 404);
      }
      if (!reply.ok) throw new AgentError('status', 'the agent answered ' + reply.status +
                                          ' for the font file', reply.status);
      const made = /^font\//i.test(reply.headers.get('content-type') || '');
      if (!made && Number(reply.headers.get('content-length')) > maxBytes) {
        abort.abort();
        throw new AgentError('too-large', 'the font file is too large to preview here');
      }
      const bytes = await reply.arrayBuffer();
      if (made) {
        if (subset) this.supports.subsets = true;
        else if (index > 0) this.supports.faces = true;
        return {bytes, kind: subset ? 'subset' : 'face', index, faceCount: 1};
      }
      // The file as stored. For an SFNT a newer agent would have made what was asked, so this
      // agent does not; other formats (Type 1, WOFF) always come whole.
      if (sfntKind(bytes)) {
        if (subset) this.supports.subsets = false;
        if (index > 0 && !subset) this.supports.faces = false;
      }
      if (sfntKind(bytes) !== 'collection') return {bytes, kind: 'whole', index: 0, faceCount: 1};
      this.remember(face.file, bytes);
      return this.cutOut(face, bytes);
    } catch (err) {
      if (err instanceof AgentError || signal?.aborted) throw err;
      if (err instanceof RangeError) throw new AgentError('font', 'the font file is damaged');
      throw new AgentError('unreachable', 'the agent could not be reached for the font file');
    } finally {
      signal?.removeEventListener('abort', stop);
    }
  }

  /**
   * A face as a FontFace, loaded (not yet added to `document.fonts`), with the characters its
   * bytes map (null when they cannot be read, e.g. WOFF). Browsers parse a FontFace made from
   * bytes on the main thread, some 20 ms per MB: `beforeParse(bytes)` may return a promise
   * that waits for a moment when that does not get in the reader's way.
   * @param {Face} face
   * @param {{text?: string, family?: string, descriptors?: FontFaceDescriptors,
   *          maxBytes?: number, signal?: AbortSignal, FontFace?: typeof FontFace,
   *          beforeParse?: (bytes: ArrayBuffer) => Promise<void>}} [options]
   * @returns {Promise<LoadedFace>}
   */
  async loadFace(face, options = {}) {
    const got = await this.faceBytes(face, options);
    await options.beforeParse?.(got.bytes);
    const Font = options.FontFace || globalThis.FontFace;
    const family = options.family || 'vorn-' + Math.random().toString(36).slice(2);
    const font = new Font(family, got.bytes, options.descriptors);
    try {
      await font.load();
    } catch (err) {
      throw new AgentError('font', NON_WEB_FORMAT.test(face.file) ?
        'browsers do not draw this font format' :
        'the browser rejected the font data (' + (err?.message || 'no reason given') + ')');
    }
    return {...got, font, coverage: readCoverage(got.bytes)};
  }

  /** @param {{from?: number, count?: number, text?: string, indices?: number[]}} [window] */
  menuUrl({from = 0, count, text, indices} = {}) {
    let url = this.base + '?menu=1';
    if (indices) url += '&families=' + indices.join(',');
    if (from > 0 && !indices) url += '&from=' + from;
    if (count !== undefined && !indices) url += '&count=' + count;
    if (text) url += '&text=' + encodeURIComponent(text);
    return url;
  }

  /**
   * A font menu: one face of each of the catalogue's families `from` … `from+count-1`, subset
   * for `text` (by default each family's own name), handed out in the catalogue's order as its
   * bytes arrive, from one streamed request; or the families at `indices` (catalogue indices,
   * at most 1,000), in that order. An agent without the menu is asked for each face on its own
   * instead (from `families`, the plain catalogue, fetched when not given).
   * @param {{families?: Family[], from?: number, count?: number, indices?: number[],
   *          text?: string, signal?: AbortSignal, FontFace?: typeof FontFace}} [options]
   * @returns {AsyncGenerator<MenuFace>}
   */
  async *menu({families, from = 0, count, indices, text = '', signal,
               FontFace: Font = globalThis.FontFace} = {}) {
    const load = async (entry) => {
      if (entry.bytes && Font) {
        entry.font = new Font('vorn-menu-' + entry.family, entry.bytes);
        try {
          await entry.font.load();
        } catch {
          entry.error = 'the browser rejected the font data';
          delete entry.font;
        }
      }
      return entry;
    };
    if (this.supports.menu !== false) {
      const reply = await this.get(this.menuUrl({from, count, text, indices}), signal);
      const menuType = /^application\/vnd\.vorn\.font-menu/i.test(reply.headers.get('content-type') || '');
      if (reply.ok && menuType) {
        this.supports.menu = true;
        this.supports.subsets = true;  // the menu's faces are the file route's subsets
        for await (const entry of readMenu(reply.body)) yield await load(entry);
        return;
      }
      if (!reply.ok) {
        throw new AgentError('status', 'the agent answered ' + reply.status + ' for the menu',
                             reply.status);
      }
      // An agent without the menu answers with its catalogue.
      this.supports.menu = false;
      await reply.body?.cancel();
    }
    families ??= (await this.catalogue({details: false, signal})).families;
    const end = count === undefined ? families.length : Math.min(families.length, from + count);
    const wanted = indices ?? Array.from({length: Math.max(0, end - from)}, (_, i) => from + i);
    for (const i of wanted.filter((i) => i < families.length)) {
      const face = standingFace(families[i]);
      const entry = {family: i, file: face?.file ?? '', index: face?.index ?? 0,
                     postScript: face?.postScript ?? '', bytes: null};
      if (!face) {
        entry.error = 'the family has no face';
      } else {
        try {
          const got = await this.faceBytes(face, {text: text || families[i].family, signal});
          entry.bytes = got.bytes;
        } catch (err) {
          if (signal?.aborted) throw err;
          entry.error = err.message;
        }
      }
      yield await load(entry);
    }
  }

  /**
   * Calls `onCatalogue` with each `catalogue` event of the agent's stream (one on connect,
   * one per change) and `onState` with 'open', 'reconnecting', 'closed' or 'unsupported'
   * (an agent without the stream, or no EventSource). Returns {close()}.
   *
   * In a page the stream is held only while the page is visible, and one visible tab of the
   * page's origin holds it for every tab of that origin (see PageStream); a hidden page gets
   * no calls, and the first event after it is shown again names the current validator.
   * @param {(event: CatalogueEvent) => void} onCatalogue
   * @param {{onState?: (state: string) => void, EventSource?: typeof EventSource}} [options]
   */
  subscribe(onCatalogue, {onState = () => {}, EventSource: Source = globalThis.EventSource} = {}) {
    if (typeof Source !== 'function') {
      this.supports.events = false;
      onState('unsupported');
      return {close() {}};
    }
    if (typeof globalThis.document?.visibilityState !== 'string') {
      return this.openStream(Source, onCatalogue, onState);
    }
    const shared = new PageStream(this, Source, onCatalogue, onState);
    return {close: () => shared.close()};
  }

  /**
   * An EventSource on the agent's stream, for this page alone.
   * @param {typeof EventSource} Source
   * @param {(event: CatalogueEvent) => void} onCatalogue
   * @param {(state: string) => void} onState
   * @returns {{close(): void}}
   */
  openStream(Source, onCatalogue, onState) {
    const source = new Source(this.eventsUrl());
    let opened = false;
    source.addEventListener('open', () => {
      opened = true;
      this.supports.events = true;
      onState('open');
    });
    source.addEventListener('catalogue', (event) => {
      const parsed = parseCatalogueEvent(event.data);
      if (parsed) onCatalogue(parsed);
    });
    source.addEventListener('error', () => {
      // CLOSED means the browser gave up: a reply that is not an event stream (an older agent
      // answers with the catalogue). Otherwise it reconnects by itself.
      if (source.readyState !== (Source.CLOSED ?? 2)) return onState('reconnecting');
      if (!opened) this.supports.events = false;
      onState(opened ? 'closed' : 'unsupported');
    });
    return {close: () => source.close()};
  }

  /**
   * An @font-face rule that loads this face from the agent under the name `family`.
   * @param {Face} face
   * @param {string} family
   * @param {{axes?: Axis[], index?: number|null}} [options]  The family's axes give weight and
   *   width ranges; `index` overrides the face's index (e.g. as found by faceBytes).
   */
  fontFaceRule(face, family, {axes = [], index = face.index} = {}) {
    const range = (tag, value) => {
      const axis = axes.find((a) => axisTag(a.key) === tag);
      return axis ? `${round(axis.minValue)} ${round(axis.maxValue)}` : String(value);
    };
    // A slnt axis makes the face every oblique angle it spans (slnt counts the other way).
    const slnt = axes.find((a) => axisTag(a.key) === 'slnt');
    const style = slnt && slnt.minValue < 0 ?
      `oblique ${round(-Math.min(slnt.maxValue, 0))}deg ${round(-slnt.minValue)}deg` :
      cssStyle(face).startsWith('oblique') ? 'oblique' : cssStyle(face);
    return '@font-face {\n' +
           `  font-family: ${cssString(family)};\n` +
           `  src: url(${cssString(this.faceUrl(face, index))});\n` +
           `  font-weight: ${range('wght', CSS_WEIGHT[face.weight] ?? 400)};\n` +
           `  font-stretch: ${range('wdth', CSS_STRETCH[face.width] ?? 100).replace(/\S+/g, '$&%')};\n` +
           `  font-style: ${style};\n}`;
  }

  // ---- internals ----

  /**
   * One GET. A 503 with Retry-After (the agent is busy, or still making its first catalogue)
   * is asked again, a few times, after the wait it names.
   * @param {string} url
   * @param {AbortSignal} [signal]
   * @returns {Promise<Response>}
   */
  async get(url, signal) {
    for (let attempt = 0; ; ++attempt) {
      let reply;
      try {
        reply = await this.fetchImpl(url, {credentials: 'omit', signal});
      } catch (err) {
        if (signal?.aborted) throw err;
        throw new AgentError('unreachable', 'cannot reach the agent at ' + this.base);
      }
      const wait = Number(reply.headers?.get?.('retry-after') ?? NaN);
      if (reply.status !== 503 || attempt >= BUSY_RETRIES || !(wait >= 0)) return reply;
      await new Promise((resolve, reject) => {
        const timer = setTimeout(resolve, Math.min(wait, MAX_RETRY_WAIT_S) * 1000);
        signal?.addEventListener('abort', () => {
          clearTimeout(timer);
          reject(signal.reason);
        }, {once: true});
      });
    }
  }

  /**
   * One face of a collection's bytes, cut out as a standalone font.
   * @param {Face} face
   * @param {ArrayBuffer} bytes
   * @returns {FaceBytes}
   */
  cutOut(face, bytes) {
    const count = new DataView(bytes).getUint32(8);
    const index = Number.isInteger(face.index) ? face.index : findFace(bytes, face.postScript);
    if (index === null || index >= count) throw new AgentError('font', 'no face of this ' +
                                                               'collection can be read');
    return {bytes: cutFace(bytes, index), kind: 'whole', index, faceCount: count};
  }

  /**
   * @param {string} file
   * @param {ArrayBuffer} bytes
   */
  remember(file, bytes) {
    if (bytes.byteLength > COLLECTION_CACHE_BYTES) return;
    this.collections.set(file, bytes);
    this.collectionBytes += bytes.byteLength;
    for (const [key, old] of this.collections) {
      if (this.collectionBytes <= COLLECTION_CACHE_BYTES) break;
      this.collections.delete(key);
      this.collectionBytes -= old.byteLength;
    }
  }
}

// ---- The event stream in a page ----------------------------------------------------------------

/** The Web Lock and the BroadcastChannel by which the tabs of one origin share the stream of
 * one agent are named this, then the agent's origin. */
const SHARED_STREAM = 'vorn-fonts events ';

/**
 * The agent's event stream as a page holds it. A browser opens at most six HTTP/1.1
 * connections to one host and port, for all the tabs of a profile together, and an open event
 * stream keeps one for good: six tabs each holding a stream would leave every other request
 * to the agent waiting, without an error. So a page holds the stream only while it is visible,
 * and of the visible tabs of one origin only the one holding the Web Lock named after the
 * agent does, passing its states and events on to the others through a BroadcastChannel. A
 * tab that hides closes the stream and releases the lock; a visible tab waiting for the lock
 * takes over. A hidden tab holds neither, and drops what it hears; shown again, it asks the
 * holder for the last event (or opens the stream, whose first event says the same).
 * Without Web Locks or BroadcastChannel (a page that is no secure context, an older browser)
 * each visible page holds a stream of its own.
 */
class PageStream {
  constructor(agent, Source, onCatalogue, onState) {
    this.agent = agent;
    this.Source = Source;
    this.onCatalogue = onCatalogue;
    this.onState = onState;
    this.id = Math.random().toString(36).slice(2);
    this.name = SHARED_STREAM + new URL(agent.base).origin;
    this.locks = globalThis.navigator?.locks;
    this.channel = typeof this.locks?.request === 'function' &&
                   typeof BroadcastChannel === 'function' ? new BroadcastChannel(this.name) :
                   null;
    if (this.channel) this.channel.onmessage = (message) => this.hear(message.data);
    this.closed = false;
    this.stream = null;   // {close()} while this page holds the stream
    this.release = null;  // ends this page's hold on the lock
    this.waiting = null;  // the AbortController of a lock request not granted yet
    this.state = null;    // the holder's last state and event, for tabs shown again
    this.last = null;
    this.onVisibility = () => this.update();
    document.addEventListener('visibilitychange', this.onVisibility);
    this.update();
  }

  get visible() {
    return !this.closed && document.visibilityState === 'visible';
  }

  update() {
    if (!this.visible) return this.stop();
    if (!this.channel) {
      this.stream ??= this.agent.openStream(this.Source, this.onCatalogue, this.onState);
      return;
    }
    if (this.release || this.waiting) return;
    const waiting = this.waiting = new AbortController();
    this.channel.postMessage({kind: 'hello', from: this.id});
    this.locks.request(this.name, {signal: waiting.signal}, () => this.lead(waiting))
      .catch(() => {});  // aborted: hidden or closed before its turn
  }

  /** Holds the stream until stop(); the lock is released when the returned promise settles. */
  lead(waiting) {
    // A grant that crossed an abort: the page hid (and may have been shown again) meanwhile.
    if (waiting !== this.waiting || !this.visible) return undefined;
    this.waiting = null;
    return new Promise((release) => {
      this.release = release;
      this.stream = this.agent.openStream(this.Source, (event) => {
        this.last = event;
        this.channel.postMessage({kind: 'catalogue', event});
        this.onCatalogue(event);
      }, (state) => {
        this.state = state;
        this.channel.postMessage({kind: 'state', state});
        this.onState(state);
      });
    });
  }

  hear({kind, from, to, state, event}) {
    if (!this.visible) return;
    if (this.release) {
      // The holder answers a tab shown again, and only that tab.
      if (kind !== 'hello') return;
      if (this.state) this.channel.postMessage({kind: 'state', state: this.state, to: from});
      if (this.last) this.channel.postMessage({kind: 'catalogue', event: this.last, to: from});
      return;
    }
    if (to !== undefined && to !== this.id) return;
    if (kind === 'state') {
      if (state === 'open') this.agent.supports.events = true;
      if (state === 'unsupported') this.agent.supports.events = false;
      this.onState(state);
    } else if (kind === 'catalogue') {
      this.onCatalogue(event);
    }
  }

  stop() {
    this.waiting?.abort();
    this.waiting = null;
    this.stream?.close();
    this.stream = null;
    this.release?.();
    this.release = null;
    this.state = null;
    this.last = null;
  }

  close() {
    this.closed = true;
    document.removeEventListener('visibilitychange', this.onVisibility);
    this.stop();
    this.channel?.close();
  }
}

/** The face a font menu shows for a family: its first face whose weight, width and slant are
 * all "Normal", else its first.
 * @param {Family} family
 * @returns {Face|undefined}
 */
export function standingFace(family) {
  const faces = family?.childList ?? [];
  return faces.find((f) => f.weight === 'Normal' && f.width === 'Normal' && f.slant === 'Normal') ??
    faces[0];
}

/** The entries of a font menu's body as they arrive: a line of JSON each, then its bytes. */
async function* readMenu(body) {
  const reader = body.getReader();
  let buffer = new Uint8Array(0);
  let at = 0;
  let headRead = false;
  let pending = null;  // an entry whose bytes have not all arrived
  const decoder = new TextDecoder();
  for (;;) {
    for (;;) {
      if (pending) {
        if (buffer.length - at < pending.length) break;
        const {length, ...entry} = pending;
        entry.bytes = buffer.slice(at, at + length).buffer;
        at += length;
        pending = null;
        yield entry;
        continue;
      }
      const end = buffer.indexOf(10, at);
      if (end < 0) break;
      const line = JSON.parse(decoder.decode(buffer.subarray(at, end)));
      at = end + 1;
      if (!headRead) {
        headRead = true;
        continue;
      }
      if (line.length > 0) {
        pending = line;
      } else {
        delete line.length;
        yield {...line, bytes: null};
      }
    }
    const {value, done} = await reader.read();
    if (done) break;
    const joined = new Uint8Array(buffer.length - at + value.length);
    joined.set(buffer.subarray(at));
    joined.set(value, buffer.length - at);
    buffer = joined;
    at = 0;
  }
  if (pending || at < buffer.length) throw new AgentError('format', 'the menu ended early');
}

/** "http://127.0.0.1:16801/" for "127.0.0.1:16801"; the agent ignores the path, and the query
 * is ours to build. Throws for anything but http(s).
 * @param {string} text
 * @returns {string}
 */
export function normaliseAgent(text) {
  const trimmed = String(text).trim();
  const url = new URL(/^[a-z][a-z0-9+.-]*:\/\//i.test(trimmed) ? trimmed : 'http://' + trimmed);
  if (url.protocol !== 'http:' && url.protocol !== 'https:') {
    throw new TypeError('not an http address: ' + text);
  }
  url.search = '';
  url.hash = '';
  return url.href;
}

/** The data of a `catalogue` event, or null when it is not one.
 * @param {string} data
 * @returns {CatalogueEvent|null}
 */
export function parseCatalogueEvent(data) {
  let value;
  try {
    value = JSON.parse(data);
  } catch {
    return null;
  }
  if (!value || typeof value !== 'object' || Array.isArray(value)) return null;
  const count = (...names) => names.map((n) => value[n]).find(Number.isInteger) ?? -1;
  const validator = value.validator ?? value.etag ?? value.version;
  return {validator: validator === undefined ? '' : String(validator),
          families: count('families', 'familyCount'), faces: count('faces', 'faceCount')};
}

// Formats fontconfig lists that no browser draws, named in the error so it is not a mystery.
const NON_WEB_FORMAT = /\.(pfb|pfa|t1|pcf|pcf\.gz|bdf|pfr|afm|snf|otb)$/i;

// ---- SFNT reading ------------------------------------------------------------------------------
// Just enough of the format to cut a face out of a collection (for agents that do not) and to
// read which characters a font maps. DataView throws RangeError past the end, so a truncated
// font fails here instead of reading garbage.

/** 'collection', 'font' or null (WOFF, Type 1, anything else).
 * @param {ArrayBuffer} bytes
 * @returns {'collection'|'font'|null}
 */
export function sfntKind(bytes) {
  if (bytes.byteLength < 12) return null;
  const tag = new DataView(bytes).getUint32(0);
  if (tag === 0x74746366) return 'collection';  // 'ttcf'
  return [0x00010000, 0x4f54544f, 0x74727565].includes(tag) ? 'font' : null;  // OTTO, true
}

function tables(view, offset) {
  const found = new Map();
  const count = view.getUint16(offset + 4);
  for (let i = 0; i < count; i++) {
    const record = offset + 12 + 16 * i;
    const tag = String.fromCharCode(...new Uint8Array(view.buffer, record, 4));
    const at = view.getUint32(record + 8);
    const length = view.getUint32(record + 12);
    if (at + length > view.byteLength) throw new RangeError(tag + ' table past the end');
    found.set(tag, {record, offset: at, length});
  }
  return found;
}

/** The index of the face of a collection whose name table holds this PostScript name, else of
 * the first readable face; null when none can be read.
 * @param {ArrayBuffer} bytes
 * @param {string} postScript
 * @returns {number|null}
 */
export function findFace(bytes, postScript) {
  const view = new DataView(bytes);
  const count = view.getUint32(8);
  let first = null;
  for (let i = 0; i < count && 16 + 4 * i <= view.byteLength; i++) {
    try {
      const name = tables(view, view.getUint32(12 + 4 * i)).get('name');
      if (first === null) first = i;
      if (name && postScript && postScriptNames(view, name.offset).includes(postScript)) return i;
    } catch {
      // An unreadable face; the others may still be fine.
    }
  }
  return first;
}

function postScriptNames(view, base) {
  const names = [];
  const count = view.getUint16(base + 2);
  const strings = base + view.getUint16(base + 4);
  for (let i = 0; i < count; i++) {
    const r = base + 6 + 12 * i;
    if (view.getUint16(r + 6) !== 6) continue;
    const raw = new Uint8Array(view.buffer, strings + view.getUint16(r + 10),
                               view.getUint16(r + 8));
    const platform = view.getUint16(r);
    if (platform === 0 || platform === 3) names.push(new TextDecoder('utf-16be').decode(raw));
    else if (platform === 1) names.push(String.fromCharCode(...raw));
  }
  return names;
}

/** Face `index` of a collection as a standalone font: its tables copied byte for byte.
 * @param {ArrayBuffer} bytes
 * @param {number} index
 * @returns {ArrayBuffer}
 */
export function cutFace(bytes, index) {
  const view = new DataView(bytes);
  const offset = view.getUint32(12 + 4 * index);
  const list = [...tables(view, offset).values()];
  const size = list.reduce((n, t) => n + (t.length + 3 & ~3), 12 + 16 * list.length);
  const out = new Uint8Array(size);
  const outView = new DataView(out.buffer);
  const from = new Uint8Array(bytes);
  out.set(from.subarray(offset, offset + 12), 0);  // version and search fields as they are
  let at = 12 + 16 * list.length;
  list.forEach((t, i) => {
    out.set(from.subarray(t.record, t.record + 8), 12 + 16 * i);  // tag and checksum
    outView.setUint32(12 + 16 * i + 8, at);
    outView.setUint32(12 + 16 * i + 12, t.length);
    out.set(from.subarray(t.offset, t.offset + t.length), at);
    at += t.length + 3 & ~3;
  });
  return out.buffer;
}

/** The characters a font maps to a glyph, as sorted ranges. */
export class Coverage {
  /** @param {Array<[number, number]>} ranges */
  constructor(ranges) {
    this.ranges = ranges;  // [[first, last], ...], sorted, not overlapping
  }

  /** @param {number} codePoint */
  has(codePoint) {
    let lo = 0;
    let hi = this.ranges.length - 1;
    while (lo <= hi) {
      const mid = lo + hi >> 1;
      const [first, last] = this.ranges[mid];
      if (codePoint < first) hi = mid - 1;
      else if (codePoint > last) lo = mid + 1;
      else return true;
    }
    return false;
  }

  /** The distinct characters of `text` the font lacks; spaces and controls do not count.
   * @param {string} text
   * @returns {string[]}
   */
  missing(text) {
    return [...new Set(text)].filter((c) => !/[\s\p{Cc}\p{Cf}]/u.test(c) &&
                                            !this.has(c.codePointAt(0)));
  }

  /** Up to `count` visible characters the font maps, for a font no sample suits. */
  sample(count = 24) {
    const out = [];
    for (const [first, last] of this.ranges) {
      for (let c = first; c <= last && out.length < count; c++) {
        const ch = String.fromCodePoint(c);
        if (!/[\s\p{C}]/u.test(ch)) out.push(ch);
      }
    }
    return out.join('');
  }
}

/** The cmap coverage of a standalone SFNT (formats 4, 12, 0 and 6), or null when there is no
 * readable cmap (WOFF, Type 1, a damaged table).
 * @param {ArrayBuffer} bytes
 * @returns {Coverage|null}
 */
export function readCoverage(bytes) {
  try {
    if (sfntKind(bytes) !== 'font') return null;
    const view = new DataView(bytes);
    const cmap = tables(view, 0).get('cmap');
    if (!cmap) return null;
    const subtables = new Map();
    for (let i = 0; i < view.getUint16(cmap.offset + 2); i++) {
      const r = cmap.offset + 4 + 8 * i;
      subtables.set(view.getUint16(r) + '.' + view.getUint16(r + 2),
                    cmap.offset + view.getUint32(r + 4));
    }
    // Full-repertoire tables first; a symbol table's 0xF0xx codes stand for 0x00xx as well.
    for (const id of ['3.10', '0.6', '0.4', '3.1', '0.3', '0.2', '0.1', '0.0', '3.0', '1.0']) {
      if (!subtables.has(id)) continue;
      const ranges = cmapRanges(view, subtables.get(id));
      if (!ranges) continue;
      if (id === '3.0') {
        ranges.push(...ranges.filter(([a]) => a >= 0xf000 && a <= 0xf0ff)
          .map(([a, b]) => [a - 0xf000, Math.min(b, 0xf0ff) - 0xf000]));
      }
      return new Coverage(merge(ranges));
    }
    return new Coverage([]);
  } catch {
    return null;
  }
}

function cmapRanges(view, at) {
  const format = view.getUint16(at);
  const ranges = [];
  const add = (code, glyph) => {
    if (glyph === 0) return;
    const last = ranges[ranges.length - 1];
    if (last && last[1] === code - 1) last[1] = code;
    else ranges.push([code, code]);
  };
  if (format === 4) {
    const segments = view.getUint16(at + 6) / 2;
    const ends = at + 14;
    const starts = ends + 2 * segments + 2;
    const deltas = starts + 2 * segments;
    const offsets = deltas + 2 * segments;
    for (let s = 0; s < segments; s++) {
      const start = view.getUint16(starts + 2 * s);
      const end = view.getUint16(ends + 2 * s);
      const delta = view.getUint16(deltas + 2 * s);
      const rangeOffset = view.getUint16(offsets + 2 * s);
      for (let c = start; c <= end && c !== 0xffff; c++) {
        if (rangeOffset === 0) {
          add(c, c + delta & 0xffff);
        } else {
          const glyph = view.getUint16(offsets + 2 * s + rangeOffset + 2 * (c - start));
          add(c, glyph && glyph + delta & 0xffff);
        }
      }
    }
  } else if (format === 12) {
    for (let g = 0; g < view.getUint32(at + 12); g++) {
      const r = at + 16 + 12 * g;
      const first = view.getUint32(r);
      const last = Math.min(view.getUint32(r + 4), 0x10ffff);
      // Only a group starting at glyph 0 maps its first code to .notdef.
      if (view.getUint32(r + 8) === 0) {
        if (last > first) ranges.push([first + 1, last]);
      } else if (last >= first) {
        ranges.push([first, last]);
      }
    }
  } else if (format === 0 || format === 6) {
    const first = format === 0 ? 0 : view.getUint16(at + 6);
    const count = format === 0 ? 256 : view.getUint16(at + 8);
    for (let i = 0; i < count; i++) {
      add(first + i, format === 0 ? view.getUint8(at + 6 + i) : view.getUint16(at + 10 + 2 * i));
    }
  } else {
    return null;
  }
  return ranges;
}

/**
 * @param {number[][]} ranges
 * @returns {Array<[number, number]>}
 */
function merge(ranges) {
  ranges.sort((a, b) => a[0] - b[0]);
  /** @type {Array<[number, number]>} */
  const out = [];
  for (const [first, last] of ranges) {
    const prev = out[out.length - 1];
    if (prev && first <= prev[1] + 1) prev[1] = Math.max(prev[1], last);
    else out.push([first, last]);
  }
  return out;
}
