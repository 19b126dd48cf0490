// What one web face costs: prints, for a font file, face and text, the file's size, the cut
// face's size and time when it is a collection, and the subset's size and time (first call,
// then the median of ten), as the file route would make them. The file is read once, before
// any timing.
//
// Build (from the source root):
//   g++ -std=c++17 -O2 -Iinclude -Isrc bench/subset_cost.cpp src/webface/Sfnt.cpp src/core/Utf8.cpp
//       $(pkg-config --cflags --libs harfbuzz-subset) -o /tmp/subset_cost
// Run:   /tmp/subset_cost FILE FACE TEXT...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "webface/Sfnt.h"

namespace {

template <typename F>
double millisecondsOf(F&& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s FILE FACE TEXT...\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::string font((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const uint32_t face = static_cast<uint32_t>(strtoul(argv[2], nullptr, 10));
    printf("%s face %u: file %zu bytes, %u faces\n", argv[1], face, font.size(), faceCountOf(font));
    if (isCollection(font)) {
        std::optional<std::string> cut;
        const double ms = millisecondsOf([&] { cut = cutFace(font, face); });
        printf("  cut face: %zu bytes in %.2f ms\n", cut ? cut->size() : 0, ms);
    }
    for (int i = 3; i < argc; ++i) {
        const std::string text = argv[i];
        std::optional<FaceSubset> subset;
        const double first = millisecondsOf([&] { subset = subsetFace(font, face, text); });
        std::vector<double> times;
        for (int run = 0; run < 10; ++run)
            times.push_back(millisecondsOf([&] { subsetFace(font, face, text); }));
        std::sort(times.begin(), times.end());
        printf("  text of %zu bytes: subset %zu bytes (%s), first %.2f ms, median %.2f ms\n",
               text.size(), subset ? subset->bytes.size() : 0,
               subset ? (subset->cff ? "font/otf" : "font/ttf") : "refused", first, times[5]);
    }
    return 0;
}
