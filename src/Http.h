// The HTTP layer the routes share: what a request asks for, the header tables and the replies.
//
// Contract: every request ends in exactly one reply, sent by one of the reply functions here.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <event2/http.h>

#include "ListedFont.h"

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

// Every query parameter a route reads; a parameter that is absent is nullopt (or empty for
// `file`, where an empty value means the same as none).
struct Query {
    std::string file;
    std::optional<std::string> face;  // with `file`: one face of the file, a decimal index
    std::optional<std::string> text;  // with `file`: a subset holding what this text needs
    bool details = false;  // "details=1": the catalogue with the details for font pickers
    bool events = false;   // "events=1": a stream of catalogue events
};

// The request's query parameters; nothing when the query cannot be parsed.
Query parseQuery(evhttp_request* req);

constexpr HeaderField kEventStreamHeaders[] = {
    {"Server", "httpd v 0.0.1"},   {"Content-Type", "text/event-stream"},
    {"Cache-Control", "no-store"}, {"Access-Control-Allow-Origin", "*"},
    {"Connection", "close"},
};

// A strong ETag value for a body: equal bodies, equal validators.
std::string contentValidator(std::string_view body);

// Content-Disposition for a served file: the base name, quoted and restricted to printable ASCII
// (so no header can ever carry a CR or LF), plus the exact name in RFC 5987 form when the
// quoted one had to be altered.
std::string contentDisposition(const std::string& file_name);

// Adds headers in table order; false when libevent refused one.
template <size_t N>
bool addHeaders(evhttp_request* req, const HeaderField (&fields)[N]) {
    bool ok = true;
    for (const HeaderField& field : fields) {
        ok = evhttp_add_header(evhttp_request_get_output_headers(req), field.name, field.value) ==
                 0 &&
             ok;
    }
    return ok;
}
bool addHeader(evhttp_request* req, const char* name, const std::string& value);
// The file route's headers, in their order, with this Content-Type (the table's when null).
bool addFileHeaders(evhttp_request* req, const std::string& file, const char* contentType);

// The replies. Each sends the one reply of the request.

// A status with no body.
void replyStatus(evhttp_request* req, int code, const char* reason);
// A body shared with other replies: lent to libevent rather than copied, and kept alive until
// it has been written, even if a newer one replaces it meanwhile.
void replyShared(evhttp_request* req, int code, const char* reason,
                 std::shared_ptr<const std::string> body);
// 400 for a request whose parameters cannot be served.
void replyBadRequest(evhttp_request* req);
// 200 with the whole of an open font file.
void replyFont(evhttp_request* req, OpenFont font);

}  // namespace Http
