// Test support: a private fontconfig world, the real agent binary started in it, and a raw HTTP
// client. Everything stays on loopback; every process started here is stopped by its pid.
#pragma once

#include <sys/types.h>

#include <ctime>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

// A temporary folder with its own fonts.conf, font folder and cache folder; removed at the end.
struct PrivateFontconfig {
    std::string root;
    std::string fontDir;
    std::string confFile;

    // `missingDirs` (relative to root) are configured font folders that do not exist yet.
    explicit PrivateFontconfig(const std::vector<std::string>& missingDirs = {});
    ~PrivateFontconfig();
    PrivateFontconfig(const PrivateFontconfig&) = delete;
    PrivateFontconfig& operator=(const PrivateFontconfig&) = delete;

    // Copies a fixture (path relative to the fixture folder) into the font folder, under
    // `asName` (relative to the font folder) when given. Returns the installed path.
    std::string install(const std::string& fixture, const std::string& asName = "") const;
};

struct HttpResponse {
    bool received = false;  // a status line arrived
    int status = 0;
    std::string reason;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The value of the first header with this name (case-insensitive), or "".
    std::string header(const std::string& name) const;
    std::vector<std::string> headerNames() const;
};

// Writes `request` to 127.0.0.1:port and reads the reply until the agent closes the connection.
HttpResponse httpExchange(int port, const std::string& request, int timeoutSeconds = 30);
HttpResponse httpGet(int port, const std::string& target);

// Percent-encodes a query value.
std::string urlEncode(const std::string& value);

// A connected socket to 127.0.0.1:port, or -1.
int connectLoopback(int port);

// A port on 127.0.0.1 that nobody listened on a moment ago.
int freeLoopbackPort();

class AgentProcess {
  public:
    AgentProcess() = default;
    ~AgentProcess();  // stops the process by its pid when still running
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    // Starts the agent with these arguments (argv[1..]) and extra environment entries; with
    // `listening`, a listening socket, that socket is passed to it as systemd passes one.
    void start(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
               int listening = -1);
    // Starts under `fontconfig`, on a loopback socket bound here and passed to the agent: no
    // port is probed, and connections wait in the socket's queue until the agent accepts them.
    bool startServing(const PrivateFontconfig& fontconfig, std::vector<std::string> extraArgs = {});
    bool waitListening(int port, int timeoutMs = 10000) const;
    // Waits until the agent handles its stop signals itself: it is up and ready to serve.
    bool waitCatchingStopSignals(int timeoutMs = 10000) const;
    // Waits for the exit; returns the exit status, or -1 for a signal or a time-out (then kills).
    int waitExit(int timeoutMs = 10000);
    int stop(int sig);
    bool running() const;

    std::string readStdout() const;
    std::string readStderr() const;

    pid_t pid = -1;
    int port = 0;

  private:
    std::string outDir_;
};

// The agent binary the tests start: the build's own, or VORN_AGENT_BINARY's (to run the tests
// against another build, such as the last release's).
std::string agentBinary();

// The browsers' font sanitizer, and whether it accepts a font (stopped by timeout(1) after 30 s).
constexpr const char* kOtsSanitize = "/usr/bin/ots-sanitize";
bool sanitizerAccepts(const std::string& font);

std::string readFile(const std::string& path);
// Waits (at most a second) until a file time set now would be later than `stamp`: file times
// come from a coarse clock, so two changes in a row can carry the same time.
void waitPastFileTime(const timespec& stamp);
void writeFile(const std::string& path, const std::string& data);
std::string fixturePath(const std::string& relative);

// What a call writes to standard output.
template <typename F>
std::string capturedStdout(F&& call) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    call();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}
