// The HTTP face of the agent: the request handler and the catalogue document writer.
//
// Handler contract: every request ends in exactly one evhttp_send_reply, on every path.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <event2/buffer.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <nlohmann/json.hpp>

#include "FontDescriptor.h"
#include "FontManagerLinux.h"
#include "Ownership.h"
#include "util.h"

namespace VornFontAgent {

using json = nlohmann::json;

// nlohmann's type_error id for a string that is not valid UTF-8.
constexpr int kInvalidUtf8Error = 316;

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

inline json faceToJson(const TypefaceItem& item, bool isVariation) {
    json childItem;
    childItem["file"] = item.file;
    childItem["weight"] = convertWeightTostring(item.weight);
    childItem["width"] = convertWidthToString(item.width);
    childItem["slant"] = convertStyleToString(item.slant);
    childItem["postScript"] = item.postscript;
    if (isVariation) {
        json variationsArray = json::array();
        for (const Variation& variation : item.variations) {
            json variationItem;
            variationItem["key"] = variation.key;
            variationItem["value"] = static_cast<double>(variation.value);
            variationsArray.push_back(std::move(variationItem));
        }
        childItem["variations"] = std::move(variationsArray);
    }
    return childItem;
}

inline json familyToJson(const Typeface& typeface) {
    json typefaceJson;
    typefaceJson["family"] = typeface.family;
    typefaceJson["localName"] = typeface.localName;
    if (typeface.isVariation) {
        typefaceJson["isVariation"] = true;
        json variationArray = json::array();
        for (const FamilyVariation& axis : typeface.variationRange) {
            json variationItem;
            variationItem["key"] = axis.tag;
            variationItem["minValue"] = axis.minimum;
            variationItem["maxValue"] = axis.maximum;
            variationItem["defaultValue"] = axis.def;
            variationArray.push_back(std::move(variationItem));
        }
        typefaceJson["variationRange"] = std::move(variationArray);
    }
    json childArray = json::array();
    for (const TypefaceItem& item : typeface.childList) {
        childArray.push_back(faceToJson(item, typeface.isVariation));
    }
    typefaceJson["childList"] = std::move(childArray);
    return typefaceJson;
}

// Serialises the catalogue as one line of JSON. On failure returns "[]" and sets nErrorCode to the
// JSON library's error id (316: a string is not valid UTF-8); on success sets it to 0.
inline std::string convertToJson(ResultSet* familes, int& nErrorCode) {
    json jsonArray = json::array();
    if (familes != nullptr) {
        for (const Typeface* typeface : *familes) {
            if (typeface != nullptr) jsonArray.push_back(familyToJson(*typeface));
        }
    }
    nErrorCode = 0;
    try {
        return jsonArray.dump();
    } catch (const nlohmann::json::exception& e) {
        nErrorCode = e.id;
        printf("json throw an error:%s try to fix", e.what());
        return "[]";
    }
}

struct CatalogueReply {
    int status;
    const char* reason;
    std::string body;
};

// The catalogue route's answer for one catalogue: its document, and the status that goes with it.
inline CatalogueReply makeCatalogueReply(ResultSet* pRes) {
    int nErrorCode = 0;
    std::string jsonText = convertToJson(pRes, nErrorCode);
    if (nErrorCode == kInvalidUtf8Error) return {204, "utf-8 error", std::move(jsonText)};
    return {200, "OK", std::move(jsonText)};
}

// Content-Disposition for a served file: the base name, quoted and restricted to printable ASCII
// (so no header can ever carry a CR or LF), plus the exact name in RFC 5987 form when the
// quoted one had to be altered.
inline std::string contentDisposition(const std::string& file_name) {
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

// Opens a requested path for serving, only when it is one of the catalogued font files and a
// regular file. Returns the open descriptor and its size, or -1 with errno: ENOENT for a path
// that may not be served, otherwise open's own reason. A listed path can be swapped for a FIFO
// or device after listing: O_NONBLOCK keeps the open from blocking, fstat rejects it.
inline int openCataloguedFont(const std::string& path, off_t& size) {
    if (!canSupportFontFormat(path.c_str()) || !isCataloguedFontPath(path)) {
        errno = ENOENT;
        return -1;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = ENOENT;
        return -1;
    }
    size = st.st_size;
    return fd;
}

inline bool addHeaders(evhttp_request* req, const HeaderField* fields, size_t count) {
    evkeyvalq* headers = evhttp_request_get_output_headers(req);
    bool ok = true;
    for (size_t i = 0; i < count; ++i) {
        ok = evhttp_add_header(headers, fields[i].name, fields[i].value) == 0 && ok;
    }
    return ok;
}

// The value of the "file" query parameter, empty when there is none or the query cannot be parsed.
inline std::string requestedFile(evhttp_request* req) {
    EvKeyValQueue params;
    evhttp_parse_query(evhttp_request_get_uri(req), &params);
    const char* value = evhttp_find_header(&params, "file");
    return value != nullptr ? std::string(value) : std::string();
}

// The last catalogue served, and the state of the font files it was made from.
struct RememberedCatalogue {
    FontSetState state;
    std::shared_ptr<const CatalogueReply> reply;
};

// The catalogue reply for the fonts as they are now. While no listed file and nothing fontconfig
// depends on has changed, the catalogue would come out byte for byte the same, so the last one
// is served again; any change builds it anew.
inline std::shared_ptr<const CatalogueReply> currentCatalogueReply() {
    static RememberedCatalogue last;  // event-loop thread only
    FontSetState state = currentFontSetState();
    if (last.reply && last.state == state) return last.reply;
    std::shared_ptr<const CatalogueReply> reply;
    {
        std::unique_ptr<ResultSet> pRes(getAvailableFonts(state));
        reply = std::make_shared<const CatalogueReply>(makeCatalogueReply(pRes.get()));
    }
    last = RememberedCatalogue{std::move(state), reply};
    return reply;
}

// The first catalogue is prepared on a thread of its own while the agent starts listening, so
// that the first client waits for less of it. The handler waits for that thread before it
// touches anything the thread fills; from then on everything runs on the event-loop thread.
inline std::thread& catalogueWarmUp() {
    static std::thread warmUp;
    return warmUp;
}

inline void startCatalogueWarmUp() {
    catalogueWarmUp() = std::thread([] {
        try {
            currentCatalogueReply();
        } catch (const std::exception&) {
            // The first request builds it again and answers with whatever happens then.
        }
    });
}

inline void awaitCatalogueWarmUp() {
    if (catalogueWarmUp().joinable()) catalogueWarmUp().join();
}

inline void releaseCatalogueReply(const void*, size_t, void* extra) {
    delete static_cast<std::shared_ptr<const CatalogueReply>*>(extra);
}

inline void replyCatalogue(evhttp_request* req) {
    addHeaders(req, kCatalogueHeaders, std::size(kCatalogueHeaders));
    std::shared_ptr<const CatalogueReply> reply;
    try {
        reply = currentCatalogueReply();
    } catch (const std::exception&) {
        // The agent keeps serving; this one client learns that its catalogue failed.
        evhttp_send_reply(req, 500, "Internal Server Error", nullptr);
        return;
    }
    EvBufferPtr buf(evbuffer_new());
    if (!buf) {
        evhttp_send_reply(req, 500, "Internal Server Error", nullptr);
        return;
    }
    if (!reply->body.empty()) {
        // The body is lent to libevent rather than copied; the reference keeps it alive until
        // the reply has been written, even if a newer catalogue replaces it meanwhile.
        auto* keepAlive = new std::shared_ptr<const CatalogueReply>(reply);
        if (evbuffer_add_reference(buf.get(), reply->body.data(), reply->body.size(),
                                   releaseCatalogueReply, keepAlive) != 0) {
            delete keepAlive;
            evhttp_send_reply(req, 500, "Internal Server Error", nullptr);
            return;
        }
    }
    evhttp_send_reply(req, reply->status, reply->reason, buf.get());
}

inline void replyFile(evhttp_request* req, const std::string& file_name) {
    evbuffer* buf = evhttp_request_get_output_buffer(req);
    addHeaders(req, kFileHeaders, std::size(kFileHeaders));
    evhttp_add_header(evhttp_request_get_output_headers(req), "Content-Disposition",
                      contentDisposition(file_name).c_str());

    off_t size = 0;
    const int fd = openCataloguedFont(file_name, size);
    if (fd < 0) {
        // Out of descriptors or memory the font is still there: "try again", not "no such font".
        const bool busy = errno == EMFILE || errno == ENFILE || errno == ENOMEM;
        printf("Can not open file:%s", file_name.c_str());
        if (busy) {
            evhttp_send_reply(req, 503, "Service Unavailable", nullptr);
        } else {
            evhttp_send_reply(req, 404, "Not Found", nullptr);
        }
        return;
    }
    if (size == 0) {
        close(fd);
        evhttp_send_reply(req, 200, "OK", nullptr);
        return;
    }
    // libevent takes the descriptor and closes it once the reply is written. Marking the buffer
    // as one that drains to a socket makes it send the file with sendfile; otherwise it maps
    // the whole file into memory, and every large font served counts in the agent's size.
    evbuffer_set_flags(buf, EVBUFFER_FLAG_DRAINS_TO_FD);
    if (evbuffer_add_file(buf, fd, 0, size) != 0) {
        close(fd);
        evhttp_send_reply(req, 500, "Internal Server Error", nullptr);
        return;
    }
    evhttp_send_reply(req, 200, "OK", buf);
}

inline void httpd_handler(evhttp_request* req, void* arg) {
    (void)arg;
    awaitCatalogueWarmUp();
    const std::string file_name = requestedFile(req);
    if (file_name.empty()) {
        replyCatalogue(req);
    } else {
        replyFile(req, file_name);
    }
}

}  // namespace VornFontAgent
