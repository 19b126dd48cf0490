// The agent's entry point: options, daemon mode, the HTTP server and its event loop.

#include <cerrno>
#include <chrono>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <event.h>
#include <event2/listener.h>
#include <evhttp.h>

#include "http/AccessPolicy.h"
#include "agent/Agent.h"
#include "agent/Routes.h"
#include "core/Ownership.h"
#include "http/SocketActivation.h"
#include "VornFontAgent.h"

void signal_handler(int sig);
void show_help();

namespace {

constexpr int kStopSignals[] = {SIGHUP, SIGTERM, SIGINT, SIGQUIT};

// Oversized requests get libevent's own refusal instead of unbounded memory use.
constexpr ev_ssize_t kMaxHeadersSize = 64 * 1024;
constexpr ev_ssize_t kMaxBodySize = 1024 * 1024;

// Every method reaches the handler: the method is not what chooses the reply.
constexpr ev_uint16_t kAllMethods = 0x1ff;

// One byte from the daemon child to its waiting parent: its server is listening, or not.
constexpr char kReady = '0';
constexpr char kFailed = '1';

// The stop signals stay blocked until the event loop watches them, so that none arriving during
// start-up is lost; libevent's own handler then turns them into loop events.
void setStopSignalsBlocked(bool blocked) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kStopSignals) sigaddset(&set, sig);
    sigprocmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void onStopSignal(evutil_socket_t sig, short, void*) { signal_handler(static_cast<int>(sig)); }

// When the agent runs out of descriptors, accept fails at once, and libevent would retry in a
// tight loop, logging every failure. A short pause lets the replies under way finish instead.
constexpr timeval kAcceptPause{0, 100 * 1000};

void onAcceptResume(evutil_socket_t, short, void* listener) {
    evconnlistener_enable(static_cast<evconnlistener*>(listener));
}

// A one-shot timer: the event base owns it and frees it once it has fired, or with the base.
void onAcceptError(evconnlistener* listener, void*) {
    evconnlistener_disable(listener);
    event_base_once(evconnlistener_get_base(listener), -1, EV_TIMEOUT, onAcceptResume, listener,
                    &kAcceptPause);
}

// Each connection and each file being served holds a descriptor; a desktop session's default
// soft limit of 1024 is soon reached under a burst of connections, the hard limit is not.
void raiseDescriptorLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// What evhttp_start does, keeping the listener, whose accept errors need handling. On failure
// says why on standard error and returns null.
evconnlistener* bindServer(evhttp* httpd, const char* address, ev_uint16_t port) {
    errno = 0;
    evhttp_bound_socket* bound = evhttp_bind_socket_with_handle(httpd, address, port);
    if (bound == nullptr) {
        const int err = errno;
        fprintf(stderr, "cannot listen on %s port %u: %s\n", address, static_cast<unsigned>(port),
                err != 0 ? strerror(err) : "invalid address");
        return nullptr;
    }
    return evhttp_bound_socket_get_listener(bound);
}

// Serves on the socket systemd passed. On failure says why on standard error and returns null.
evconnlistener* acceptActivated(evhttp* httpd, int fd) {
    evhttp_bound_socket* bound = evhttp_accept_socket_with_handle(httpd, fd);
    if (bound == nullptr) {
        fprintf(stderr, "cannot serve on the socket systemd passed: %s\n", strerror(errno));
        return nullptr;
    }
    return evhttp_bound_socket_get_listener(bound);
}

// The -o list, and the names and port a Host header has to carry when there is one.
Http::AccessPolicy accessPolicy(std::vector<std::string> origins, int activatedFd,
                                std::string listenAddress, long port) {
    Http::AccessPolicy policy;
    policy.origins = std::move(origins);
    if (activatedFd >= 0) boundAddress(activatedFd, listenAddress, port);
    policy.hostNames = Http::agentHostNames(listenAddress);
    policy.port = port;
    return policy;
}

// Hands the stop signals to the event loop, then lets them through.
void watchStopSignals(event_base* base, EventPtr (&events)[std::size(kStopSignals)]) {
    for (size_t i = 0; i < std::size(kStopSignals); ++i) {
        events[i].reset(evsignal_new(base, kStopSignals[i], onStopSignal, nullptr));
        evsignal_add(events[i].get(), nullptr);
    }
    setStopSignalsBlocked(false);
}

// Forks; the parent waits until the child says whether its server came up and exits with the
// matching status, so a failure to listen is never reported as success. Returns in the child,
// with the write end of the pipe to tell the parent through.
int daemonize() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        perror("fork failed");
        exit(1);
    }
    // What is still buffered would otherwise be written twice, once by each process.
    fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) {
        perror("fork failed");
        exit(1);
    }
    if (pid == 0) {
        close(fds[0]);
        // Out of the caller's session: no terminal signal of the caller's reaches the agent.
        setsid();
        return fds[1];
    }
    close(fds[1]);
    char word = kFailed;
    ssize_t n;
    do {
        n = read(fds[0], &word, 1);
    } while (n < 0 && errno == EINTR);
    exit(n == 1 && word == kReady ? 0 : 1);
}

void tellParent(int readyFd, char word) {
    if (readyFd < 0) return;
    ssize_t n;
    do {
        n = write(readyFd, &word, 1);
    } while (n < 0 && errno == EINTR);
    close(readyFd);
}

// A daemon that listens lets go of the caller's terminal and standard streams: a caller that
// reads its output (`$(vorn-font-agent -d)`) would otherwise wait for as long as it runs.
void detachStandardStreams() {
    fflush(stdout);
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) return;
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(null, fd);
    close(null);
}

// A decimal number, with an optional sign and nothing else; nullopt for anything else, and
// for a number beyond a long.
std::optional<long> decimalValue(const char* text) {
    const char* digits = text + (*text == '-' || *text == '+' ? 1 : 0);
    if (*digits == '\0' || strspn(digits, "0123456789") != strlen(digits)) return std::nullopt;
    errno = 0;
    const long value = strtol(text, nullptr, 10);
    if (errno != 0) return std::nullopt;
    return value;
}

// The work under way gets this long to finish once the loop has stopped.
constexpr std::chrono::milliseconds kStopGrace{500};

}  // namespace

void signal_handler(int sig) {
    switch (sig) {
        case SIGHUP:
        case SIGINT:
        case SIGQUIT:
        case SIGTERM:
            event_loopbreak();
            break;
        default:
            break;
    }
}

void show_help() {
    fprintf(stderr,
            "http://127.0.0.1:8080/\n"
            "-l <ip_addr> interface to listen on, default is 0.0.0.0\n"
            "-p <num>\t  port number to listen on, default is 1984\n"
            "-d \t\t  run as a deamon\n"
            "-t <second>  timeout for a http request, default is 120 seconds\n"
            "-h \t\t  print this help and exit\n"
            "\n"
            "-o <origin>  answer only this web origin's pages (repeatable), default is all\n");
}

int main(int argc, char** argv) {
    const char* p = setlocale(LC_ALL, "");
    if (p == nullptr) {
        printf("setlocale:");
        exit(1);
    }
    printf("%s", p);

    setStopSignalsBlocked(true);
    // A client that goes away in the middle of a reply must not end the agent.
    signal(SIGPIPE, SIG_IGN);

    const char* httpd_option_listen = "0.0.0.0";
    long httpd_option_port = 16801;
    int httpd_option_daemon = 0;
    int httpd_option_timeout = 120;
    std::vector<std::string> httpd_option_origins;

    int c;
    while ((c = getopt(argc, argv, "l:p:dt:ho:")) != -1) {
        switch (c) {
            case 'l':
                httpd_option_listen = optarg;
                break;
            case 'p': {
                const std::optional<long> port = decimalValue(optarg);
                if (!port) {
                    fprintf(stderr, "not a port number: %s\n", optarg);
                    exit(1);
                }
                httpd_option_port = *port;
                break;
            }
            case 'd':
                httpd_option_daemon = 1;
                break;
            case 't': {
                const std::optional<long> timeout = decimalValue(optarg);
                if (!timeout || *timeout < 0 || *timeout > INT_MAX) {
                    fprintf(stderr, "not a time-out in seconds: %s\n", optarg);
                    exit(1);
                }
                httpd_option_timeout = static_cast<int>(*timeout);
                break;
            }
            case 'o':
                httpd_option_origins.push_back(Http::normalisedOrigin(optarg));
                if (httpd_option_origins.back().empty()) {
                    fprintf(stderr, "not an origin (scheme://host[:port]): %s\n", optarg);
                    exit(1);
                }
                break;
            default:
                show_help();
                exit(0);
        }
    }

    raiseDescriptorLimit();
    // Before the fork: LISTEN_PID names this process.
    const int activatedFd = activatedSocket();
    const int readyFd = httpd_option_daemon ? daemonize() : -1;
    const auto port = static_cast<ev_uint16_t>(httpd_option_port);

    EventBasePtr base(event_init());
    Agent agent;
    VornFontAgent::RequestRouter router = Routes::routerFor(agent);
    EvHttpPtr httpd(base ? evhttp_new(base.get()) : nullptr);
    evconnlistener* listener = nullptr;
    if (httpd) {
        listener = activatedFd >= 0 ? acceptActivated(httpd.get(), activatedFd)
                                    : bindServer(httpd.get(), httpd_option_listen, port);
    }
    if (listener == nullptr) {
        tellParent(readyFd, kFailed);
        return 1;
    }
    evconnlistener_set_error_cb(listener, onAcceptError);
    evhttp_set_timeout(httpd.get(), httpd_option_timeout);
    evhttp_set_max_headers_size(httpd.get(), kMaxHeadersSize);
    evhttp_set_max_body_size(httpd.get(), kMaxBodySize);
    evhttp_set_allowed_methods(httpd.get(), kAllMethods);
    agent.policy =
        accessPolicy(std::move(httpd_option_origins), activatedFd, httpd_option_listen, port);
    evhttp_set_gencb(httpd.get(), VornFontAgent::httpd_handler, &router);
    // After the fork (threads do not survive it) and once listening, so that an agent that
    // cannot listen exits at once.
    if (!agent.attach(base.get(), httpd.get(), httpd_option_timeout)) {
        fprintf(stderr, "cannot start the agent's event sources and threads: %s\n", strerror(errno));
        tellParent(readyFd, kFailed);
        return 1;
    }

    EventPtr stopEvents[std::size(kStopSignals)];
    watchStopSignals(base.get(), stopEvents);
    if (readyFd >= 0) detachStandardStreams();
    tellParent(readyFd, kReady);

    event_dispatch();
    // A scan blocked in fontconfig never returns: nothing is left to release that the system
    // does not release at exit.
    if (!agent.stop(kStopGrace)) {
        fflush(stdout);
        _exit(0);
    }
    // Released in reverse order of creation: the signal events, the server, the agent, the
    // event base.
    return 0;
}
