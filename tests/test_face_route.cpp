// The file route's web faces end to end: `face=N` and `text=TEXT` on a listed file.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AgentProcess.h"
#include "webface/Sfnt.h"

namespace {

const std::vector<std::string> kFileHeaderNames = {
    "Server", "Content-Type", "Access-Control-Allow-Origin", "Connection", "Content-Disposition"};

class FaceRoute : public testing::Test {
  protected:
    void SetUp() override {
        trio = fc.install("collection/ExampleTrio.ttc");
        single = fc.install("variable/ExampleVarDeltas.ttf");
        woff = fc.install("pinned/ExampleWoff.woff");
        ASSERT_TRUE(agent.startServing(fc));
    }

    HttpResponse get(const std::string& file, const std::string& rest) {
        return httpGet(agent.port, "/?file=" + urlEncode(file) + rest);
    }

    PrivateFontconfig fc;
    AgentProcess agent;
    std::string trio, single, woff;
};

std::vector<std::string> firstNames(const HttpResponse& response) {
    std::vector<std::string> names = response.headerNames();
    names.resize(std::min(names.size(), kFileHeaderNames.size()));
    return names;
}

}  // namespace

TEST_F(FaceRoute, AFaceOfACollectionStandsAloneAndASingleFaceIsTheFile) {
    const std::string bytes = readFile(trio);
    for (unsigned face = 0; face < 3; ++face) {
        const HttpResponse reply = get(trio, "&face=" + std::to_string(face));
        ASSERT_EQ(reply.status, 200) << face;
        EXPECT_EQ(firstNames(reply), kFileHeaderNames);
        EXPECT_EQ(reply.header("Content-Type"), "font/ttf");
        EXPECT_EQ(reply.header("Content-Disposition"), "attachment; filename=\"ExampleTrio.ttc\"");
        EXPECT_EQ(reply.body, cutFace(bytes, face).value()) << face;
    }
    const HttpResponse whole = get(single, "&face=0");
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.header("Content-Type"), "font/ttf");
    EXPECT_EQ(whole.body, readFile(single));
}

TEST_F(FaceRoute, ASubsetIsTheSubsettersAndNeverStale) {
    const HttpResponse first = get(trio, "&face=2&text=Hi%20there");
    ASSERT_EQ(first.status, 200);
    EXPECT_EQ(firstNames(first), kFileHeaderNames);
    EXPECT_EQ(first.header("Content-Type"), "font/ttf");
    EXPECT_EQ(first.body, subsetFace(readFile(trio), 2, "Hi there").value().bytes);
    EXPECT_EQ(get(trio, "&face=2&text=Hi%20there").body, first.body);  // remembered
    const std::string target = "/?file=" + urlEncode(trio) + "&face=2&text=Hi%20there";
    const HttpResponse again =
        httpExchange(agent.port, "GET " + target + " HTTP/1.1\r\nHost: x\r\nIf-None-Match: " +
                                     first.header("ETag") + "\r\n\r\n");
    EXPECT_EQ(again.status, 304);
    EXPECT_NE(first.header("ETag"), get(trio, "&face=1&text=Hi%20there").header("ETag"));
    // Another text is another subset, not the one remembered.
    const HttpResponse other = get(trio, "&face=2&text=Zq");
    EXPECT_EQ(other.body, subsetFace(readFile(trio), 2, "Zq").value().bytes);
    EXPECT_NE(other.body, first.body);

    // The same path rewritten with another font: the subset is made from the new one.
    writeFile(trio, readFile(fixturePath("webface/ExampleWebTrio.ttc")));
    const HttpResponse after = get(trio, "&face=2&text=Hi%20there");
    ASSERT_EQ(after.status, 200);
    EXPECT_EQ(after.body, subsetFace(readFile(trio), 2, "Hi there").value().bytes);
    EXPECT_NE(after.body, first.body);
}

TEST_F(FaceRoute, WhatIsNoSfntIsServedWhole) {
    for (const char* rest : {"&face=0", "&text=Hi", "&face=0&text=Hi"}) {
        const HttpResponse reply = get(woff, rest);
        EXPECT_EQ(reply.status, 200) << rest;
        EXPECT_EQ(reply.header("Content-Type"), "application/octet-stream") << rest;
        EXPECT_EQ(reply.body, readFile(woff)) << rest;
    }
    EXPECT_EQ(get(woff, "&face=1").status, 400);
}

TEST_F(FaceRoute, BadParametersAre400AndUnlistedPathsStay404) {
    const std::string longText(1025, 'a');
    for (const std::string& rest :
         {std::string("&face="), std::string("&face=x"), std::string("&face=-1"),
          std::string("&face=%2B1"), std::string("&face=3"), std::string("&face=99999999999"),
          std::string("&text="), "&text=" + longText, std::string("&text=%C0%AF"),
          std::string("&text=%ED%A0%80")}) {
        const HttpResponse reply = get(trio, rest);
        EXPECT_EQ(reply.status, 400) << rest;
        EXPECT_EQ(reply.body, "") << rest;
        EXPECT_EQ(reply.header("Access-Control-Allow-Origin"), "*") << rest;
    }
    EXPECT_EQ(get(trio, "&text=" + std::string(1024, 'a')).status, 200);
    for (const std::string& path : {std::string("/etc/passwd"), fc.fontDir + "/Missing.ttc"}) {
        for (const char* rest : {"&face=0", "&face=x", "&text=", "&text=Hi&face=9"}) {
            EXPECT_EQ(get(path, rest).status, 404) << path << rest;
        }
    }
}
