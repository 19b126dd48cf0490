// The whole catalogue as the agent serves it, under a private fontconfig with fixture fonts.

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H

#include "AgentProcess.h"
#include "FontManagerLinux.h"
#include "core/Ownership.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

json catalogueOf(const AgentProcess& agent) {
    const HttpResponse response = httpGet(agent.port, "/");
    EXPECT_EQ(response.status, 200);
    return json::parse(response.body);
}

std::set<std::string> familyNames(const json& catalogue) {
    std::set<std::string> names;
    for (const json& family : catalogue) names.insert(family["family"].get<std::string>());
    return names;
}

std::string face(const std::string& file, const std::string& ps, const std::string& slant,
                 const std::string& weight, const std::string& variations = "") {
    return R"({"file":")" + file + R"(","postScript":")" + ps + R"(","slant":")" + slant + "\"," +
           (variations.empty() ? "" : R"("variations":)" + variations + ",") + R"("weight":")" +
           weight + R"(","width":"Normal"})";
}

std::string wght(int value) {
    return R"([{"key":2003265652,"value":)" + std::to_string(value) + ".0}]";
}

}  // namespace

TEST(Catalogue, WholeDocumentForAFixtureSet) {
    PrivateFontconfig fc;
    for (const char* fixture :
         {"names/ExampleNames.ttf", "noos2/ExampleNoOS2.ttf", "static/ExampleSans-Bold.ttf",
          "static/ExampleSans-Italic.ttf", "static/ExampleSans-Regular.ttf",
          "collection/ExampleTrio.ttc", "variable/ExampleVar.ttf", "bad/NotAFont.ttf"}) {
        fc.install(fixture);
    }
    AgentProcess agent;
    ASSERT_TRUE(agent.startServing(fc));
    const std::string d = fc.fontDir + "/";
    // Families in the order of their first path; faces by weight, then slant.
    const std::string expected =
        R"([{"childList":[)" +
        face(d + "ExampleNames.ttf", "ExampleNames-Regular", "Normal", "Normal") +
        R"(],"family":"Example Names","localName":"Ex)"
        "\xC3\xA9"
        R"(mple Mac"},)"
        R"({"childList":[],"family":"Example NoOS2","localName":"Example NoOS2"},)"
        R"({"childList":[)" +
        face(d + "ExampleSans-Regular.ttf", "ExampleSans-Regular", "Normal", "Normal") + "," +
        face(d + "ExampleSans-Italic.ttf", "ExampleSans-Italic", "Italic", "Normal") + "," +
        face(d + "ExampleSans-Bold.ttf", "ExampleSans-Bold", "Normal", "Bold") +
        R"(],"family":"Example Sans","localName":"Example Sans"},)"
        R"({"childList":[)" +
        face(d + "ExampleTrio.ttc", "ExampleTrio-Regular", "Normal", "Normal") + "," +
        face(d + "ExampleTrio.ttc", "ExampleTrio-Italic", "Italic", "Normal") + "," +
        face(d + "ExampleTrio.ttc", "ExampleTrio-Bold", "Normal", "Bold") +
        R"(],"family":"Example Trio","localName":"Example Trio"},)"
        R"({"childList":[)" +
        face(d + "ExampleVar.ttf", "ExampleVar-Thin", "Normal", "Thin", wght(100)) + "," +
        face(d + "ExampleVar.ttf", "ExampleVar", "Normal", "Normal", wght(400)) + "," +
        face(d + "ExampleVar.ttf", "ExampleVar-SemiBold", "Normal", "SemiBold", wght(600)) + "," +
        face(d + "ExampleVar.ttf", "ExampleVar-Bold", "Normal", "Bold", wght(700)) +
        R"(],"family":"Example Var","isVariation":true,"localName":"Example Var",)"
        R"("variationRange":[{"defaultValue":400,"key":2003265652,"maxValue":900,"minValue":100}]}])";
    EXPECT_EQ(httpGet(agent.port, "/").body, expected);
}

TEST(Catalogue, FilesOfOneFamilyMergeAndTheFirstPathDescribesIt) {
    PrivateFontconfig fc;
    for (const char* fixture : {"grouping/ExampleMerge-A.ttf", "grouping/ExampleMerge-B.ttf",
                                "grouping/ExampleMerge-lower.ttf"}) {
        fc.install(fixture);
    }
    AgentProcess agent;
    ASSERT_TRUE(agent.startServing(fc));
    const json catalogue = catalogueOf(agent);
    ASSERT_EQ(catalogue.size(), 2u);
    const json& merged = catalogue[0];
    EXPECT_EQ(merged["family"], "Example Merge");
    EXPECT_EQ(merged["localName"], "Merge Local A");
    // The static first file decides: no axes, and no coordinates on the variable file's faces.
    EXPECT_FALSE(merged.contains("isVariation"));
    EXPECT_FALSE(merged.contains("variationRange"));
    std::vector<std::string> postScript;
    for (const json& f : merged["childList"]) {
        EXPECT_FALSE(f.contains("variations"));
        postScript.push_back(f["postScript"]);
    }
    EXPECT_EQ(postScript, (std::vector<std::string>{"ExampleMergeB", "ExampleMergeA-Bold",
                                                    "ExampleMergeB-Black"}));
    EXPECT_EQ(catalogue[1]["family"], "example merge");
}

TEST(Catalogue, FacesEqualInWeightAndSlantAllAppear) {
    PrivateFontconfig fc;
    for (int w = 1; w <= 9; ++w) fc.install("widths/ExampleWidth-W" + std::to_string(w) + ".ttf");
    AgentProcess agent;
    ASSERT_TRUE(agent.startServing(fc));
    const json catalogue = catalogueOf(agent);
    ASSERT_EQ(catalogue.size(), 1u);
    std::multiset<std::string> widths;
    for (const json& f : catalogue[0]["childList"]) widths.insert(f["width"].get<std::string>());
    EXPECT_EQ(widths, (std::multiset<std::string>{"UltraCondensed", "ExtraCondensed", "Condensed",
                                                  "SemiCondensed", "Normal", "SemiExpanded",
                                                  "Expanded", "ExtraExpanded", "UltraExpanded"}));
}

TEST(Catalogue, ExtensionFilterKeepsType1AndCompressedNamesOut) {
    PrivateFontconfig fc;
    for (const char* name : {"ExampleUpper.PFB", "ExampleT1.t1", "ExamplePcf.pcf.gz",
                             "ExamplePfa.pfa", "fonts.d/ExampleNoExt"}) {
        fc.install(std::string("extensions/") + name, name);
    }
    AgentProcess agent;
    ASSERT_TRUE(agent.startServing(fc));
    EXPECT_EQ(familyNames(catalogueOf(agent)),
              (std::set<std::string>{"Example Pfa", "Example NoExt"}));
    EXPECT_EQ(httpGet(agent.port, "/?file=" + urlEncode(fc.fontDir + "/ExampleUpper.PFB")).status,
              404);
    EXPECT_EQ(
        httpGet(agent.port, "/?file=" + urlEncode(fc.fontDir + "/fonts.d/ExampleNoExt")).status,
        200);
}

TEST(Catalogue, FontTruncatedInPlaceIsLeftOut) {
    PrivateFontconfig fc;
    fc.install("static/ExampleSans-Regular.ttf");
    const std::string bold = fc.install("static/ExampleSans-Bold.ttf");
    AgentProcess agent;
    ASSERT_TRUE(agent.startServing(fc));
    ASSERT_EQ(catalogueOf(agent)[0]["childList"].size(), 2u);
    ASSERT_EQ(truncate(bold.c_str(), 100), 0);
    const json catalogue = catalogueOf(agent);
    ASSERT_EQ(catalogue.size(), 1u);
    ASSERT_EQ(catalogue[0]["childList"].size(), 1u);
    EXPECT_EQ(catalogue[0]["childList"][0]["postScript"], "ExampleSans-Regular");
}

// No watch on the font folder sees a link's target change: links are looked at every time.
TEST(Catalogue, ALinkedFontWhoseTargetIsRewrittenIsDescribedAgain) {
    PrivateFontconfig fc;
    fc.install("static/ExampleSans-Regular.ttf");
    const std::string target = fc.root + "/Outside.ttf";
    writeFile(target, readFile(fixturePath("static/ExampleSans-Bold.ttf")));
    ASSERT_EQ(symlink(target.c_str(), (fc.fontDir + "/Linked.ttf").c_str()), 0);
    AgentProcess agent;
    ASSERT_TRUE(agent.startServing(fc));
    ASSERT_EQ(familyNames(catalogueOf(agent)), std::set<std::string>{"Example Sans"});
    writeFile(target, readFile(fixturePath("static/ExampleHeavy.ttf")));
    EXPECT_EQ(familyNames(catalogueOf(agent)),
              (std::set<std::string>{"Example Sans", "Example Heavy"}));
}

TEST(Catalogue, FileNameThatIsNotUtf8LeavesOnlyThatFontOut) {
    PrivateFontconfig fc;
    fc.install("static/ExampleSans-Regular.ttf");
    const std::string odd = fc.install("static/ExampleHeavy.ttf", "Odd\xFFName.ttf");
    AgentProcess agent;
    ASSERT_TRUE(agent.startServing(fc));
    const HttpResponse response = httpGet(agent.port, "/");
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.reason, "OK");
    EXPECT_EQ(familyNames(json::parse(response.body)), (std::set<std::string>{"Example Sans"}));
    EXPECT_EQ(agent.stop(SIGTERM), 0);
    const std::string out = agent.readStdout();
    EXPECT_NE(out.find(odd), std::string::npos) << out;
}

TEST(Catalogue, FontsAddedAndRemovedWhileRunningShowInTheNextRequest) {
    PrivateFontconfig fc;
    fc.install("static/ExampleSans-Regular.ttf");
    AgentProcess agent;
    ASSERT_TRUE(agent.startServing(fc));
    EXPECT_EQ(familyNames(catalogueOf(agent)), (std::set<std::string>{"Example Sans"}));

    // No pause: changes within the same second as the last look must be seen too.
    const std::string added = fc.install("static/ExampleHeavy.ttf");
    EXPECT_EQ(familyNames(catalogueOf(agent)),
              (std::set<std::string>{"Example Sans", "Example Heavy"}));
    EXPECT_EQ(httpGet(agent.port, "/?file=" + urlEncode(added)).status, 200);

    const std::string inSubfolder =
        fc.install("collection/ExampleTrio.ttc", "more/ExampleTrio.ttc");
    EXPECT_EQ(familyNames(catalogueOf(agent)),
              (std::set<std::string>{"Example Sans", "Example Heavy", "Example Trio"}));

    fs::remove(added);
    fs::remove(inSubfolder);
    EXPECT_EQ(familyNames(catalogueOf(agent)), (std::set<std::string>{"Example Sans"}));
    EXPECT_EQ(httpGet(agent.port, "/?file=" + urlEncode(added)).status, 404);
}

// Against the machine's own fonts: every font file fontconfig lists, that passes the extension
// filter and that FreeType can read as a font with an OS/2 table, is in the catalogue.
TEST(Catalogue, MachineFontsMatchFontconfigsListing) {
    FILE* pipe = popen("fc-list --format '%{file}\\n' 2>/dev/null", "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> listed;
    char line[4096];
    while (fgets(line, sizeof line, pipe) != nullptr) {
        std::string path(line);
        if (!path.empty() && path.back() == '\n') path.pop_back();
        if (!path.empty()) listed.insert(path);
    }
    pclose(pipe);

    FT_Library raw = nullptr;
    ASSERT_EQ(FT_Init_FreeType(&raw), 0);
    const FtLibraryPtr library(raw);
    std::set<std::string> expected;
    for (const std::string& path : listed) {
        if (!canSupportFontFormat(path.c_str())) continue;
        FT_Face face = nullptr;
        if (FT_New_Face(library.get(), path.c_str(), 0, &face) != 0) continue;
        const FtFacePtr owned(face);
        if (face->family_name != nullptr && FT_Get_Sfnt_Table(face, FT_SFNT_OS2) != nullptr) {
            expected.insert(path);
        }
    }

    std::unique_ptr<ResultSet> set(getAvailableFonts());
    std::set<std::string> catalogued;
    for (const Typeface* family : *set) {
        for (const TypefaceItem& item : family->childList) catalogued.insert(item.file);
    }
    EXPECT_EQ(catalogued, expected);
}

TEST(Catalogue, AnsweredAgainAfterChangesItEqualsAFreshAgentsAnswer) {
    PrivateFontconfig fc;
    for (const char* fixture : {"static/ExampleSans-Regular.ttf", "static/ExampleSans-Italic.ttf",
                                "static/ExampleSans-Bold.ttf", "variable/ExampleVar.ttf"}) {
        fc.install(fixture);
    }
    AgentProcess agent;
    ASSERT_TRUE(agent.startServing(fc));
    const std::string cold = httpGet(agent.port, "/").body;
    EXPECT_EQ(httpGet(agent.port, "/").body, cold);

    // Rewritten in place, replaced by a rename, removed, added.
    writeFile(fc.fontDir + "/ExampleSans-Bold.ttf",
              readFile(fixturePath("static/ExampleHeavy.ttf")));
    fc.install("collection/ExampleTrio.ttc", "incoming.tmp");
    fs::rename(fc.fontDir + "/incoming.tmp", fc.fontDir + "/ExampleVar.ttf");
    fs::remove(fc.fontDir + "/ExampleSans-Italic.ttf");
    fc.install("variable/ExampleSlant.ttf");
    const std::string warm = httpGet(agent.port, "/").body;
    EXPECT_NE(warm, cold);

    AgentProcess fresh;
    ASSERT_TRUE(fresh.startServing(fc));
    EXPECT_EQ(httpGet(fresh.port, "/").body, warm);
    EXPECT_EQ(
        familyNames(json::parse(warm)),
        (std::set<std::string>{"Example Sans", "Example Heavy", "Example Trio", "Example Slant"}));
}

TEST(Catalogue, AConfiguredFolderCreatedWhileRunningIsSeen) {
    PrivateFontconfig fc({"later/deeper"});
    fc.install("static/ExampleSans-Regular.ttf");
    AgentProcess agent;
    ASSERT_TRUE(agent.startServing(fc));
    EXPECT_EQ(familyNames(catalogueOf(agent)), (std::set<std::string>{"Example Sans"}));
    EXPECT_EQ(
        httpGet(agent.port, "/?file=" + urlEncode(fc.fontDir + "/ExampleSans-Regular.ttf")).status,
        200);

    fs::create_directories(fc.root + "/later/deeper");
    const std::string late = fc.root + "/later/deeper/ExampleHeavy.ttf";
    fs::copy_file(fixturePath("static/ExampleHeavy.ttf"), late);
    // The file route alone must notice it, without a catalogue request in between.
    EXPECT_EQ(httpGet(agent.port, "/?file=" + urlEncode(late)).status, 200);
    EXPECT_EQ(familyNames(catalogueOf(agent)),
              (std::set<std::string>{"Example Sans", "Example Heavy"}));
}

TEST(Catalogue, AConfigurationChangeIsSeen) {
    PrivateFontconfig fc;
    fc.install("static/ExampleSans-Regular.ttf");
    const std::string other = fc.root + "/other";
    fs::create_directories(other);
    fs::copy_file(fixturePath("static/ExampleHeavy.ttf"), other + "/ExampleHeavy.ttf");
    AgentProcess agent;
    ASSERT_TRUE(agent.startServing(fc));
    EXPECT_EQ(familyNames(catalogueOf(agent)), (std::set<std::string>{"Example Sans"}));

    std::string conf = readFile(fc.confFile);
    conf.replace(conf.find("<cachedir>"), 0, "<dir>" + other + "</dir>\n  ");
    writeFile(fc.confFile, conf);
    EXPECT_EQ(familyNames(catalogueOf(agent)),
              (std::set<std::string>{"Example Sans", "Example Heavy"}));
}
