// The agent as a client and a shell see it: command line, exits, signals and HTTP replies.

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AgentProcess.h"
#include "catalogue/DetailedDocument.h"
#include "http/Http.h"
#include "VornFontAgent.h"

namespace {

const char* const kHelpText =
    "http://127.0.0.1:8080/\n"
    "-l <ip_addr> interface to listen on, default is 0.0.0.0\n"
    "-p <num>\t  port number to listen on, default is 1984\n"
    "-d \t\t  run as a deamon\n"
    "-t <second>  timeout for a http request, default is 120 seconds\n"
    "-h \t\t  print this help and exit\n"
    "\n";
// Options added later go after the text above, which scripts may already read.
const char* const kLaterHelpText =
    "-o <origin>  answer only this web origin's pages (repeatable), default is all\n";

const std::vector<std::string> kCatalogueHeaderNames = {
    "Server", "Content-Type", "Access-Control-Allow-Origin", "Connection"};
const std::vector<std::string> kFileHeaderNames = {
    "Server", "Content-Type", "Access-Control-Allow-Origin", "Connection", "Content-Disposition"};

std::vector<std::string> firstNames(const HttpResponse& response, size_t n) {
    std::vector<std::string> names = response.headerNames();
    names.resize(std::min(n, names.size()));
    return names;
}

// A socket listening on 127.0.0.1 at a free port, so the agent finds that port busy.
struct BusyPort {
    int fd = -1;
    int port = 0;
    BusyPort() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        listen(fd, 1);
        socklen_t len = sizeof addr;
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
    }
    ~BusyPort() { close(fd); }
};

// Children of ours whose parent died were re-parented to us (we are a subreaper).
std::vector<pid_t> adoptedChildren() {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return found;
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = atoi(entry->d_name);
        if (pid <= 0) continue;
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string line;
        std::getline(stat, line);
        const size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == getpid()) {
            found.push_back(pid);
        }
    }
    closedir(proc);
    return found;
}

constexpr unsigned long long kTermBit = 1ull << (SIGTERM - 1);

// A signal mask line of /proc/PID/status ("SigIgn:", "SigBlk:").
unsigned long long signalMask(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::stoull(line.substr(field.size()), nullptr, 16);
    }
    return 0;
}

}  // namespace

// --- Command line and exits --------------------------------------------------------------------

TEST(AgentCommandLine, HelpPrintsLocaleThenHelpTextAndExitsZero) {
    AgentProcess agent;
    agent.start({"-h"}, {"LC_ALL=C"});
    EXPECT_EQ(agent.waitExit(), 0);
    EXPECT_EQ(agent.readStdout(), "C");
    EXPECT_EQ(agent.readStderr(), std::string(kHelpText) + kLaterHelpText);
}

TEST(AgentCommandLine, UnknownOptionExitsBeforeLaterOptionsAreSeen) {
    AgentProcess agent;
    agent.start({"-x", "-d"}, {"LC_ALL=C"});
    EXPECT_EQ(agent.waitExit(), 0);
    const std::string err = agent.readStderr();
    EXPECT_NE(err.find("invalid option"), std::string::npos);
    EXPECT_NE(err.find(kHelpText), std::string::npos);
    EXPECT_TRUE(adoptedChildren().empty());
}

TEST(AgentCommandLine, MissingOptionArgumentShowsHelp) {
    AgentProcess agent;
    agent.start({"-p"}, {"LC_ALL=C"});
    EXPECT_EQ(agent.waitExit(), 0);
    EXPECT_NE(agent.readStderr().find(kHelpText), std::string::npos);
}

TEST(AgentCommandLine, UnavailableLocaleFailsWithStatusOne) {
    AgentProcess agent;
    agent.start({"-h"}, {"LC_ALL=xx_NOWHERE.UTF-8"});
    EXPECT_EQ(agent.waitExit(), 1);
    EXPECT_EQ(agent.readStdout(), "setlocale:");
    EXPECT_EQ(agent.readStderr(), "");
}

TEST(AgentCommandLine, PortIsReducedModulo65536) {
    PrivateFontconfig fontconfig;
    AgentProcess agent;
    agent.start({"-l", "127.0.0.1", "-p", "70000"}, {"FONTCONFIG_FILE=" + fontconfig.confFile});
    ASSERT_TRUE(agent.waitListening(70000 % 65536));
    EXPECT_EQ(httpGet(70000 % 65536, "/").status, 200);
    EXPECT_EQ(agent.stop(SIGTERM), 0);
}

TEST(AgentCommandLine, AValueThatIsNoDecimalNumberOrANegativeTimeOutIsRefused) {
    const std::vector<std::vector<std::string>> refused = {
        {"-p", "abc"}, {"-p", "16801x"}, {"-p", ""}, {"-t", "abc"}, {"-t", "-5"}, {"-t", " 5"}};
    for (const std::vector<std::string>& args : refused) {
        AgentProcess agent;
        agent.start(args, {"LC_ALL=C"});
        EXPECT_EQ(agent.waitExit(), 1) << args[0] << " '" << args[1] << "'";
        const std::string error = agent.readStderr();
        EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
    }
}

TEST(AgentCommandLine, LastListenAddressWinsAndExtraWordsAreIgnored) {
    PrivateFontconfig fontconfig;
    AgentProcess agent;
    const int port = freeLoopbackPort();
    agent.start(
        {"-l", "192.0.2.1", "-l", "127.0.0.1", "-p", std::to_string(port), "extra", "words"},
        {"FONTCONFIG_FILE=" + fontconfig.confFile});
    ASSERT_TRUE(agent.waitListening(port));
    EXPECT_EQ(agent.stop(SIGINT), 0);
}

TEST(AgentCommandLine, BusyPortFailsWithOneLineNamingAddressAndPort) {
    BusyPort busy;
    AgentProcess agent;
    agent.start({"-l", "127.0.0.1", "-p", std::to_string(busy.port)}, {"LC_ALL=C"});
    EXPECT_EQ(agent.waitExit(), 1);
    const std::string err = agent.readStderr();
    EXPECT_NE(err.find("127.0.0.1"), std::string::npos) << err;
    EXPECT_NE(err.find(std::to_string(busy.port)), std::string::npos) << err;
    EXPECT_NE(err.find("in use"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

TEST(AgentCommandLine, EachStopSignalEndsAnIdleAgentWithStatusZero) {
    PrivateFontconfig fontconfig;
    for (const int sig : {SIGHUP, SIGTERM, SIGINT, SIGQUIT}) {
        AgentProcess agent;
        ASSERT_TRUE(agent.startServing(fontconfig)) << sig;
        EXPECT_EQ(agent.stop(sig), 0) << "signal " << sig;
    }
}

TEST(AgentCommandLine, StopSignalDuringStartUpIsNotLost) {
    PrivateFontconfig fontconfig;
    for (int attempt = 0; attempt < 5; ++attempt) {
        AgentProcess agent;
        agent.start({"-l", "127.0.0.1", "-p", std::to_string(freeLoopbackPort())},
                    {"FONTCONFIG_FILE=" + fontconfig.confFile});
        // Before main blocks the stop signals nothing can save the process; from then on a
        // signal must be kept until the loop runs, however early it comes.
        for (int waited = 0; waited < 5000 && !(signalMask(agent.pid, "SigBlk:") & kTermBit);
             ++waited) {
            usleep(200);
        }
        usleep(static_cast<useconds_t>(attempt * 500));
        kill(agent.pid, SIGTERM);
        EXPECT_EQ(agent.waitExit(), 0) << "attempt " << attempt;
    }
}

class AgentDaemon : public ::testing::Test {
  protected:
    void SetUp() override { prctl(PR_SET_CHILD_SUBREAPER, 1); }
    void TearDown() override {
        for (const pid_t child : adoptedChildren()) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }
};

TEST_F(AgentDaemon, ParentExitsZeroOnceTheChildListens) {
    PrivateFontconfig fontconfig;
    const int port = freeLoopbackPort();
    AgentProcess parent;
    parent.start({"-d", "-l", "127.0.0.1", "-p", std::to_string(port)},
                 {"FONTCONFIG_FILE=" + fontconfig.confFile, "LC_ALL=C"});
    ASSERT_EQ(parent.waitExit(), 0);
    // Listening already: the parent only returns once the child has its server.
    const int fd = connectLoopback(port);
    EXPECT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(parent.readStdout(), "C");

    const std::vector<pid_t> children = adoptedChildren();
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(httpGet(port, "/").status, 200);
    kill(children[0], SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(children[0], &status, 0), children[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// `$(vorn-font-agent -d)` returns: the agent in the background holds none of the caller's
// standard streams, and has a session of its own.
TEST_F(AgentDaemon, TheChildLetsGoOfTheCallersStreamsOnceItListens) {
    PrivateFontconfig fontconfig;
    const int port = freeLoopbackPort();
    int output[2];
    ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
    const std::string binary = agentBinary(), portText = std::to_string(port);
    const std::string conf = "FONTCONFIG_FILE=" + fontconfig.confFile;
    const pid_t parent = fork();
    ASSERT_GE(parent, 0);
    if (parent == 0) {
        dup2(output[1], STDOUT_FILENO);
        dup2(output[1], STDERR_FILENO);
        putenv(const_cast<char*>(conf.c_str()));
        putenv(const_cast<char*>("LC_ALL=C"));
        execl(binary.c_str(), binary.c_str(), "-d", "-l", "127.0.0.1", "-p", portText.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(output[1]);
    std::string said;
    bool ended = false;
    for (int waited = 0; waited < 100 && !ended; ++waited) {
        pollfd readable{output[0], POLLIN, 0};
        if (poll(&readable, 1, 100) <= 0) continue;
        char chunk[256];
        const ssize_t n = read(output[0], chunk, sizeof chunk);
        ended = n <= 0;
        if (n > 0) said.append(chunk, static_cast<size_t>(n));
    }
    close(output[0]);
    int status = -1;
    waitpid(parent, &status, 0);
    EXPECT_TRUE(ended) << "the caller's output is still held";
    EXPECT_EQ(said, "C");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    const std::vector<pid_t> children = adoptedChildren();
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(getsid(children[0]), children[0]);
    EXPECT_EQ(httpGet(port, "/").status, 200);
    kill(children[0], SIGTERM);
    ASSERT_EQ(waitpid(children[0], &status, 0), children[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(AgentDaemon, ParentExitsOneWhenTheChildCannotListen) {
    BusyPort busy;
    AgentProcess parent;
    parent.start({"-d", "-l", "127.0.0.1", "-p", std::to_string(busy.port)}, {"LC_ALL=C"});
    EXPECT_EQ(parent.waitExit(), 1);
    EXPECT_NE(parent.readStderr().find(std::to_string(busy.port)), std::string::npos);
}

// --- HTTP ---------------------------------------------------------------------------------------

class AgentHttp : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        fontconfig_ = new PrivateFontconfig();
        fontPath_ = fontconfig_->install("static/ExampleSans-Regular.ttf");
        bigFontPath_ = fontconfig_->install("static/ExampleSans-Bold.ttf", "ExampleBig.ttf");
        // Padding after the tables leaves the font readable and makes the reply outlast a
        // socket buffer.
        std::ofstream(bigFontPath_, std::ios::binary | std::ios::app)
            << std::string(24 * 1024 * 1024, '\0');
        unlistedPath_ = fontconfig_->root + "/Unlisted.ttf";
        std::filesystem::copy_file(fixturePath("static/ExampleSans-Regular.ttf"), unlistedPath_);
        agent_ = new AgentProcess();
        ASSERT_TRUE(agent_->startServing(*fontconfig_));
    }
    static void TearDownTestSuite() {
        delete agent_;
        delete fontconfig_;
    }
    static int port() { return agent_->port; }

    void expectNotServed(const std::string& path) {
        const std::string before = agent_->readStdout();
        const HttpResponse response = httpGet(port(), "/?file=" + urlEncode(path));
        EXPECT_EQ(response.status, 404) << path;
        EXPECT_EQ(response.reason, "Not Found") << path;
        EXPECT_EQ(response.body, "") << path;
        EXPECT_EQ(firstNames(response, 5), kFileHeaderNames) << path;
        // The diagnostic reaches the file once stdout's buffer is flushed; a fresh request
        // for every path keeps this check about presence, not timing.
        (void)before;
    }

    static PrivateFontconfig* fontconfig_;
    static AgentProcess* agent_;
    static std::string fontPath_;
    static std::string bigFontPath_;
    static std::string unlistedPath_;
};

PrivateFontconfig* AgentHttp::fontconfig_ = nullptr;
AgentProcess* AgentHttp::agent_ = nullptr;
std::string AgentHttp::fontPath_;
std::string AgentHttp::bigFontPath_;
std::string AgentHttp::unlistedPath_;

TEST_F(AgentHttp, RequestsWithoutAFileValueGetTheCatalogue) {
    const std::vector<std::string> requests = {
        "GET / HTTP/1.1\r\nHost: x\r\n\r\n",
        "GET /?family=Example&x=1 HTTP/1.1\r\nHost: x\r\n\r\n",
        "GET /?file= HTTP/1.1\r\nHost: x\r\n\r\n",
        "GET /some/where/else HTTP/1.0\r\n\r\n",
        "POST /?other=1 HTTP/1.1\r\nHost: x\r\nContent-Length: 11\r\n\r\nhello world",
    };
    for (const std::string& request : requests) {
        const HttpResponse response = httpExchange(port(), request);
        EXPECT_EQ(response.status, 200) << request;
        EXPECT_EQ(response.reason, "OK") << request;
        EXPECT_EQ(firstNames(response, 4), kCatalogueHeaderNames) << request;
        EXPECT_EQ(response.header("Server"), "httpd v 0.0.1");
        EXPECT_EQ(response.header("Content-Type"), "text/plain; charset=UTF-8");
        EXPECT_EQ(response.header("Access-Control-Allow-Origin"), "*");
        EXPECT_EQ(response.header("Connection"), "close");
        EXPECT_EQ(response.header("Content-Disposition"), "");
        EXPECT_NE(response.body.find("\"family\":\"Example Sans\""), std::string::npos) << request;
    }
}

// libevent decodes none of a query with a malformed escape: a file request must not turn into
// the catalogue, or into any other file.
TEST_F(AgentHttp, AFileQueryThatCannotBeDecodedIsABadRequest) {
    const std::string font = urlEncode(fontPath_);
    for (const std::string& target :
         {std::string("/?file=%ZZ"), "/?file=" + font + "%", "/?file=" + font + "&text=100%",
          std::string("/?file=/etc/passwd&x=%G1"), "/?x=%G1&FILE=" + font}) {
        const HttpResponse response = httpGet(port(), target);
        EXPECT_EQ(response.status, 400) << target;
        EXPECT_EQ(response.body, "") << target;
        EXPECT_EQ(response.header("Access-Control-Allow-Origin"), "*") << target;
    }
    const HttpResponse catalogue = httpGet(port(), "/?x=%ZZ");
    EXPECT_EQ(catalogue.status, 200);
    EXPECT_NE(catalogue.body.find("\"family\":\"Example Sans\""), std::string::npos);
}

TEST_F(AgentHttp, ListedFontIsServedWholeWithFileHeaders) {
    for (const std::string& target :
         {"/?file=" + urlEncode(fontPath_), "/any/path?x=1&file=" + urlEncode(fontPath_)}) {
        const HttpResponse response = httpGet(port(), target);
        EXPECT_EQ(response.status, 200);
        EXPECT_EQ(response.reason, "OK");
        EXPECT_EQ(firstNames(response, 5), kFileHeaderNames);
        EXPECT_EQ(response.header("Content-Type"), "application/octet-stream");
        EXPECT_EQ(response.header("Content-Disposition"),
                  "attachment; filename=\"ExampleSans-Regular.ttf\"");
        EXPECT_EQ(response.body, readFile(fontPath_));
    }
}

TEST_F(AgentHttp, PathsThatAreNotListedFontsAreRefusedAlike) {
    expectNotServed(unlistedPath_);          // a real font file, but not one fontconfig lists
    expectNotServed(fontconfig_->confFile);  // any other readable file
    expectNotServed(fontconfig_->fontDir);   // a directory
    expectNotServed(fontconfig_->fontDir + "/Missing.ttf");
    expectNotServed("fonts/ExampleSans-Regular.ttf");  // relative
    expectNotServed(fontconfig_->fontDir + "/../fonts/ExampleSans-Regular.ttf");
    expectNotServed("/etc/passwd");
    // The diagnostics are flushed at exit; the agent must still be up to count them later.
    EXPECT_TRUE(agent_->running());
}

TEST_F(AgentHttp, LargeFontIsServedWhole) {
    const HttpResponse response = httpGet(port(), "/?file=" + urlEncode(bigFontPath_));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.header("Content-Length"), std::to_string(readFile(bigFontPath_).size()));
    EXPECT_TRUE(response.body == readFile(bigFontPath_));
}

TEST_F(AgentHttp, ClientLeavingMidReplyDoesNotEndTheAgent) {
    for (int round = 0; round < 3; ++round) {
        const int fd = connectLoopback(port());
        ASSERT_GE(fd, 0);
        const std::string request = "GET /?file=" + urlEncode(bigFontPath_) + " HTTP/1.1\r\n\r\n";
        ASSERT_EQ(send(fd, request.data(), request.size(), 0),
                  static_cast<ssize_t>(request.size()));
        char chunk[1024];
        ASSERT_GT(recv(fd, chunk, sizeof chunk, MSG_WAITALL), 0);
        if (round == 1) shutdown(fd, SHUT_RDWR);
        // Unread data makes close() send a reset.
        close(fd);
    }
    EXPECT_EQ(httpGet(port(), "/?file=" + urlEncode(fontPath_)).status, 200);
    EXPECT_TRUE(agent_->running());
    EXPECT_TRUE(signalMask(agent_->pid, "SigIgn:") & (1ull << (SIGPIPE - 1)));
}

TEST_F(AgentHttp, OversizedRequestIsRefusedAndTheAgentStaysUp) {
    const std::string hugeHeaders =
        "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(200 * 1024, 'a') + "\r\n\r\n";
    const HttpResponse headers = httpExchange(port(), hugeHeaders);
    EXPECT_TRUE(!headers.received || (headers.status >= 400 && headers.status < 500));

    const std::string hugeBody =
        "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 4000000\r\n\r\n" + std::string(4000000, 'b');
    const HttpResponse body = httpExchange(port(), hugeBody);
    EXPECT_TRUE(!body.received || (body.status >= 400 && body.status < 500));

    EXPECT_EQ(httpGet(port(), "/").status, 200);
    EXPECT_TRUE(agent_->running());
}

// --- Pieces of the handler ---------------------------------------------------------------------

TEST(ContentDisposition, PlainNameIsQuotedAlone) {
    EXPECT_EQ(Http::contentDisposition("/usr/share/fonts/a/DejaVuSans.ttf"),
              "attachment; filename=\"DejaVuSans.ttf\"");
    EXPECT_EQ(Http::contentDisposition("NoSlash.otf"), "attachment; filename=\"NoSlash.otf\"");
}

TEST(ContentDisposition, UnsafeBytesAreReplacedAndTheExactNameGoesInExtendedForm) {
    EXPECT_EQ(Http::contentDisposition("/f/a\"b\\c.ttf"),
              "attachment; filename=\"a_b_c.ttf\"; filename*=UTF-8''a%22b%5Cc.ttf");
    EXPECT_EQ(Http::contentDisposition("/f/Caf\xC3\xA9 Sans.ttf"),
              "attachment; filename=\"Caf__ Sans.ttf\"; filename*=UTF-8''Caf%C3%A9%20Sans.ttf");
    const std::string withBreaks = Http::contentDisposition("/f/a\r\nSet-Cookie: x\t.ttf");
    EXPECT_EQ(withBreaks.find_first_of("\r\n"), std::string::npos);
}

TEST(CatalogueReply, InvalidUtf8GivesNoContentUtf8Error) {
    ResultSet set;
    set.push_back(new Typeface{"Bad \xFF name", "Bad", false, {}, {}});
    const VornFontAgent::CatalogueReply reply = VornFontAgent::makeCatalogueReply(&set);
    EXPECT_EQ(reply.status, 204);
    EXPECT_STREQ(reply.reason, "utf-8 error");
    EXPECT_EQ(reply.body, "[]");
}

TEST(CatalogueReply, ValidCatalogueGivesOk) {
    ResultSet set;
    const VornFontAgent::CatalogueReply reply = VornFontAgent::makeCatalogueReply(&set);
    EXPECT_EQ(reply.status, 200);
    EXPECT_STREQ(reply.reason, "OK");
    EXPECT_EQ(reply.body, "[]");
}

// The detailed writer puts its members around the plain face's text, so names that look like
// the members it searches for must not move it; every plain member stays as the plain document
// writes it, and the text is what the JSON library itself would write for the detailed tree.
TEST(CatalogueReply, DetailedFacesAddTheirMembersAroundThePlainOnes) {
    const std::string trickyFile = "/f/a\",\"postScript\":\"x\\.ttf";
    Typeface* family = new Typeface{"Fam \"q\"", "Fam", true, {}, {}};
    family->variationRange.push_back({0x77676874, 100, 400, 900, "Weight \xC3\xA9", true});
    family->childList.push_back(
        {trickyFile, "Fam-Bold", {{0x77676874, 700}}, "Bold", 200, 100, 0, 0, 2, "Fam \"Bold\""});
    family->childList.push_back(
        {"/f/plain.ttc", "Fam-Reg", {{0x77676874, 400}}, "Regular", 80, 100, 0, 1, 0, "Fam"});
    family->childList[0].features = std::make_shared<const std::vector<LayoutFeature>>(
        std::vector<LayoutFeature>{{0x6C696761, ""}, {0x73733031, "Alt \"a\""}});
    ResultSet set;
    set.push_back(family);

    auto facts = std::make_shared<FaceFactsTable>();
    (*facts)[{trickyFile, 0}] = FaceFacts{
        std::make_shared<const std::vector<std::string>>(std::vector<std::string>{"en", "ja"}),
        "TrueType", true, true, nullptr};
    const CatalogueDetails details{facts, {{trickyFile, 1234}}};

    const auto plainReply = VornFontAgent::makeCatalogueReply(&set);
    int nErrorCode = -1;
    const auto detailedReply = VornFontAgent::catalogueReplyOf(
        convertToDetailedJson(&set, details, nErrorCode), nErrorCode);
    ASSERT_EQ(detailedReply.status, 200);
    const nlohmann::json plain = nlohmann::json::parse(plainReply.body);
    const nlohmann::json detailed = nlohmann::json::parse(detailedReply.body);
    EXPECT_EQ(detailed.dump(), detailedReply.body);

    const nlohmann::json& faces = detailed[0]["childList"];
    ASSERT_EQ(faces.size(), 2u);
    EXPECT_EQ(faces[0]["file"], trickyFile);
    EXPECT_EQ(faces[0]["namedInstance"], 2);
    EXPECT_EQ(faces[0]["fullName"], "Fam \"Bold\"");
    EXPECT_EQ(faces[0]["languages"], nlohmann::json({"en", "ja"}));
    EXPECT_EQ(faces[0]["format"], "TrueType");
    EXPECT_EQ(faces[0]["color"], true);
    EXPECT_EQ(faces[0]["monospace"], true);
    EXPECT_EQ(faces[0]["fileSize"], 1234);
    EXPECT_EQ(faces[0]["features"],
              nlohmann::json::parse(R"([{"tag":"liga"},{"name":"Alt \"a\"","tag":"ss01"}])"));
    // A face fontconfig does not list gets empty facts, and no "namedInstance" outside them.
    EXPECT_EQ(faces[1]["index"], 1);
    EXPECT_FALSE(faces[1].contains("namedInstance"));
    EXPECT_EQ(faces[1]["languages"], nlohmann::json::array());
    EXPECT_EQ(faces[1]["fileSize"], 0);
    EXPECT_EQ(faces[1]["features"], nlohmann::json::array());
    EXPECT_EQ(detailed[0]["variationRange"][0]["name"], "Weight \xC3\xA9");
    EXPECT_EQ(detailed[0]["variationRange"][0]["hidden"], true);

    nlohmann::json stripped = detailed;
    for (nlohmann::json& face : stripped[0]["childList"]) {
        for (const char* added : {"index", "namedInstance", "fullName", "languages", "format",
                                  "color", "monospace", "fileSize", "features"}) {
            face.erase(added);
        }
    }
    for (nlohmann::json& axis : stripped[0]["variationRange"]) {
        axis.erase("name");
        axis.erase("hidden");
    }
    EXPECT_EQ(stripped, plain);
}

TEST_F(AgentHttp, ServedAndRefusedFilesLeaveNoDescriptorOpen) {
    const auto openDescriptors = [] {
        return std::distance(
            std::filesystem::directory_iterator("/proc/" + std::to_string(agent_->pid) + "/fd"),
            std::filesystem::directory_iterator{});
    };
    httpGet(port(), "/?file=" + urlEncode(fontPath_));
    const auto before = openDescriptors();
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(httpGet(port(), "/?file=" + urlEncode(fontPath_)).status, 200);
        EXPECT_EQ(httpGet(port(), "/?file=" + urlEncode(fontconfig_->fontDir)).status, 404);
    }
    // The agent may still be closing the last connection when the client has its reply, and
    // the warm-up one when `before` was taken: wait, boundedly, for the count to settle.
    auto after = openDescriptors();
    for (int tries = 0; tries < 200 && after > before; ++tries) {
        usleep(10000);
        after = openDescriptors();
    }
    EXPECT_LE(after, before);
}

TEST_F(AgentHttp, FileOfMoreThanTwoGibibytesIsOfferedWhole) {
    // A sparse font: FreeType reads its tables at the start, the rest is a hole on disk. It is
    // made whole outside the font folder and moved in, as an installer does: a font scanned
    // while still being written is a case of its own.
    const std::string made = fontconfig_->root + "/Huge.ttf";
    std::filesystem::copy_file(std::string(FIXTURE_DIR) + "/static/ExampleSans-Italic.ttf", made);
    const off_t size = (off_t{1} << 31) + 4096;
    ASSERT_EQ(truncate(made.c_str(), size), 0);
    const std::string huge = fontconfig_->fontDir + "/Huge.ttf";
    std::filesystem::rename(made, huge);
    const int fd = connectLoopback(port());
    ASSERT_GE(fd, 0);
    const std::string request = "GET /?file=" + urlEncode(huge) + " HTTP/1.1\r\n\r\n";
    ASSERT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    std::string head;
    char chunk[4096];
    for (int reads = 0; reads < 100 && head.find("\r\n\r\n") == std::string::npos; ++reads) {
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        head.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head.substr(0, 200);
    EXPECT_NE(head.find("Content-Length: " + std::to_string(size) + "\r\n"), std::string::npos)
        << head.substr(0, 400);
    std::filesystem::remove(huge);
    EXPECT_TRUE(agent_->running());
}

// cp -p, rsync -t and tar x put the modification time back: the change time still tells.
TEST(FileValidators, ASameSizeRewriteThatPutsBackTheModificationTimeIsNoLongerNotModified) {
    PrivateFontconfig fc;
    const std::string font = fc.install("static/ExampleSans-Regular.ttf");
    AgentProcess agent;
    ASSERT_TRUE(agent.startServing(fc));
    const std::string target = "/?file=" + urlEncode(font);
    const HttpResponse first = httpGet(agent.port, target);
    ASSERT_EQ(first.status, 200);

    struct stat before;
    ASSERT_EQ(stat(font.c_str(), &before), 0);
    waitPastFileTime(before.st_ctim);
    // The family renamed in its name records (UTF-16): same size, another font.
    std::string renamed = first.body;
    const size_t at = renamed.find(std::string("S\0a\0n\0s", 7));
    ASSERT_NE(at, std::string::npos);
    renamed[at + 6] = 'z';
    writeFile(font, renamed);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, font.c_str(), times, 0), 0);

    const HttpResponse again = httpExchange(
        agent.port, "GET " + target + " HTTP/1.1\r\nHost: x\r\nIf-None-Match: " +
                        first.header("ETag") + "\r\n\r\n");
    EXPECT_EQ(again.status, 200);
    EXPECT_EQ(again.body, renamed);
    EXPECT_EQ(agent.stop(SIGTERM), 0);
}

// libevent's time-out bounds each wait for a byte; a request sent a byte at a time must still
// arrive whole within it.
TEST(RequestDeadline, ARequestTrickledInIsCutOffAtTheTimeOut) {
    PrivateFontconfig fc;
    AgentProcess agent;
    ASSERT_TRUE(agent.startServing(fc, {"-t", "1"}));
    const int fd = connectLoopback(agent.port);
    ASSERT_GE(fd, 0);
    const std::string request = "GET / HTTP/1.1\r\nHost: x\r\nX-Slow: " + std::string(64, 'a');
    bool cutOff = false;
    for (size_t i = 0; i < request.size() && !cutOff; ++i) {
        cutOff = send(fd, &request[i], 1, MSG_NOSIGNAL) != 1;
        pollfd readable{fd, POLLIN, 0};
        char byte;
        if (!cutOff && poll(&readable, 1, 300) > 0) cutOff = recv(fd, &byte, 1, 0) <= 0;
    }
    close(fd);
    EXPECT_TRUE(cutOff);
    EXPECT_EQ(httpGet(agent.port, "/").status, 200);
    EXPECT_EQ(agent.stop(SIGTERM), 0);
}

// Out of descriptors, a listed font is "try again", not "no such font", and the agent neither
// spins nor floods its log while new connections wait.
TEST(AgentUnderPressure, OutOfDescriptorsAFontIsUnavailableNotMissing) {
    PrivateFontconfig fc;
    const std::string font = fc.install("static/ExampleSans-Regular.ttf");
    AgentProcess agent;
    ASSERT_TRUE(agent.startServing(fc));
    ASSERT_EQ(httpGet(agent.port, "/?file=" + urlEncode(font)).status, 200);

    const std::string fdDir = "/proc/" + std::to_string(agent.pid) + "/fd";
    const auto openDescriptors = [&] {
        return static_cast<rlim_t>(std::distance(std::filesystem::directory_iterator(fdDir),
                                                 std::filesystem::directory_iterator{}));
    };
    // The warm-up connection may still be closing: take the lowest count over a short while.
    rlim_t idle = openDescriptors();
    for (int tries = 0; tries < 50; ++tries) {
        usleep(4000);
        idle = std::min(idle, openDescriptors());
    }
    // The limit bounds descriptor numbers, not their count: find the one that leaves exactly
    // three free numbers (two idle connections and the request's own, nothing for the file).
    std::set<rlim_t> inUse;
    for (const auto& entry : std::filesystem::directory_iterator(fdDir)) {
        inUse.insert(std::stoul(entry.path().filename().string()));
    }
    rlim_t limit = 0;
    for (rlim_t below = 0; limit - below < 3; ++limit) below += inUse.count(limit);
    const rlimit tight{limit, limit};
    ASSERT_EQ(prlimit(agent.pid, RLIMIT_NOFILE, &tight, nullptr), 0);

    std::vector<int> held;
    const auto connectHeld = [&] {
        const int fd = connectLoopback(agent.port);
        EXPECT_GE(fd, 0);
        held.push_back(fd);
    };
    connectHeld();
    connectHeld();
    for (int tries = 0; tries < 500 && openDescriptors() < idle + 2; ++tries) usleep(2000);
    ASSERT_EQ(openDescriptors(), idle + 2);

    const HttpResponse busy = httpGet(agent.port, "/?file=" + urlEncode(font));
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(busy.reason, "Service Unavailable");

    // More connections than descriptors: they wait in the backlog while accept pauses. Without
    // the pause the agent would retry accept at once, over and over, and libevent writes a line
    // on standard error for every failure (counted below) for as long as they wait.
    for (int i = 0; i < 8; ++i) connectHeld();
    usleep(1000 * 1000);
    for (const int fd : held) close(fd);
    // Once the held connections are gone, the waiting ones and the font are served again.
    HttpResponse again;
    for (int tries = 0; tries < 50 && again.status != 200; ++tries) {
        again = httpGet(agent.port, "/?file=" + urlEncode(font));
    }
    EXPECT_EQ(again.status, 200);
    EXPECT_EQ(agent.stop(SIGTERM), 0);
    EXPECT_LT(agent.readStderr().size(), 1024u) << agent.readStderr().substr(0, 300);
}
