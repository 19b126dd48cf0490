#!/usr/bin/python3
"""Generate the font fixtures used by the tests.

Usage: /usr/bin/python3 make_fixtures.py OUTDIR

Needs only the standard library and python3-fonttools (4.38). Output is
byte-identical from run to run: timestamps are fixed and nothing depends on
the clock or on dictionary order. tests/fonts/README.md describes every file.
"""

import io
import os
import shutil
import struct
import sys

from fontTools.fontBuilder import FontBuilder
from fontTools.ttLib.tables._c_m_a_p import CmapSubtable
from fontTools.pens.t2CharStringPen import T2CharStringPen
from fontTools.pens.ttGlyphPen import TTGlyphPen
from fontTools.ttLib import TTFont, newTable
from fontTools.ttLib.tables.DefaultTable import DefaultTable
from fontTools.ttLib.tables.TupleVariation import TupleVariation
from fontTools.ttLib.tables._f_v_a_r import Axis, NamedInstance
from fontTools.ttLib.tables._k_e_r_n import KernTable_format_0
from fontTools.ttLib.ttCollection import TTCollection

# Fixed so that head.created/modified, and thus the checksums, never change:
# 2024-01-01 00:00:00 UTC in seconds since 1904-01-01 (a literal, so neither
# the clock, the time zone nor the locale can change it).
TIMESTAMP = 3786912000

UPM = 1000
WIN = (3, 1, 0x409)
MAC = (1, 0, 0)

# Subdirectories this script owns; only these are wiped on regeneration so a
# caller's OUTDIR can hold other things (a fonts.conf, a cache) safely.
OWNED_DIRS = ("static", "widths", "noos2", "collection", "variable", "names",
              "bad", "extensions", "grouping", "hostile", "pinned", "tables",
              "details", "webface", "coverage", "copies")

LETTERS = [chr(c) for c in range(ord("A"), ord("Z") + 1)] + \
          [chr(c) for c in range(ord("a"), ord("z") + 1)]


def rect_glyph(x0, y0, x1, y1):
    pen = TTGlyphPen(None)
    pen.moveTo((x0, y0))
    pen.lineTo((x0, y1))
    pen.lineTo((x1, y1))
    pen.lineTo((x1, y0))
    pen.closePath()
    return pen.glyph()


def empty_glyph():
    return TTGlyphPen(None).glyph()


def advance_for(weight, width_class):
    # Heavier and wider instances get wider glyphs so renderings differ.
    return 600 + (weight - 400) // 5 + (width_class - 5) * 40


def win_names(family, subfamily, psname):
    """Ordinary Windows English name records; psname None omits name ID 6."""
    recs = [
        (1, family),
        (2, subfamily),
        (3, "1.000;FIXT;%s" % (psname or family.replace(" ", ""))),
        (4, "%s %s" % (family, subfamily)),
        (5, "Version 1.000"),
    ]
    if psname is not None:
        recs.append((6, psname))
    return [(WIN, nid, text) for nid, text in recs]


def build(family, subfamily, psname, weight=400, width_class=5, italic=False,
          bold=None, names=None, axes=None, instances=None, raw_name=None,
          os2=True, letters=LETTERS):
    """Build one TrueType font and return it as a freshly loaded TTFont.

    names: list of ((plat, enc, lang), nameID, text) added on top of the
      ordinary records (fontTools sorts them on compile).
    axes: list of (tag, min, default, max, axis name).
    instances: list of (subfamily name ID, {tag: value}); the caller adds the
      name records for those IDs through `names` or `raw_name`.
    raw_name: bytes of a complete name table, written as-is so that record
      order is exactly what the caller chose.
    letters: the characters mapped besides the space (capitals are 700
      units tall, the rest 500); glyph names follow the characters.
    """
    if bold is None:
        # Style-linking bits follow the subfamily name, not the weight.
        bold = subfamily.split()[0] == "Bold"
    adv = advance_for(weight, width_class)

    fb = FontBuilder(UPM, isTTF=True)
    fb.font.recalcTimestamp = False
    glyph_names = {c: c if c in LETTERS else "uni%04X" % ord(c) for c in letters}
    order = [".notdef", "space"] + [glyph_names[c] for c in letters]
    fb.setupGlyphOrder(order)
    fb.setupCharacterMap({0x20: "space", **{ord(c): glyph_names[c] for c in letters}})

    glyphs = {".notdef": rect_glyph(50, 0, 450, 700), "space": empty_glyph()}
    metrics = {".notdef": (500, 50), "space": (adv // 2, 0)}
    for c in letters:
        top = 700 if c.isupper() else 500
        glyphs[glyph_names[c]] = rect_glyph(50, 0, adv - 50, top)
        metrics[glyph_names[c]] = (adv, 50)
    fb.setupGlyf(glyphs)
    fb.setupHorizontalMetrics(metrics)
    fb.setupHorizontalHeader(ascent=800, descent=-200)

    fb.setupNameTable({"familyName": family, "styleName": subfamily},
                      mac=False)
    name = fb.font["name"]
    name.names = []
    for (plat, enc, lang), nid, text in win_names(family, subfamily, psname) + \
            list(names or []):
        name.setName(text, nid, plat, enc, lang)

    fs_selection = 0
    if italic:
        fs_selection |= 0x01
    if bold:
        fs_selection |= 0x20
    if not italic and not bold:
        fs_selection |= 0x40
    fb.setupOS2(usWeightClass=weight, usWidthClass=width_class,
                fsSelection=fs_selection, achVendID="FIXT",
                sTypoAscender=800, sTypoDescender=-200, usWinAscent=800,
                usWinDescent=200)
    fb.setupPost()
    mac_style = (0x01 if bold else 0) | (0x02 if italic else 0)
    fb.updateHead(created=TIMESTAMP, modified=TIMESTAMP, macStyle=mac_style)

    if axes is not None:
        fvar = newTable("fvar")
        fvar.axes = []
        # Axis names sit after the instance names (which start at 256).
        next_id = 256 + len(instances or [])
        for tag, lo, default, hi, label in axes:
            ax = Axis()
            ax.axisTag = tag
            ax.minValue, ax.defaultValue, ax.maxValue = lo, default, hi
            ax.axisNameID = next_id
            name.setName(label, next_id, *WIN)
            next_id += 1
            fvar.axes.append(ax)
        fvar.instances = []
        for strid, coords in instances or []:
            inst = NamedInstance()
            inst.subfamilyNameID = strid
            inst.coordinates = dict(coords)
            fvar.instances.append(inst)
        fb.font["fvar"] = fvar
        # Without gvar FreeType refuses the variation data.
        fb.setupGvar({})

    if raw_name is not None:
        tbl = DefaultTable("name")
        tbl.data = raw_name
        fb.font["name"] = tbl

    if not os2:
        del fb.font["OS/2"]

    buf = io.BytesIO()
    fb.save(buf)
    buf.seek(0)
    return TTFont(buf, recalcTimestamp=False)


def raw_name_table(records):
    """A format 0 name table with records kept in the given order.

    records: list of (platform, encoding, language, nameID, bytes).
    """
    header = struct.pack(">HHH", 0, len(records), 6 + 12 * len(records))
    entries = []
    storage = b""
    for plat, enc, lang, nid, data in records:
        entries.append(struct.pack(">HHHHHH", plat, enc, lang, nid, len(data),
                                   len(storage)))
        storage += data
    return header + b"".join(entries) + storage


def u16(text):
    return text.encode("utf_16_be")


def font_bytes(font):
    buf = io.BytesIO()
    font.save(buf)
    return buf.getvalue()


def save(font, path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    font.save(path)


def save_collection(fonts, path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    coll = TTCollection()
    coll.fonts = fonts
    coll.save(path)


def write_bytes(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_static(out):
    save(build("Example Sans", "Regular", "ExampleSans-Regular"),
         os.path.join(out, "static/ExampleSans-Regular.ttf"))
    save(build("Example Sans", "Bold", "ExampleSans-Bold", weight=700),
         os.path.join(out, "static/ExampleSans-Bold.ttf"))
    save(build("Example Sans", "Italic", "ExampleSans-Italic", italic=True),
         os.path.join(out, "static/ExampleSans-Italic.ttf"))
    save(build("Example Heavy", "Black", "ExampleHeavy-Black", weight=900),
         os.path.join(out, "static/ExampleHeavy.ttf"))
    for wc in range(1, 10):
        save(build("Example Width", "W%d" % wc, "ExampleWidth-W%d" % wc,
                   width_class=wc),
             os.path.join(out, "widths/ExampleWidth-W%d.ttf" % wc))
    save(build("Example NoOS2", "Regular", "ExampleNoOS2-Regular", os2=False),
         os.path.join(out, "noos2/ExampleNoOS2.ttf"))


def make_collections(out):
    save_collection([
        build("Example Trio", "Bold", "ExampleTrio-Bold", weight=700),
        build("Example Trio", "Regular", "ExampleTrio-Regular"),
        build("Example Trio", "Italic", "ExampleTrio-Italic", italic=True),
    ], os.path.join(out, "collection/ExampleTrio.ttc"))

    # Two faces sharing every table, then the second offset is pointed past
    # the end of the file: face 0 stays valid, face 1 cannot be opened.
    path = os.path.join(out, "collection/ExampleBrokenTail.ttc")
    face = build("Example Broken Tail", "Regular",
                 "ExampleBrokenTail-Regular")
    save_collection([face, build("Example Broken Tail", "Regular",
                                 "ExampleBrokenTail-Regular")], path)
    with open(path, "rb") as f:
        data = bytearray(f.read())
    assert data[:4] == b"ttcf" and struct.unpack(">L", data[8:12])[0] == 2
    struct.pack_into(">L", data, 16, len(data) + 4096)
    write_bytes(path, bytes(data))


def var_font(family, psname, axes, instances, weight=400, italic=False,
             names=None, raw_name=None):
    """instances: list of (style name, coords); name IDs 256.. in order."""
    inst = [(256 + i, coords) for i, (_, coords) in enumerate(instances)]
    inst_names = [(WIN, 256 + i, style)
                  for i, (style, _) in enumerate(instances)]
    return build(family, "Italic" if italic else "Regular", psname,
                 weight=weight, italic=italic, bold=False, axes=axes,
                 instances=inst, names=inst_names + list(names or []),
                 raw_name=raw_name)


WGHT = ("wght", 100, 400, 900, "Weight")


def make_variable(out):
    v = os.path.join(out, "variable")
    save(var_font("Example Var", "ExampleVar", [WGHT], [
        ("Thin", {"wght": 100}),
        ("Regular", {"wght": 400}),
        ("Semi Bold", {"wght": 600}),
        ("Bold", {"wght": 700}),
    ]), os.path.join(v, "ExampleVar.ttf"))

    save(var_font("Example Var Width", "ExampleVarWidth",
                  [WGHT, ("wdth", 75, 100, 100, "Width")], [
                      ("Regular", {"wght": 400, "wdth": 100}),
                      ("Condensed", {"wght": 400, "wdth": 75}),
                      ("Condensed Bold", {"wght": 700, "wdth": 75}),
                  ]), os.path.join(v, "ExampleVarWidth.ttf"))

    save(var_font("Example Slant", "ExampleSlant",
                  [("slnt", -12.5, 0, 0, "Slant"),
                   ("wdth", 50, 100, 100, "Width")], [
                      ("Regular", {"slnt": 0, "wdth": 100}),
                      ("Italic", {"slnt": -12.5, "wdth": 100}),
                      ("Semi Condensed", {"slnt": 0, "wdth": 87.5}),
                  ]), os.path.join(v, "ExampleSlant.ttf"))

    save(var_font("Example No Instances", "ExampleNoInstances", [WGHT], []),
         os.path.join(v, "ExampleNoInstances.ttf"))

    save(var_font("Example No PS Name", None, [WGHT], [
        ("Bold", {"wght": 700}),
    ]), os.path.join(v, "ExampleNoPSName.ttf"))

    save(var_font("Example Zero Default", "ExampleZeroDefault",
                  [("wght", 0, 0, 1000, "Weight")], [
                      ("Zero", {"wght": 0}),
                      ("Half", {"wght": 500}),
                  ]), os.path.join(v, "ExampleZeroDefault.ttf"))

    save(var_font("Example Var Italic", "ExampleVarItalic", [WGHT], [
        ("Italic", {"wght": 400}),
        ("Bold Italic", {"wght": 700}),
    ], italic=True), os.path.join(v, "ExampleVarItalic.ttf"))


def make_variable_deltas(out):
    """A wght font whose glyphs really change: the advance (and the right
    edge of every rectangle) follows advance_for(wght), so a renderer that
    applies the axis draws measurably wider text at higher weights."""
    font = var_font("Example Var Deltas", "ExampleVarDeltas", [WGHT], [
        ("Regular", {"wght": 400}),
        ("Bold", {"wght": 700}),
    ])
    # Peak deltas at the axis ends (normalised -1 at 100, +1 at 900); the
    # tents interpolate linearly in between, matching advance_for exactly.
    peaks = {-1.0: advance_for(100, 5) - 600, 1.0: advance_for(900, 5) - 600}
    glyf = font["glyf"]
    variations = {}
    for glyph_name in font.getGlyphOrder():
        if glyph_name == ".notdef":
            continue
        tuples = []
        for peak, delta in sorted(peaks.items()):
            # The four phantom points follow the outline's points; the
            # second one is the advance.
            if glyph_name == "space":
                deltas = [(0, 0), (delta // 2, 0), (0, 0), (0, 0)]
            else:
                # rect_glyph's points 2 and 3 form the right edge.
                assert len(glyf[glyph_name].coordinates) == 4
                deltas = [(0, 0), (0, 0), (delta, 0), (delta, 0)] + \
                    [(0, 0), (delta, 0), (0, 0), (0, 0)]
            region = (min(peak, 0.0), peak, max(peak, 0.0))
            tuples.append(TupleVariation({"wght": region}, deltas))
        variations[glyph_name] = tuples
    font["gvar"].variations = variations
    save(font, os.path.join(out, "variable/ExampleVarDeltas.ttf"))


# "Exémple Mac" in Mac OS Roman: é is 0x8E there.
MAC_EXEMPLE = b"Ex\x8Emple Mac"
# Latin-1 "Exemple Latin é".
LATIN1_EXEMPLE = b"Exemple Latin \xE9"
# "太字" (bold) in Shift-JIS, under a Windows ShiftJIS record that is refused.
SJIS_BOLD = "\u592a\u5b57".encode("shift_jis")


def make_names(out):
    n = os.path.join(out, "names")
    w = (3, 1, 0x409)

    save(build("Example Names", "Regular", "ExampleNames-Regular",
               raw_name=raw_name_table([
                   (1, 0, 0, 1, MAC_EXEMPLE),
                   (*w, 1, u16("Example Names Text")),
                   (*w, 2, u16("Regular")),
                   (*w, 6, u16("ExampleNames-Regular")),
                   (*w, 16, u16("Example Names")),
               ])), os.path.join(n, "ExampleNames.ttf"))

    save(build("Example Same", "Regular", "ExampleSame-Regular",
               raw_name=raw_name_table([
                   (1, 0, 0, 1, b"Example Same"),
                   (1, 0, 0, 2, b"Regular"),
                   (1, 0, 0, 16, b"Example Same"),
                   (*w, 1, u16("Example Same")),
                   (*w, 2, u16("Regular")),
                   (*w, 6, u16("ExampleSame-Regular")),
                   (*w, 16, u16("Example Same")),
               ])), os.path.join(n, "ExampleSameNames.ttf"))

    # FreeType reads a platform-2 record as UTF-16 when it picks it for
    # family_name, so a Windows ID 16 copy keeps the family name readable.
    save(build("Example Latin", "Regular", "ExampleLatin-Regular",
               raw_name=raw_name_table([
                   (2, 2, 0, 16, LATIN1_EXEMPLE),
                   (*w, 1, u16("Example Latin")),
                   (*w, 2, u16("Regular")),
                   (*w, 6, u16("ExampleLatin-Regular")),
                   (*w, 16, u16("Example Latin")),
               ])), os.path.join(n, "ExampleLatin1.ttf"))

    family = "Example Instance Names"
    save(build(family, "Regular", "ExampleInstanceNames",
               axes=[("wght", 100, 400, 900, "Weight")],
               instances=[(256, {"wght": 700}), (257, {"wght": 400})],
               bold=False,
               raw_name=raw_name_table([
                   (*w, 1, u16(family)),
                   (*w, 2, u16("Regular")),
                   (*w, 6, u16("ExampleInstanceNames")),
                   (3, 2, 0x411, 256, SJIS_BOLD),
                   (*w, 256, u16("Heavy Bold")),
                   (*w, 257, u16("Regular")),
                   (*w, 258, u16("Weight")),
               ])), os.path.join(n, "ExampleInstanceNames.ttf"))


def make_bad_and_extensions(out):
    write_bytes(os.path.join(out, "bad/NotAFont.ttf"),
                b"This is plain text, not a font.\n" * 2)
    write_bytes(os.path.join(out, "bad/Empty.ttf"), b"")

    e = os.path.join(out, "extensions")
    for rel, family in [
        ("ExampleUpper.PFB", "Example PFB"),
        ("ExampleT1.t1", "Example T1"),
        ("ExamplePcf.pcf.gz", "Example Gz"),
        ("ExamplePfa.pfa", "Example Pfa"),
        ("fonts.d/ExampleNoExt", "Example NoExt"),
    ]:
        ps = family.replace(" ", "") + "-Regular"
        save(build(family, "Regular", ps), os.path.join(e, rel))


def rebase(font, delta):
    """A single font's bytes with every table offset moved by `delta`, so that
    it can sit `delta` bytes into a collection."""
    data = bytearray(font)
    num_tables = struct.unpack(">H", data[4:6])[0]
    for i in range(num_tables):
        entry = 12 + 16 * i
        offset = struct.unpack(">L", data[entry + 8:entry + 12])[0]
        struct.pack_into(">L", data, entry + 8, offset + delta)
    return bytes(data)


def collection(count, claimed, font, pad=True):
    """A ttcf header claiming `claimed` faces with `count` offsets, all
    pointing at the one font stored after them.

    FreeType refuses a collection claiming more than one face per 32 bytes of
    file; `pad` appends zeros up to that size so that the claim is taken.
    """
    header_size = 12 + 4 * count
    header = struct.pack(">4sLL", b"ttcf", 0x00010000, claimed)
    header += struct.pack(">L", header_size) * count
    data = header + rebase(font, header_size)
    if pad and len(data) < 32 * claimed:
        data += bytes(32 * claimed - len(data))
    return data


def make_hostile(out):
    """Collections that claim or hold more faces than the catalogue describes."""
    h = os.path.join(out, "hostile")
    single = font_bytes(build("Example Claims", "Regular", "ExampleClaims-Regular"))
    # Four faces held, a million claimed; sparse, so that the 32 MiB it must span cost nothing.
    claims = collection(4, 1 << 20, single, pad=False)
    write_bytes(os.path.join(h, "ClaimsMillionFaces.ttc"), claims)
    with open(os.path.join(h, "ClaimsMillionFaces.ttc"), "r+b") as f:
        f.truncate(32 << 20)
    many = font_bytes(build("Example Many", "Regular", "ExampleMany-Regular"))
    write_bytes(os.path.join(h, "ManyFaces.ttc"), collection(2000, 2000, many))


def make_grouping(out):
    """Files that the catalogue merges into one family, or keeps apart."""
    g = os.path.join(out, "grouping")
    # Two files of one family: the first path's second name and (static) kind win.
    save(build("Example Merge", "Bold", "ExampleMergeA-Bold", weight=700,
               names=[(MAC, 1, "Merge Local A")]),
         os.path.join(g, "ExampleMerge-A.ttf"))
    save(var_font("Example Merge", "ExampleMergeB", [WGHT],
                  [("Black", {"wght": 900})],
                  names=[(MAC, 1, "Merge Local B")]),
         os.path.join(g, "ExampleMerge-B.ttf"))
    # Family names are compared byte for byte: a different case is another family.
    save(build("example merge", "Regular", "exampleMerge-Regular"),
         os.path.join(g, "ExampleMerge-lower.ttf"))


def make_pinned(out):
    """Fonts that pin one rule each: which family record is the local name, how many
    unopenable faces in a row end a collection."""
    p = os.path.join(out, "pinned")
    w = (3, 1, 0x409)
    # FreeType takes the WWS record (21) for the family; of the two others the local name
    # is the first in table order (16), not the lowest name ID (1).
    save(build("Name Order Wws", "Regular", "NameOrder-Regular",
               raw_name=raw_name_table([
                   (*w, 16, u16("Name Order Typo")),
                   (*w, 1, u16("Name Order Legacy")),
                   (*w, 21, u16("Name Order Wws")),
                   (*w, 2, u16("Regular")),
                   (*w, 6, u16("NameOrder-Regular")),
               ])), os.path.join(p, "NameOrder.ttf"))
    # A good face, `broken` faces whose offsets lie past the end of the file, a good face.
    single = font_bytes(build("Example Gap", "Regular", "ExampleGap-Regular"))
    for broken in (3, 4):
        count = broken + 2
        header_size = 12 + 4 * count
        data = rebase(single, header_size)
        past_end = header_size + len(data) + 4096
        offsets = [header_size] + [past_end] * broken + [header_size]
        header = struct.pack(">4sLL", b"ttcf", 0x00010000, count)
        header += b"".join(struct.pack(">L", o) for o in offsets)
        write_bytes(os.path.join(p, "Gap%d.ttc" % broken), header + data)
    # A WOFF file: listed by fontconfig, but no SFNT to cut or subset; served whole.
    woff = build("Example Woff", "Regular", "ExampleWoff-Regular")
    woff.flavor = "woff"
    save(woff, os.path.join(p, "ExampleWoff.woff"))


def make_details(out):
    """What the detailed catalogue reports beyond the plain one: hidden axes, monospace
    spacing, and coverage of a language without Latin letters."""
    d = os.path.join(out, "details")
    hidden = var_font("Example Hidden Axis", "ExampleHiddenAxis",
                      [WGHT, ("XOPQ", 10, 50, 100, "Thickness")],
                      [("Regular", {"wght": 400, "XOPQ": 50}),
                       ("Bold", {"wght": 700, "XOPQ": 50})])
    hidden["fvar"].axes[1].flags = 0x0001  # HIDDEN_AXIS
    save(hidden, os.path.join(d, "ExampleHiddenAxis.ttf"))

    mono = build("Example Mono", "Regular", "ExampleMono-Regular")
    for glyph in mono.getGlyphOrder():
        mono["hmtx"][glyph] = (600, 50)
    mono["post"].isFixedPitch = 1
    save(mono, os.path.join(d, "ExampleMono.ttf"))

    # Kana, CJK punctuation, full-width forms and every unified ideograph, all drawn with one
    # glyph: a format 13 subtable keeps that to a few groups.
    cjk = build("Example Cjk", "Regular", "ExampleCjk-Regular")
    many = CmapSubtable.newSubtable(13)
    many.platformID, many.platEncID, many.language = 3, 10, 0
    ranges = [(0x3000, 0x30FF), (0x4E00, 0x9FFF), (0xFF00, 0xFFEF)]
    many.cmap = {cp: "A" for lo, hi in ranges for cp in range(lo, hi + 1)}
    cjk["cmap"].tables.append(many)
    save(cjk, os.path.join(d, "ExampleCjk.ttf"))

    # Layout features as a picker lists them: a stylistic set and a character variant that name
    # themselves, a stylistic set that does not, and "liga" in GSUB and GPOS and under two
    # languages (three feature records, one feature).
    save(web_font("Example Features", "ExampleFeatures-Regular", cff=False,
                  features=DETAIL_FEATURES), os.path.join(d, "ExampleFeatures.ttf"))
    # The same with GSUB's directory entry cut to its 10-byte header: its feature list lies past
    # the table's end, where FreeType reads on if asked to.
    data = bytearray(font_bytes(web_font("Example Features Cut", "ExampleFeaturesCut-Regular",
                                         cff=False, features=DETAIL_FEATURES)))
    tables = struct.unpack(">H", data[4:6])[0]
    for entry in range(12, 12 + 16 * tables, 16):
        if data[entry:entry + 4] == b"GSUB":
            data[entry + 12:entry + 16] = struct.pack(">L", 10)
    write_bytes(os.path.join(d, "ExampleFeaturesCut.ttf"), bytes(data))


DETAIL_FEATURES = """
languagesystem DFLT dflt;
languagesystem latn dflt;
languagesystem latn TRK;
feature liga {
    sub f i by f_i;
    pos f_i 20;
    language TRK;
    sub a i by a.alt;
} liga;
feature ss01 { featureNames { name "Single-storey a"; }; sub a by a.alt; } ss01;
feature ss02 { sub e by eacute; } ss02;
feature cv01 { cvParameters { FeatUILabelNameID { name "Accented e"; }; }; sub e by eacute; } cv01;
feature kern { pos A V -80; } kern;
"""


def make_tables(out):
    """Reference decodings the transcoder's own tables are checked against."""
    write_bytes(os.path.join(out, "tables/mac_roman.txt"),
                bytes(range(0x80, 0x100)).decode("mac_roman").encode("utf-8"))
# Glyphs of the web-face fixtures: every glyph has an advance of its own, so a subset that
# maps a character to the wrong glyph or loses a metric shows in the advances. There is an
# "é" but no "Å": a shaper composes e + U+0301 into the one and draws the other as A + U+030A.
WEB_GLYPHS = [".notdef", "space"] + LETTERS + ["f_i", "a.alt", "eacute", "acutecomb",
                                               "ringcomb"]
WEB_CMAP = {0x20: "space", **{ord(c): c for c in LETTERS}, 0xE9: "eacute", 0x301: "acutecomb",
            0x30A: "ringcomb"}
WEB_FEATURES = """
languagesystem DFLT dflt;
languagesystem latn dflt;
feature liga { sub f i by f_i; } liga;
feature ss01 { sub a by a.alt; } ss01;
feature kern { pos A V -80; pos T o -60; } kern;
"""


def web_advance(glyph_name):
    return 300 + 7 * WEB_GLYPHS.index(glyph_name)


def web_outline(pen, glyph_name):
    """A box whose size depends on the glyph, so that outlines differ too."""
    if glyph_name == "space":
        return
    top = 500 + 3 * WEB_GLYPHS.index(glyph_name)
    pen.moveTo((40, 0))
    pen.lineTo((40, top))
    pen.lineTo((web_advance(glyph_name) - 40, top))
    pen.lineTo((web_advance(glyph_name) - 40, 0))
    pen.closePath()


def web_font(family, psname, cff, features=WEB_FEATURES):
    fb = FontBuilder(UPM, isTTF=not cff)
    fb.font.recalcTimestamp = False
    fb.setupGlyphOrder(WEB_GLYPHS)
    fb.setupCharacterMap(WEB_CMAP)
    metrics = {g: (web_advance(g), 40) for g in WEB_GLYPHS}
    if cff:
        charstrings = {}
        for g in WEB_GLYPHS:
            pen = T2CharStringPen(web_advance(g), None)
            web_outline(pen, g)
            charstrings[g] = pen.getCharString()
        fb.setupCFF(psname, {"FullName": family + " Regular"}, charstrings, {})
    else:
        glyphs = {}
        for g in WEB_GLYPHS:
            pen = TTGlyphPen(None)
            web_outline(pen, g)
            glyphs[g] = pen.glyph()
        fb.setupGlyf(glyphs)
    fb.setupHorizontalMetrics(metrics)
    fb.setupHorizontalHeader(ascent=800, descent=-200)
    fb.setupNameTable({"familyName": family, "styleName": "Regular", "psName": psname},
                      mac=False)
    fb.setupOS2(usWeightClass=400, fsSelection=0x40, achVendID="FIXT", sTypoAscender=800,
                sTypoDescender=-200, usWinAscent=800, usWinDescent=200)
    fb.setupPost()
    fb.updateHead(created=TIMESTAMP, modified=TIMESTAMP)
    if features:
        fb.addOpenTypeFeatures(features)
    return fb.font


def make_webface(out):
    """Fonts for cutting faces out of collections and subsetting them for a text."""
    w = os.path.join(out, "webface")
    save(web_font("Example Ligatures", "ExampleLigatures-Regular", cff=True),
         os.path.join(w, "ExampleLigatures.otf"))
    # Kerning only in the legacy kern table, as older fonts have it.
    font = web_font("Example Kern Table", "ExampleKernTable-Regular", cff=False,
                    features=None)
    kern = newTable("kern")
    kern.version = 0
    subtable = KernTable_format_0()
    subtable.version, subtable.coverage, subtable.format = 0, 1, 0
    subtable.kernTable = {("A", "V"): -80, ("T", "o"): -60}
    kern.kernTables = [subtable]
    font["kern"] = kern
    save(font, os.path.join(w, "ExampleKernTable.ttf"))
    # Colour glyphs in an SVG table, which hb-subset cannot carry into a subset.
    font = web_font("Example Svg", "ExampleSvg-Regular", cff=False, features=None)
    svg = newTable("SVG ")
    gid = WEB_GLYPHS.index("A")
    svg.docList = [('<svg xmlns="http://www.w3.org/2000/svg"><rect id="glyph%d" '
                    'width="500" height="500" fill="red"/></svg>' % gid, gid, gid)]
    font["SVG "] = svg
    save(font, os.path.join(w, "ExampleSvg.ttf"))
    # A TrueType face with layout tables, then two plain faces that share most tables. The
    # layout face comes first: ots-sanitize 8.2 checks a whole collection's GSUB against the
    # glyph count of the face before it.
    save_collection([
        web_font("Example Web Trio Layout", "ExampleWebTrioLayout-Regular", cff=False),
        build("Example Web Trio", "Regular", "ExampleWebTrio-Regular"),
        build("Example Web Trio", "Bold", "ExampleWebTrio-Bold", weight=700),
    ], os.path.join(w, "ExampleWebTrio.ttc"))
# Greek and Coptic from the tonos to omega with tonos: everything fontconfig's
# "el" orthography asks for, and no Latin letter at all.
GREEK = [chr(c) for c in range(0x0384, 0x03CF) if c not in (0x0387, 0x038B, 0x038D, 0x03A2)]


def make_coverage(out):
    """A face that cannot draw an English sample: its map holds only Greek. Its bold maps
    Latin letters too, so that a text of both keeps one face of the family."""
    save(build("Example Greek", "Regular", "ExampleGreek-Regular", letters=GREEK),
         os.path.join(out, "coverage/ExampleGreek.ttf"))
    save(build("Example Greek", "Bold", "ExampleGreek-Bold", weight=700,
               letters=GREEK + LETTERS),
         os.path.join(out, "coverage/ExampleGreek-Bold.ttf"))


def make_copies(out):
    """One face installed twice: the same PostScript name in two files (the second a later
    version, a few bytes longer), which a font picker shows once."""
    c = os.path.join(out, "copies")
    save(build("Example Copies", "Regular", "ExampleCopies-Regular"),
         os.path.join(c, "ExampleCopies.ttf"))
    save(build("Example Copies", "Regular", "ExampleCopies-Regular",
               names=[(WIN, 5, "Version 1.001 (copy)")]),
         os.path.join(c, "newer/ExampleCopies.ttf"))


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_fixtures.py OUTDIR\n")
        return 2
    out = argv[1]
    os.makedirs(out, exist_ok=True)
    for d in OWNED_DIRS:
        shutil.rmtree(os.path.join(out, d), ignore_errors=True)
    make_static(out)
    make_collections(out)
    make_variable(out)
    make_variable_deltas(out)
    make_names(out)
    make_bad_and_extensions(out)
    make_grouping(out)
    make_hostile(out)
    make_pinned(out)
    make_tables(out)
    make_details(out)
    make_webface(out)
    make_coverage(out)
    make_copies(out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
