// The event stream ("events=1"): one catalogue event on connect and one per real change.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "AgentProcess.h"

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

// One stream, read from a raw socket.
class EventStreamClient {
  public:
    explicit EventStreamClient(int port) : fd_(connectLoopback(port)) {
        const std::string request = "GET /?events=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        if (fd_ >= 0) send(fd_, request.data(), request.size(), MSG_NOSIGNAL);
    }
    ~EventStreamClient() {
        if (fd_ >= 0) close(fd_);
    }
    EventStreamClient(const EventStreamClient&) = delete;
    EventStreamClient& operator=(const EventStreamClient&) = delete;

    // The data of the catalogue events that arrive within `seconds`, at most `most` of them.
    std::vector<json> events(double seconds, size_t most = 100) {
        std::vector<json> found;
        const auto until = Clock::now() + std::chrono::duration<double>(seconds);
        while (found.size() < most) {
            takeBlocks(&found, most);
            if (found.size() == most) return found;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            if (left.count() <= 0 || !readSome(static_cast<int>(left.count()))) break;
        }
        return found;
    }

    // Waits, at most `seconds`, until `count` heartbeats have come since the stream opened.
    bool awaitHeartbeats(int count, double seconds) {
        const auto until = Clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            takeBlocks(nullptr, 0);
            if (heartbeats_ >= count) return true;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            if (left.count() <= 0 || !readSome(static_cast<int>(left.count()))) return false;
        }
    }

    const std::string& head() const { return head_; }

  private:
    // Takes the whole blocks read so far: the data of catalogue events into `found` (when given,
    // up to `most`), heartbeats into the count.
    void takeBlocks(std::vector<json>* found, size_t most) {
        for (size_t end; (found == nullptr || found->size() < most) &&
                         (end = text_.find("\n\n")) != std::string::npos;) {
            const std::string block = text_.substr(0, end);
            text_.erase(0, end + 2);
            const size_t data = block.find("data: ");
            if (block.rfind(":", 0) == 0) {
                ++heartbeats_;
            } else if (found != nullptr && block.find("event: catalogue") != std::string::npos &&
                       data != std::string::npos) {
                found->push_back(json::parse(block.substr(data + 6)));
            }
        }
    }

    // Appends what arrives within `ms`; false when nothing did or the stream ended.
    bool readSome(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return false;
        char chunk[4096];
        const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        std::string got(chunk, static_cast<size_t>(n));
        if (head_.empty()) {
            const size_t end = got.find("\r\n\r\n");
            head_ = got.substr(0, end);
            got.erase(0, end == std::string::npos ? got.size() : end + 4);
        }
        // Chunk sizes sit on lines of their own between the events; dropping every line that
        // is a bare hex number leaves the event text.
        for (size_t at = 0; (at = got.find("\r\n", at)) != std::string::npos;) {
            const size_t start = got.rfind('\n', at == 0 ? 0 : at - 1);
            const size_t from = start == std::string::npos || start >= at ? 0 : start + 1;
            got.erase(from, at + 2 - from);
            at = from;
        }
        text_ += got;
        return true;
    }

    int fd_;
    std::string head_;
    std::string text_;
    int heartbeats_ = 0;
};

int openDescriptors(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(dir),
                                          std::filesystem::directory_iterator{}));
}

}  // namespace

TEST(EventStream, EachRealChangeGivesExactlyOneEventWithTheNewCounts) {
    PrivateFontconfig fc;
    fc.install("static/ExampleSans-Regular.ttf");
    AgentProcess agent;
    ASSERT_TRUE(agent.startServing(fc));
    EventStreamClient stream(agent.port);
    const std::vector<json> first = stream.events(5, 1);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0]["families"], 1);
    EXPECT_EQ(first[0]["faces"], 1);
    EXPECT_NE(stream.head().find("Content-Type: text/event-stream"), std::string::npos);
    EXPECT_NE(stream.head().find("Cache-Control: no-store"), std::string::npos);
    EXPECT_NE(stream.head().find("Access-Control-Allow-Origin: *"), std::string::npos);

    json last = first[0];
    // The next event is this change's own: an extra one, for a change or for nothing, would come
    // first, with other counts or the last validator again.
    const auto expectNextEvent = [&](int faces, const char* what) {
        std::vector<json> seen = stream.events(5, 1);
        ASSERT_EQ(seen.size(), 1u) << what;
        EXPECT_EQ(seen[0]["faces"], faces) << what;
        EXPECT_NE(seen[0]["validator"], last["validator"]) << what;
        last = seen[0];
    };
    const std::string bold = fc.install("static/ExampleSans-Bold.ttf");
    expectNextEvent(2, "a font copied in");
    std::filesystem::remove(bold);
    expectNextEvent(1, "a font removed");

    // Ten files copied in one after another are announced together, not one by one.
    for (int i = 0; i < 10; ++i)
        fc.install("static/ExampleSans-Italic.ttf", "Burst" + std::to_string(i) + ".ttf");
    int events = 0;
    for (std::vector<json> seen; events < 10 && last["faces"] != 11; last = seen[0]) {
        seen = stream.events(5, 1);
        if (seen.empty()) break;
        ++events;
    }
    EXPECT_EQ(last["faces"], 11);
    EXPECT_LT(events, 10) << "each file of the burst was announced";

    // A change that leaves the document as it was is no news: the next event is the next
    // real change's.
    const std::string touched = fc.fontDir + "/Burst0.ttf";
    ASSERT_EQ(utimensat(AT_FDCWD, touched.c_str(), nullptr, 0), 0);
    std::filesystem::remove(fc.fontDir + "/Burst1.ttf");
    expectNextEvent(10, "a file removed after one touched");
}

// A family installed file by file is announced once it has settled, but a burst that keeps
// going is still announced while it goes on.
TEST(EventStream, ABurstThatKeepsGoingIsAnnouncedWhileItGoesOn) {
    PrivateFontconfig fc;
    fc.install("static/ExampleSans-Regular.ttf");
    AgentProcess agent;
    ASSERT_TRUE(agent.startServing(fc));
    EventStreamClient stream(agent.port);
    ASSERT_EQ(stream.events(5, 1).size(), 1u);
    bool announced = false;
    for (int i = 0; i < 40 && !announced; ++i) {
        fc.install("static/ExampleSans-Italic.ttf", "Steady" + std::to_string(i) + ".ttf");
        announced = !stream.events(0.1, 1).empty();
    }
    EXPECT_TRUE(announced) << "no event while changes came every tenth of a second";
}

TEST(EventStream, IdleStreamsOutliveTheTimeOutAndClosedOnesAreReleased) {
    PrivateFontconfig fc;
    fc.install("static/ExampleSans-Regular.ttf");
    AgentProcess agent;
    ASSERT_TRUE(agent.startServing(fc, {"-t", "1"}));
    httpGet(agent.port, "/");
    usleep(200 * 1000);
    const int idle = openDescriptors(agent.pid);

    {
        std::vector<std::unique_ptr<EventStreamClient>> streams;
        for (int i = 0; i < 64; ++i) {
            streams.push_back(std::make_unique<EventStreamClient>(agent.port));
            ASSERT_EQ(streams.back()->events(5, 1).size(), 1u) << "stream " << i;
        }
        EXPECT_EQ(httpGet(agent.port, "/?events=1").status, 503);

        // Three heartbeats later, past two time-outs, every stream still hears of a change.
        for (auto& stream : streams) EXPECT_TRUE(stream->awaitHeartbeats(3, 10)) << "no heartbeat";
        fc.install("static/ExampleSans-Bold.ttf");
        for (auto& stream : streams) EXPECT_EQ(stream->events(5, 1).size(), 1u);
    }
    int open = openDescriptors(agent.pid);
    for (int tries = 0; tries < 200 && open > idle; ++tries) {
        usleep(10 * 1000);
        open = openDescriptors(agent.pid);
    }
    EXPECT_EQ(open, idle);
    EventStreamClient again(agent.port);
    EXPECT_EQ(again.events(5, 1).size(), 1u);
    EXPECT_EQ(agent.stop(SIGTERM), 0);
}
