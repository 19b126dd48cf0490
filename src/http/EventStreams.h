// Server-Sent Events streams that tell pages when the catalogue changes.
#pragma once

#include <list>
#include <string>

#include <event2/event.h>
#include <event2/http.h>

#include "core/Ownership.h"

class EventStreams {
  public:
    // Streams open at once at the most; the next one is refused with 503.
    static constexpr size_t kMaxStreams = 64;

    EventStreams() = default;
    EventStreams(const EventStreams&) = delete;
    EventStreams& operator=(const EventStreams&) = delete;
    ~EventStreams();

    // Keeps every stream alive with a comment well within the connection time-out.
    bool start(event_base* base, int timeoutSeconds);

    bool full() const { return streams_.size() >= kMaxStreams; }
    // Keeps a stream on `req`, whose reply has been started, and sends it `firstEvent`, the
    // event of `version`; false when the connection is gone or no more streams may be open.
    bool open(evhttp_request* req, const std::string& version, const std::string& firstEvent);
    // Sends `event` to every stream that was last sent another version than `version`.
    void broadcast(const std::string& version, const std::string& event);
    size_t size() const { return streams_.size(); }

    // One event of the stream, in the text/event-stream format: `data` is a single line.
    static std::string formatEvent(const char* name, const std::string& data);

  private:
    struct Stream {
        EventStreams* owner;
        evhttp_request* req;  // libevent's; valid until the connection closes
        evhttp_connection* connection;
        std::string version;  // of the last event sent
    };

    void send(const Stream& stream, const std::string& text);
    static void onClosed(evhttp_connection* connection, void* stream);
    static void onHeartbeat(evutil_socket_t, short, void* streams);

    std::list<Stream> streams_;  // stable addresses: each is its connection's close argument
    EventPtr heartbeat_;
};
