// Fuzzes the web-face path: the input is [face index][text length][text][font file]. Every face
// the file claims up to the index is cut out when it is a collection, and the chosen face is
// subset for the text. Aborts when a cut face is not a consistent single SFNT (one face, valid
// whole-file checksum, no bigger than its tables allow), when a refused text is subset anyway,
// or when a subset is not a single SFNT whose content type agrees with its outlines.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "webface/Sfnt.h"

namespace {

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "fuzz_webface: %s\n", what);
    abort();
}

void check(bool ok, const char* what) {
    if (!ok) fail(what);
}

uint32_t read32(std::string_view d, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(d[at + i]);
    return v;
}

void checkCut(std::string_view font, const std::string& cut) {
    check(cut.size() >= 12 && cut.size() % 4 == 0, "cut face is not whole words");
    check(!isCollection(cut) && faceCountOf(cut) == 1, "cut face is not one SFNT");
    const size_t tables = static_cast<size_t>(static_cast<unsigned char>(cut[4])) << 8 |
                          static_cast<unsigned char>(cut[5]);
    // The new directory plus at most three bytes of padding per table beyond the file's bytes.
    check(cut.size() <= font.size() + 12 + 19 * tables, "cut face is larger than its tables");
    uint32_t sum = 0;
    for (size_t at = 0; at < cut.size(); at += 4) sum += read32(cut, at);
    check(sum == 0xB1B0AFBA, "cut face's checkSumAdjustment is wrong");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint32_t index = data[0];
    const size_t textLength = std::min<size_t>(data[1], size - 2);
    const std::string_view text(reinterpret_cast<const char*>(data) + 2, textLength);
    const std::string_view font(reinterpret_cast<const char*>(data) + 2 + textLength,
                                size - 2 - textLength);

    const uint32_t faces = faceCountOf(font);
    for (uint32_t face = 0; face <= index && face < faces; ++face) {
        const std::optional<std::string> cut = cutFace(font, face);
        check(!cut || isCollection(font), "a single font was cut");
        if (cut) checkCut(font, *cut);
    }
    check(!cutFace(font, faces), "a face past the count was cut");

    const std::optional<FaceSubset> subset = subsetFace(font, index, text);
    if (!isAcceptableSubsetText(text) || index >= faces) check(!subset, "a refusal was subset");
    if (subset) {
        check(faceCountOf(subset->bytes) == 1, "subset is not one SFNT");
        const char* type = fontContentType(subset->bytes, 0);
        check(type != nullptr && std::string(type) == (subset->cff ? "font/otf" : "font/ttf"),
              "subset's content type disagrees with its outlines");
    }
    return 0;
}
