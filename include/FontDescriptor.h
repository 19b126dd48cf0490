// The catalogue records: plain public-field types built for one catalogue request.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One axis coordinate of one named instance of a variable font.
struct Variation {
    int64_t key =
        0;  // axis tag, four characters packed first-most-significant ('wght' = 0x77676874)
    float value = 0;  // whole-number coordinate (16.16 value shifted right by 16)
};

// One variation axis of a family; bounds are whole numbers, rounded toward minus infinity.
struct FamilyVariation {
    int64_t tag = 0;
    int64_t minimum = 0;
    int64_t def = 0;
    int64_t maximum = 0;
    std::string name;     // from the name table, "" when it has none
    bool hidden = false;  // the font asks not to show this axis to users
};

// One OpenType layout feature a face offers through GSUB or GPOS.
struct LayoutFeature {
    uint32_t tag = 0;  // four characters packed first-most-significant ('liga' = 0x6C696761)
    std::string name;  // the font's own name for a stylistic set or character variant, else ""

    bool operator==(const LayoutFeature& other) const {
        return tag == other.tag && name == other.name;
    }
    bool operator<(const LayoutFeature& other) const {
        return tag != other.tag ? tag < other.tag : name < other.name;
    }
};
// A face's features, sorted by tag, each tag once. Shared by the faces that offer the same ones:
// a family's faces mostly do.
using LayoutFeatures = std::shared_ptr<const std::vector<LayoutFeature>>;

// One face: a face of a static font file, or one named instance of a variable face.
struct TypefaceItem {
    std::string file;
    std::string postscript;
    std::vector<Variation> variations;
    std::string style;
    int32_t weight;             // fontconfig weight scale (80 regular, 200 bold)
    int32_t width;              // fontconfig width scale (100 normal)
    int32_t slant;              // 0 upright, 100 italic
    int32_t faceIndex = 0;      // in its file; 0 outside collections
    int32_t namedInstance = 0;  // 1-based, as FreeType counts named instances; 0 for none
    std::string fullName;
    LayoutFeatures features = nullptr;  // null when the face has no layout tables
};

// One family. isVariation, variationRange and localName describe the first file of the family;
// childList gathers the faces of all its files.
struct Typeface {
    std::string family;
    std::string localName;
    bool isVariation = false;
    std::vector<FamilyVariation> variationRange;
    std::vector<TypefaceItem> childList;
};

// The catalogue: owns the families it points to.
class ResultSet : public std::vector<Typeface*> {
  public:
    ResultSet() = default;
    // Copies would delete the same families twice.
    ResultSet(const ResultSet&) = delete;
    ResultSet& operator=(const ResultSet&) = delete;

    ~ResultSet() {
        for (Typeface* typeface : *this) delete typeface;  // null elements are skipped by delete
    }
};
