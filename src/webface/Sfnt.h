// Web-ready faces: one face of a font collection as a font of its own, and a subset of a face
// that holds what a text needs. Pure functions over a font file's bytes, safe to call from any
// thread; nothing here knows about HTTP.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The most characters (code points) a subset text may hold.
constexpr size_t kMaxSubsetTextCharacters = 1024;

// Font files larger than this are not subset (the caller serves the face whole). hb-subset's
// time and memory grow with the size of the tables it reads, so this caps them per request;
// Debian's Noto Sans CJK collection, 19 MB, is well below it.
constexpr size_t kMaxSubsetInputBytes = 64u << 20;

// Faces in the file: the collection's count for a TTC/OTC, 1 for a single SFNT (TrueType or
// CFF outlines), 0 for anything else (Type 1, bitmap fonts, WOFF/WOFF2, a broken header).
uint32_t faceCountOf(std::string_view font);

// True for a TTC/OTC collection header; a single SFNT's face 0 is the file itself.
bool isCollection(std::string_view font);

// Face `index` of a collection as a standalone SFNT: its tables copied byte for byte behind a
// new table directory, with table checksums and head.checkSumAdjustment recomputed. Empty when
// the file is no collection, the index is out of range, or the face's directory or tables do
// not fit in the file.
std::optional<std::string> cutFace(std::string_view font, uint32_t index);

// True when `text` may be asked for: non-empty, strict UTF-8, at most kMaxSubsetTextCharacters
// code points.
bool isAcceptableSubsetText(std::string_view text);

struct FaceSubset {
    std::string bytes;  // a single-font SFNT
    bool cff = false;   // CFF or CFF2 outlines: served as font/otf, otherwise font/ttf
};

// A subset of face `faceIndex` that draws `text` as the whole face does: the characters, their
// canonical compositions and decompositions, every layout feature's closure, kerning, metrics,
// hinting and variation tables. Empty when the text is not acceptable, the face cannot be read
// or is beyond the bounds above, or it draws with tables hb-subset cannot carry over (SVG
// colour glyphs): then the face is served whole.
std::optional<FaceSubset> subsetFace(std::string_view font, uint32_t faceIndex,
                                     std::string_view text);

// "font/otf" for a face with CFF or CFF2 outlines, "font/ttf" for other SFNTs, null for what is
// no SFNT face (which the file route serves as it does today).
const char* fontContentType(std::string_view font, uint32_t faceIndex);
