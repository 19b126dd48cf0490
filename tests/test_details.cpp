// The detailed catalogue ("details=1"): the plain document with members for font pickers added.

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "AgentProcess.h"

using json = nlohmann::json;

namespace {

const char* const kDetailFixtures[] = {
    "collection/ExampleTrio.ttc",  "variable/ExampleVar.ttf",     "details/ExampleHiddenAxis.ttf",
    "details/ExampleMono.ttf",     "details/ExampleCjk.ttf",      "static/ExampleSans-Regular.ttf",
    "static/ExampleSans-Bold.ttf", "details/ExampleFeatures.ttf", "details/ExampleFeaturesCut.ttf"};

const std::vector<std::string> kFaceDetails = {"index",     "namedInstance", "fullName",
                                               "languages", "format",        "color",
                                               "monospace", "fileSize",      "features"};
const std::vector<std::string> kAxisDetails = {"name", "hidden"};

json withoutMembers(json object, const std::vector<std::string>& members) {
    for (const std::string& member : members) object.erase(member);
    return object;
}

// The detailed document with every added member taken out again.
json plainPartOf(json catalogue) {
    for (json& family : catalogue) {
        for (json& face : family["childList"]) face = withoutMembers(face, kFaceDetails);
        if (family.contains("variationRange")) {
            for (json& axis : family["variationRange"]) axis = withoutMembers(axis, kAxisDetails);
        }
    }
    return catalogue;
}

const json& familyNamed(const json& catalogue, const std::string& name) {
    for (const json& family : catalogue) {
        if (family["family"] == name) return family;
    }
    static const json none;
    ADD_FAILURE() << "no family " << name;
    return none;
}

const json& faceNamed(const json& family, const std::string& postScript) {
    for (const json& face : family["childList"]) {
        if (face["postScript"] == postScript) return face;
    }
    static const json none = json::object();
    ADD_FAILURE() << "no face " << postScript;
    return none;
}

class DetailedCatalogue : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* fixture : kDetailFixtures) fc.install(fixture);
        ASSERT_TRUE(agent.startServing(fc));
        const HttpResponse plainReply = httpGet(agent.port, "/");
        const HttpResponse detailedReply = httpGet(agent.port, "/?details=1");
        ASSERT_EQ(plainReply.status, 200);
        ASSERT_EQ(detailedReply.status, 200);
        plainText = plainReply.body;
        plain = json::parse(plainReply.body);
        detailed = json::parse(detailedReply.body);
    }

    PrivateFontconfig fc;
    AgentProcess agent;
    std::string plainText;
    json plain, detailed;
};

}  // namespace

TEST_F(DetailedCatalogue, IsThePlainDocumentWithMembersAddedAndLeavesThePlainOneAlone) {
    EXPECT_EQ(plainPartOf(detailed), plain);
    // Asked for after the detailed one, and with another value, the plain document is the same.
    EXPECT_EQ(httpGet(agent.port, "/").body, plainText);
    EXPECT_EQ(httpGet(agent.port, "/?details=0").body, plainText);
    for (const json& family : detailed) {
        for (const json& face : family["childList"]) {
            EXPECT_EQ(face["fileSize"], readFile(face["file"].get<std::string>()).size());
            EXPECT_EQ(face["format"], "TrueType");
            EXPECT_EQ(face["color"], false);
        }
    }
}

TEST_F(DetailedCatalogue, CollectionFacesCarryTheirIndex) {
    const json& trio = familyNamed(detailed, "Example Trio");
    EXPECT_EQ(faceNamed(trio, "ExampleTrio-Bold")["index"], 0);
    EXPECT_EQ(faceNamed(trio, "ExampleTrio-Regular")["index"], 1);
    EXPECT_EQ(faceNamed(trio, "ExampleTrio-Italic")["index"], 2);
    EXPECT_EQ(faceNamed(trio, "ExampleTrio-Italic")["fullName"], "Example Trio Italic");
    EXPECT_FALSE(faceNamed(trio, "ExampleTrio-Bold").contains("namedInstance"));
}

TEST_F(DetailedCatalogue, NamedInstancesAreNumberedAndNamedAfterTheirStyle) {
    const json& var = familyNamed(detailed, "Example Var");
    EXPECT_EQ(faceNamed(var, "ExampleVar-Thin")["namedInstance"], 1);
    EXPECT_EQ(faceNamed(var, "ExampleVar-Bold")["namedInstance"], 4);
    EXPECT_EQ(faceNamed(var, "ExampleVar-SemiBold")["fullName"], "Example Var Semi Bold");
    EXPECT_EQ(faceNamed(var, "ExampleVar-SemiBold")["index"], 0);

    const json& axes = familyNamed(detailed, "Example Hidden Axis")["variationRange"];
    ASSERT_EQ(axes.size(), 2u);
    EXPECT_EQ(axes[0]["name"], "Weight");
    EXPECT_EQ(axes[0]["hidden"], false);
    EXPECT_EQ(axes[1]["name"], "Thickness");
    EXPECT_EQ(axes[1]["hidden"], true);
}

TEST_F(DetailedCatalogue, LanguagesAndSpacingComeFromFontconfig) {
    const json& cjk = faceNamed(familyNamed(detailed, "Example Cjk"), "ExampleCjk-Regular");
    EXPECT_EQ(cjk["languages"], json::array({"ja"}));
    const json& sans = faceNamed(familyNamed(detailed, "Example Sans"), "ExampleSans-Regular");
    const std::vector<std::string> latin = sans["languages"];
    EXPECT_FALSE(latin.empty());
    EXPECT_TRUE(std::is_sorted(latin.begin(), latin.end()));
    EXPECT_EQ(std::count(latin.begin(), latin.end(), "ja"), 0);

    EXPECT_EQ(faceNamed(familyNamed(detailed, "Example Mono"), "ExampleMono-Regular")["monospace"],
              true);
    EXPECT_EQ(sans["monospace"], false);
}

TEST_F(DetailedCatalogue, FacesListTheirLayoutFeaturesOnceWithTheNamesTheFontGivesThem) {
    // "liga" has three records in GSUB and GPOS; "ss02" names no name, "kern" cannot.
    const json& features =
        faceNamed(familyNamed(detailed, "Example Features"), "ExampleFeatures-Regular")["features"];
    EXPECT_EQ(features, json::parse(R"([{"name":"Accented e","tag":"cv01"},{"tag":"kern"},
        {"tag":"liga"},{"name":"Single-storey a","tag":"ss01"},{"tag":"ss02"}])"));
    // GSUB's feature list lies past the end of the table: only GPOS is read.
    EXPECT_EQ(faceNamed(familyNamed(detailed, "Example Features Cut"),
                        "ExampleFeaturesCut-Regular")["features"],
              json::parse(R"([{"tag":"kern"},{"tag":"liga"}])"));
    // Without GSUB and GPOS, every face and named instance still has the member.
    for (const char* family : {"Example Mono", "Example Var"}) {
        for (const json& face : familyNamed(detailed, family)["childList"]) {
            EXPECT_EQ(face["features"], json::array()) << face["postScript"];
        }
    }
}

// The first request of a fresh agent may be a detailed one, made from the families the start
// build grouped for the plain catalogue; a change after that build must not be missed.
TEST(DetailedCatalogueFirst, IsTheSameDocumentAndSeesAChangeMadeBeforeIt) {
    PrivateFontconfig fc;
    for (const char* fixture : kDetailFixtures) fc.install(fixture);
    AgentProcess agent;
    ASSERT_TRUE(agent.startServing(fc));
    const json first = json::parse(httpGet(agent.port, "/?details=1").body);
    EXPECT_EQ(plainPartOf(first), json::parse(httpGet(agent.port, "/").body));
    EXPECT_EQ(faceNamed(familyNamed(first, "Example Trio"), "ExampleTrio-Italic")["index"], 2);

    AgentProcess changed;
    ASSERT_TRUE(changed.startServing(fc));
    fc.install("static/ExampleHeavy.ttf");
    const json withHeavy = json::parse(httpGet(changed.port, "/?details=1").body);
    EXPECT_EQ(withHeavy.size(), first.size() + 1);
    EXPECT_EQ(faceNamed(familyNamed(withHeavy, "Example Heavy"), "ExampleHeavy-Black")["index"],
              0);
}
