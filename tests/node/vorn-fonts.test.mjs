// web/vorn-fonts.js against the real agent, started on a free loopback port under a private
// fontconfig holding a few fixture fonts. Run by tests/node/run.sh (VORN_AGENT, VORN_FIXTURES).
//
// Assertions on what newer agents add (catalogue details, faces cut out, subsets, the event
// stream) run when the agent answers with them and are skipped, saying so, when it does not;
// the fallbacks the module takes then are checked instead.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import {after, before, describe, test} from 'node:test';

import {silentAddress, startAgent} from './agent.mjs';
import {AgentError, Coverage, VornFontAgent, axisTag, cssString, cssStyle, instanceSettings,
        parseCatalogueEvent, readCoverage, sfntKind, standingFace} from '../../web/vorn-fonts.js';

const FIXTURES = {
  'static/ExampleSans-Regular.ttf': 'ExampleSans-Regular.ttf',
  'collection/ExampleTrio.ttc': 'ExampleTrio.ttc',
  'collection/ExampleBrokenTail.ttc': 'ExampleBrokenTail.ttc',
  'variable/ExampleSlant.ttf': 'ExampleSlant.ttf',
  'coverage/ExampleGreek.ttf': 'ExampleGreek.ttf',
  // A path that only survives exact percent-encoding: a space, a plus and a non-ASCII letter.
  'static/ExampleHeavy.ttf': 'odd dir/Heavy +é.ttf',
};

let running;
let agent;
let families;

before(async () => {
  running = await startAgent(process.env.VORN_AGENT, process.env.VORN_FIXTURES, FIXTURES);
  agent = new VornFontAgent(`127.0.0.1:${running.port}`);
  ({families} = await agent.catalogue());
});

after(async () => {
  await running?.stop();
});

const face = (postScript) => families.flatMap((f) => f.childList)
  .find((f) => f.postScript === postScript);
const fontPath = (name) => running.fontPath(name);
const utf16 = (text) => Buffer.from(text, 'utf16le').swap16();

describe('catalogue', () => {
  test('lists the fixtures and says whether details came', async () => {
    const again = await agent.catalogue({details: false});
    assert.deepEqual(families.map((f) => f.family).sort(), again.families.map((f) => f.family)
      .sort());
    assert.ok(face('ExampleTrio-Italic') && face('ExampleGreek-Regular'));
    assert.equal(again.detailed, false);
    assert.equal(agent.supports.details, Number.isInteger(face('ExampleSans-Regular').index));
  });

  test('details: index, languages and file size', (t) => {
    if (!agent.supports.details) {
      return t.skip('agent sends no catalogue details: ?details=1 must add "index", ' +
                    '"languages" and "fileSize" to every face');
    }
    // ExampleTrio.ttc holds Bold, Regular, Italic in that order.
    assert.deepEqual(['Bold', 'Regular', 'Italic'].map((s) => face('ExampleTrio-' + s).index),
                     [0, 1, 2]);
    assert.ok(face('ExampleGreek-Regular').languages.includes('el'));
    assert.ok(!face('ExampleGreek-Regular').languages.includes('en'));
    assert.ok(!face('ExampleSans-Regular').languages.includes('el'));
    assert.equal(face('ExampleTrio-Bold').fileSize, fs.statSync(fontPath('ExampleTrio.ttc')).size);
  });

  test('covers: only the faces that map every character of the text', async (t) => {
    const direct = await (await fetch(agent.base + '?covers=%CE%A9')).json();
    if (direct.length === families.length) {
      return t.skip('agent ignores covers=: ?covers=%CE%A9 must list only the Greek face');
    }
    const greek = await agent.catalogue({covers: 'Ω'});
    assert.deepEqual(greek.families.map((f) => f.family), ['Example Greek']);
    assert.equal(greek.detailed, agent.supports.details);
    assert.deepEqual((await agent.catalogue({details: false, covers: 'ΩA'})).families, []);
  });

  test('a busy agent (503 with Retry-After) is asked again; a lasting 503 is an error', async () => {
    const replies = [503, 503, 200];
    const asked = [];
    const busy = new VornFontAgent('http://127.0.0.1:1/', {fetch: async (url) => {
      asked.push(url);
      const status = replies.shift() ?? 503;
      return new Response(status === 200 ? '[]' : null,
                          {status, headers: status === 503 ? {'Retry-After': '0'} : {}});
    }});
    assert.deepEqual((await busy.catalogue({details: false})).families, []);
    assert.equal(asked.length, 3);
    await assert.rejects(busy.catalogue({details: false}),
                         (err) => err instanceof AgentError && err.status === 503);
  });

  test('an agent that is not running is "unreachable", not a crash', async () => {
    const gone = new VornFontAgent(await silentAddress());
    await assert.rejects(gone.catalogue(), (err) => err instanceof AgentError &&
                         err.kind === 'unreachable');
  });
});

describe('URLs', () => {
  test('a path with a space, a plus and an accent reaches the file', async () => {
    const heavy = face('ExampleHeavy-Black');
    const reply = await fetch(agent.fileUrl(heavy.file));
    assert.equal(reply.status, 200);
    assert.deepEqual(Buffer.from(await reply.arrayBuffer()),
                     fs.readFileSync(fontPath('odd dir/Heavy +é.ttf')));
  });

  test('subset texts are bounded in characters, not UTF-16 units', () => {
    const sans = face('ExampleSans-Regular');
    assert.equal(agent.subsetUrl(sans, ''), null);
    assert.ok(agent.subsetUrl(sans, '😀'.repeat(1024)));
    assert.equal(agent.subsetUrl(sans, '😀'.repeat(1025)), null);
    assert.ok(agent.subsetUrl(sans, 'a&b=c').endsWith('&text=a%26b%3Dc'));
    assert.ok(!agent.faceUrl({...sans, index: 0}).includes('face='));
    assert.ok(agent.faceUrl({...sans, index: 2}).endsWith('&face=2'));
  });
});

describe('faces', () => {
  test('a face of a collection comes standalone, cut by the agent or here', async () => {
    for (const [style, index] of [['Regular', 1], ['Italic', 2], ['Bold', 0]]) {
      const got = await agent.faceBytes(face('ExampleTrio-' + style));
      assert.equal(sfntKind(got.bytes), 'font', style);
      assert.equal(got.index, index);
      const bytes = Buffer.from(got.bytes);
      assert.ok(bytes.includes(utf16('ExampleTrio-' + style)), style);
      for (const other of ['Regular', 'Italic', 'Bold'].filter((s) => s !== style)) {
        assert.ok(!bytes.includes(utf16('ExampleTrio-' + other)), style + ' holds ' + other);
      }
    }
    const first = await agent.faceBytes(face('ExampleBrokenTail-Regular'));
    assert.equal(readCoverage(first.bytes).has(0x41), true);
  });

  test('a subset maps the text asked for', async (t) => {
    const sans = face('ExampleSans-Regular');
    const got = await agent.faceBytes(sans, {text: 'Ab'});
    const coverage = readCoverage(got.bytes);
    assert.deepEqual(coverage.missing('Ab'), []);
    if (got.kind !== 'subset') {
      assert.equal(got.kind, 'whole');
      assert.equal(agent.supports.subsets, false);
      return t.skip('agent makes no subsets: ?file=PATH&text=Ab must answer 200 with ' +
                    'Content-Type font/ttf and a font mapping just the text');
    }
    assert.equal(coverage.has('Z'.codePointAt(0)), false);
    assert.ok(got.bytes.byteLength < fs.statSync(fontPath('ExampleSans-Regular.ttf')).size);
  });

  test('too long a text asks for the face instead of a refused subset', async () => {
    const got = await agent.faceBytes(face('ExampleTrio-Italic'), {text: 'x'.repeat(2000)});
    assert.notEqual(got.kind, 'subset');
    assert.equal(got.index, 2);
  });

  test('refusals: an unlisted file, and a file over the size budget', async () => {
    await assert.rejects(agent.faceBytes({...face('ExampleSans-Regular'), file: '/etc/passwd'}),
                         (err) => err.kind === 'status' && err.status === 404);
    await assert.rejects(agent.faceBytes(face('ExampleSlant-Italic'), {maxBytes: 100}),
                         (err) => err.kind === 'too-large');
  });

  test('loadFace builds the FontFace from the bytes and reports what they map', async () => {
    const made = [];
    class StubFontFace {
      constructor(family, bytes, descriptors) {
        made.push({family, bytes, descriptors});
        this.family = family;
      }
      load() {
        return made.at(-1).family === 'bad' ? Promise.reject(new Error('OTS')) :
                                              Promise.resolve(this);
      }
    }
    const greek = face('ExampleGreek-Regular');
    const loaded = await agent.loadFace(greek, {FontFace: StubFontFace, family: 'g',
                                                descriptors: {weight: '1 1000'}});
    assert.equal(made[0].bytes, loaded.bytes);
    assert.deepEqual(made[0].descriptors, {weight: '1 1000'});
    assert.equal(loaded.coverage.has(0x03b1), true);
    assert.deepEqual(loaded.coverage.missing('Θέλει A'), ['A']);
    await assert.rejects(agent.loadFace(greek, {FontFace: StubFontFace, family: 'bad'}),
                         (err) => err.kind === 'font' && /OTS/.test(err.message));
  });
});

describe('menu', () => {
  const collect = async (iterator) => {
    const entries = [];
    for await (const entry of iterator) entries.push(entry);
    return entries;
  };

  test('one face per family in the catalogue\'s order, the same bytes as the file route',
       async () => {
    const entries = await collect(agent.menu({text: 'Ab', FontFace: null}));
    assert.equal(agent.supports.menu, true);
    assert.equal(agent.supports.subsets, true);
    assert.deepEqual(entries.map((e) => e.family), families.map((f, i) => i));
    for (const entry of entries) {
      const face = standingFace(families[entry.family]);
      assert.equal(entry.postScript, face.postScript);
      const reply = await fetch(agent.subsetUrl(face, 'Ab'));
      assert.deepEqual(Buffer.from(entry.bytes), Buffer.from(await reply.arrayBuffer()));
    }
    const window = await collect(agent.menu({from: 1, count: 2, FontFace: null}));
    assert.deepEqual(window.map((e) => e.family), [1, 2]);
    const picked = await collect(agent.menu({indices: [2, 0], text: 'Ab', FontFace: null}));
    assert.deepEqual(picked.map((e) => e.family), [2, 0]);
    assert.deepEqual(Buffer.from(picked[1].bytes), Buffer.from(entries[0].bytes));
    // Without a text, each family's own name.
    const named = await fetch(agent.subsetUrl(standingFace(families[1]), families[1].family));
    assert.deepEqual(Buffer.from(window[0].bytes), Buffer.from(await named.arrayBuffer()));
  });

  test('an agent without the menu is asked for each face instead', async () => {
    // What an older agent does with the parameter: it answers with its catalogue.
    const older = new VornFontAgent(agent.base, {fetch: (url, init) =>
      fetch(url.replace('?menu=1', '?'), init)});
    const entries = await collect(older.menu({families, count: 2, text: 'Ab', FontFace: null}));
    assert.equal(older.supports.menu, false);
    const direct = await collect(agent.menu({count: 2, text: 'Ab', FontFace: null}));
    assert.deepEqual(entries.map((e) => Buffer.from(e.bytes)),
                     direct.map((e) => Buffer.from(e.bytes)));
    const picked = await collect(older.menu({families, indices: [1, families.length, 0],
                                             text: 'Ab', FontFace: null}));
    assert.deepEqual(picked.map((e) => e.family), [1, 0]);
  });
});

describe('coverage', () => {
  test('reads the map and leaves non-SFNT data alone', () => {
    // A small file's Buffer may be a view into Node's shared pool: copy out its own bytes.
    const greek = fs.readFileSync(fontPath('ExampleGreek.ttf'));
    const coverage = readCoverage(greek.buffer.slice(greek.byteOffset,
                                                     greek.byteOffset + greek.length));
    assert.equal(coverage.has(0x0387), false);  // the one gap inside the range
    assert.equal(coverage.has(0x03ce), true);
    assert.equal(readCoverage(new TextEncoder().encode('wOFF and more bytes').buffer), null);
    assert.equal(new Coverage([[65, 90]]).sample(3), 'ABC');
  });
});

describe('axes and CSS', () => {
  test('an instance keeps every axis it has', () => {
    const italic = face('ExampleSlant-Italic');
    assert.equal(instanceSettings(italic), '"slnt" -13, "wdth" 100');
    assert.equal(cssStyle(italic), 'oblique 13deg');
    assert.equal(instanceSettings(face('ExampleSans-Regular')), 'normal');
    assert.equal(axisTag(0x61222062), null);  // a quote would end the CSS string
  });

  test('the @font-face rule points at the face and escapes the family name', () => {
    const slant = families.find((f) => f.family === 'Example Slant');
    const rule = agent.fontFaceRule(face('ExampleSlant-Regular'), 'A "q" \\ b\nc',
                                    {axes: slant.variationRange, index: 3});
    assert.ok(rule.includes('font-family: "A \\"q\\" \\\\ b\\a c";'));
    assert.ok(rule.includes(`src: url("${agent.fileUrl(face('ExampleSlant-Regular').file)}` +
                            '&face=3");'));
    assert.ok(rule.includes('font-stretch: 50% 100%;'));
    assert.ok(rule.includes('font-style: oblique 0deg 13deg;'));
    assert.equal(cssString('x"'), '"x\\""');
  });
});

describe('event stream', () => {
  test('events are parsed whatever the member names', () => {
    assert.deepEqual(parseCatalogueEvent('{"etag":"\\"a\\"","families":2,"faces":5}'),
                     {validator: '"a"', families: 2, faces: 5});
    assert.deepEqual(parseCatalogueEvent('{"validator":7,"familyCount":1,"faceCount":3}'),
                     {validator: '7', families: 1, faces: 3});
    assert.equal(parseCatalogueEvent('[1]'), null);
    assert.equal(parseCatalogueEvent('not json'), null);
  });

  test('subscribe: events reach the callback; a refused stream says unsupported', () => {
    const sources = [];
    class StubSource {
      static CLOSED = 2;
      constructor(url) {
        this.url = url;
        this.readyState = 0;
        this.listeners = {};
        sources.push(this);
      }
      addEventListener(type, listener) {
        this.listeners[type] = listener;
      }
      emit(type, data) {
        this.listeners[type]?.({data});
      }
      close() {
        this.closed = true;
      }
    }
    const got = [];
    const states = [];
    const sub = agent.subscribe((e) => got.push(e), {EventSource: StubSource,
                                                     onState: (s) => states.push(s)});
    const [source] = sources;
    assert.equal(source.url, agent.base + '?events=1');
    source.emit('open');
    source.emit('catalogue', '{"validator":"v","families":1,"faces":2}');
    source.emit('catalogue', 'garbage');
    source.emit('error');
    assert.deepEqual(got, [{validator: 'v', families: 1, faces: 2}]);
    sub.close();
    assert.equal(source.closed, true);

    const older = new VornFontAgent(agent.base);
    older.subscribe(() => {}, {EventSource: StubSource, onState: (s) => states.push(s)});
    sources[1].readyState = 2;
    sources[1].emit('error');
    assert.deepEqual(states, ['open', 'reconnecting', 'unsupported']);
    assert.equal(older.supports.events, false);
  });

  test('the agent\'s stream opens with the catalogue counts', async (t) => {
    const abort = new AbortController();
    const reply = await fetch(agent.eventsUrl(), {signal: abort.signal});
    if (!/^text\/event-stream/.test(reply.headers.get('content-type') || '')) {
      abort.abort();
      return t.skip('agent has no event stream: ?events=1 must answer text/event-stream ' +
                    'and send "event: catalogue" with {validator, families, faces} on connect');
    }
    let text = '';
    const reader = reply.body.getReader();
    const timer = setTimeout(() => abort.abort(), 5000);
    try {
      while (!/event: ?catalogue\r?\ndata:[^\n]*\r?\n\r?\n/.test(text) && text.length < 65536) {
        const {value, done} = await reader.read();
        if (done) break;
        text += new TextDecoder().decode(value);
      }
    } finally {
      clearTimeout(timer);
      abort.abort();
    }
    const data = /event: ?catalogue\r?\ndata: ?([^\r\n]*)/.exec(text)?.[1];
    assert.ok(data, 'no catalogue event in: ' + text.slice(0, 200));
    const event = parseCatalogueEvent(data);
    assert.equal(event.families, families.length);
    assert.equal(event.faces, families.reduce((n, f) => n + f.childList.length, 0));
    assert.notEqual(event.validator, '');
  });
});
