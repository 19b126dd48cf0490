// The catalogue document, text-exact, for hand-built catalogues.

#include <cstdio>
#include <string>
#include <type_traits>

#include <gtest/gtest.h>

#include "AgentProcess.h"
#include "VornFontAgent.h"

namespace {

constexpr int64_t kWght = 0x77676874;

TypefaceItem face(const std::string& file, const std::string& ps, int weight, int width = 100,
                  int slant = 0, std::vector<Variation> variations = {}) {
    TypefaceItem item;
    item.file = file;
    item.postscript = ps;
    item.variations = std::move(variations);
    item.style = "Style never written";
    item.weight = weight;
    item.width = width;
    item.slant = slant;
    return item;
}

ResultSet* exampleSans(bool variable) {
    auto* family = new Typeface();
    family->family = "Example Sans";
    family->localName = "Example Sans";
    family->childList.push_back(face("/usr/share/fonts/truetype/example/ExampleSans-Regular.ttf",
                                     "ExampleSans-Regular", 80));
    family->childList.push_back(
        face("/usr/share/fonts/truetype/example/ExampleSans-Bold.ttf", "ExampleSans-Bold", 200, 100,
             0, variable ? std::vector<Variation>{{kWght, 700.0f}} : std::vector<Variation>{}));
    if (variable) {
        family->isVariation = true;
        family->variationRange.push_back({kWght, 100, 400, 900, "", false});
    }
    auto* set = new ResultSet();
    set->push_back(family);
    return set;
}

std::string convert(ResultSet* set, int& code) {
    code = -12345;
    return VornFontAgent::convertToJson(set, code);
}

// Captures what a call writes to standard output.

}  // namespace

TEST(CatalogueDocument, StaticFamilyInMemberOrder) {
    std::unique_ptr<ResultSet> set(exampleSans(false));
    int code;
    EXPECT_EQ(
        convert(set.get(), code),
        R"([{"childList":[{"file":"/usr/share/fonts/truetype/example/ExampleSans-Regular.ttf",)"
        R"("postScript":"ExampleSans-Regular","slant":"Normal","weight":"Normal","width":"Normal"},)"
        R"({"file":"/usr/share/fonts/truetype/example/ExampleSans-Bold.ttf","postScript":)"
        R"("ExampleSans-Bold","slant":"Normal","weight":"Bold","width":"Normal"}],)"
        R"("family":"Example Sans","localName":"Example Sans"}])");
    EXPECT_EQ(code, 0);
}

TEST(CatalogueDocument, VariableFamilyCarriesAxesAndCoordinatesOnEveryFace) {
    std::unique_ptr<ResultSet> set(exampleSans(true));
    int code;
    EXPECT_EQ(
        convert(set.get(), code),
        R"([{"childList":[{"file":"/usr/share/fonts/truetype/example/ExampleSans-Regular.ttf",)"
        R"("postScript":"ExampleSans-Regular","slant":"Normal","variations":[],"weight":"Normal",)"
        R"("width":"Normal"},{"file":"/usr/share/fonts/truetype/example/ExampleSans-Bold.ttf",)"
        R"("postScript":"ExampleSans-Bold","slant":"Normal","variations":[{"key":2003265652,)"
        R"("value":700.0}],"weight":"Bold","width":"Normal"}],"family":"Example Sans",)"
        R"("isVariation":true,"localName":"Example Sans","variationRange":[{"defaultValue":400,)"
        R"("key":2003265652,"maxValue":900,"minValue":100}]}])");
    EXPECT_EQ(code, 0);
}

TEST(CatalogueDocument, EmptyAndDegenerateCatalogues) {
    int code;
    ResultSet empty;
    EXPECT_EQ(convert(&empty, code), "[]");
    EXPECT_EQ(code, 0);

    EXPECT_EQ(convert(nullptr, code), "[]");
    EXPECT_EQ(code, 0);

    ResultSet withNull;
    withNull.push_back(nullptr);
    withNull.push_back(new Typeface{"Lone", "Lone", false, {}, {}});
    EXPECT_EQ(convert(&withNull, code), R"([{"childList":[],"family":"Lone","localName":"Lone"}])");
    EXPECT_EQ(code, 0);
}

TEST(CatalogueDocument, VariableFamilyWithoutAxesOrCoordinates) {
    ResultSet set;
    auto* family = new Typeface{"V", "W", true, {}, {}};
    family->childList.push_back(face("/v.ttf", "V", 80));
    set.push_back(family);
    int code;
    EXPECT_EQ(
        convert(&set, code),
        R"([{"childList":[{"file":"/v.ttf","postScript":"V","slant":"Normal","variations":[],)"
        R"("weight":"Normal","width":"Normal"}],"family":"V","isVariation":true,"localName":"W",)"
        R"("variationRange":[]}])");
}

TEST(CatalogueDocument, NegativeBoundsAndNamedValues) {
    ResultSet set;
    auto* family = new Typeface{"S", "S", true, {{0x736c6e74, -13, 0, 0, "", false}}, {}};
    family->childList.push_back(face("/s.ttf", "S-Italic", 210, 75, 100, {{0x736c6e74, -13.0f}}));
    set.push_back(family);
    int code;
    EXPECT_EQ(
        convert(&set, code),
        R"([{"childList":[{"file":"/s.ttf","postScript":"S-Italic","slant":"Italic",)"
        R"("variations":[{"key":1936486004,"value":-13.0}],"weight":"Black",)"
        R"("width":"Condensed"}],"family":"S","isVariation":true,"localName":"S",)"
        R"("variationRange":[{"defaultValue":0,"key":1936486004,"maxValue":0,"minValue":-13}]}])");
}

TEST(CatalogueDocument, TextIsUtf8UnescapedWithControlCharactersEscaped) {
    ResultSet set;
    auto* family = new Typeface{"Caf\xC3\xA9 \xE6\x98\x8E", "Tab\there \"q\" \\", false, {}, {}};
    set.push_back(family);
    int code;
    EXPECT_EQ(convert(&set, code),
              "[{\"childList\":[],\"family\":\"Caf\xC3\xA9 \xE6\x98\x8E\","
              "\"localName\":\"Tab\\there \\\"q\\\" \\\\\"}]");
    EXPECT_EQ(code, 0);
}

TEST(CatalogueDocument, AnyInvalidUtf8StringEmptiesTheDocumentWithCode316) {
    const std::string bad = "bad\xFF";
    for (int field = 0; field < 4; ++field) {
        ResultSet set;
        auto* family = new Typeface{"Fine", "Fine", false, {}, {}};
        TypefaceItem item = face("/fine.ttf", "Fine-Regular", 80);
        if (field == 0) family->family = bad;
        if (field == 1) family->localName = bad;
        if (field == 2) item.file = "/fonts/" + bad;
        if (field == 3) item.postscript = bad;
        family->childList.push_back(item);
        set.push_back(family);
        int code;
        std::string text;
        const std::string out = capturedStdout([&] { text = convert(&set, code); });
        EXPECT_EQ(text, "[]") << field;
        EXPECT_EQ(code, 316) << field;
        EXPECT_EQ(out.rfind("json throw an error:[json.exception.type_error.316]", 0), 0u) << out;
        EXPECT_EQ(out.size() - out.rfind(" try to fix"), std::string(" try to fix").size()) << out;
        EXPECT_EQ(out.find("json throw"), out.rfind("json throw")) << "one diagnostic";
    }
}

TEST(CatalogueRecords, DestroyingSetsWithNullsAndEmptyFamilies) {
    // Run under AddressSanitizer, these fail on a leak or a double delete.
    { ResultSet empty; }
    {
        ResultSet set;
        set.push_back(nullptr);
        set.push_back(new Typeface());
        set.push_back(nullptr);
        set.push_back(new Typeface{"F", "F", true, {{kWght, 1, 2, 3, "", false}}, {face("/f", "F", 80)}});
    }
    // A copy would delete the same families twice.
    static_assert(!std::is_copy_constructible_v<ResultSet> &&
                  !std::is_copy_assignable_v<ResultSet>);
}
