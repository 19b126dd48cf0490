// The HTTP layer the routes share: what a request asks for, the header tables and the replies.
//
// Contract: every request ends in exactly one reply, sent by one of the reply functions here
// (or, for an event stream, started by one), which also correct libevent's framing.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <event2/http.h>

#include "http/AccessPolicy.h"
#include "http/HttpCaching.h"
#include "http/HttpFraming.h"
#include "fontset/ListedFont.h"

namespace Http {

struct HeaderField {
    const char* name;
    const char* value;
};

constexpr HeaderField kCatalogueHeaders[] = {
    {"Server", "httpd v 0.0.1"},
    {"Content-Type", "text/plain; charset=UTF-8"},
    {"Access-Control-Allow-Origin", "*"},
    {"Connection", "close"},
};

constexpr HeaderField kFileHeaders[] = {
    {"Server", "httpd v 0.0.1"},
    {"Content-Type", "application/octet-stream"},
    {"Access-Control-Allow-Origin", "*"},
    {"Connection", "close"},
};

constexpr HeaderField kEventStreamHeaders[] = {
    {"Server", "httpd v 0.0.1"},   {"Content-Type", "text/event-stream"},
    {"Cache-Control", "no-store"}, {"Access-Control-Allow-Origin", "*"},
    {"Connection", "close"},
};

constexpr HeaderField kMenuHeaders[] = {
    {"Server", "httpd v 0.0.1"},
    {"Content-Type", "application/vnd.vorn.font-menu"},
    {"Access-Control-Allow-Origin", "*"},
    {"Connection", "close"},
};

// A 204 has no content, so no Content-Type either.
constexpr HeaderField kPreflightHeaders[] = {
    {"Server", "httpd v 0.0.1"},
    {"Access-Control-Allow-Origin", "*"},
    {"Connection", "close"},
};

// Every query parameter a route reads; a parameter that is absent is nullopt (or empty for
// `file`, where an empty value means the same as none).
struct Query {
    std::string file;
    std::optional<std::string> face;  // with `file`: one face of the file, a decimal index
    std::optional<std::string> text;  // with `file`: a subset holding what this text needs
    bool details = false;  // "details=1": the catalogue with the details for font pickers
    bool events = false;   // "events=1": a stream of catalogue events
    bool menu = false;     // "menu=1": a face of each family, for a font menu
    std::optional<std::string> from;      // with `menu`: the first family, a decimal index
    std::optional<std::string> count;     // with `menu`: how many families
    std::optional<std::string> families;  // with `menu`: which families, decimal indices
    // The catalogue's faces that map every character of this text only.
    std::optional<std::string> covers;
    // The query names a `file` parameter but cannot be decoded (a malformed escape anywhere
    // in it): nothing else of it is known.
    bool undecodableFile = false;
    // Likewise for a `covers` parameter: a catalogue of every face is not what was asked for.
    bool undecodableCovers = false;
};

// One request and what the layer learnt of it before any route ran.
struct Exchange {
    evhttp_request* req;
    Framing framing;
    RequestAccess access;
};

// `policy` is the -o list; empty, every origin may read.
Exchange beginExchange(evhttp_request* req, const AccessPolicy& policy);
// Answers CONNECT, a request the policy refuses and a CORS preflight; false leaves the request
// to the routes.
bool answeredBeforeRoutes(const Exchange& exchange);

// The request's query parameters; nothing but `undecodableFile` when the query cannot be
// decoded.
Query parseQuery(evhttp_request* req);
// A parameter that is an index: decimal digits only, at most nine of them.
std::optional<uint32_t> decimalIndex(const std::string& text);
// Lends `body` to `buf` rather than copying it, keeping it alive until it has been written;
// false when libevent refused it.
bool addShared(evbuffer* buf, std::shared_ptr<const std::string> body);

// Content-Disposition for a served file: the base name, quoted and restricted to printable ASCII
// (so no header can ever carry a CR or LF), plus the exact name in RFC 5987 form when the
// quoted one had to be altered.
std::string contentDisposition(const std::string& file_name);

// Adds a table's headers in its order, Access-Control-Allow-Origin as the policy allows; false
// when libevent refused one.
template <size_t N>
bool addHeaders(const Exchange& exchange, const HeaderField (&fields)[N],
                const char* contentType = nullptr);
bool addHeader(const Exchange& exchange, const char* name, const std::string& value);
// The file route's headers, in their order, with this Content-Type (the table's when null).
bool addFileHeaders(const Exchange& exchange, const std::string& file, const char* contentType);
// ETag, Last-Modified (when given) and Cache-Control, after the route's own headers.
void addValidators(const Exchange& exchange, const std::string& etag,
                   const std::string& lastModified);
// Replies 304 (412 for a method other than GET and HEAD) when the request's If-None-Match
// names `etag`; false when it does not, and nothing was sent.
bool answeredNotModified(const Exchange& exchange, const std::string& etag);

// The replies. Each sends the one reply of the request.

// A status with no body.
void replyStatus(const Exchange& exchange, int code, const char* reason);
// 400 for a request whose parameters cannot be served.
void replyBadRequest(const Exchange& exchange);
// 503 for a request the agent cannot serve now but soon will, with a Retry-After.
void replyUnavailable(const Exchange& exchange);
// A body shared with other replies: lent to libevent rather than copied, and kept alive until
// it has been written, even if a newer one replaces it meanwhile.
void replyShared(const Exchange& exchange, int code, const char* reason,
                 std::shared_ptr<const std::string> body);
// 200 with the whole of an open font file.
void replyFont(const Exchange& exchange, OpenFont font);
// Starts a reply whose body follows in pieces (an event stream).
void startStream(const Exchange& exchange);

// --- Template definitions ---

bool addHeaderField(const Exchange& exchange, const HeaderField& field, const char* contentType);

template <size_t N>
bool addHeaders(const Exchange& exchange, const HeaderField (&fields)[N], const char* contentType) {
    bool ok = true;
    for (const HeaderField& field : fields) ok = addHeaderField(exchange, field, contentType) && ok;
    return ok;
}

}  // namespace Http
