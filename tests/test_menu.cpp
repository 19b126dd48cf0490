// The font menu route ("menu=1"): one face of each family, subset for a text, streamed as a
// line of JSON per family followed by its bytes.

#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "AgentProcess.h"
#include "webface/Sfnt.h"

using json = nlohmann::json;

namespace {

// A chunked body put back together; empty when the framing is broken.
std::string dechunked(const std::string& body) {
    std::string out;
    for (size_t at = 0;;) {
        const size_t line = body.find("\r\n", at);
        if (line == std::string::npos) return {};
        const size_t size = std::stoul(body.substr(at, line - at), nullptr, 16);
        if (size == 0) return out;
        if (line + 2 + size + 2 > body.size()) return {};
        out.append(body, line + 2, size);
        at = line + 2 + size + 2;
    }
}

struct MenuEntryRead {
    json line;
    std::string bytes;
};

struct MenuRead {
    json head;
    std::vector<MenuEntryRead> entries;
    bool whole = false;  // every line and every byte it announced was there, nothing more
};

MenuRead readMenu(const std::string& body) {
    MenuRead menu;
    size_t end = body.find('\n');
    if (end == std::string::npos) return menu;
    menu.head = json::parse(body.substr(0, end));
    size_t at = end + 1;
    while (at < body.size()) {
        end = body.find('\n', at);
        if (end == std::string::npos) return menu;
        MenuEntryRead entry{json::parse(body.substr(at, end - at)), {}};
        const size_t length = entry.line["length"];
        if (end + 1 + length > body.size()) return menu;
        entry.bytes = body.substr(end + 1, length);
        at = end + 1 + length;
        menu.entries.push_back(std::move(entry));
    }
    menu.whole = true;
    return menu;
}

class FontMenu : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* fixture :
             {"static/ExampleSans-Regular.ttf", "static/ExampleSans-Bold.ttf",
              "static/ExampleSans-Italic.ttf", "collection/ExampleTrio.ttc",
              "variable/ExampleVar.ttf", "pinned/ExampleWoff.woff"}) {
            fc.install(fixture);
        }
        ASSERT_TRUE(agent.startServing(fc));
        const HttpResponse reply = httpGet(agent.port, "/");
        ASSERT_EQ(reply.status, 200);
        catalogue = json::parse(reply.body);
        etag = reply.header("ETag");
    }

    MenuRead menu(const std::string& query, HttpResponse* response = nullptr) {
        const HttpResponse reply = httpGet(agent.port, "/?menu=1" + query);
        if (response != nullptr) *response = reply;
        return readMenu(dechunked(reply.body));
    }

    PrivateFontconfig fc;
    AgentProcess agent;
    json catalogue;
    std::string etag;
};

// The face the menu is to show for a family: its first "Normal" face, else its first.
const json& standingFace(const json& family) {
    for (const json& face : family["childList"]) {
        if (face["weight"] == "Normal" && face["width"] == "Normal" && face["slant"] == "Normal")
            return face;
    }
    return family["childList"][0];
}

}  // namespace

TEST_F(FontMenu, EveryFamilyInTheCataloguesOrderWithItsSubsetOrWhyNot) {
    HttpResponse reply;
    const MenuRead read = menu("", &reply);
    ASSERT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("Content-Type"), "application/vnd.vorn.font-menu");
    EXPECT_EQ(reply.header("Access-Control-Allow-Origin"), "*");
    ASSERT_TRUE(read.whole);
    EXPECT_EQ(read.head["catalogue"], etag);
    EXPECT_EQ(read.head["families"], catalogue.size());
    ASSERT_EQ(read.entries.size(), catalogue.size());

    int subsets = 0, refusals = 0;
    for (size_t i = 0; i < read.entries.size(); ++i) {
        const json& line = read.entries[i].line;
        const json& face = standingFace(catalogue[i]);
        EXPECT_EQ(line["family"], i);
        EXPECT_EQ(line["file"], face["file"]);
        EXPECT_EQ(line["postScript"], face["postScript"]) << line;
        const std::string file = line["file"];
        if (line["length"] == 0) {
            ++refusals;
            EXPECT_TRUE(line.contains("error")) << line;
            EXPECT_NE(file.find(".woff"), std::string::npos) << line;
            continue;
        }
        ++subsets;
        const std::optional<FaceSubset> expected =
            subsetFace(readFile(file), line["index"], catalogue[i]["family"].get<std::string>());
        ASSERT_TRUE(expected) << line;
        EXPECT_EQ(read.entries[i].bytes, expected->bytes) << line;
        EXPECT_EQ(line["type"], expected->cff ? "font/otf" : "font/ttf");
        if (access(kOtsSanitize, X_OK) == 0) {
            EXPECT_TRUE(sanitizerAccepts(read.entries[i].bytes)) << line;
        }
    }
    EXPECT_GE(subsets, 3);
    EXPECT_EQ(refusals, 1);
}

TEST_F(FontMenu, AWindowAndATextChooseWhatIsSentAndItsValidator) {
    const MenuRead all = menu("&text=Ab");
    ASSERT_TRUE(all.whole);
    ASSERT_GE(all.entries.size(), 3u);
    const MenuRead window = menu("&from=1&count=2&text=Ab");
    ASSERT_TRUE(window.whole);
    ASSERT_EQ(window.entries.size(), 2u);
    EXPECT_EQ(window.head["families"], catalogue.size());
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(window.entries[i].line, all.entries[i + 1].line);
        EXPECT_EQ(window.entries[i].bytes, all.entries[i + 1].bytes);
    }
    EXPECT_TRUE(menu("&from=" + std::to_string(catalogue.size())).entries.empty());
    // The text is the subset's, not the family name's.
    const std::string file = all.entries[0].line["file"];
    EXPECT_EQ(all.entries[0].bytes,
              subsetFace(readFile(file), all.entries[0].line["index"], "Ab").value().bytes);

    HttpResponse first;
    menu("&from=1&count=2", &first);
    const std::string tag = first.header("ETag");
    ASSERT_FALSE(tag.empty());
    const auto conditional = [&](const std::string& query) {
        return httpExchange(agent.port, "GET /?menu=1" + query +
                                            " HTTP/1.1\r\nHost: x\r\nIf-None-Match: " + tag +
                                            "\r\n\r\n");
    };
    EXPECT_EQ(conditional("&from=1&count=2").status, 304);
    EXPECT_EQ(conditional("&from=1&count=3").status, 200);
    EXPECT_EQ(conditional("&from=1&count=2&text=x").status, 200);
}

TEST_F(FontMenu, PickedFamiliesComeInTheirOrderAsTheWholeMenuSendsThem) {
    const MenuRead all = menu("");
    ASSERT_TRUE(all.whole);
    ASSERT_GE(all.entries.size(), 3u);
    const size_t beyond = catalogue.size();
    HttpResponse reply;
    const MenuRead picked = menu("&families=2,0," + std::to_string(beyond) + ",2", &reply);
    ASSERT_TRUE(picked.whole);
    EXPECT_EQ(picked.head["families"], catalogue.size());
    // An index beyond the catalogue (a page's list from before a change) is left out.
    ASSERT_EQ(picked.entries.size(), 3u);
    const size_t order[] = {2, 0, 2};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(picked.entries[i].line, all.entries[order[i]].line);
        EXPECT_EQ(picked.entries[i].bytes, all.entries[order[i]].bytes);
    }
    HttpResponse window;
    menu("&from=2&count=1", &window);
    HttpResponse one;
    menu("&families=2", &one);
    EXPECT_NE(one.header("ETag"), window.header("ETag"));
    EXPECT_NE(one.header("ETag"), reply.header("ETag"));
}

TEST_F(FontMenu, BadParametersAre400) {
    std::string tooMany = "&families=0";  // 1,001 families
    for (int i = 0; i < 1000; ++i) tooMany += ",0";
    for (const std::string& query :
         {std::string("&from=-1"), std::string("&from=x"), std::string("&count=0"),
          std::string("&count=100001"), std::string("&count="), std::string("&text="),
          "&text=" + std::string(1025, 'a'), std::string("&text=%C0%AF"),
          std::string("&families="), std::string("&families=1,"), std::string("&families=1,,2"),
          std::string("&families=-1"), std::string("&families=0&from=0"),
          std::string("&families=0&count=1"), tooMany}) {
        const HttpResponse reply = httpGet(agent.port, "/?menu=1" + query);
        EXPECT_EQ(reply.status, 400) << query;
        EXPECT_EQ(reply.body, "") << query;
        EXPECT_EQ(reply.header("Access-Control-Allow-Origin"), "*") << query;
    }
}
