// The catalogue restricted to the faces that map every character of a text ("covers=TEXT"),
// against what fc-list reports of the same fontconfig world.

#include <cstdio>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "AgentProcess.h"
#include "core/Utf8.h"

using json = nlohmann::json;

namespace {

// Latin, Greek, CJK, a collection, named instances and CFF outlines; the Greek family's bold
// alone maps Latin letters too.
const char* const kCoversFixtures[] = {
    "static/ExampleSans-Regular.ttf", "static/ExampleSans-Bold.ttf",
    "coverage/ExampleGreek.ttf",      "coverage/ExampleGreek-Bold.ttf",
    "details/ExampleCjk.ttf",         "collection/ExampleTrio.ttc",
    "variable/ExampleVar.ttf",        "webface/ExampleWebTrio.ttc",
    "webface/ExampleLigatures.otf"};

using FaceKey = std::pair<std::string, int>;

// The faces `fc-list ':charset=…' file index` lists under `conf`, by file and face index (the
// named-instance bits dropped: an instance maps what its face maps).
std::set<FaceKey> fcListCovering(const std::string& conf, const std::string& text) {
    std::string charset;
    const std::u32string characters = decodeUtf8(text).value();
    for (const char32_t character : characters) {
        char hex[16];
        snprintf(hex, sizeof hex, "%s%x", charset.empty() ? "" : " ",
                 static_cast<unsigned>(character));
        charset += hex;
    }
    const std::string command = "FONTCONFIG_FILE='" + conf + "' fc-list ':charset=" + charset +
                                "' file index --format '%{file}\\t%{index}\\n'";
    std::set<FaceKey> faces;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return faces;
    char line[4096];
    while (fgets(line, sizeof line, pipe) != nullptr) {
        const std::string entry(line);
        const size_t tab = entry.find('\t');
        if (tab == std::string::npos) continue;
        faces.emplace(entry.substr(0, tab), std::stoi(entry.substr(tab + 1)) & 0xFFFF);
    }
    pclose(pipe);
    return faces;
}

// `document` with only the faces whose position in `detailed` (the same faces, in the same
// order) names one of `faces`; families left with none are left out.
json keepFaces(const json& document, const json& detailed, const std::set<FaceKey>& faces) {
    json kept = json::array();
    for (size_t f = 0; f < document.size(); ++f) {
        json family = document[f];
        family["childList"] = json::array();
        const json& described = detailed[f]["childList"];
        for (size_t i = 0; i < described.size(); ++i) {
            const FaceKey key{described[i]["file"], described[i]["index"]};
            if (faces.count(key) != 0) family["childList"].push_back(document[f]["childList"][i]);
        }
        if (!family["childList"].empty()) kept.push_back(std::move(family));
    }
    return kept;
}

std::vector<std::string> postScriptNames(const json& family) {
    std::vector<std::string> names;
    for (const json& face : family["childList"]) names.push_back(face["postScript"]);
    return names;
}

class CoversCatalogue : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* fixture : kCoversFixtures) fc.install(fixture);
        ASSERT_TRUE(agent.startServing(fc));
        plain = httpGet(agent.port, "/");
        detailed = httpGet(agent.port, "/?details=1");
        ASSERT_EQ(plain.status, 200);
        ASSERT_EQ(detailed.status, 200);
    }

    HttpResponse covers(const std::string& text, const std::string& more = "") {
        return httpGet(agent.port, "/?covers=" + urlEncode(text) + more);
    }

    PrivateFontconfig fc;
    AgentProcess agent;
    HttpResponse plain, detailed;
};

}  // namespace

// Byte for byte the whole document's text with the faces fc-list does not list taken out, for
// texts the fixtures answer differently (the CJK face's map, from its UCS-4 subtable, lacks even
// the space).
TEST_F(CoversCatalogue, HoldsTheFacesFcListListsForTheTextPlainAndDetailed) {
    const json plainDocument = json::parse(plain.body);
    const json detailedDocument = json::parse(detailed.body);
    for (const std::string text : {"A", "\xC3\xA9", "\xCE\xA9", "\xE4\xB8\xAD", "A\xCE\xA9",
                                   "fi\xC3\xA9", " ", "\xE4\xB8\xAD\xE3\x81\x82"}) {
        SCOPED_TRACE(text);
        const std::set<FaceKey> listed = fcListCovering(fc.confFile, text);
        const HttpResponse covering = covers(text);
        const HttpResponse coveringDetailed = covers(text, "&details=1");
        ASSERT_EQ(covering.status, 200);
        ASSERT_EQ(coveringDetailed.status, 200);
        EXPECT_EQ(covering.body, keepFaces(plainDocument, detailedDocument, listed).dump());
        EXPECT_EQ(coveringDetailed.body,
                  keepFaces(detailedDocument, detailedDocument, listed).dump());
        EXPECT_EQ(covering.header("Content-Type"), plain.header("Content-Type"));
        EXPECT_EQ(covering.header("Access-Control-Allow-Origin"), "*");
    }
}

TEST_F(CoversCatalogue, LeavesOutFamiliesWithNoFaceThatMapsTheText) {
    const json greek = json::parse(covers("\xCE\xA9").body);  // Ω
    ASSERT_EQ(greek.size(), 1u);
    EXPECT_EQ(greek[0]["family"], "Example Greek");
    EXPECT_EQ(postScriptNames(greek[0]),
              (std::vector<std::string>{"ExampleGreek-Regular", "ExampleGreek-Bold"}));
    const json both = json::parse(covers("\xCE\xA9"
                                         "A")
                                      .body);
    ASSERT_EQ(both.size(), 1u);
    EXPECT_EQ(postScriptNames(both[0]), std::vector<std::string>{"ExampleGreek-Bold"});
    // A character no fixture maps leaves an empty list.
    EXPECT_EQ(covers("\xF0\x9F\x98\x80").body, "[]");
}

TEST_F(CoversCatalogue, RefusesAnEmptyTooLongOrUndecodableText) {
    std::string longest;
    for (int i = 0; i < 1024; ++i) longest += "\xC3\xA9";  // é, two bytes each
    EXPECT_EQ(covers(longest).status, 200);
    const std::string refused[] = {
        "/?covers=",
        "/?covers=" + urlEncode(longest + "A"),  // 1,025 characters
        "/?covers=%FF",
        "/?covers=A%C3",         // a sequence cut short
        "/?covers=%ED%A0%80",    // a surrogate
        "/?covers=%C1%81",       // an overlong "A"
        "/?covers=%ZZ",          // not even an escape
        "/?details=1&covers=%",  // a trailing %
    };
    for (const std::string& target : refused) {
        SCOPED_TRACE(target);
        const HttpResponse reply = httpGet(agent.port, target);
        EXPECT_EQ(reply.status, 400);
        EXPECT_EQ(reply.body, "");
        EXPECT_EQ(reply.header("Server"), "httpd v 0.0.1");
        EXPECT_EQ(reply.header("Access-Control-Allow-Origin"), "*");
    }
}

TEST_F(CoversCatalogue, HasItsOwnValidatorAndLeavesTheWholeDocumentsAlone) {
    const HttpResponse first = covers("AAB");
    const std::string tag = first.header("ETag");
    ASSERT_FALSE(tag.empty());
    EXPECT_EQ(first.header("Cache-Control"), "no-cache");
    // The same characters in another order, or repeated, are the same document.
    const HttpResponse same = covers("BA");
    EXPECT_EQ(same.header("ETag"), tag);
    EXPECT_EQ(same.body, first.body);
    const std::set<std::string> others = {plain.header("ETag"), detailed.header("ETag"),
                                          covers("AB", "&details=1").header("ETag"),
                                          covers("ABC").header("ETag")};
    EXPECT_EQ(others.size(), 4u);
    EXPECT_EQ(others.count(tag), 0u);

    const HttpResponse revalidated = httpExchange(
        agent.port, "GET /?covers=BA HTTP/1.1\r\nHost: x\r\nIf-None-Match: " + tag + "\r\n\r\n");
    EXPECT_EQ(revalidated.status, 304);
    EXPECT_EQ(revalidated.body, "");
    EXPECT_EQ(revalidated.header("ETag"), tag);

    const HttpResponse plainAgain = httpGet(agent.port, "/");
    const HttpResponse detailedAgain = httpGet(agent.port, "/?details=1");
    EXPECT_EQ(plainAgain.body, plain.body);
    EXPECT_EQ(plainAgain.header("ETag"), plain.header("ETag"));
    EXPECT_EQ(detailedAgain.body, detailed.body);
    EXPECT_EQ(detailedAgain.header("ETag"), detailed.header("ETag"));
}
