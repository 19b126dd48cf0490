#include "http/EventStreams.h"

#include <algorithm>

#include <event2/buffer.h>

namespace {

// Browsers reconnect this long after a stream ends.
constexpr const char* kRetry = "retry: 2000\n";
constexpr const char* kHeartbeat = ": keep-alive\n\n";

}  // namespace

EventStreams::~EventStreams() {
    // The server is freed first and closes every stream; whatever is left must not call back.
    for (Stream& stream : streams_)
        evhttp_connection_set_closecb(stream.connection, nullptr, nullptr);
}

bool EventStreams::start(event_base* base, int timeoutSeconds) {
    heartbeat_.reset(event_new(base, -1, EV_PERSIST, onHeartbeat, this));
    // Half the time-out, so that one late heartbeat still arrives in time; within 1 to 15 s.
    const timeval period{std::clamp(timeoutSeconds / 2, 1, 15), 0};
    return heartbeat_ && event_add(heartbeat_.get(), &period) == 0;
}

std::string EventStreams::formatEvent(const char* name, const std::string& data) {
    return std::string("event: ") + name + "\ndata: " + data + "\n\n";
}

bool EventStreams::open(evhttp_request* req, const std::string& version,
                        const std::string& firstEvent) {
    evhttp_connection* connection = evhttp_request_get_connection(req);
    if (full() || connection == nullptr) return false;
    // The stream is idle between events by design: only the heartbeat's writes must finish in
    // time, the client is not expected to send anything.
    evhttp_connection_set_timeout(connection, -1);
    Stream& stream = streams_.emplace_back(Stream{this, req, connection, version});
    evhttp_connection_set_closecb(connection, onClosed, &stream);
    send(stream, kRetry + firstEvent);
    return true;
}

void EventStreams::broadcast(const std::string& version, const std::string& event) {
    for (Stream& stream : streams_) {
        if (stream.version == version) continue;
        stream.version = version;
        send(stream, event);
    }
}

void EventStreams::send(const Stream& stream, const std::string& text) {
    EvBufferPtr buf(evbuffer_new());
    if (buf && evbuffer_add(buf.get(), text.data(), text.size()) == 0) {
        evhttp_send_reply_chunk(stream.req, buf.get());
    }
}

void EventStreams::onClosed(evhttp_connection*, void* arg) {
    auto* stream = static_cast<Stream*>(arg);
    // A client that went away leaves its unfinished request to us; when the server itself
    // closes the connection, the connection frees it.
    if (evhttp_request_get_connection(stream->req) == nullptr) evhttp_request_free(stream->req);
    std::list<Stream>& streams = stream->owner->streams_;
    streams.remove_if([stream](const Stream& open) { return &open == stream; });
}

void EventStreams::onHeartbeat(evutil_socket_t, short, void* arg) {
    auto* self = static_cast<EventStreams*>(arg);
    for (const Stream& stream : self->streams_) self->send(stream, kHeartbeat);
}
