#!/usr/bin/python3
"""Write corrupt, truncated and absurd font files for timing face description.

Usage: /usr/bin/python3 fuzz/make_hostile.py OUTDIR

Builds on tests/fonts/make_fixtures.py (python3-fonttools). Every file is a
font a user could be handed; fuzz/hostile.sh times createTypeface on each.
Rerunning rewrites OUTDIR/hostile and nothing else.
"""

import os
import shutil
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "tests", "fonts"))
import make_fixtures as fx  # noqa: E402

WIN = fx.WIN


def static_bytes(family="Hostile Static", psname="HostileStatic-Regular"):
    return fx.font_bytes(fx.build(family, "Regular", psname))


def big_tables(n_glyphs=3000):
    """A static font whose cmap, loca and hmtx are each over 16 KiB (every
    glyph mapped to its own code point, with gaps so that each one makes a
    cmap segment of its own), so that FreeType reads large tables whole."""
    from fontTools.fontBuilder import FontBuilder
    from fontTools.pens.ttGlyphPen import TTGlyphPen
    fb = FontBuilder(1000, isTTF=True)
    fb.font.recalcTimestamp = False
    order = [".notdef"] + ["g%d" % i for i in range(n_glyphs)]
    fb.setupGlyphOrder(order)
    fb.setupCharacterMap({0x4E00 + 2 * i: "g%d" % i for i in range(n_glyphs)})
    fb.setupGlyf({g: TTGlyphPen(None).glyph() for g in order})
    fb.setupHorizontalMetrics({g: (500, 0) for g in order})
    fb.setupHorizontalHeader(ascent=800, descent=-200)
    fb.setupNameTable({"familyName": "Hostile Big", "styleName": "Regular"},
                      mac=False)
    fb.setupOS2(usWeightClass=400, usWidthClass=5, fsSelection=0x40)
    fb.setupPost()
    fb.updateHead(created=fx.TIMESTAMP, modified=fx.TIMESTAMP)
    fb.font["head"].indexToLocFormat = 1
    return fx.font_bytes(fb.font)


def bdf(family):
    """A one-glyph BDF bitmap font; FreeType takes its family name from the
    FAMILY_NAME property byte for byte, whatever the encoding."""
    rows = b"".join(b"%02X\n" % (0xFF >> (i % 8)) for i in range(8))
    return (b"STARTFONT 2.1\n"
            b"FONT -misc-hostile-medium-r-normal--8-80-75-75-c-80-iso8859-1\n"
            b"SIZE 8 75 75\nFONTBOUNDINGBOX 8 8 0 0\n"
            b"STARTPROPERTIES 4\nFAMILY_NAME \"" + family + b"\"\n"
            b"WEIGHT_NAME \"Medium\"\nFONT_ASCENT 8\nFONT_DESCENT 0\n"
            b"ENDPROPERTIES\nCHARS 1\nSTARTCHAR A\nENCODING 65\n"
            b"SWIDTH 500 0\nDWIDTH 8 0\nBBX 8 8 0 0\nBITMAP\n" + rows +
            b"ENDCHAR\nENDFONT\n")


def cff_font():
    """An OpenType font with CFF outlines, and its bare CFF table, which
    FreeType also opens as a font of its own."""
    from fontTools.fontBuilder import FontBuilder
    from fontTools.pens.t2CharStringPen import T2CharStringPen
    fb = FontBuilder(1000, isTTF=False)
    fb.font.recalcTimestamp = False
    order = [".notdef", "A"]
    fb.setupGlyphOrder(order)
    fb.setupCharacterMap({0x41: "A"})
    charstrings = {}
    for name in order:
        pen = T2CharStringPen(600, None)
        pen.moveTo((50, 0))
        pen.lineTo((50, 700))
        pen.lineTo((550, 700))
        pen.lineTo((550, 0))
        pen.closePath()
        charstrings[name] = pen.getCharString()
    fb.setupCFF("HostileCFF-Regular", {"FullName": "Hostile CFF Regular"},
                charstrings, {})
    fb.setupHorizontalMetrics({name: (600, 50) for name in order})
    fb.setupHorizontalHeader(ascent=800, descent=-200)
    fb.setupNameTable({"familyName": "Hostile CFF", "styleName": "Regular"},
                      mac=False)
    fb.setupOS2(usWeightClass=400, usWidthClass=5, fsSelection=0x40)
    fb.setupPost()
    fb.updateHead(created=fx.TIMESTAMP, modified=fx.TIMESTAMP)
    otf = fx.font_bytes(fb.font)
    return otf, fb.font.getTableData("CFF ")


def variable(n_instances, n_axes=1, instance_names="own", decoys=0,
             long_decoys=False, family="Hostile Var"):
    """A variable font with n_instances named instances over n_axes axes.

    instance_names: "own" gives every instance a name record of its own (IDs
    256..), "shared" points them all at ID 256, "absent" at an ID no record
    has. `decoys` adds that many extra name records that no lookup accepts;
    with `long_decoys` they all share one 64 KiB string.
    """
    axes = [("wght", 100, 400, 900, "Weight")]
    for i in range(1, n_axes):
        axes.append(("X%03d" % i, 0, 0, 1000, "Axis %d" % i))
    first_axis_id = 256 + n_instances
    # String offsets are 16-bit, so the storage must stay under 64 KiB: each
    # own instance name is a distinct two-letter window of one run of CJK
    # letters, and the table is written as raw bytes (fontTools' setName is
    # also far too slow for tens of thousands of records).
    plain = [(plat, enc, lang, nid, fx.u16(text)) for (plat, enc, lang), nid,
             text in fx.win_names(family, "Regular", "HostileVar")]
    plain += [(*WIN, first_axis_id + i, fx.u16(axis[4]))
              for i, axis in enumerate(axes)]
    if instance_names == "shared":
        plain.append((*WIN, 256, fx.u16("Shared")))
    if not long_decoys:
        plain += [(*WIN, first_axis_id + n_axes + d, fx.u16("D%d" % d))
                  for d in range(decoys)]
    records = []
    storage = b""
    for plat, enc, lang, nid, data in plain:
        records.append((plat, enc, lang, nid, len(data), len(storage)))
        storage += data
    if long_decoys:
        long_text = fx.u16("D" * ((65535 - len(storage)) // 2))
        records += [(*WIN, first_axis_id + n_axes + d, len(long_text),
                     len(storage)) for d in range(decoys)]
        storage += long_text
    windows = len(storage)
    if instance_names == "own":
        storage += "".join(chr(0x4E00 + k) for k in range(n_instances + 1)) \
            .encode("utf_16_be")
    assert len(storage) < 65536, "name storage over 64 KiB"

    instances = []
    for k in range(n_instances):
        coords = {tag: (lo + (k % 9) * (hi - lo) // 8)
                  for tag, lo, _, hi, _ in axes}
        if instance_names == "own":
            strid = 256 + k
            records.append((*WIN, strid, 4, windows + 2 * k))
        elif instance_names == "shared":
            strid = 256
        else:
            strid = 255  # below the instance range: no record carries it
        instances.append((strid, coords))
    assert first_axis_id + n_axes + decoys < 65536
    return fx.font_bytes(fx.build(family, "Regular", "HostileVar", axes=axes,
                               instances=instances,
                               raw_name=name_records(records, storage)))


def with_name_table(font, table):
    """The font's bytes with its name table replaced by `table`, appended at
    the end (checksums are left stale: FreeType does not check them)."""
    data = bytearray(font)
    num_tables = struct.unpack(">H", data[4:6])[0]
    while len(data) % 4:
        data.append(0)
    for i in range(num_tables):
        entry = 12 + 16 * i
        if data[entry:entry + 4] == b"name":
            struct.pack_into(">LL", data, entry + 8, len(data), len(table))
            return bytes(data) + table
    raise ValueError("no name table")


def name_records(records, storage, count=None):
    """A format 0 name table from (plat, enc, lang, id, length, offset)."""
    count = len(records) if count is None else count
    head = struct.pack(">HHH", 0, count, 6 + 12 * len(records))
    body = b"".join(struct.pack(">HHHHHH", *r) for r in records)
    return head + body + storage


def write(out, rel, data):
    path = os.path.join(out, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    out = os.path.join(argv[1], "hostile")
    shutil.rmtree(out, ignore_errors=True)
    base = static_bytes()

    # Collections claiming more faces than they hold, or holding very many.
    write(out, "ttc-claims-16M-short.ttc",
          fx.collection(4, 0x00FFFFFF, base, pad=False))
    write(out, "ttc-claims-16M-1MiB.ttc",
          fx.collection(262144, 0x00FFFFFF, base, pad=False))
    write(out, "ttc-claims-1M-holds-4-32MiB.ttc", fx.collection(4, 1 << 20, base))
    for n in (2000, 20000, 100000):
        write(out, "ttc-faces-%d.ttc" % n, fx.collection(n, n, base))
    # Faces times instances: every face is the same variable font.
    write(out, "ttc-300-faces-of-300-instances.ttc",
          fx.collection(300, 300, variable(300, instance_names="shared")))
    write(out, "ttc-3000-faces-of-3000-instances.ttc",
          fx.collection(3000, 3000, variable(3000, instance_names="shared")))

    # Variable fonts: many named instances, many axes. A name table holds at
    # most 5460 records (its storage offset is 16-bit) while fvar holds up to
    # 65535 instances (FreeType takes at most 32767, see the 33000 case); an
    # instance whose name ID no record has makes every lookup read the whole
    # table.
    write(out, "var-5000-instances-own-names.ttf", variable(5000))
    write(out, "var-5000-instances-shared-name.ttf",
          variable(5000, instance_names="shared"))
    write(out, "var-5000-instances-absent-name-5000-decoys.ttf",
          variable(5000, instance_names="absent", decoys=5000))
    write(out, "var-32000-instances-absent-name-5000-decoys.ttf",
          variable(32000, instance_names="absent", decoys=5000))
    write(out, "var-33000-instances-absent-name-5000-decoys.ttf",
          variable(33000, instance_names="absent", decoys=5000))
    # Every lookup then also transcodes a 64 KiB string per record.
    write(out, "var-32000-instances-absent-name-5000-long-decoys.ttf",
          variable(32000, instance_names="absent", decoys=5000,
                   long_decoys=True))
    write(out, "var-64-axes.ttf", variable(10, n_axes=64))
    write(out, "var-1000-axes-1000-instances.ttf",
          variable(1000, n_axes=1000, instance_names="shared"))

    # Name tables: lengths and offsets past the table, a count the table
    # does not hold, and many records sharing one long string.
    text = "Hostile Names".encode("utf_16_be")
    huge = [(3, 1, 0x409, 1, len(text), 0)]
    huge += [(3, 1, 0x409, 4, 0xFFFF, 0xFFFF)] * 100
    huge += [(3, 1, 0x409, 16, 0xFFFF, 0)] * 100
    write(out, "name-huge-lengths-offsets.ttf",
          with_name_table(base, name_records(huge, text)))
    write(out, "name-count-65535-holds-2.ttf",
          with_name_table(base, name_records(huge[:2], text, count=0xFFFF)))
    long_text = ("W" * 32767).encode("utf_16_be")  # 65534 bytes
    for n in (1024, 5400):
        shared = [(3, 1, 0x409, 1, len(long_text), 0)] * n
        write(out, "name-%d-records-share-64KiB.ttf" % n,
              with_name_table(base, name_records(shared, long_text)))

    write(out, "big-tables.ttf", big_tables())
    # Formats other than TrueType: FreeType's other drivers, and family names
    # that are not UTF-8 (which the catalogue must leave out).
    write(out, "other-bdf-latin1-family.bdf", bdf(b"Ex\xe9mple Bitmap"))
    otf, cff = cff_font()
    write(out, "other-cff-outlines.otf", otf)
    write(out, "other-bare.cff", cff)

    # Truncated files: cut at half, and right after the table directory.
    for rel, data in (("static", base),
                      ("variable", variable(4)),
                      ("collection", fx.collection(3, 3, base))):
        ext = "ttc" if rel == "collection" else "ttf"
        write(out, "cut-half-%s.%s" % (rel, ext), data[:len(data) // 2])
    num_tables = struct.unpack(">H", base[4:6])[0]
    write(out, "cut-after-directory.ttf", base[:12 + 16 * num_tables])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
