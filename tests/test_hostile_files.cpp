// Font folders that someone else is changing under the agent: files rewritten in place, links
// swapped, FIFOs named like fonts. The agent keeps serving, never serves a file it did not
// describe, and always stops on a stop signal.

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "AgentProcess.h"

namespace {

// Runs `change` over and over on a thread of its own until destroyed (or a bound is reached).
class Churn {
  public:
    template <typename Change>
    explicit Churn(Change change)
        : thread_([this, change] {
              for (int i = 0; i < 1000000 && !stop_; ++i) change(i);
          }) {}
    ~Churn() {
        stop_ = true;
        thread_.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Truncates the file and writes `bytes` in pieces, as `cp new.ttf old.ttf` does.
void rewriteInPlace(const std::string& path, const std::string& bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return;
    for (size_t at = 0; at < bytes.size(); at += 64 * 1024) {
        if (write(fd, bytes.data() + at, std::min<size_t>(64 * 1024, bytes.size() - at)) < 0) break;
    }
    close(fd);
}

bool isExpectedStatus(int status) {
    return status == 200 || status == 400 || status == 404 || status == 503;
}

}  // namespace

TEST(HostileFiles, AFontRewrittenInPlaceWhileFacesAreMadeNeverEndsTheAgent) {
    PrivateFontconfig fc;
    // Padding after the tables keeps both versions fonts and makes each rewrite take a while.
    const std::string padding(4 << 20, '\0');
    const std::string versions[] = {readFile(fixturePath("collection/ExampleTrio.ttc")) + padding,
                                    readFile(fixturePath("webface/ExampleWebTrio.ttc")) + padding};
    const std::string font = fc.fontDir + "/Moving.ttc";
    writeFile(font, versions[0]);
    AgentProcess agent;
    ASSERT_TRUE(agent.startServing(fc));
    ASSERT_EQ(httpGet(agent.port, "/?file=" + urlEncode(font) + "&face=1").status, 200);
    {
        Churn writer([&](int i) { rewriteInPlace(font, versions[i % 2]); });
        int answered = 0;
        for (int i = 0; i < 300; ++i) {
            const std::string rest = i % 3 == 0   ? "&face=2"
                                     : i % 3 == 1 ? "&face=1&text=" + std::to_string(i)
                                                  : "&text=Hi" + std::to_string(i);
            const HttpResponse reply = httpGet(agent.port, "/?file=" + urlEncode(font) + rest);
            if (!reply.received) break;
            EXPECT_TRUE(isExpectedStatus(reply.status)) << reply.status;
            ++answered;
        }
        EXPECT_EQ(answered, 300);
    }
    ASSERT_TRUE(agent.running());
    writeFile(font, versions[1]);
    EXPECT_EQ(httpGet(agent.port, "/?file=" + urlEncode(font) + "&face=1&text=ok").status, 200);
    EXPECT_EQ(agent.stop(SIGTERM), 0);
}

TEST(HostileFiles, ALinkSwappedBetweenAFontAndAnotherFileNeverServesTheOther) {
    PrivateFontconfig fc;
    const std::string font = fc.root + "/Real.ttf";
    writeFile(font, readFile(fixturePath("static/ExampleSans-Regular.ttf")));
    const std::string secret = fc.root + "/secret.txt";
    std::string secretText;
    while (secretText.size() < 4096) secretText += "not a font, a secret. ";
    writeFile(secret, secretText);
    const std::string link = fc.fontDir + "/Link.ttf";
    ASSERT_EQ(symlink(font.c_str(), link.c_str()), 0);
    AgentProcess agent;
    ASSERT_TRUE(agent.startServing(fc));
    ASSERT_EQ(httpGet(agent.port, "/?file=" + urlEncode(link)).status, 200);

    int leaked = 0;
    {
        // Swapped atomically, as a hostile process would, so that the link always exists.
        const std::string spare = fc.fontDir + "/.swap";
        Churn swapper([&](int i) {
            unlink(spare.c_str());
            if (symlink(i % 2 == 0 ? secret.c_str() : font.c_str(), spare.c_str()) == 0) {
                rename(spare.c_str(), link.c_str());
            }
        });
        for (int i = 0; i < 300; ++i) {
            const char* rest = i % 3 == 0 ? "" : i % 3 == 1 ? "&face=0" : "&text=Hi";
            const HttpResponse reply = httpGet(agent.port, "/?file=" + urlEncode(link) + rest);
            EXPECT_TRUE(isExpectedStatus(reply.status)) << reply.status;
            if (reply.body.find("a secret") != std::string::npos) ++leaked;
        }
    }
    EXPECT_EQ(leaked, 0);
    EXPECT_EQ(agent.stop(SIGTERM), 0);
}

TEST(HostileFiles, AFifoNamedLikeAFontNeitherHangsTheCatalogueNorTheStop) {
    PrivateFontconfig fc;
    fc.install("static/ExampleSans-Regular.ttf");
    ASSERT_EQ(mkfifo((fc.fontDir + "/Pipe.ttf").c_str(), 0600), 0);
    AgentProcess agent;
    ASSERT_TRUE(agent.startServing(fc));
    const std::string request = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    const HttpResponse first = httpExchange(agent.port, request, 15);
    EXPECT_EQ(first.status, 200);
    EXPECT_NE(first.body.find("ExampleSans-Regular"), std::string::npos);
    EXPECT_EQ(first.body.find("Pipe"), std::string::npos);

    // One more after the start, with a font: the font shows, the FIFO does not.
    ASSERT_EQ(mkfifo((fc.fontDir + "/Pipe2.otf").c_str(), 0600), 0);
    fc.install("static/ExampleSans-Bold.ttf");
    const HttpResponse second = httpExchange(agent.port, request, 15);
    EXPECT_NE(second.body.find("ExampleSans-Bold"), std::string::npos);
    EXPECT_EQ(agent.stop(SIGTERM), 0);
}

// fontconfig itself blocks here (a FIFO included as a configuration file), where the agent can
// do nothing about it: a request then waits a bounded time, and a stop signal still stops.
TEST(HostileFiles, AScanThatNeverEndsStillLetsTheAgentStop) {
    PrivateFontconfig fc;
    fc.install("static/ExampleSans-Regular.ttf");
    const std::string stuck = fc.root + "/stuck.conf";
    ASSERT_EQ(mkfifo(stuck.c_str(), 0600), 0);
    std::string conf = readFile(fc.confFile);
    conf.insert(conf.rfind("</fontconfig>"), "  <include ignore_missing=\"yes\">" + stuck +
                                                 "</include>\n");
    writeFile(fc.confFile, conf);
    AgentProcess agent;
    ASSERT_TRUE(agent.startServing(fc));
    const int waiting = connectLoopback(agent.port);
    ASSERT_GE(waiting, 0);
    const std::string request = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(send(waiting, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    usleep(200 * 1000);
    kill(agent.pid, SIGTERM);
    EXPECT_EQ(agent.waitExit(3000), 0);
    close(waiting);
}
