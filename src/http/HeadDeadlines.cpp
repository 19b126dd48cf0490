#include "http/HeadDeadlines.h"

#include <sys/socket.h>

namespace {

timeval monotonicNow() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return timeval{ts.tv_sec, ts.tv_nsec / 1000};
}

// Deadlines are looked at this often: a connection may outlive its own by this much.
constexpr timeval kSweepPeriod{1, 0};

}  // namespace

bool HeadDeadlines::start(evhttp* httpd, event_base* base, int seconds) {
    if (seconds <= 0) return true;
    limit_ = timeval{seconds, 0};
    adopt_.reset(event_new(base, -1, 0, onAdopt, this));
    sweep_.reset(event_new(base, -1, EV_PERSIST, onSweep, this));
    if (!adopt_ || !sweep_ || event_add(sweep_.get(), &kSweepPeriod) != 0) return false;
    evhttp_set_bevcb(httpd, onConnection, this);
    return true;
}

// libevent has no call for a new connection, only this one for its bufferevent, made before the
// connection exists. The bufferevent is what libevent would make itself; the connection is
// taken up once libevent has set it up, later in this same turn of the loop, before any of its
// bytes can be read.
bufferevent* HeadDeadlines::onConnection(event_base* base, void* arg) {
    auto& self = *static_cast<HeadDeadlines*>(arg);
    bufferevent* connection = bufferevent_socket_new(base, -1, BEV_OPT_CLOSE_ON_FREE);
    if (connection == nullptr) return nullptr;
    // Held until then: libevent frees a connection it cannot set up at once.
    bufferevent_incref(connection);
    timeval now = monotonicNow(), deadline;
    timeradd(&now, &self.limit_, &deadline);
    self.accepted_.emplace_back(connection, deadline);
    event_active(self.adopt_.get(), EV_TIMEOUT, 0);
    return connection;
}

void HeadDeadlines::onAdopt(evutil_socket_t, short, void* arg) {
    auto& self = *static_cast<HeadDeadlines*>(arg);
    for (const auto& [buffered, deadline] : self.accepted_) {
        // libevent 2.1 hands its connection to the bufferevent's callbacks as their argument;
        // a freed bufferevent has no callbacks left.
        bufferevent_event_cb failed = nullptr;
        void* connection = nullptr;
        bufferevent_getcb(buffered, nullptr, nullptr, &failed, &connection);
        if (failed != nullptr && connection != nullptr) {
            auto* http = static_cast<evhttp_connection*>(connection);
            evhttp_connection_set_closecb(http, onClosed, &self);
            self.pending_.emplace(http, deadline);
        }
        bufferevent_decref(buffered);
    }
    self.accepted_.clear();
}

void HeadDeadlines::arrived(evhttp_request* req) {
    evhttp_connection* connection = evhttp_request_get_connection(req);
    if (connection == nullptr || pending_.erase(connection) == 0) return;
    evhttp_connection_set_closecb(connection, nullptr, nullptr);
}

void HeadDeadlines::onClosed(evhttp_connection* connection, void* arg) {
    static_cast<HeadDeadlines*>(arg)->pending_.erase(connection);
}

void HeadDeadlines::onSweep(evutil_socket_t, short, void* arg) {
    auto& self = *static_cast<HeadDeadlines*>(arg);
    const timeval now = monotonicNow();
    for (const auto& [connection, deadline] : self.pending_) {
        // The client reads the end of the stream, and libevent's next read sees it and frees
        // the connection (which takes it out of the list).
        if (!timercmp(&now, &deadline, <)) {
            shutdown(bufferevent_getfd(evhttp_connection_get_bufferevent(connection)), SHUT_RDWR);
        }
    }
}
