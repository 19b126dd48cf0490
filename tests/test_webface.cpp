// Web-ready faces: faces cut out of collections and subsets for a text, checked against the
// whole face and against the browsers' sanitizer.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "AgentProcess.h"
#include "Ownership.h"
#include "WebFace.h"

namespace {

constexpr const char* kOtsSanitize = "/usr/bin/ots-sanitize";

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

// Runs ots-sanitize on the font; true when it accepts it. The child is stopped by its pid.
bool otsAccepts(const std::string& font) {
    char dir[] = "/tmp/vorn-ots-XXXXXX";
    if (mkdtemp(dir) == nullptr) return false;
    const std::string in = std::string(dir) + "/in", out = std::string(dir) + "/out";
    writeFile(in, font);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(kOtsSanitize, kOtsSanitize, in.c_str(), out.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = -1;
    for (int waited = 0; waited < 30000 && waitpid(pid, &status, WNOHANG) == 0; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (kill(pid, 0) == 0 && waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    unlink(in.c_str());
    unlink(out.c_str());
    rmdir(dir);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

#define SKIP_WITHOUT_OTS() \
    if (access(kOtsSanitize, X_OK) != 0) GTEST_SKIP() << kOtsSanitize << " is not installed"

// One shaped glyph as a page sees it: where it goes, not which id it has.
struct Placed {
    uint32_t cluster;
    int32_t xAdvance, yAdvance, xOffset, yOffset;
    bool notdef;
    bool operator==(const Placed& o) const {
        return std::tie(cluster, xAdvance, yAdvance, xOffset, yOffset, notdef) ==
               std::tie(o.cluster, o.xAdvance, o.yAdvance, o.xOffset, o.yOffset, o.notdef);
    }
};
std::ostream& operator<<(std::ostream& out, const Placed& p) {
    return out << "{c" << p.cluster << " adv " << p.xAdvance << "," << p.yAdvance << " off "
               << p.xOffset << "," << p.yOffset << (p.notdef ? " notdef" : "") << "}";
}

std::vector<Placed> shape(const std::string& font, unsigned index, const std::string& text,
                          const std::string& features = "", const std::string& variations = "") {
    HbBlobPtr blob(hb_blob_create(font.data(), static_cast<unsigned>(font.size()),
                                  HB_MEMORY_MODE_READONLY, nullptr, nullptr));
    HbFacePtr face(hb_face_create(blob.get(), index));
    HbFontPtr hbFont(hb_font_create(face.get()));
    hb_variation_t variation;
    if (!variations.empty() && hb_variation_from_string(variations.c_str(), -1, &variation))
        hb_font_set_variations(hbFont.get(), &variation, 1);
    hb_feature_t feature;
    const bool withFeature =
        !features.empty() && hb_feature_from_string(features.c_str(), -1, &feature);
    HbBufferPtr buffer(hb_buffer_create());
    hb_buffer_add_utf8(buffer.get(), text.data(), static_cast<int>(text.size()), 0, -1);
    hb_buffer_guess_segment_properties(buffer.get());
    hb_shape(hbFont.get(), buffer.get(), withFeature ? &feature : nullptr, withFeature ? 1 : 0);
    unsigned count = 0;
    const hb_glyph_info_t* infos = hb_buffer_get_glyph_infos(buffer.get(), &count);
    const hb_glyph_position_t* positions = hb_buffer_get_glyph_positions(buffer.get(), &count);
    std::vector<Placed> placed;
    for (unsigned i = 0; i < count; ++i) {
        const hb_glyph_position_t& p = positions[i];
        placed.push_back({infos[i].cluster, p.x_advance, p.y_advance, p.x_offset, p.y_offset,
                          infos[i].codepoint == 0});
    }
    return placed;
}

unsigned glyphCount(const std::string& font, unsigned index) {
    HbBlobPtr blob(hb_blob_create(font.data(), static_cast<unsigned>(font.size()),
                                  HB_MEMORY_MODE_READONLY, nullptr, nullptr));
    HbFacePtr face(hb_face_create(blob.get(), index));
    return hb_face_get_glyph_count(face.get());
}

bool hasTable(const std::string& font, const char* tag) {
    return directoryAt(font, 0).count(hb_tag_from_string(tag, 4)) == 1;
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
            EXPECT_TRUE(otsAccepts(*cut));
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
        EXPECT_FALSE(cutFace(other, 0));
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
        {"variable/ExampleVarDeltas.ttf", 0, "Var Deltas", false, {"wght=100", "wght=700"}},
    };
    for (const SubsetCase& c : cases) {
        SCOPED_TRACE(std::string(c.fixture) + " face " + std::to_string(c.face));
        const std::string whole = readFile(fixturePath(c.fixture));
        const std::optional<FaceSubset> subset = subsetFace(whole, c.face, c.text);
        ASSERT_TRUE(subset.has_value());
        EXPECT_EQ(subset->cff, c.cff);
        EXPECT_STREQ(fontContentType(whole, c.face), c.cff ? "font/otf" : "font/ttf");
        EXPECT_TRUE(otsAccepts(subset->bytes));
        EXPECT_LT(subset->bytes.size(), whole.size());

        std::vector<std::string> variations = c.variations;
        variations.push_back("");
        for (const std::string& at : variations) {
            // The default features, and one a page has to ask for.
            for (const char* feature : {"", "ss01"}) {
                const std::vector<Placed> expected = shape(whole, c.face, c.text, feature, at);
                for (const Placed& p : expected) ASSERT_FALSE(p.notdef) << "the text is drawable";
                EXPECT_EQ(shape(subset->bytes, 0, c.text, feature, at), expected)
                    << "at '" << at << "' with '" << feature << "'";
            }
        }
    }
}

TEST(SubsetFace, KeepsLigaturesKerningAndVariationsThroughClosure) {
    const std::string otf = readFile(fixturePath("webface/ExampleLigatures.otf"));
    const std::optional<FaceSubset> lig = subsetFace(otf, 0, "fi");
    ASSERT_TRUE(lig.has_value());
    // .notdef, f, i and the ligature f_i that only GSUB reaches.
    EXPECT_EQ(glyphCount(lig->bytes, 0), 4u);
    EXPECT_EQ(shape(lig->bytes, 0, "fi").size(), 1u);

    const std::string kern = readFile(fixturePath("webface/ExampleKernTable.ttf"));
    const std::optional<FaceSubset> kerned = subsetFace(kern, 0, "AV");
    ASSERT_TRUE(kerned.has_value());
    EXPECT_TRUE(hasTable(kerned->bytes, "kern"));
    EXPECT_NE(shape(kerned->bytes, 0, "AV")[0].xAdvance, shape(kern, 0, "A")[0].xAdvance);

    const std::string var = readFile(fixturePath("variable/ExampleVarDeltas.ttf"));
    const std::optional<FaceSubset> varied = subsetFace(var, 0, "A");
    ASSERT_TRUE(varied.has_value());
    EXPECT_TRUE(hasTable(varied->bytes, "fvar"));
    EXPECT_TRUE(hasTable(varied->bytes, "gvar"));
    EXPECT_EQ(shape(varied->bytes, 0, "A", "", "wght=700")[0].xAdvance, 660);
    EXPECT_EQ(shape(varied->bytes, 0, "A", "", "wght=400")[0].xAdvance, 600);
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
    EXPECT_FALSE(subsetFace(otf, 0, ""));
    EXPECT_FALSE(subsetFace(otf, 0, std::string(1025, 'A')));
    EXPECT_FALSE(subsetFace(otf, 0, "\xC0\xAF"));
    EXPECT_FALSE(subsetFace(otf, 1, "A"));
    EXPECT_FALSE(subsetFace(readFile(fixturePath("webface/ExampleWebTrio.ttc")), 3, "A"));
    EXPECT_FALSE(subsetFace(readFile(fixturePath("webface/ExampleSvg.ttf")), 0, "A"))
        << "SVG colour glyphs would be lost";
}

}  // namespace
