// The listening socket systemd passes to a socket-activated service (see sd_listen_fds(3)):
// LISTEN_PID names this process, LISTEN_FDS counts the sockets, the first is descriptor 3.
// The protocol is two environment variables, so no libsystemd is needed.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// Returns the passed listening socket, non-blocking and close-on-exec, or -1 when the agent was
// not socket-activated (or what it was passed is no listening stream socket). Clears the
// variables, so that no process the agent might start takes them for its own.
inline int activatedSocket() {
    constexpr int kFirstPassedFd = 3;
    const char* pid = getenv("LISTEN_PID");
    const char* count = getenv("LISTEN_FDS");
    if (pid == nullptr || count == nullptr) return -1;
    char* end = nullptr;
    errno = 0;
    const long passedTo = strtol(pid, &end, 10);
    const bool forUs = errno == 0 && *pid != '\0' && *end == '\0' && passedTo == getpid();
    errno = 0;
    const long sockets = strtol(count, &end, 10);
    const bool counted = errno == 0 && *count != '\0' && *end == '\0' && sockets >= 1;
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    if (!forUs || !counted) return -1;

    int listening = 0;
    int type = 0;
    socklen_t length = sizeof listening;
    if (getsockopt(kFirstPassedFd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0 ||
        !listening)
        return -1;
    length = sizeof type;
    if (getsockopt(kFirstPassedFd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)
        return -1;
    // libevent accepts until accept would block: a blocking listener would hang the loop.
    const int flags = fcntl(kFirstPassedFd, F_GETFL);
    if (flags < 0 || fcntl(kFirstPassedFd, F_SETFL, flags | O_NONBLOCK) != 0) return -1;
    fcntl(kFirstPassedFd, F_SETFD, FD_CLOEXEC);
    return kFirstPassedFd;
}

// The address and port a listening socket is bound to, the address as text ("127.0.0.1",
// "::1"). False when the socket has no IP address.
inline bool boundAddress(int fd, std::string& address, long& port) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return false;
    char text[INET6_ADDRSTRLEN] = "";
    if (storage.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        port = ntohs(in->sin_port);
    } else if (storage.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        port = ntohs(in6->sin6_port);
    } else {
        return false;
    }
    address = text;
    return true;
}
