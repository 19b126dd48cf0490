// A deadline for each request to arrive in full. libevent's time-out bounds each wait for a
// byte, so on its own a client sending one byte every few seconds holds a connection for hours.
#pragma once

#include <sys/time.h>

#include <unordered_map>
#include <vector>

#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/http.h>

#include "core/Ownership.h"

class HeadDeadlines {
  public:
    HeadDeadlines() = default;
    HeadDeadlines(const HeadDeadlines&) = delete;
    HeadDeadlines& operator=(const HeadDeadlines&) = delete;

    // From now on, a connection of `httpd` whose request has not arrived within `seconds` of
    // its accept is closed; 0 sets no deadline.
    bool start(evhttp* httpd, event_base* base, int seconds);
    // The handler has `req`: its connection has no deadline anymore.
    void arrived(evhttp_request* req);

  private:
    static bufferevent* onConnection(event_base* base, void* self);
    static void onAdopt(evutil_socket_t, short, void* self);
    static void onClosed(evhttp_connection* connection, void* self);
    static void onSweep(evutil_socket_t, short, void* self);

    timeval limit_{};
    // Connections accepted in this turn of the loop, held until libevent has set them up.
    std::vector<std::pair<bufferevent*, timeval>> accepted_;
    // Each connection whose request has not arrived yet, with its deadline.
    std::unordered_map<evhttp_connection*, timeval> pending_;
    EventPtr adopt_;
    EventPtr sweep_;
};
