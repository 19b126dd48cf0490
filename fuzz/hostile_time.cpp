// Times face description of one font file, the way the catalogue route does it: what FreeType
// claims about the file, then createTypeface and the JSON of the resulting family.
//
//   hostile_time FILE
//
// Prints one tab-separated line: file, FreeType's num_faces (or its error), createTypeface
// milliseconds, faces described, axes, JSON milliseconds, JSON bytes, JSON error code and the
// process's peak resident size in MiB. One file per process, so that the peak is that file's.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include <sys/resource.h>

#include "FontManagerLinux.h"
#include "core/Ownership.h"
#include "VornFontAgent.h"

namespace {

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

std::string claimedFaces(const char* path) {
    FT_Library raw = nullptr;
    if (FT_Init_FreeType(&raw) != 0) return "init-error";
    FtLibraryPtr library(raw);
    FT_Face face = nullptr;
    // Index -1 only tests the file and reports num_faces.
    const FT_Error error = FT_New_Face(library.get(), path, -1, &face);
    if (error != 0) return "error-" + std::to_string(error);
    FtFacePtr owned(face);
    return std::to_string(face->num_faces);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    const char* path = argv[1];
    const std::string claimed = claimedFaces(path);

    auto start = std::chrono::steady_clock::now();
    Typeface* typeface = createTypeface(path);
    const double describeMs = millisecondsSince(start);
    const size_t faces = typeface != nullptr ? typeface->childList.size() : 0;
    const size_t axes = typeface != nullptr ? typeface->variationRange.size() : 0;

    ResultSet families;
    if (typeface != nullptr) families.push_back(typeface);
    int code = -1;
    start = std::chrono::steady_clock::now();
    const std::string text = VornFontAgent::convertToJson(&families, code);
    const double jsonMs = millisecondsSince(start);

    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    const char* slash = strrchr(path, '/');
    fflush(stdout);  // convertToJson may have printed a diagnostic without a line end
    fprintf(stderr, "%s\t%s\t%.1f\t%zu\t%zu\t%.1f\t%zu\t%d\t%ld\n", slash ? slash + 1 : path,
            claimed.c_str(), describeMs, faces, axes, jsonMs, text.size(), code,
            usage.ru_maxrss / 1024);
    return 0;
}
