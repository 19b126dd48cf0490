#include "Http.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <event2/buffer.h>
#include <event2/keyvalq_struct.h>

#include "Ownership.h"

namespace Http {

Query parseQuery(evhttp_request* req) {
    EvKeyValQueue params;
    evhttp_parse_query(evhttp_request_get_uri(req), &params);
    Query query;
    if (const char* file = evhttp_find_header(&params, "file")) query.file = file;
    if (const char* face = evhttp_find_header(&params, "face")) query.face = face;
    if (const char* text = evhttp_find_header(&params, "text")) query.text = text;
    const char* details = evhttp_find_header(&params, "details");
    query.details = details != nullptr && strcmp(details, "1") == 0;
    const char* events = evhttp_find_header(&params, "events");
    query.events = events != nullptr && strcmp(events, "1") == 0;
    return query;
}

std::string contentValidator(std::string_view body) {
    // FNV-1a, 64 bits: a validator only has to change with the body, not resist forgery.
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const unsigned char byte : body) hash = (hash ^ byte) * 0x100000001b3ull;
    char text[24];
    snprintf(text, sizeof text, "\"%016llx\"", static_cast<unsigned long long>(hash));
    return text;
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

bool addHeader(evhttp_request* req, const char* name, const std::string& value) {
    return evhttp_add_header(evhttp_request_get_output_headers(req), name, value.c_str()) == 0;
}

bool addFileHeaders(evhttp_request* req, const std::string& file, const char* contentType) {
    bool ok = true;
    for (const HeaderField& field : kFileHeaders) {
        const bool isType = strcmp(field.name, "Content-Type") == 0;
        const char* value = isType && contentType != nullptr ? contentType : field.value;
        ok =
            evhttp_add_header(evhttp_request_get_output_headers(req), field.name, value) == 0 && ok;
    }
    return addHeader(req, "Content-Disposition", contentDisposition(file)) && ok;
}

void replyBadRequest(evhttp_request* req) { replyStatus(req, 400, "Bad Request"); }

void replyStatus(evhttp_request* req, int code, const char* reason) {
    evhttp_send_reply(req, code, reason, nullptr);
}

namespace {

void releaseShared(const void*, size_t, void* extra) {
    delete static_cast<std::shared_ptr<const std::string>*>(extra);
}

}  // namespace

void replyShared(evhttp_request* req, int code, const char* reason,
                 std::shared_ptr<const std::string> body) {
    EvBufferPtr buf(evbuffer_new());
    if (!buf) return replyStatus(req, 500, "Internal Server Error");
    if (!body->empty()) {
        auto* keepAlive = new std::shared_ptr<const std::string>(body);
        if (evbuffer_add_reference(buf.get(), body->data(), body->size(), releaseShared,
                                   keepAlive) != 0) {
            delete keepAlive;
            return replyStatus(req, 500, "Internal Server Error");
        }
    }
    evhttp_send_reply(req, code, reason, buf.get());
}

void replyFont(evhttp_request* req, OpenFont font) {
    const off_t size = font.status.st_size;
    if (size == 0) return replyStatus(req, 200, "OK");
    evbuffer* buf = evhttp_request_get_output_buffer(req);
    // Marking the buffer as one that drains to a socket makes libevent send the file with
    // sendfile; otherwise it maps the whole file into memory, and every large font served
    // counts in the agent's size.
    evbuffer_set_flags(buf, EVBUFFER_FLAG_DRAINS_TO_FD);
    // libevent takes the descriptor and closes it once the reply is written.
    if (evbuffer_add_file(buf, font.fd.get(), 0, size) != 0) {
        return replyStatus(req, 500, "Internal Server Error");
    }
    font.fd.release();
    evhttp_send_reply(req, 200, "OK", buf);
}

}  // namespace Http
