#include "http/Http.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/keyvalq_struct.h>
#include <event2/util.h>

#include "core/Ownership.h"

namespace Http {

namespace {

// The answers given before any route is chosen; the catalogue's headers, bar a body's.
constexpr const HeaderField (&kRefusalHeaders)[4] = kCatalogueHeaders;

evkeyvalq* outputHeaders(const Exchange& exchange) {
    return evhttp_request_get_output_headers(exchange.req);
}

// Every reply goes out through here: the headers that depend on the request come last, then
// libevent's own (Date, Content-Length).
void finishReply(const Exchange& exchange, int status, const char* reason, evbuffer* body) {
    if (exchange.access.varyOrigin) evhttp_add_header(outputHeaders(exchange), "Vary", "Origin");
    sendFramed(exchange.req, exchange.framing, status, reason, body);
}

// 403 for a page of an origin not on the list, 421 for a Host that is not the agent's.
void replyRefused(const Exchange& exchange) {
    addHeaders(exchange, kRefusalHeaders);
    finishReply(exchange, exchange.access.status, exchange.access.reason, nullptr);
}

// The agent is no proxy. The reply carries its own Content-Length (libevent writes none for
// CONNECT) and the connection is shut once it is written.
void replyConnect(const Exchange& exchange) {
    addHeaders(exchange, kRefusalHeaders);
    evhttp_add_header(outputHeaders(exchange), "Allow", "GET, HEAD, OPTIONS");
    evhttp_add_header(outputHeaders(exchange), "Content-Length", "0");
    evhttp_request_set_on_complete_cb(exchange.req, endConnectionOnceWritten, nullptr);
    finishReply(exchange, 405, "Method Not Allowed", nullptr);
}

// A CORS preflight: a page asks whether it may send a request with a non-simple header (or
// method). It may use GET and HEAD with any header it names.
void replyPreflight(const Exchange& exchange) {
    addHeaders(exchange, kPreflightHeaders);
    evkeyvalq* input = evhttp_request_get_input_headers(exchange.req);
    evkeyvalq* headers = outputHeaders(exchange);
    evhttp_add_header(headers, "Access-Control-Allow-Methods", kAllowedMethods);
    const std::string granted =
        grantedHeaders(evhttp_find_header(input, "Access-Control-Request-Headers"));
    if (!granted.empty()) {
        evhttp_add_header(headers, "Access-Control-Allow-Headers", granted.c_str());
    }
    evhttp_add_header(headers, "Access-Control-Max-Age", kPreflightMaxAge);
    // Chromium's Private Network Access asks a public page's preflight to a loopback service.
    const char* privateNetwork =
        evhttp_find_header(input, "Access-Control-Request-Private-Network");
    if (privateNetwork != nullptr && evutil_ascii_strcasecmp(privateNetwork, "true") == 0) {
        evhttp_add_header(headers, "Access-Control-Allow-Private-Network", "true");
    }
    finishReply(exchange, 204, "No Content", nullptr);
}

}  // namespace

std::optional<uint32_t> decimalIndex(const std::string& text) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    return value;
}

bool addShared(evbuffer* buf, std::shared_ptr<const std::string> body) {
    if (body->empty()) return true;
    auto* keepAlive = new std::shared_ptr<const std::string>(std::move(body));
    const auto release = [](const void*, size_t, void* extra) {
        delete static_cast<std::shared_ptr<const std::string>*>(extra);
    };
    if (evbuffer_add_reference(buf, (*keepAlive)->data(), (*keepAlive)->size(), release,
                               keepAlive) != 0) {
        delete keepAlive;
        return false;
    }
    return true;
}

Exchange beginExchange(evhttp_request* req, const AccessPolicy& policy) {
    return Exchange{req, prepareFraming(req), checkAccess(&policy, req)};
}

bool answeredBeforeRoutes(const Exchange& exchange) {
    if (evhttp_request_get_command(exchange.req) == EVHTTP_REQ_CONNECT) {
        replyConnect(exchange);
    } else if (exchange.access.status != 0) {
        replyRefused(exchange);
    } else if (isPreflight(exchange.req)) {
        replyPreflight(exchange);
    } else {
        return false;
    }
    return true;
}

namespace {

// True when the query of `uri` has a parameter of this name, compared as libevent compares
// them (case-insensitively, the name itself not decoded).
bool namesParameter(const char* uri, const char* name) {
    const char* query = strchr(uri, '?');
    if (query == nullptr) return false;
    const size_t end = strcspn(++query, "#");
    const size_t length = strlen(name);
    for (size_t at = 0; at < end;) {
        const size_t argument = strcspn(query + at, "&#");
        const size_t key = std::min(argument, strcspn(query + at, "=&#"));
        if (key == length && evutil_ascii_strncasecmp(query + at, name, length) == 0) return true;
        at += argument + 1;
    }
    return false;
}

}  // namespace

Query parseQuery(evhttp_request* req) {
    const char* uri = evhttp_request_get_uri(req);
    EvKeyValQueue params;
    Query query;
    if (evhttp_parse_query(uri, &params) != 0) {
        // libevent gives up on the whole query for one malformed escape (%ZZ, a trailing %) and
        // keeps none of it: a file request must not then turn into a catalogue request.
        query.undecodableFile = namesParameter(uri, "file");
        query.undecodableCovers = namesParameter(uri, "covers");
        return query;
    }
    if (const char* file = evhttp_find_header(&params, "file")) query.file = file;
    if (const char* face = evhttp_find_header(&params, "face")) query.face = face;
    if (const char* text = evhttp_find_header(&params, "text")) query.text = text;
    const char* details = evhttp_find_header(&params, "details");
    query.details = details != nullptr && strcmp(details, "1") == 0;
    const char* events = evhttp_find_header(&params, "events");
    query.events = events != nullptr && strcmp(events, "1") == 0;
    const char* menu = evhttp_find_header(&params, "menu");
    query.menu = menu != nullptr && strcmp(menu, "1") == 0;
    if (const char* from = evhttp_find_header(&params, "from")) query.from = from;
    if (const char* count = evhttp_find_header(&params, "count")) query.count = count;
    if (const char* covers = evhttp_find_header(&params, "covers")) query.covers = covers;
    if (const char* families = evhttp_find_header(&params, "families")) query.families = families;
    return query;
}

std::string contentDisposition(const std::string& file_name) {
    const size_t slash = file_name.rfind('/');
    const std::string name = slash == std::string::npos ? file_name : file_name.substr(slash + 1);
    std::string quoted;
    std::string encoded;
    bool altered = false;
    for (const unsigned char byte : name) {
        const bool printable = byte >= 0x20 && byte < 0x7f;
        const bool safe = printable && byte != '"' && byte != '\\';
        quoted += safe ? static_cast<char>(byte) : '_';
        altered = altered || !safe;
        // RFC 5987 attr-char: letters, digits and !#$&+-.^_`|~ go as they are.
        if (isalnum(byte) || (byte < 0x80 && strchr("!#$&+-.^_`|~", byte) && byte != 0)) {
            encoded += static_cast<char>(byte);
        } else {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", byte);
            encoded += hex;
        }
    }
    std::string value = "attachment; filename=\"" + quoted + "\"";
    if (altered) value += "; filename*=UTF-8''" + encoded;
    return value;
}

bool addHeaderField(const Exchange& exchange, const HeaderField& field, const char* contentType) {
    const char* value = field.value;
    if (strcmp(field.name, "Access-Control-Allow-Origin") == 0) {
        if (exchange.access.allowOrigin == nullptr) return true;
        value = exchange.access.allowOrigin;
    } else if (contentType != nullptr && strcmp(field.name, "Content-Type") == 0) {
        value = contentType;
    }
    return evhttp_add_header(outputHeaders(exchange), field.name, value) == 0;
}

bool addHeader(const Exchange& exchange, const char* name, const std::string& value) {
    return evhttp_add_header(outputHeaders(exchange), name, value.c_str()) == 0;
}

bool addFileHeaders(const Exchange& exchange, const std::string& file, const char* contentType) {
    const bool ok = addHeaders(exchange, kFileHeaders, contentType);
    return addHeader(exchange, "Content-Disposition", contentDisposition(file)) && ok;
}

void addValidators(const Exchange& exchange, const std::string& etag,
                   const std::string& lastModified) {
    addHeader(exchange, "ETag", etag);
    if (!lastModified.empty()) addHeader(exchange, "Last-Modified", lastModified);
    addHeader(exchange, "Cache-Control", kCacheControl);
}

bool answeredNotModified(const Exchange& exchange, const std::string& etag) {
    const char* condition =
        evhttp_find_header(evhttp_request_get_input_headers(exchange.req), "If-None-Match");
    if (!noneMatchNames(condition, etag)) return false;
    // RFC 9110, 13.1.2: a failed If-None-Match is 304 for GET and HEAD only.
    const evhttp_cmd_type method = evhttp_request_get_command(exchange.req);
    if (method == EVHTTP_REQ_GET || method == EVHTTP_REQ_HEAD) {
        replyStatus(exchange, 304, "Not Modified");
    } else {
        replyStatus(exchange, 412, "Precondition Failed");
    }
    return true;
}

void replyStatus(const Exchange& exchange, int code, const char* reason) {
    finishReply(exchange, code, reason, nullptr);
}

void replyBadRequest(const Exchange& exchange) { replyStatus(exchange, 400, "Bad Request"); }

void replyUnavailable(const Exchange& exchange) {
    addHeader(exchange, "Retry-After", "1");
    replyStatus(exchange, 503, "Service Unavailable");
}

void replyShared(const Exchange& exchange, int code, const char* reason,
                 std::shared_ptr<const std::string> body) {
    EvBufferPtr buf(evbuffer_new());
    if (!buf) return replyStatus(exchange, 500, "Internal Server Error");
    if (!addShared(buf.get(), std::move(body))) {
        return replyStatus(exchange, 500, "Internal Server Error");
    }
    // libevent writes at most 16 KiB a turn of the loop by default; a catalogue of megabytes
    // then takes a hundred turns, each with its own wait and write.
    if (evhttp_connection* connection = evhttp_request_get_connection(exchange.req)) {
        bufferevent_set_max_single_write(evhttp_connection_get_bufferevent(connection), 4 << 20);
    }
    finishReply(exchange, code, reason, buf.get());
}

void replyFont(const Exchange& exchange, OpenFont font) {
    const off_t size = font.status.st_size;
    if (size == 0) return replyStatus(exchange, 200, "OK");
    evbuffer* buf = evhttp_request_get_output_buffer(exchange.req);
    // Marking the buffer as one that drains to a socket makes libevent send the file with
    // sendfile; otherwise it maps the whole file into memory, and every large font served
    // counts in the agent's size.
    evbuffer_set_flags(buf, EVBUFFER_FLAG_DRAINS_TO_FD);
    // libevent takes the descriptor and closes it once the reply is written.
    if (evbuffer_add_file(buf, font.fd.get(), 0, size) != 0) {
        return replyStatus(exchange, 500, "Internal Server Error");
    }
    font.fd.release();
    finishReply(exchange, 200, "OK", buf);
}

void startStream(const Exchange& exchange) {
    if (exchange.access.varyOrigin) evhttp_add_header(outputHeaders(exchange), "Vary", "Origin");
    evhttp_send_reply_start(exchange.req, 200, "OK");
}

}  // namespace Http
