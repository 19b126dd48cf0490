/** "wght" for 2003265652; null for anything that is not four printable ASCII letters, or
 * holds a quote or backslash (tags end up inside CSS strings).
 * @param {number} key
 * @returns {string|null}
 */
export function axisTag(key: number): string | null;
/** 2003265652 for "wght".
 * @param {string} tag
 * @returns {number}
 */
export function axisKey(tag: string): number;
/** A face's coordinates as a Map from tag to value (unusable entries left out).
 * @param {Face|null|undefined} face
 * @returns {Map<string, number>}
 */
export function coordinates(face: Face | null | undefined): Map<string, number>;
/** `"wght" 700, "wdth" 75` for a Map or an array of [tag, value]; "normal" when empty.
 * @param {Iterable<[string, number]>} location
 * @returns {string}
 */
export function variationSettings(location: Iterable<[string, number]>): string;
/** The font-variation-settings that draw a named instance at its own location.
 * @param {Face} face
 * @returns {string}
 */
export function instanceSettings(face: Face): string;
/** CSS font-weight of a face: its wght coordinate, else its weight name.
 * @param {Face} face
 * @returns {number}
 */
export function cssWeight(face: Face): number;
/** CSS font-style of a face: from its slant name, or its ital/slnt coordinates.
 * @param {Face} face
 * @returns {string}
 */
export function cssStyle(face: Face): string;
/** CSS font-stretch of a face, in percent.
 * @param {Face} face
 * @returns {number}
 */
export function cssStretch(face: Face): number;
/** A CSS string literal; names come from fonts and may hold anything.
 * @param {string} text
 * @returns {string}
 */
export function cssString(text: string): string;
/** The face a font menu shows for a family: its first face whose weight, width and slant are
 * all "Normal", else its first.
 * @param {Family} family
 * @returns {Face|undefined}
 */
export function standingFace(family: Family): Face | undefined;
/** "http://127.0.0.1:16801/" for "127.0.0.1:16801"; the agent ignores the path, and the query
 * is ours to build. Throws for anything but http(s).
 * @param {string} text
 * @returns {string}
 */
export function normaliseAgent(text: string): string;
/** The data of a `catalogue` event, or null when it is not one.
 * @param {string} data
 * @returns {CatalogueEvent|null}
 */
export function parseCatalogueEvent(data: string): CatalogueEvent | null;
/** 'collection', 'font' or null (WOFF, Type 1, anything else).
 * @param {ArrayBuffer} bytes
 * @returns {'collection'|'font'|null}
 */
export function sfntKind(bytes: ArrayBuffer): "collection" | "font" | null;
/** The index of the face of a collection whose name table holds this PostScript name, else of
 * the first readable face; null when none can be read.
 * @param {ArrayBuffer} bytes
 * @param {string} postScript
 * @returns {number|null}
 */
export function findFace(bytes: ArrayBuffer, postScript: string): number | null;
/** Face `index` of a collection as a standalone font: its tables copied byte for byte.
 * @param {ArrayBuffer} bytes
 * @param {number} index
 * @returns {ArrayBuffer}
 */
export function cutFace(bytes: ArrayBuffer, index: number): ArrayBuffer;
/** The cmap coverage of a standalone SFNT (formats 4, 12, 0 and 6), or null when there is no
 * readable cmap (WOFF, Type 1, a damaged table).
 * @param {ArrayBuffer} bytes
 * @returns {Coverage|null}
 */
export function readCoverage(bytes: ArrayBuffer): Coverage | null;
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
export const DEFAULT_AGENT: "http://127.0.0.1:16801/";
/** The most characters the agent subsets for (longer texts get the whole face instead). */
export const MAX_SUBSET_TEXT: 1024;
export namespace CSS_WEIGHT {
    let Invisible: number;
    let Thin: number;
    let ExtraLight: number;
    let Light: number;
    let Normal: number;
    let Medium: number;
    let SemiBold: number;
    let Bold: number;
    let ExtraBold: number;
    let Black: number;
    let ExtraBlack: number;
}
export namespace CSS_STRETCH {
    export let UltraCondensed: number;
    export let ExtraCondensed: number;
    export let Condensed: number;
    export let SemiCondensed: number;
    let Normal_1: number;
    export { Normal_1 as Normal };
    export let SemiExpanded: number;
    export let Expanded: number;
    export let ExtraExpanded: number;
    export let UltraExpanded: number;
}
/** A failed exchange with the agent. `kind`: unreachable, status, format, too-large, font. */
export class AgentError extends Error {
    /**
     * @param {'unreachable'|'status'|'format'|'too-large'|'font'} kind
     * @param {string} message
     * @param {number} [status]  The agent's HTTP status, when it answered.
     */
    constructor(kind: "unreachable" | "status" | "format" | "too-large" | "font", message: string, status?: number);
    kind: "unreachable" | "status" | "format" | "too-large" | "font";
    status: number;
}
export class VornFontAgent {
    /**
     * @param {string} [url]  The agent's address; "127.0.0.1:16801" alone means http.
     * @param {{fetch?: typeof fetch}} [options]
     */
    constructor(url?: string, { fetch: fetchImpl }?: {
        fetch?: typeof fetch;
    });
    base: string;
    fetchImpl: (url: any, init: any) => Promise<Response>;
    /**
     * What this agent turned out to offer: null until a reply tells.
     * @type {Record<'details'|'faces'|'subsets'|'events'|'menu'|'covers', boolean|null>}
     */
    supports: Record<"details" | "faces" | "subsets" | "events" | "menu" | "covers", boolean | null>;
    /** @type {Promise<boolean>|null} */
    coversAsked: Promise<boolean> | null;
    /** @type {Map<string, ArrayBuffer>} */
    collections: Map<string, ArrayBuffer>;
    collectionBytes: number;
    /** @param {string} file */
    fileUrl(file: string): string;
    /** One face as a standalone font. Index 0 needs no parameter: a browser draws a file's first
     * face anyway, and older agents then still send the right face.
     * @param {Face} face
     * @param {number} [index]
     */
    faceUrl(face: Face, index?: number): string;
    /** A subset of the face holding what `text` needs, or null for a text the agent would refuse
     * (empty or over MAX_SUBSET_TEXT characters).
     * @param {Face} face
     * @param {string} text
     * @param {number} [index]
     * @returns {string|null}
     */
    subsetUrl(face: Face, text: string, index?: number): string | null;
    eventsUrl(): string;
    /**
     * The catalogue; with `details` (the default) the agent is asked for the detail members, and
     * `detailed` says whether it added them. With `covers`, a text, only the faces that map every
     * one of its characters (each counts once, spaces too), and the families that keep a face; an
     * empty text asks for every face. The agent refuses (status 400) a text over MAX_SUBSET_TEXT
     * characters; an agent older than the parameter sends every face.
     * @param {{details?: boolean, covers?: string, signal?: AbortSignal}} [options]
     * @returns {Promise<Catalogue>}
     */
    catalogue({ details, covers, signal }?: {
        details?: boolean;
        covers?: string;
        signal?: AbortSignal;
    }): Promise<Catalogue>;
    /**
     * Whether the agent filters its catalogue by text (`covers`), asked once: an agent without
     * the parameter ignores it and answers with every face, one with it refuses an empty text
     * (400). An unreachable agent is asked again next time.
     * @param {AbortSignal} [signal]  Stops this caller's wait, not the question.
     * @returns {Promise<boolean>}
     */
    filtersByText(signal?: AbortSignal): Promise<boolean>;
    /**
     * The bytes of one face: a subset for `text` when given and the agent makes subsets, else
     * the face alone, else the whole file (a collection's face is then cut out here).
     * `maxBytes` refuses (AgentError 'too-large') a whole file above that size before its body
     * is read, so a list can skip large fonts on agents without subsets.
     * @param {Face} face
     * @param {{text?: string, maxBytes?: number, signal?: AbortSignal}} [options]
     * @returns {Promise<FaceBytes>}
     */
    faceBytes(face: Face, { text, maxBytes, signal }?: {
        text?: string;
        maxBytes?: number;
        signal?: AbortSignal;
    }): Promise<FaceBytes>;
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
    loadFace(face: Face, options?: {
        text?: string;
        family?: string;
        descriptors?: FontFaceDescriptors;
        maxBytes?: number;
        signal?: AbortSignal;
        FontFace?: typeof FontFace;
        beforeParse?: (bytes: ArrayBuffer) => Promise<void>;
    }): Promise<LoadedFace>;
    /** @param {{from?: number, count?: number, text?: string, indices?: number[]}} [window] */
    menuUrl({ from, count, text, indices }?: {
        from?: number;
        count?: number;
        text?: string;
        indices?: number[];
    }): string;
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
    menu({ families, from, count, indices, text, signal, FontFace: Font }?: {
        families?: Family[];
        from?: number;
        count?: number;
        indices?: number[];
        text?: string;
        signal?: AbortSignal;
        FontFace?: typeof FontFace;
    }): AsyncGenerator<MenuFace>;
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
    subscribe(onCatalogue: (event: CatalogueEvent) => void, { onState, EventSource: Source }?: {
        onState?: (state: string) => void;
        EventSource?: typeof EventSource;
    }): {
        close(): void;
    };
    /**
     * An EventSource on the agent's stream, for this page alone.
     * @param {typeof EventSource} Source
     * @param {(event: CatalogueEvent) => void} onCatalogue
     * @param {(state: string) => void} onState
     * @returns {{close(): void}}
     */
    openStream(Source: typeof EventSource, onCatalogue: (event: CatalogueEvent) => void, onState: (state: string) => void): {
        close(): void;
    };
    /**
     * An @font-face rule that loads this face from the agent under the name `family`.
     * @param {Face} face
     * @param {string} family
     * @param {{axes?: Axis[], index?: number|null}} [options]  The family's axes give weight and
     *   width ranges; `index` overrides the face's index (e.g. as found by faceBytes).
     */
    fontFaceRule(face: Face, family: string, { axes, index }?: {
        axes?: Axis[];
        index?: number | null;
    }): string;
    /**
     * One GET. A 503 with Retry-After (the agent is busy, or still making its first catalogue)
     * is asked again, a few times, after the wait it names.
     * @param {string} url
     * @param {AbortSignal} [signal]
     * @returns {Promise<Response>}
     */
    get(url: string, signal?: AbortSignal): Promise<Response>;
    /**
     * One face of a collection's bytes, cut out as a standalone font.
     * @param {Face} face
     * @param {ArrayBuffer} bytes
     * @returns {FaceBytes}
     */
    cutOut(face: Face, bytes: ArrayBuffer): FaceBytes;
    /**
     * @param {string} file
     * @param {ArrayBuffer} bytes
     */
    remember(file: string, bytes: ArrayBuffer): void;
}
/** The characters a font maps to a glyph, as sorted ranges. */
export class Coverage {
    /** @param {Array<[number, number]>} ranges */
    constructor(ranges: Array<[number, number]>);
    ranges: [number, number][];
    /** @param {number} codePoint */
    has(codePoint: number): boolean;
    /** The distinct characters of `text` the font lacks; spaces and controls do not count.
     * @param {string} text
     * @returns {string[]}
     */
    missing(text: string): string[];
    /** Up to `count` visible characters the font maps, for a font no sample suits. */
    sample(count?: number): string;
}
/**
 * One axis of a face's location.
 */
export type Coordinate = {
    /**
     * Axis tag packed into an integer, first letter most significant.
     */
    key: number;
    value: number;
};
/**
 * One axis of a variable family.
 */
export type Axis = {
    key: number;
    minValue: number;
    defaultValue: number;
    maxValue: number;
    /**
     * Detailed catalogue: the axis name from the font, "" if none.
     */
    name?: string;
    /**
     * Detailed catalogue: the font asks not to show this axis.
     */
    hidden?: boolean;
};
export type Face = {
    /**
     * Absolute path, the value for `?file=`.
     */
    file: string;
    postScript: string;
    /**
     * "Thin" … "ExtraBlack".
     */
    weight: string;
    /**
     * "UltraCondensed" … "UltraExpanded".
     */
    width: string;
    /**
     * "Normal", "Italic" or "Oblique".
     */
    slant: string;
    /**
     * A named instance's location.
     */
    variations?: Coordinate[];
    /**
     * Detailed: the face's index in its file.
     */
    index?: number;
    /**
     * Detailed: the instance number (1-based), instances only.
     */
    namedInstance?: number;
    /**
     * Detailed.
     */
    fullName?: string;
    /**
     * Detailed: languages fontconfig says the face covers.
     */
    languages?: string[];
    /**
     * Detailed: "TrueType", "CFF", "Type 1", …
     */
    format?: string;
    /**
     * Detailed.
     */
    color?: boolean;
    /**
     * Detailed.
     */
    monospace?: boolean;
    /**
     * Detailed: bytes.
     */
    fileSize?: number;
    /**
     * Detailed: the OpenType layout features
     * of GSUB and GPOS, each tag once, sorted by tag; `name` only where the font names the
     * feature (stylistic sets, character variants).
     */
    features?: {
        tag: string;
        name?: string;
    }[];
};
export type Family = {
    family: string;
    localName: string;
    childList: Face[];
    isVariation?: boolean;
    variationRange?: Axis[];
};
export type Catalogue = {
    families: Family[];
    /**
     * The agent added the detail members.
     */
    detailed: boolean;
    /**
     * The document as received (compare it to spot a change).
     */
    text: string;
};
/**
 * What the event stream says on connect and on each change.
 */
export type CatalogueEvent = {
    validator: string;
    families: number;
    faces: number;
};
export type FaceBytes = {
    /**
     * A standalone font: a subset, one face, or the whole file.
     */
    bytes: ArrayBuffer;
    kind: "subset" | "face" | "whole";
    /**
     * The face's index in its file, when known.
     */
    index: number | null;
    /**
     * Faces in the file (1 unless it is a collection we saw).
     */
    faceCount: number;
};
export type LoadedFace = FaceBytes & {
    font: FontFace;
    coverage: Coverage | null;
};
/**
 * One family of a font menu and the face that stands for it.
 */
export type MenuFace = {
    /**
     * The family's index in the catalogue.
     */
    family: number;
    file: string;
    /**
     * The face's index in its file.
     */
    index: number;
    postScript: string;
    /**
     * "font/ttf" or "font/otf", with bytes.
     */
    type?: string;
    /**
     * A subset of the face for the menu's text; null with error.
     */
    bytes: ArrayBuffer | null;
    /**
     * Why there are no bytes (a format that cannot be subset, ...).
     */
    error?: string;
    /**
     * The bytes as a loaded FontFace, where FontFace exists.
     */
    font?: FontFace;
};
