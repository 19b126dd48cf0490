// Sample texts per language, and the choice of a sample a face can really draw. Languages are
// fontconfig's tags (the detailed catalogue's "languages"); where a face's languages are not
// known, its character map decides.

// In order of preference after the reader's own languages. Texts are pangrams or the first
// words of the Universal Declaration of Human Rights.
export const SAMPLES = [
  ['en', 'The quick brown fox jumps over the lazy dog'],
  ['de', 'Zwölf Boxkämpfer jagen Viktor quer über den großen Sylter Deich'],
  ['fr', 'Portez ce vieux whisky au juge blond qui fume'],
  ['es', 'El veloz murciélago hindú comía feliz cardillo y kiwi'],
  ['pl', 'Pchnąć w tę łódź jeża lub ośm skrzyń fig'],
  ['cs', 'Příliš žluťoučký kůň úpěl ďábelské ódy'],
  ['tr', 'Pijamalı hasta yağız şoföre çabucak güvendi'],
  ['vi', 'Tôi có thể ăn thủy tinh mà không hại gì'],
  ['ru', 'Съешь же ещё этих мягких французских булок, да выпей чаю'],
  ['uk', 'Чуєш їх, доцю, га? Кумедна ж ти, прощайся без ґольфів!'],
  ['el', 'Θέλει αρετή και τόλμη η ελευθερία'],
  ['hy', 'Բոլոր մարդիկ ծնվում են ազատ ու հավասար'],
  ['ka', 'ყველა ადამიანი იბადება თავისუფალი და თანასწორი'],
  ['he', 'דג סקרן שט בים מאוכזב ולפתע מצא חברה'],
  ['ar', 'نص حكيم له سر قاطع وذو شأن عظيم مكتوب على ثوب أخضر'],
  ['fa', 'همه افراد بشر آزاد به دنیا می‌آیند'],
  ['hi', 'सभी मनुष्यों को गौरव और अधिकारों के मामले में जन्मजात स्वतन्त्रता प्राप्त है'],
  ['bn', 'সমস্ত মানুষ স্বাধীনভাবে সমান মর্যাদা এবং অধিকার নিয়ে জন্মগ্রহণ করে'],
  ['ta', 'மனிதப் பிறவியினர் சகலரும் சுதந்திரமாகவே பிறக்கின்றனர்'],
  ['ml', 'മനുഷ്യരെല്ലാവരും തുല്യാവകാശങ്ങളോടും അന്തസ്സോടും'],
  ['th', 'เป็นมนุษย์สุดประเสริฐเลิศคุณค่า'],
  ['am', 'ሰው ሁሉ ሲወለድ ነጻና በክብርና በመብትም እኩልነት ያለው ነው'],
  ['ja', 'いろはにほへと ちりぬるを わかよたれそ つねならむ'],
  ['ko', '다람쥐 헌 쳇바퀴에 타고파'],
  ['zh-cn', '天地玄黄，宇宙洪荒。日月盈昃，辰宿列张。'],
  ['zh-tw', '天地玄黃，宇宙洪荒。日月盈昃，辰宿列張。'],
];
const TEXT = new Map(SAMPLES);

// fontconfig tags whose sample is another tag's.
const ALIAS = {'zh-hk': 'zh-tw', 'zh-mo': 'zh-tw', 'zh-sg': 'zh-cn'};

// A couple of letters of every sample: one small subset request tells which scripts a face has
// when the catalogue does not say.
export const PROBE_TEXT = SAMPLES.map(([, text]) => probeOf(text)).join('');

// The browser's names of languages and scripts, each table made when first asked for: making
// one loads the browser's name data, which would add 20 to 50 ms to the page's start, and the
// first screen seldom needs a name.
const displayNames = new Map();

function displayName(type, tag) {
  if (!displayNames.has(type)) {
    displayNames.set(type, typeof Intl.DisplayNames === 'function' ?
      new Intl.DisplayNames(['en'], {type}) : null);
  }
  try {
    return displayNames.get(type)?.of(tag) || tag;
  } catch {
    return tag;  // fontconfig has tags Intl does not accept
  }
}

/** "Greek" for "el"; the tag itself when the browser has no name for it. */
export function languageName(tag) {
  return displayName('language', tag);
}

/** "Cyrillic" for "Cyrl"; the tag itself when the browser has no name for it. */
export function scriptName(tag) {
  return displayName('script', tag);
}

/** The reader's languages that have a sample, then English. */
export function preferredLanguages(list = globalThis.navigator?.languages || []) {
  const tags = list.map((t) => t.toLowerCase()).flatMap((t) => [t, t.split('-')[0]]);
  return [...new Set([...tags, 'en'])].filter((t) => TEXT.has(t));
}

/** The sample languages a face covers by the catalogue, most preferred first; null when the
 * catalogue does not say. */
export function sampleLanguages(face, preferred = preferredLanguages()) {
  if (!Array.isArray(face?.languages)) return null;
  const covered = new Set(face.languages.map((t) => ALIAS[t] || t));
  const order = [...preferred, ...SAMPLES.map(([tag]) => tag)];
  return [...new Set(order)].filter((tag) => covered.has(tag));
}

/**
 * The sample to draw a face with: `wanted` ({text, lang}, lang '' for the reader's own text)
 * when the face covers it, else a sample in a language it covers, else characters from its
 * own map. `coverage` is the whole face's character map when known; without it the
 * catalogue's languages decide, and the caller checks what the bytes map once it has them.
 * @returns {{text: string, lang: string, note: string, drawable: boolean}}
 */
export function chooseSample(face, wanted, coverage = null) {
  const langs = sampleLanguages(face);
  if (coverage ? coverage.missing(wanted.text).length === 0 :
      !langs || !wanted.lang || langs.includes(wanted.lang) || langs.length === 0) {
    return {...wanted, note: '', drawable: true};
  }
  const order = [...new Set([...(langs || []), ...(coverage ? SAMPLES.map(([t]) => t) : [])])];
  const lang = order.find((tag) => !coverage || coverage.missing(TEXT.get(tag)).length === 0);
  if (lang) return instead(lang, wanted);
  const own = coverage.sample();
  if (own) return {text: own, lang: '', drawable: true,
                   note: 'No sample language fits this face: characters from its own map.'};
  return {...wanted, drawable: false, note: 'This face maps no characters: it cannot be drawn.'};
}

/** The sample for a face whose subset of PROBE_TEXT mapped `probe`: the first language, by the
 * catalogue's order or the table's, whose probe letters are all there; null when none is. */
export function chooseByProbe(face, wanted, probe) {
  const order = [...new Set([...(sampleLanguages(face) || []), ...SAMPLES.map(([t]) => t)])];
  const lang = order.find((tag) => probe.missing(probeOf(TEXT.get(tag))).length === 0);
  return lang ? instead(lang, wanted) : null;
}

function probeOf(text) {
  return [...text.replace(/\s/g, '')].slice(0, 2).join('');
}

function instead(lang, wanted) {
  return {text: TEXT.get(lang), lang, drawable: true,
          note: 'Sample in ' + languageName(lang) + ': the face does not cover ' +
                (wanted.lang ? languageName(wanted.lang) : 'the sample text') + '.'};
}

/** The sample for a language tag (fontconfig's or an alias). */
export function sampleText(lang) {
  return TEXT.get(ALIAS[lang] || lang) || '';
}

/** The first words of a sample, short enough for a list row. */
export function snippet(text, max = 18) {
  const chars = [...text];
  if (chars.length <= max) return text;
  const cut = chars.slice(0, max).join('');
  const space = cut.lastIndexOf(' ');
  return space > max / 2 ? cut.slice(0, space) : cut;
}
