// Web-ready faces: faces cut out of collections and subsets for a text, checked against the
// whole face and against the browsers' sanitizer.

#include <unistd.h>

#include <cstdlib>
#include <map>
#include <tuple>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AgentProcess.h"
#include "core/Ownership.h"
#include "http/HttpCaching.h"
#include "webface/MadeFaces.h"
#include "webface/Sfnt.h"

namespace {

uint32_t be32(const std::string& d, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(d[at + i]);
    return v;
}
uint16_t be16(const std::string& d, size_t at) { return static_cast<uint16_t>(be32(d, at) >> 16); }
void put32(std::string& d, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) d[at + i] = static_cast<char>(v >> (24 - 8 * i));
}

// The OpenType checksum: the sum of big-endian words, the last one padded with zeros.
uint32_t sumOf(std::string bytes) {
    bytes.resize((bytes.size() + 3) & ~size_t{3}, '\0');
    uint32_t sum = 0;
    for (size_t i = 0; i < bytes.size(); i += 4) sum += be32(bytes, i);
    return sum;
}

struct Table {
    uint32_t checksum, offset, length;
};

// The table directory at `at` of a trusted (generated) font, by tag.
std::map<uint32_t, Table> directoryAt(const std::string& font, size_t at) {
    std::map<uint32_t, Table> tables;
    for (size_t i = 0; i < be16(font, at + 4); ++i) {
        const size_t r = at + 12 + 16 * i;
        tables[be32(font, r)] = {be32(font, r + 4), be32(font, r + 8), be32(font, r + 12)};
    }
    return tables;
}

#define SKIP_WITHOUT_OTS() \
    if (access(kOtsSanitize, X_OK) != 0) GTEST_SKIP() << kOtsSanitize << " is not installed"

// Each glyph as a page sees it, not which id it has: cluster, advances, offsets, is .notdef.
using Placed = std::tuple<uint32_t, int32_t, int32_t, int32_t, int32_t, bool>;

std::vector<Placed> shape(const std::string& font, unsigned index, const std::string& text,
                          const std::string& feature = "", const std::string& variation = "") {
    HbBlobPtr blob(hb_blob_create(font.data(), static_cast<unsigned>(font.size()),
                                  HB_MEMORY_MODE_READONLY, nullptr, nullptr));
    HbFacePtr face(hb_face_create(blob.get(), index));
    HbFontPtr hbFont(hb_font_create(face.get()));
    hb_variation_t v;
    if (hb_variation_from_string(variation.c_str(), -1, &v))
        hb_font_set_variations(hbFont.get(), &v, 1);
    hb_feature_t f;
    const bool withFeature = hb_feature_from_string(feature.c_str(), -1, &f);
    HbBufferPtr buffer(hb_buffer_create());
    hb_buffer_add_utf8(buffer.get(), text.data(), static_cast<int>(text.size()), 0, -1);
    hb_buffer_guess_segment_properties(buffer.get());
    hb_shape(hbFont.get(), buffer.get(), withFeature ? &f : nullptr, withFeature ? 1 : 0);
    unsigned count = 0;
    const hb_glyph_info_t* info = hb_buffer_get_glyph_infos(buffer.get(), &count);
    const hb_glyph_position_t* pos = hb_buffer_get_glyph_positions(buffer.get(), &count);
    std::vector<Placed> placed;
    for (unsigned i = 0; i < count; ++i) {
        placed.emplace_back(info[i].cluster, pos[i].x_advance, pos[i].y_advance, pos[i].x_offset,
                            pos[i].y_offset, info[i].codepoint == 0);
    }
    return placed;
}

// --- Cutting a face out of a collection -----------------------------------------------------

TEST(CutFace, CopiesEveryTableOfTheFaceWithChecksumsTheSanitizerAccepts) {
    SKIP_WITHOUT_OTS();
    for (const char* fixture : {"webface/ExampleWebTrio.ttc", "collection/ExampleTrio.ttc"}) {
        const std::string ttc = readFile(fixturePath(fixture));
        ASSERT_EQ(faceCountOf(ttc), 3u) << fixture;
        for (uint32_t face = 0; face < 3; ++face) {
            SCOPED_TRACE(std::string(fixture) + " face " + std::to_string(face));
            const std::optional<std::string> cut = cutFace(ttc, face);
            ASSERT_TRUE(cut.has_value());
            const auto original = directoryAt(ttc, be32(ttc, 12 + 4 * face));
            const auto copied = directoryAt(*cut, 0);
            ASSERT_EQ(copied.size(), original.size());
            const uint16_t n = be16(*cut, 4);
            EXPECT_EQ(be16(*cut, 6), 16 * (n >= 8 ? 8 : n >= 4 ? 4 : n >= 2 ? 2 : 1));
            EXPECT_EQ(be16(*cut, 10), 16 * n - be16(*cut, 6));
            for (const auto& [tag, table] : original) {
                ASSERT_EQ(copied.count(tag), 1u);
                const Table& c = copied.at(tag);
                EXPECT_EQ(c.offset % 4, 0u);
                std::string bytes = cut->substr(c.offset, c.length);
                const std::string expected = ttc.substr(table.offset, table.length);
                if (tag == HB_TAG('h', 'e', 'a', 'd')) {
                    EXPECT_EQ(sumOf(*cut), 0xB1B0AFBAu) << "checkSumAdjustment";
                    put32(bytes, 8, be32(expected, 8));  // the one field that differs
                    std::string zeroed = bytes;
                    put32(zeroed, 8, 0);
                    EXPECT_EQ(c.checksum, sumOf(zeroed));
                } else {
                    EXPECT_EQ(c.checksum, sumOf(bytes));
                }
                EXPECT_EQ(cut->substr(c.offset + c.length, (4 - c.length % 4) % 4),
                          std::string((4 - c.length % 4) % 4, '\0'))
                    << "padding";
                EXPECT_EQ(bytes, expected) << "table " << tag;
            }
            EXPECT_TRUE(sanitizerAccepts(*cut));
            EXPECT_STREQ(fontContentType(ttc, face), "font/ttf");
            EXPECT_EQ(shape(*cut, 0, "Trio AV"), shape(ttc, face, "Trio AV"));
        }
    }
}

TEST(CutFace, RefusesWhatIsNoCollectionFaceInsideTheFile) {
    const std::string single = readFile(fixturePath("static/ExampleSans-Regular.ttf"));
    const std::string ttc = readFile(fixturePath("webface/ExampleWebTrio.ttc"));
    EXPECT_EQ(faceCountOf(single), 1u);
    EXPECT_FALSE(cutFace(single, 0)) << "a single font is served as it is";
    EXPECT_FALSE(cutFace(ttc, 3));
    EXPECT_FALSE(cutFace(readFile(fixturePath("collection/ExampleBrokenTail.ttc")), 1));

    // A header claiming more faces than its offsets could fill in the file.
    std::string claims = ttc.substr(0, 40);
    claims[8] = '\x7f';
    EXPECT_EQ(faceCountOf(claims), 0u);
    EXPECT_FALSE(cutFace(claims, 5));
    // Face 1's first table made to reach past the end of the file.
    std::string pastEnd = ttc;
    const size_t record = be32(ttc, 16) + 12;
    pastEnd[record + 12] = '\x01';
    EXPECT_FALSE(cutFace(pastEnd, 1));
    EXPECT_TRUE(cutFace(pastEnd, 0));
    // Face 0's directory pointed at the collection header: no SFNT directory there.
    std::string atHeader = ttc;
    atHeader.replace(12, 4, std::string(4, '\0'));
    EXPECT_FALSE(cutFace(atHeader, 0));
    // Every table of face 2 naming the same whole-file span would copy the file many times.
    std::string repeated = ttc;
    const size_t face2 = be32(ttc, 20);
    for (size_t i = 0; i < be16(ttc, face2 + 4); ++i) {
        put32(repeated, face2 + 12 + 16 * i + 8, 0);
        put32(repeated, face2 + 12 + 16 * i + 12, static_cast<uint32_t>(ttc.size()));
    }
    EXPECT_FALSE(cutFace(repeated, 2));

    for (const std::string& other :
         {std::string(), std::string("wOFF\0\1\0\0", 8) + std::string(64, 'x'),
          readFile(fixturePath("bad/NotAFont.ttf")), std::string("ttcf\0\1\0\0\0\0\0\0", 12)}) {
        EXPECT_EQ(faceCountOf(other), 0u);
        EXPECT_EQ(fontContentType(other, 0), nullptr);
        EXPECT_FALSE(subsetFace(other, 0, "A"));
    }
}

// --- Subsets for a text ---------------------------------------------------------------------

struct SubsetCase {
    const char* fixture;
    uint32_t face;
    std::string text;
    bool cff;
    std::vector<std::string> variations;  // shaped at each of these too
};

TEST(SubsetFace, DrawsTheTextAsTheWholeFaceDoesAndPassesTheSanitizer) {
    SKIP_WITHOUT_OTS();
    // "Å" is A + ring in these fonts and "e" + U+0301 composes to "é".
    const std::string latin = "fix AVTo \xC3\x85 e\xCC\x81 a";
    const std::vector<SubsetCase> cases = {
        {"webface/ExampleLigatures.otf", 0, latin, true, {}},
        {"webface/ExampleKernTable.ttf", 0, latin, false, {}},
        {"webface/ExampleWebTrio.ttc", 0, latin, false, {}},
        {"webface/ExampleWebTrio.ttc", 2, "Web Trio Bold", false, {}},
        // Only gvar gives the advances at these weights.
        {"variable/ExampleVarDeltas.ttf", 0, "Var Deltas", false, {"wght=100", "wght=700"}},
    };
    for (const SubsetCase& c : cases) {
        SCOPED_TRACE(std::string(c.fixture) + " face " + std::to_string(c.face));
        const std::string whole = readFile(fixturePath(c.fixture));
        const std::optional<FaceSubset> subset = subsetFace(whole, c.face, c.text);
        ASSERT_TRUE(subset.has_value());
        EXPECT_EQ(subset->cff, c.cff);
        EXPECT_STREQ(fontContentType(whole, c.face), c.cff ? "font/otf" : "font/ttf");
        EXPECT_TRUE(sanitizerAccepts(subset->bytes));
        EXPECT_LT(subset->bytes.size(), whole.size());

        std::vector<std::string> variations = c.variations;
        variations.push_back("");
        for (const std::string& at : variations) {
            // The default features, and one a page has to ask for.
            for (const char* feature : {"", "ss01"}) {
                const std::vector<Placed> expected = shape(whole, c.face, c.text, feature, at);
                for (const Placed& p : expected) ASSERT_FALSE(std::get<5>(p)) << "no .notdef";
                EXPECT_EQ(shape(subset->bytes, 0, c.text, feature, at), expected)
                    << "at '" << at << "' with '" << feature << "'";
            }
        }
    }
}

TEST(SubsetFace, HoldsOnlyTheTextsGlyphsAndWhatLayoutReachesFromThem) {
    const std::string otf = readFile(fixturePath("webface/ExampleLigatures.otf"));
    const std::optional<FaceSubset> subset = subsetFace(otf, 0, "fi");
    ASSERT_TRUE(subset.has_value());
    // .notdef, f, i and the ligature f_i that only GSUB reaches.
    const size_t maxp = directoryAt(subset->bytes, 0).at(HB_TAG('m', 'a', 'x', 'p')).offset;
    EXPECT_EQ(be16(subset->bytes, maxp + 4), 4u);
}

// An icon font asked for its name: none of the text is in the face, yet the subset must still
// be a font browsers accept (a cmap without subtables is refused).
TEST(SubsetFace, ATextTheFaceCannotDrawStillGivesAFontTheSanitizerAccepts) {
    const std::string otf = readFile(fixturePath("webface/ExampleLigatures.otf"));
    const std::optional<FaceSubset> subset = subsetFace(otf, 0, "\xE6\x97\xA5\xE6\x9C\xAC");
    ASSERT_TRUE(subset.has_value());
    EXPECT_TRUE(sanitizerAccepts(subset->bytes));
}

TEST(SubsetFace, RefusesTextsAndFacesOutsideTheBounds) {
    EXPECT_TRUE(isAcceptableSubsetText("A"));
    EXPECT_TRUE(isAcceptableSubsetText(std::string(1024, 'A')));
    std::string cjk;
    for (int i = 0; i < 1024; ++i) cjk += "\xE6\x97\xA5";  // 日, three bytes each
    EXPECT_TRUE(isAcceptableSubsetText(cjk));
    EXPECT_FALSE(isAcceptableSubsetText(cjk + "A"));
    EXPECT_FALSE(isAcceptableSubsetText(std::string(1025, 'A')));
    EXPECT_FALSE(isAcceptableSubsetText(""));
    EXPECT_FALSE(isAcceptableSubsetText("\xC0\xAF"));      // overlong "/"
    EXPECT_FALSE(isAcceptableSubsetText("\xED\xA0\x80"));  // a surrogate
    EXPECT_FALSE(isAcceptableSubsetText("A\xE6\x97"));     // cut short

    const std::string otf = readFile(fixturePath("webface/ExampleLigatures.otf"));
    EXPECT_FALSE(subsetFace(otf, 0, std::string(1025, 'A')));
    EXPECT_FALSE(subsetFace(otf, 1, "A"));
    EXPECT_FALSE(subsetFace(readFile(fixturePath("webface/ExampleWebTrio.ttc")), 3, "A"));
    EXPECT_FALSE(subsetFace(readFile(fixturePath("webface/ExampleSvg.ttf")), 0, "A"))
        << "SVG colour glyphs would be lost";
}

}  // namespace

// --- The made faces' cache and keys ---------------------------------------------------------------

TEST(MadeFaceCache, StaysWithinItsBytesDroppingTheLeastRecentlyUsedFirst) {
    JobPool unused(1, 1);
    MadeFaces faces(unused);
    const auto made = [](size_t bytes) {
        return MadeFace{MadeFace::Kind::Bytes, std::make_shared<const std::string>(bytes, 'x'),
                        "font/ttf"};
    };
    const size_t share = MadeFaces::kCacheBytes / 5;
    for (int i = 0; i < 4; ++i) faces.remember("face" + std::to_string(i), made(share));
    ASSERT_TRUE(faces.find("face0"));  // used again: now the most recent
    faces.remember("face4", made(share));
    faces.remember("face5", made(share));
    EXPECT_LE(faces.cachedBytes(), MadeFaces::kCacheBytes);
    EXPECT_TRUE(faces.find("face0"));
    EXPECT_FALSE(faces.find("face1"));
    EXPECT_TRUE(faces.find("face5"));
    // More than a quarter of the cache is made each time, never remembered.
    faces.remember("huge", made(MadeFaces::kCacheBytes / 4 + 1));
    EXPECT_FALSE(faces.find("huge"));
    EXPECT_TRUE(faces.find("face5"));
}

// The file reply's validator and the made face's key change with every field of the file's
// identity: a file that differs in any of them is another file.
TEST(FileIdentityKeys, EveryFieldChangesTheValidatorAndTheKey) {
    FileIdentity base;
    base.device = 1;
    base.inode = 2;
    base.size = 3;
    base.modified = {4, 5};
    base.changed = {6, 7};
    const std::vector<void (*)(FileIdentity&)> changes = {
        [](FileIdentity& f) { f.device = 9; },          [](FileIdentity& f) { f.inode = 9; },
        [](FileIdentity& f) { f.size = 9; },            [](FileIdentity& f) { f.modified.tv_sec = 9; },
        [](FileIdentity& f) { f.modified.tv_nsec = 9; }, [](FileIdentity& f) { f.changed.tv_sec = 9; },
        [](FileIdentity& f) { f.changed.tv_nsec = 9; }};
    for (size_t i = 0; i < changes.size(); ++i) {
        FileIdentity other = base;
        changes[i](other);
        EXPECT_NE(Http::fileEntityTag(other), Http::fileEntityTag(base)) << "field " << i;
        EXPECT_NE(Http::faceEntityTag(other, 0, nullptr), Http::faceEntityTag(base, 0, nullptr))
            << "field " << i;
        EXPECT_NE(MadeFaces::keyOf(other, 0, std::nullopt), MadeFaces::keyOf(base, 0, std::nullopt))
            << "field " << i;
    }
    const std::string text = "Hi";
    EXPECT_NE(Http::faceEntityTag(base, 0, &text), Http::faceEntityTag(base, 0, nullptr));
    EXPECT_NE(MadeFaces::keyOf(base, 0, text), MadeFaces::keyOf(base, 1, text));
}
