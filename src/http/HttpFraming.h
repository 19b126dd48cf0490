// How a reply is framed on the wire. libevent 2.1.12 fills in Connection and Content-Length
// from the request behind the handler's back, and gets four cases wrong for an agent that closes
// every connection; the handler corrects them here, so that every reply carries exactly one
// "Connection: close", a body whose end the client can tell, and ends its connection.
#pragma once

#include <cstdio>

#include <sys/socket.h>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/http.h>
// libevent 2.1 has no getter for a request's version or flags; the struct is public here.
#include <event2/http_struct.h>

namespace Http {

// What the handler has to do itself when it sends the reply.
struct Framing {
    bool lengthIsOurs = false;  // libevent will not write Content-Length
    bool headOnly = false;      // HEAD: the headers a GET gets, no body
};

inline bool asksKeepAlive(evhttp_request* req) {
    const char* connection =
        evhttp_find_header(evhttp_request_get_input_headers(req), "Connection");
    return connection != nullptr && evutil_ascii_strncasecmp(connection, "keep-alive", 10) == 0;
}

// Called once per request, before any reply header is set.
inline Framing prepareFraming(evhttp_request* req) {
    Framing framing;
    // An absolute-form target ("GET http://127.0.0.1:16801/ HTTP/1.1") makes libevent take the
    // request for one to a proxy: it then removes our Connection header and writes none. The
    // agent is no proxy, the target names the agent itself (RFC 9112, 3.2.2).
    req->flags &= ~EVHTTP_PROXY_REQUEST;
    // For an HTTP/1.0 request with "Connection: keep-alive", libevent adds its own
    // "Connection: keep-alive" after our "close". Without the request's header it adds nothing
    // and closes, as after any HTTP/1.0 request, but writes no Content-Length either.
    if (req->major == 1 && req->minor == 0 && asksKeepAlive(req)) {
        evkeyvalq* input = evhttp_request_get_input_headers(req);
        // evhttp_remove_header takes the first of them only.
        while (evhttp_remove_header(input, "Connection") == 0) continue;
        framing.lengthIsOurs = true;
    }
    // libevent writes no Content-Length for HEAD, and would send the body all the same.
    if (evhttp_request_get_command(req) == EVHTTP_REQ_HEAD) {
        framing.lengthIsOurs = true;
        framing.headOnly = true;
    }
    return framing;
}

inline bool statusHasBody(int status) { return status >= 200 && status != 204 && status != 304; }

// evhttp_send_reply with the corrections `framing` asks for. `body` may be null, or the
// request's own output buffer.
inline void sendFramed(evhttp_request* req, const Framing& framing, int status, const char* reason,
                       evbuffer* body) {
    const size_t length = body != nullptr ? evbuffer_get_length(body) : 0;
    if (framing.lengthIsOurs && statusHasBody(status)) {
        char value[24];
        snprintf(value, sizeof value, "%zu", length);
        evhttp_add_header(evhttp_request_get_output_headers(req), "Content-Length", value);
    }
    // Draining releases a file segment's descriptor and a lent body at once.
    if (framing.headOnly && body != nullptr) evbuffer_drain(body, length);
    evhttp_send_reply(req, status, reason, body);
}

// libevent keeps a connection open after its reply to CONNECT, whatever the headers say (it
// takes the connection for a tunnel from then on). Once the reply is written, this drops what
// the client sent after it and shuts the socket both ways: the client reads the end of the
// reply, and libevent's next read sees the end of the stream and frees the connection.
inline void endConnectionOnceWritten(evhttp_request* req, void*) {
    evhttp_connection* connection = evhttp_request_get_connection(req);
    if (connection == nullptr) return;
    bufferevent* stream = evhttp_connection_get_bufferevent(connection);
    evbuffer* input = bufferevent_get_input(stream);
    evbuffer_drain(input, evbuffer_get_length(input));
    shutdown(bufferevent_getfd(stream), SHUT_RDWR);
}

}  // namespace Http
