#include "AgentProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

std::string agentBinary() {
    const char* other = getenv("VORN_AGENT_BINARY");
    return other != nullptr && *other != '\0' ? other : AGENT_BINARY;
}

bool sanitizerAccepts(const std::string& font) {
    char in[] = "/tmp/vorn-ots-XXXXXX";
    const int fd = mkstemp(in);
    if (fd < 0) return false;
    close(fd);
    writeFile(in, font);
    const std::string command =
        std::string("timeout 30 ") + kOtsSanitize + " " + in + " /dev/null >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    unlink(in);
    return status == 0;
}

std::string fixturePath(const std::string& relative) {
    return std::string(FIXTURE_DIR) + "/" + relative;
}

static std::string makeTempDir(const char* prefix) {
    std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

PrivateFontconfig::PrivateFontconfig(const std::vector<std::string>& missingDirs) {
    root = makeTempDir("vorn-fc-");
    fontDir = root + "/fonts";
    confFile = root + "/fonts.conf";
    fs::create_directories(fontDir);
    fs::create_directories(root + "/cache");
    std::string dirs = "  <dir>" + fontDir + "</dir>\n";
    for (const std::string& missing : missingDirs)
        dirs += "  <dir>" + root + "/" + missing + "</dir>\n";
    writeFile(confFile,
              "<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"fonts.dtd\">\n"
              "<fontconfig>\n" +
                  dirs + "  <cachedir>" + root + "/cache</cachedir>\n</fontconfig>\n");
}

PrivateFontconfig::~PrivateFontconfig() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

std::string PrivateFontconfig::install(const std::string& fixture,
                                       const std::string& asName) const {
    const fs::path target =
        fs::path(fontDir) / (asName.empty() ? fs::path(fixture).filename().string() : asName);
    fs::create_directories(target.parent_path());
    fs::copy_file(fixturePath(fixture), target, fs::copy_options::overwrite_existing);
    return target.string();
}

std::string HttpResponse::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
    }
    return "";
}

std::vector<std::string> HttpResponse::headerNames() const {
    std::vector<std::string> names;
    for (const auto& entry : headers) names.push_back(entry.first);
    return names;
}

int connectLoopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static HttpResponse parseResponse(const std::string& raw) {
    HttpResponse response;
    const size_t headEnd = raw.find("\r\n\r\n");
    if (headEnd == std::string::npos) return response;
    std::istringstream head(raw.substr(0, headEnd));
    std::string line;
    std::getline(head, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // "HTTP/1.1 200 OK"
    const size_t sp1 = line.find(' ');
    const size_t sp2 = line.find(' ', sp1 + 1);
    if (sp1 == std::string::npos) return response;
    response.received = true;
    response.status = atoi(line.substr(sp1 + 1, sp2 - sp1 - 1).c_str());
    response.reason = sp2 == std::string::npos ? "" : line.substr(sp2 + 1);
    while (std::getline(head, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        size_t valueStart = colon + 1;
        while (valueStart < line.size() && line[valueStart] == ' ') ++valueStart;
        response.headers.emplace_back(line.substr(0, colon), line.substr(valueStart));
    }
    response.body = raw.substr(headEnd + 4);
    return response;
}

HttpResponse httpExchange(int port, const std::string& request, int timeoutSeconds) {
    const int fd = connectLoopback(port);
    if (fd < 0) return {};
    timeval tv{timeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    std::string raw;
    char chunk[65536];
    for (;;) {
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        raw.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    return parseResponse(raw);
}

HttpResponse httpGet(int port, const std::string& target) {
    return httpExchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

std::string urlEncode(const std::string& value) {
    std::string out;
    for (const unsigned char c : value) {
        if (isalnum(c) || c == '/' || c == '.' || c == '-' || c == '_') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

int freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

AgentProcess::~AgentProcess() {
    if (running()) stop(SIGKILL);
    if (!outDir_.empty()) {
        std::error_code ignored;
        fs::remove_all(outDir_, ignored);
    }
}

void AgentProcess::start(const std::vector<std::string>& args, const std::vector<std::string>& env,
                         int listening) {
    outDir_ = makeTempDir("vorn-agent-");
    const std::string outPath = outDir_ + "/stdout";
    const std::string errPath = outDir_ + "/stderr";
    std::vector<std::string> argvStrings = {agentBinary()};
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (const std::string& entry : env) putenv(const_cast<char*>(entry.c_str()));
        if (listening >= 0) {
            // The first passed socket is descriptor 3, and LISTEN_PID names the agent itself.
            if (listening != 3) dup2(listening, 3);
            fcntl(3, F_SETFD, 0);
            setenv("LISTEN_FDS", "1", 1);
            setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
        }
        std::vector<char*> argv;
        for (std::string& s : argvStrings) argv.push_back(s.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
}

bool AgentProcess::startServing(const PrivateFontconfig& fontconfig,
                                std::vector<std::string> extraArgs) {
    const int listening = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    const bool bound = listening >= 0 &&
                       bind(listening, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                       listen(listening, 128) == 0 &&
                       getsockname(listening, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    if (bound) {
        port = ntohs(addr.sin_port);
        start(extraArgs, {"FONTCONFIG_FILE=" + fontconfig.confFile, "LC_ALL=C"}, listening);
    }
    if (listening >= 0) close(listening);
    return bound && waitCatchingStopSignals();
}

bool AgentProcess::waitCatchingStopSignals(int timeoutMs) const {
    const std::string status = "/proc/" + std::to_string(pid) + "/status";
    constexpr unsigned long long kTerm = 1ull << (SIGTERM - 1);
    for (int waited = 0; waited < timeoutMs && running(); waited += 5) {
        std::ifstream in(status);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("SigCgt:", 0) == 0 && (std::stoull(line.substr(7), nullptr, 16) & kTerm))
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

bool AgentProcess::waitListening(int listenPort, int timeoutMs) const {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        const int fd = connectLoopback(listenPort);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool AgentProcess::running() const {
    if (pid <= 0) return false;
    // WNOWAIT leaves an exited child for waitExit to collect with its status.
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return false;
    return info.si_pid == 0;
}

int AgentProcess::waitExit(int timeoutMs) {
    if (pid <= 0) return -1;
    for (int waited = 0; waited <= timeoutMs; waited += 10) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (r < 0) {
            pid = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
    return -1;
}

int AgentProcess::stop(int sig) {
    if (pid <= 0) return -1;
    kill(pid, sig);
    return waitExit();
}

std::string AgentProcess::readStdout() const { return readFile(outDir_ + "/stdout"); }
std::string AgentProcess::readStderr() const { return readFile(outDir_ + "/stderr"); }

void waitPastFileTime(const timespec& stamp) {
    for (int i = 0; i < 1000; ++i) {
        timespec now;
        clock_gettime(CLOCK_REALTIME_COARSE, &now);
        if (now.tv_sec > stamp.tv_sec ||
            (now.tv_sec == stamp.tv_sec && now.tv_nsec > stamp.tv_nsec))
            return;
        usleep(1000);
    }
}
