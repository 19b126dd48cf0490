// Fuzzes the request handler's file route: an arbitrary request URI, as libevent's server would
// hand it over, goes through the handler's own query parsing, header building and serving
// decision, and then through the handler itself (with no connection, libevent drops the reply),
// with its event loop run until the reply is sent.
//
// Needs FONTCONFIG_FILE naming a private configuration (fuzz/run.sh writes one), so that the
// listing is small, fixed for the whole run and made of regular files only.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <event2/http.h>
#include <event2/http_struct.h>

#include "agent/Agent.h"
#include "agent/Routes.h"
#include "FontManagerLinux.h"
#include "http/Http.h"
#include "fontset/ListedFont.h"
#include "core/Ownership.h"
#include "VornFontAgent.h"

namespace {

// The agent whose handler is fuzzed, and its event loop; they live for the whole run.
event_base* gBase = nullptr;
Agent* gAgent = nullptr;
// What the agent described, from the same listing its routes use.
std::shared_ptr<const FontSet> gFonts;
// Every path fontconfig lists, before any filtering: nothing outside it may ever be served.
std::set<std::string> gListed;
// The listed paths that pass the filter and that FreeType described as fonts: exactly these
// are served.
std::set<std::string> gServable;
// The regular files open between inputs; more afterwards means a leaked font descriptor. Only
// regular files count: the sanitizers' runtime opens pipes of its own now and then.
size_t gOpenFiles = 0;

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "fuzz_request: %s\n", what);
    abort();
}

void check(bool ok, const char* what) {
    if (!ok) fail(what);
}

size_t openRegularFiles() {
    size_t count = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) ++count;
    }
    return count;
}

bool isAttrChar(unsigned char c) { return isalnum(c) || (c != 0 && strchr("!#$&+-.^_`|~", c)); }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The header value must be printable ASCII, and must still name the requested file: the quoted
// name is the base name with unsafe bytes replaced, the RFC 5987 form (present exactly when a
// byte was replaced) decodes back to the base name.
void checkDisposition(const std::string& file, const std::string& value) {
    for (unsigned char c : value) check(c >= 0x20 && c < 0x7f, "header byte not printable ASCII");
    const size_t slash = file.rfind('/');
    const std::string base = slash == std::string::npos ? file : file.substr(slash + 1);

    const std::string head = "attachment; filename=\"";
    check(value.compare(0, head.size(), head) == 0, "disposition does not start as expected");
    const size_t close = value.find('"', head.size());
    check(close != std::string::npos, "quoted file name not closed");
    const std::string quoted = value.substr(head.size(), close - head.size());
    check(quoted.size() == base.size(), "quoted file name has another length");
    bool altered = false;
    for (size_t i = 0; i < base.size(); ++i) {
        const unsigned char c = base[i];
        const bool safe = c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
        check(quoted[i] == (safe ? base[i] : '_'), "quoted file name altered");
        altered = altered || !safe;
    }

    const std::string rest = value.substr(close + 1);
    if (!altered) {
        check(rest.empty(), "RFC 5987 name added for a name that needs none");
        return;
    }
    const std::string star = "; filename*=UTF-8''";
    check(rest.compare(0, star.size(), star) == 0, "RFC 5987 name missing");
    std::string decoded;
    for (size_t i = star.size(); i < rest.size();) {
        if (rest[i] == '%') {
            check(i + 2 < rest.size(), "truncated percent escape");
            const int hi = hexValue(rest[i + 1]);
            const int lo = hexValue(rest[i + 2]);
            check(hi >= 0 && lo >= 0, "bad percent escape");
            decoded += static_cast<char>(hi * 16 + lo);
            i += 3;
        } else {
            check(isAttrChar(static_cast<unsigned char>(rest[i])),
                  "RFC 5987 name holds a bare "
                  "byte outside attr-char");
            decoded += rest[i];
            ++i;
        }
    }
    check(decoded == base, "RFC 5987 name does not decode to the file name");
}

// Runs the loop until the work sent off it has come back: every reply is then sent.
void settle() {
    while (gAgent->busy()) event_base_loop(gBase, EVLOOP_ONCE);
}

evhttp_request* requestFor(const std::string& uri) {
    evhttp_request* req = evhttp_request_new(nullptr, nullptr);
    if (req == nullptr) fail("evhttp_request_new failed");
    // No accessor sets the URI of a request; libevent's server fills this field the same way.
    req->uri = strdup(uri.c_str());
    if (req->uri == nullptr) fail("out of memory");
    return req;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (getenv("FONTCONFIG_FILE") == nullptr) {
        fprintf(stderr,
                "fuzz_request: set FONTCONFIG_FILE to a private fonts.conf (fuzz/run.sh)\n");
        exit(1);
    }
    // "Can not open file:" for every refused request would drown libFuzzer's own output, which
    // goes to standard error.
    if (!freopen("/dev/null", "w", stdout)) fail("cannot silence standard output");

    FcInit();
    FcPatternPtr pattern(FcPatternCreate());
    FcObjectSetPtr objects(FcObjectSetBuild(FC_FILE, static_cast<char*>(nullptr)));
    FcFontSetPtr fonts(FcFontList(nullptr, pattern.get(), objects.get()));
    for (int i = 0; fonts && i < fonts->nfont; ++i) {
        FcChar8* file = nullptr;
        if (FcPatternGetString(fonts->fonts[i], FC_FILE, 0, &file) == FcResultMatch)
            gListed.insert(reinterpret_cast<const char*>(file));
    }
    if (gListed.empty()) {
        fprintf(stderr, "fuzz_request: the private configuration lists no font\n");
        exit(1);
    }
    // Every listed font that passes the filter and was described is served: without that, the
    // fuzzer would only ever see refusals. This also lists once, so that the listing's own
    // state is in place before the descriptor count is taken.
    gBase = event_base_new();
    gAgent = new Agent();
    if (gBase == nullptr || !gAgent->attach(gBase, nullptr, 0)) fail("cannot start the agent");
    settle();
    gAgent->catalogues().whenCurrent([](std::shared_ptr<const FontSet> set) { gFonts = set; });
    if (!gFonts) fail("no font set");
    for (const std::string& path : gListed) {
        const auto described = gFonts->files->find(path);
        if (!canSupportFontFormat(path.c_str()) || described == gFonts->files->end() ||
            !described->second.description) {
            continue;
        }
        if (!openListedFont(*gFonts->files, path)) {
            fprintf(stderr, "fuzz_request: a described font is refused: %s\n", path.c_str());
            exit(1);
        }
        gServable.insert(path);
    }
    fprintf(stderr, "fuzz_request: %zu listed paths, %zu served\n", gListed.size(),
            gServable.size());
    gOpenFiles = openRegularFiles();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // libevent reads the request line as a C string ending at a line feed, and refuses, before
    // the handler runs, a URI that its parser cannot take.
    const char* text = reinterpret_cast<const char*>(data);
    const std::string uri(text, strnlen(text, size));
    if (uri.find('\n') != std::string::npos) return 0;
    evhttp_uri* parsed = evhttp_uri_parse_with_flags(uri.c_str(), EVHTTP_URI_NONCONFORMANT);
    if (parsed == nullptr) return 0;
    evhttp_uri_free(parsed);

    evhttp_request* req = requestFor(uri);
    const std::string file = Http::parseQuery(req).file;

    if (!file.empty()) {
        const std::string disposition = Http::contentDisposition(file);
        checkDisposition(file, disposition);
        check(evhttp_add_header(evhttp_request_get_output_headers(req), "Content-Disposition",
                                disposition.c_str()) == 0,
              "libevent refused the Content-Disposition value");

        const bool listed = gListed.count(file) != 0;
        const bool servable = gServable.count(file) != 0;
        const std::optional<OpenFont> font = openListedFont(*gFonts->files, file);
        if (font) {
            check(listed && servable, "served a path that is not a listed font");
            struct stat st;
            check(fstat(font->fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
                      st.st_size == font->status.st_size,
                  "served descriptor is not the listed regular file");
        } else {
            check(!servable, "refused a listed font");
        }
    }
    evhttp_request_free(req);

    // The handler itself; the catalogue route is left to fuzz_face (one catalogue per input
    // would cost more than the rest of this target together).
    if (!file.empty()) {
        evhttp_request* handled = requestFor(uri);
        Routes::dispatch(*gAgent, handled);  // its reply frees the request
        settle();
    }

    check(openRegularFiles() == gOpenFiles, "a descriptor was leaked");
    return 0;
}
