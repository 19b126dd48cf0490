// Fuzzes face description: the input is written to a font file and described with
// createTypeface, then serialised as the catalogue route would. FreeType opens fonts by path, so
// every process keeps one file of its own and rewrites it for each input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "FontManagerLinux.h"
#include "VornFontAgent.h"

namespace {

std::string gPath;

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "fuzz_face: %s\n", what);
    abort();
}

void check(bool ok, const char* what) {
    if (!ok) fail(what);
}

void removeFontFile() {
    if (!gPath.empty()) unlink(gPath.c_str());
}

bool writeAll(const std::string& path, const uint8_t* data, size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return close(fd) == 0 && done == size;
}

// A document the catalogue route could send: one line of JSON, an array of `families` families.
void checkDocument(const std::string& text, size_t families) {
    check(text.find('\n') == std::string::npos, "catalogue document spans lines");
    const auto document = VornFontAgent::json::parse(text, nullptr, false);
    check(!document.is_discarded(), "catalogue document is not JSON");
    check(document.is_array() && document.size() == families, "catalogue document lost a family");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* dir = getenv("VORN_FUZZ_TMPDIR");
    gPath = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/vorn-fuzz-face-" +
            std::to_string(getpid()) + ".ttf";
    atexit(removeFontFile);
    // The catalogue code reports every left-out font on standard output; libFuzzer talks on
    // standard error, so nothing is lost.
    if (!freopen("/dev/null", "w", stdout)) fail("cannot silence standard output");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!writeAll(gPath, data, size)) fail("cannot write the font file");

    std::unique_ptr<Typeface> typeface(createTypeface(gPath));
    if (typeface) {
        for (const TypefaceItem& item : typeface->childList)
            check(item.file == gPath, "a face names another file");
        ResultSet described;
        described.push_back(typeface.release());
        int code = -1;
        const std::string text = VornFontAgent::convertToJson(&described, code);
        check(code == 0 || code == VornFontAgent::kInvalidUtf8Error, "unexpected JSON error");
        checkDocument(text, code == 0 ? 1 : 0);
    }

    // The catalogue leaves out what it cannot write, so its document must always come out.
    const std::vector<const std::string*> paths = {&gPath};
    std::vector<Description> descriptions;
    for (DescribedFont& font : describeFontFiles(paths)) descriptions.push_back(font.description);
    std::unique_ptr<ResultSet> catalogue(groupFamilies(descriptions));
    check(catalogue != nullptr && catalogue->size() <= 1, "one file made several families");
    const VornFontAgent::CatalogueReply reply = VornFontAgent::makeCatalogueReply(catalogue.get());
    check(reply.status == 200, "catalogue of one file is not 200");
    checkDocument(reply.body, catalogue->size());
    return 0;
}
