// One font file described as one family record, read from the generated fixture fonts.

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "AgentProcess.h"
#include "FontManagerLinux.h"

namespace {

constexpr int64_t kWght = 0x77676874;
constexpr int64_t kWdth = 0x77647468;
constexpr int64_t kSlnt = 0x736c6e74;

// What the catalogue shows of a face, in a form that prints readably when a test fails.
struct Face {
    std::string style;
    std::string postscript;
    int weight;
    int width;
    int slant;
    std::vector<std::pair<int64_t, float>> variations;

    bool operator==(const Face& o) const {
        return std::tie(style, postscript, weight, width, slant, variations) ==
               std::tie(o.style, o.postscript, o.weight, o.width, o.slant, o.variations);
    }
};

std::ostream& operator<<(std::ostream& out, const Face& f) {
    out << "{" << f.style << ", " << f.postscript << ", w" << f.weight << ", wd" << f.width << ", s"
        << f.slant << ", [";
    for (const auto& [key, value] : f.variations) out << key << "=" << value << " ";
    return out << "]}";
}

std::unique_ptr<Typeface> describe(const std::string& fixture) {
    return std::unique_ptr<Typeface>(createTypeface(fixturePath(fixture)));
}

std::vector<Face> facesOf(const Typeface& typeface, const std::string& fixture) {
    std::vector<Face> faces;
    for (const TypefaceItem& item : typeface.childList) {
        EXPECT_EQ(item.file, fixturePath(fixture));
        Face face{item.style, item.postscript, item.weight, item.width, item.slant, {}};
        for (const Variation& v : item.variations) face.variations.emplace_back(v.key, v.value);
        faces.push_back(face);
    }
    return faces;
}

using Axes = std::vector<std::tuple<int64_t, int64_t, int64_t, int64_t>>;

Axes axesOf(const Typeface& typeface) {
    Axes axes;
    for (const FamilyVariation& a : typeface.variationRange) {
        axes.emplace_back(a.tag, a.minimum, a.def, a.maximum);
    }
    return axes;
}

}  // namespace

TEST(StaticFaces, WeightSlantAndNamesComeFromTheFont) {
    const struct {
        const char* fixture;
        Face face;
    } cases[] = {
        {"static/ExampleSans-Regular.ttf", {"Regular", "ExampleSans-Regular", 80, 100, 0, {}}},
        {"static/ExampleSans-Bold.ttf", {"Bold", "ExampleSans-Bold", 200, 100, 0, {}}},
        {"static/ExampleSans-Italic.ttf", {"Italic", "ExampleSans-Italic", 80, 100, 100, {}}},
        {"static/ExampleHeavy.ttf", {"Black", "ExampleHeavy-Black", 210, 100, 0, {}}},
    };
    for (const auto& c : cases) {
        const auto typeface = describe(c.fixture);
        ASSERT_NE(typeface, nullptr) << c.fixture;
        EXPECT_FALSE(typeface->isVariation);
        EXPECT_TRUE(typeface->variationRange.empty());
        EXPECT_EQ(facesOf(*typeface, c.fixture), std::vector<Face>{c.face}) << c.fixture;
    }
    EXPECT_EQ(describe("static/ExampleSans-Bold.ttf")->family, "Example Sans");
    EXPECT_EQ(describe("static/ExampleSans-Bold.ttf")->localName, "Example Sans");
}

TEST(StaticFaces, WidthClassesMapToFontconfigWidths) {
    const int expected[] = {50, 63, 75, 87, 100, 113, 125, 150, 200};
    for (int widthClass = 1; widthClass <= 9; ++widthClass) {
        const std::string fixture = "widths/ExampleWidth-W" + std::to_string(widthClass) + ".ttf";
        const auto typeface = describe(fixture);
        ASSERT_NE(typeface, nullptr) << fixture;
        ASSERT_EQ(typeface->childList.size(), 1u) << fixture;
        EXPECT_EQ(typeface->childList[0].width, expected[widthClass - 1]) << fixture;
    }
}

TEST(StaticFaces, FaceWithoutOs2TableAddsNoItem) {
    const auto typeface = describe("noos2/ExampleNoOS2.ttf");
    ASSERT_NE(typeface, nullptr);
    EXPECT_EQ(typeface->family, "Example NoOS2");
    EXPECT_TRUE(typeface->childList.empty());
}

TEST(Collections, EveryFaceInCollectionOrderUnderTheFirstFacesFamily) {
    const auto typeface = describe("collection/ExampleTrio.ttc");
    ASSERT_NE(typeface, nullptr);
    EXPECT_EQ(typeface->family, "Example Trio");
    EXPECT_EQ(facesOf(*typeface, "collection/ExampleTrio.ttc"),
              (std::vector<Face>{{"Bold", "ExampleTrio-Bold", 200, 100, 0, {}},
                                 {"Regular", "ExampleTrio-Regular", 80, 100, 0, {}},
                                 {"Italic", "ExampleTrio-Italic", 80, 100, 100, {}}}));
}

TEST(Collections, AFaceIndexThatCannotBeOpenedAddsNothing) {
    const auto typeface = describe("collection/ExampleBrokenTail.ttc");
    ASSERT_NE(typeface, nullptr);
    EXPECT_EQ(facesOf(*typeface, "collection/ExampleBrokenTail.ttc"),
              (std::vector<Face>{{"Regular", "ExampleBrokenTail-Regular", 80, 100, 0, {}}}));
}

TEST(UnreadableFiles, GiveNoRecord) {
    EXPECT_EQ(describe("bad/NotAFont.ttf"), nullptr);
    EXPECT_EQ(describe("bad/Empty.ttf"), nullptr);
    EXPECT_EQ(describe("bad/Missing.ttf"), nullptr);
    EXPECT_EQ(describe("bad"), nullptr);  // a directory
}

TEST(VariableFaces, NamedInstancesWithWeightAxis) {
    const auto typeface = describe("variable/ExampleVar.ttf");
    ASSERT_NE(typeface, nullptr);
    EXPECT_TRUE(typeface->isVariation);
    EXPECT_EQ(axesOf(*typeface), (Axes{{kWght, 100, 400, 900}}));
    // Only the instance at the OS/2 weight keeps the bare PostScript name.
    EXPECT_EQ(facesOf(*typeface, "variable/ExampleVar.ttf"),
              (std::vector<Face>{{"Thin", "ExampleVar-Thin", 0, 100, 0, {{kWght, 100}}},
                                 {"Regular", "ExampleVar", 80, 100, 0, {{kWght, 400}}},
                                 {"Semi Bold", "ExampleVar-SemiBold", 180, 100, 0, {{kWght, 600}}},
                                 {"Bold", "ExampleVar-Bold", 200, 100, 0, {{kWght, 700}}}}));
}

TEST(VariableFaces, WidthAxisScalesTheFontconfigWidth) {
    const auto typeface = describe("variable/ExampleVarWidth.ttf");
    ASSERT_NE(typeface, nullptr);
    EXPECT_EQ(axesOf(*typeface), (Axes{{kWght, 100, 400, 900}, {kWdth, 75, 100, 100}}));
    EXPECT_EQ(
        facesOf(*typeface, "variable/ExampleVarWidth.ttf"),
        (std::vector<Face>{{"Regular", "ExampleVarWidth", 80, 100, 0, {{kWght, 400}, {kWdth, 100}}},
                           {"Condensed", "ExampleVarWidth", 80, 75, 0, {{kWght, 400}, {kWdth, 75}}},
                           {"Condensed Bold",
                            "ExampleVarWidth-CondensedBold",
                            200,
                            75,
                            0,
                            {{kWght, 700}, {kWdth, 75}}}}));
}

TEST(VariableFaces, NegativeAndFractionalValuesRoundTowardMinusInfinity) {
    const auto typeface = describe("variable/ExampleSlant.ttf");
    ASSERT_NE(typeface, nullptr);
    EXPECT_EQ(axesOf(*typeface), (Axes{{kSlnt, -13, 0, 0}, {kWdth, 50, 100, 100}}));
    // No weight axis: every instance takes the suffixed name. The upright face's instances stay
    // upright whatever their names say; -12.5 is -13, not the 65523 of an unsigned reading.
    EXPECT_EQ(facesOf(*typeface, "variable/ExampleSlant.ttf"),
              (std::vector<Face>{
                  {"Regular", "ExampleSlant-Regular", 80, 100, 0, {{kSlnt, 0}, {kWdth, 100}}},
                  {"Italic", "ExampleSlant-Italic", 80, 100, 0, {{kSlnt, -13}, {kWdth, 100}}},
                  {"Semi Condensed",
                   "ExampleSlant-SemiCondensed",
                   80,
                   87,
                   0,
                   {{kSlnt, 0}, {kWdth, 87}}}}));
}

TEST(VariableFaces, DefaultInstanceFreeTypeAppends) {
    const auto noInstances = describe("variable/ExampleNoInstances.ttf");
    ASSERT_NE(noInstances, nullptr);
    EXPECT_TRUE(noInstances->isVariation);
    EXPECT_EQ(facesOf(*noInstances, "variable/ExampleNoInstances.ttf"),
              (std::vector<Face>{{"Regular", "ExampleNoInstances", 80, 100, 0, {{kWght, 400}}}}));

    // Without a PostScript name record FreeType leaves the appended entry empty (name ID 0,
    // coordinates 0): it shows as a zero-weight face named after the face's style.
    const auto noPsName = describe("variable/ExampleNoPSName.ttf");
    ASSERT_NE(noPsName, nullptr);
    EXPECT_EQ(
        facesOf(*noPsName, "variable/ExampleNoPSName.ttf"),
        (std::vector<Face>{{"Bold", "Example No PS Name-Bold", 200, 100, 0, {{kWght, 700}}},
                           {"Regular", "Example No PS Name-Regular", 0, 100, 0, {{kWght, 0}}}}));
}

TEST(VariableFaces, ZeroWeightDefaultLeavesTheWeightAlone) {
    const auto typeface = describe("variable/ExampleZeroDefault.ttf");
    ASSERT_NE(typeface, nullptr);
    EXPECT_EQ(axesOf(*typeface), (Axes{{kWght, 0, 0, 1000}}));
    EXPECT_EQ(facesOf(*typeface, "variable/ExampleZeroDefault.ttf"),
              (std::vector<Face>{{"Zero", "ExampleZeroDefault-Zero", 80, 100, 0, {{kWght, 0}}},
                                 {"Half", "ExampleZeroDefault-Half", 80, 100, 0, {{kWght, 500}}}}));
}

TEST(VariableFaces, ItalicFaceMakesEveryInstanceItalic) {
    const auto typeface = describe("variable/ExampleVarItalic.ttf");
    ASSERT_NE(typeface, nullptr);
    EXPECT_EQ(facesOf(*typeface, "variable/ExampleVarItalic.ttf"),
              (std::vector<Face>{
                  {"Italic", "ExampleVarItalic", 80, 100, 100, {{kWght, 400}}},
                  {"Bold Italic", "ExampleVarItalic-BoldItalic", 200, 100, 100, {{kWght, 700}}}}));
}

TEST(NameRecords, LocalNameIsTheFirstFamilyRecordThatDiffers) {
    const auto mac = describe("names/ExampleNames.ttf");
    ASSERT_NE(mac, nullptr);
    EXPECT_EQ(mac->family, "Example Names");
    EXPECT_EQ(mac->localName, "Ex\xC3\xA9mple Mac");

    const auto latin1 = describe("names/ExampleLatin1.ttf");
    ASSERT_NE(latin1, nullptr);
    EXPECT_EQ(latin1->family, "Example Latin");
    EXPECT_EQ(latin1->localName, "Exemple Latin \xC3\xA9");

    const auto same = describe("names/ExampleSameNames.ttf");
    ASSERT_NE(same, nullptr);
    EXPECT_EQ(same->localName, "Example Same");
}

TEST(NameRecords, InstanceNameSkipsARecordThatCannotBeTranscoded) {
    const auto typeface = describe("names/ExampleInstanceNames.ttf");
    ASSERT_NE(typeface, nullptr);
    EXPECT_EQ(facesOf(*typeface, "names/ExampleInstanceNames.ttf"),
              (std::vector<Face>{
                  {"Heavy Bold", "ExampleInstanceNames-HeavyBold", 200, 100, 0, {{kWght, 700}}},
                  {"Regular", "ExampleInstanceNames", 80, 100, 0, {{kWght, 400}}}}));
}

// A small file must not hold the agent: a collection claiming a million faces it does not hold
// is given up after a few that will not open, and a collection of thousands is cut short.
TEST(HostileFiles, CollectionsAreDescribedWithinBounds) {
    const auto claims = describe("hostile/ClaimsMillionFaces.ttc");
    ASSERT_NE(claims, nullptr);
    EXPECT_EQ(claims->childList.size(), 4u);

    const auto many = describe("hostile/ManyFaces.ttc");
    ASSERT_NE(many, nullptr);
    EXPECT_EQ(many->childList.size(), 1024u);
}

TEST(NameRecords, LocalNameIsTheFirstDifferingRecordInTableOrderNotByNameId) {
    const auto typeface = describe("pinned/NameOrder.ttf");
    ASSERT_NE(typeface, nullptr);
    EXPECT_EQ(typeface->family, "Name Order Wws");
    EXPECT_EQ(typeface->localName, "Name Order Typo");
}

TEST(Collections, FourUnopenableFacesInARowEndTheCollectionThreeDoNot) {
    const auto afterThree = describe("pinned/Gap3.ttc");
    ASSERT_NE(afterThree, nullptr);
    EXPECT_EQ(afterThree->childList.size(), 2u);
    const auto afterFour = describe("pinned/Gap4.ttc");
    ASSERT_NE(afterFour, nullptr);
    EXPECT_EQ(afterFour->childList.size(), 1u);
}
