// The font catalogue: which font files fontconfig lists, what FreeType says about each, and how
// their faces group into families.

#include "FontManagerLinux.h"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <exception>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_MULTIPLE_MASTERS_H
#include FT_SFNT_NAMES_H
#include FT_TRUETYPE_IDS_H
#include FT_TRUETYPE_TABLES_H

#include "fontset/CharacterMap.h"
#include "fontset/FontFile.h"
#include "core/Ownership.h"
#include "core/Parallel.h"
#include "core/Utf8.h"
#include "util.h"

namespace {

constexpr FT_ULong kTagWeight = FT_MAKE_TAG('w', 'g', 'h', 't');
constexpr FT_ULong kTagWidth = FT_MAKE_TAG('w', 'd', 't', 'h');

// OS/2 usWidthClass 1..9 on fontconfig's width scale (percent of normal).
constexpr int32_t kWidthByWidthClass[] = {50, 63, 75, 87, 100, 113, 125, 150, 200};
constexpr int32_t kNormalWidth = 100;

constexpr int32_t kSlantRoman = 0;
constexpr int32_t kSlantItalic = 100;

// Bounds on what one font file may make the catalogue hold, so that a small crafted file cannot
// hold the agent for seconds or exhaust its memory; real fonts stay far below them.
// Collections: the largest real ones hold a few dozen faces, and each face opened makes
// FreeType re-read the whole offset table, so the cost grows with the square of the count.
constexpr uint32_t kMaxFacesPerFile = 1024;
// A collection whose faces stop opening is corrupt from there on. Without this a file claiming
// a million faces it does not hold would be tried index by index.
constexpr uint32_t kMaxUnopenedFacesInARow = 4;
// Faces and named instances of one file, and their axis coordinates (items times axes).
constexpr size_t kMaxItemsPerFile = 4096;
constexpr size_t kMaxCoordinatesPerFile = 1 << 16;

// Whether one more item with this many coordinates fits within the bounds above.
bool roomForItems(const Typeface& typeface, size_t axes) {
    const size_t items = typeface.childList.size() + 1;
    return items <= kMaxItemsPerFile && items * axes <= kMaxCoordinatesPerFile;
}

// 16.16 fixed point to a whole number, rounded toward minus infinity. FreeType 2.12 hands named
// instance coordinates over as the unsigned 32-bit pattern of the value (-12.5 arrives as
// 4294148096), so every value is read back as signed 32 bits first; correct values pass
// through unchanged.
int32_t fixedToWhole(FT_Fixed value) { return static_cast<int32_t>(value) >> 16; }

int32_t widthFromWidthClass(FT_UShort widthClass) {
    if (widthClass >= 1 && widthClass <= std::size(kWidthByWidthClass)) {
        return kWidthByWidthClass[widthClass - 1];
    }
    return kNormalWidth;
}

int32_t weightFromWeightClass(double weightClass) {
    return static_cast<int32_t>(FcWeightFromOpenTypeDouble(weightClass));
}

int32_t slantOf(FT_Face face) {
    return (face->style_flags & FT_STYLE_FLAG_ITALIC) ? kSlantItalic : kSlantRoman;
}

std::string postscriptNameOf(FT_Face face, const Typeface& typeface) {
    const char* name = FT_Get_Postscript_Name(face);
    return name != nullptr ? std::string(name) : typeface.family;
}

// Only this many name records of a face are looked at. Real fonts have a few hundred; FreeType
// loads each record's text when it is asked for the record, so a crafted table of 65,535
// records all pointing at one 64 KiB string would otherwise cost gigabytes.
constexpr FT_UInt kMaxNameRecords = 1024;

// The name records of one face, walked once and looked up by name ID: a face with thousands of
// named instances would otherwise walk and transcode the whole table once per instance.
class NameRecords {
  public:
    explicit NameRecords(FT_Face face) : face_(face) {
        const FT_UInt count = std::min(FT_Get_Sfnt_Name_Count(face), kMaxNameRecords);
        for (FT_UInt i = 0; i < count; ++i) {
            FT_SfntName record;
            if (FT_Get_Sfnt_Name(face, i, &record) == 0) byId_[record.name_id].push_back(i);
        }
    }

    // The text of the first record, in table order, that has one of these name IDs, can be
    // transcoded and is accepted; records that cannot be read or transcoded are passed over.
    std::optional<std::string> first(std::initializer_list<FT_UShort> ids,
                                     const std::function<bool(const std::string&)>& accept) const {
        std::vector<FT_UInt> indices;
        for (const FT_UShort id : ids) {
            const auto found = byId_.find(id);
            if (found != byId_.end()) {
                indices.insert(indices.end(), found->second.begin(), found->second.end());
            }
        }
        std::sort(indices.begin(), indices.end());
        for (const FT_UInt i : indices) {
            FT_SfntName record;
            if (FT_Get_Sfnt_Name(face_, i, &record) != 0) continue;
            MallocPtr<FcChar8> text(zySfntNameTranscode(&record));
            if (!text) continue;
            std::string value(reinterpret_cast<const char*>(text.get()));
            if (accept(value)) return value;
        }
        return std::nullopt;
    }

    std::string styleName(FT_UInt strid) const {
        if (strid <= 0xFFFF) {
            const auto name =
                first({static_cast<FT_UShort>(strid)}, [](const std::string&) { return true; });
            if (name) return *name;
        }
        return face_->style_name != nullptr ? face_->style_name : "";
    }

  private:
    FT_Face face_;
    std::unordered_map<FT_UShort, std::vector<FT_UInt>> byId_;
};

// "Family Style", or the family alone when the style has no name; "" when FreeType's names are
// not UTF-8, which only the detailed document would have to carry.
std::string joinedName(const std::string& family, const std::string& style) {
    std::string name = style.empty() ? family : family + " " + style;
    return isValidUtf8(name) ? name : std::string();
}

// Every text of the family that reaches the catalogue document can be written as JSON.
bool isServableText(const Typeface& typeface) {
    if (!isValidUtf8(typeface.family) || !isValidUtf8(typeface.localName)) return false;
    return std::all_of(typeface.childList.begin(), typeface.childList.end(),
                       [](const TypefaceItem& item) {
                           return isValidUtf8(item.file) && isValidUtf8(item.postscript);
                       });
}

// --- Face description -------------------------------------------------------------------------

void addStaticItem(FT_Face face, const NameRecords& names, const TT_OS2& os2, Typeface& typeface,
                   const std::string& path) {
    TypefaceItem item;
    item.faceIndex = static_cast<int32_t>(face->face_index & 0xFFFF);
    item.file = path;
    item.weight = weightFromWeightClass(os2.usWeightClass);
    item.width = widthFromWidthClass(os2.usWidthClass);
    item.style = face->style_name != nullptr ? face->style_name : "";
    item.postscript = postscriptNameOf(face, typeface);
    item.slant = slantOf(face);
    const auto fullName =
        names.first({TT_NAME_ID_FULL_NAME}, [](const std::string& text) { return !text.empty(); });
    item.fullName = fullName ? *fullName : joinedName(typeface.family, item.style);
    typeface.childList.push_back(std::move(item));
}

void addInstanceItem(FT_Face face, const NameRecords& names, const TT_OS2& os2,
                     const FT_MM_Var& variations, FT_UInt instanceIndex, Typeface& typeface,
                     const std::string& path) {
    const FT_Var_Named_Style& instance = variations.namedstyle[instanceIndex];
    float weight_mult = 1.0f;
    float width_mult = 1.0f;
    bool isDefaultWeight = false;
    TypefaceItem item;
    for (FT_UInt i = 0; i < variations.num_axis; ++i) {
        const FT_Var_Axis& axis = variations.axis[i];
        const auto defaultValue = static_cast<float>(fixedToWhole(axis.def));
        const auto value = static_cast<float>(fixedToWhole(instance.coords[i]));
        if (axis.tag == kTagWeight) {
            weight_mult = defaultValue != 0.0f ? value / defaultValue : 1.0f;
            isDefaultWeight = static_cast<float>(os2.usWeightClass) == value;
        } else if (axis.tag == kTagWidth) {
            width_mult = defaultValue != 0.0f ? value / defaultValue : 1.0f;
        }
        item.variations.push_back(Variation{static_cast<int64_t>(axis.tag), value});
    }
    item.file = path;
    const float weightClass = static_cast<float>(os2.usWeightClass) * weight_mult;
    item.weight = weightFromWeightClass(static_cast<double>(weightClass));
    item.width = static_cast<int32_t>(static_cast<float>(widthFromWidthClass(os2.usWidthClass)) *
                                      width_mult);
    item.style = names.styleName(instance.strid);
    item.slant = slantOf(face);
    item.faceIndex = static_cast<int32_t>(face->face_index & 0xFFFF);
    item.namedInstance = static_cast<int32_t>(instanceIndex) + 1;
    item.fullName = joinedName(typeface.family, item.style);
    const std::string tmpPostscript = postscriptNameOf(face, typeface);
    if (isDefaultWeight) {
        item.postscript = tmpPostscript;
    } else {
        std::string suffix = item.style;
        suffix.erase(std::remove(suffix.begin(), suffix.end(), ' '), suffix.end());
        item.postscript = tmpPostscript + "-" + suffix;
    }
    typeface.childList.push_back(std::move(item));
}

// Names the axes that parseFontVariations has just added, from `firstAxis` on, and marks those
// the font asks to keep out of user interfaces.
void describeAxes(const NameRecords& names, FT_MM_Var* variations, size_t firstAxis,
                  Typeface& typeface) {
    for (FT_UInt i = 0; i < variations->num_axis; ++i) {
        FamilyVariation& axis = typeface.variationRange[firstAxis + i];
        const FT_UInt strid = variations->axis[i].strid;
        if (strid <= 0xFFFF) {
            const auto name = names.first({static_cast<FT_UShort>(strid)},
                                          [](const std::string&) { return true; });
            if (name) axis.name = *name;
        }
        FT_UInt flags = 0;
        axis.hidden = FT_Get_Var_Axis_Flags(variations, i, &flags) == 0 &&
                      (flags & FT_VAR_AXIS_FLAG_HIDDEN) != 0;
    }
}

// --- Layout features --------------------------------------------------------------------------

constexpr FT_ULong kTagGsub = FT_MAKE_TAG('G', 'S', 'U', 'B');
constexpr FT_ULong kTagGpos = FT_MAKE_TAG('G', 'P', 'O', 'S');
// Real fonts list a few hundred feature records at most (one per feature and language system);
// past this the list is a crafted one and the rest of it is not read.
constexpr uint32_t kMaxFeatureRecords = 2048;
// Features one file may make the catalogue hold over all its faces: real faces offer at most a
// hundred and fifty, so real collections stay far below it.
constexpr size_t kMaxFeaturesPerFile = 1 << 14;

// Reads big-endian fields of one SFNT table of a face, a few bytes at a time, through the face's
// own stream. Only the header and the feature list of GSUB and GPOS are read: reading and checking
// the whole tables (100 MB over Debian's font packages, as HarfBuzz does before it lists a
// feature) would add half of what opening every face costs to the first catalogue.
class SfntTable {
  public:
    SfntTable(FT_Face face, FT_ULong tag) : face_(face), tag_(tag) {
        FT_ULong length = 0;  // 0 asks FreeType for the table's length
        if (FT_Load_Sfnt_Table(face, tag, 0, nullptr, &length) == 0) length_ = length;
    }

    // FreeType reads past the table's end when asked to, so every read is bounded here.
    bool read(FT_ULong offset, FT_Byte* buffer, FT_ULong count) const {
        if (offset > length_ || count > length_ - offset) return false;
        FT_ULong n = count;
        return FT_Load_Sfnt_Table(face_, tag_, static_cast<FT_Long>(offset), buffer, &n) == 0;
    }
    // 0 when the field lies outside the table, as a null offset or name ID would be.
    FT_UShort u16(FT_ULong offset) const {
        FT_Byte bytes[2];
        return read(offset, bytes, 2) ? u16At(bytes) : 0;
    }

    static FT_UShort u16At(const FT_Byte* bytes) {
        return static_cast<FT_UShort>(bytes[0] << 8 | bytes[1]);
    }
    static uint32_t u32At(const FT_Byte* bytes) {
        return static_cast<uint32_t>(u16At(bytes)) << 16 | u16At(bytes + 2);
    }

  private:
    FT_Face face_;
    FT_ULong tag_;
    FT_ULong length_ = 0;
};

// The features that may name themselves: stylistic sets ss01-ss20, character variants cv01-cv99.
struct SelfNamingFeatures {
    char prefix[3];
    int last;
};
constexpr SelfNamingFeatures kSelfNamingFeatures[] = {{"ss", 20}, {"cv", 99}};

bool mayNameItself(uint32_t tag) {
    const char text[4] = {static_cast<char>(tag >> 24), static_cast<char>(tag >> 16),
                          static_cast<char>(tag >> 8), static_cast<char>(tag)};
    if (!isdigit(static_cast<unsigned char>(text[2])) ||
        !isdigit(static_cast<unsigned char>(text[3]))) {
        return false;
    }
    const int number = (text[2] - '0') * 10 + (text[3] - '0');
    return std::any_of(std::begin(kSelfNamingFeatures), std::end(kSelfNamingFeatures),
                       [&](const SelfNamingFeatures& kind) {
                           return memcmp(text, kind.prefix, 2) == 0 && number >= 1 &&
                                  number <= kind.last;
                       });
}

// The name ID in a feature's FeatureParams: a stylistic set's UINameID, a character variant's
// FeatUILabelNameID, both the second field of their table; 0 for none.
FT_UShort featureNameId(const SfntTable& table, FT_ULong featureOffset) {
    const FT_UShort paramsOffset = table.u16(featureOffset);
    return paramsOffset != 0 ? table.u16(featureOffset + paramsOffset + 2) : 0;
}

// Tags are printable ASCII; another byte would make the document fail as text that is not UTF-8.
bool isPrintableTag(uint32_t tag) {
    for (int shift = 0; shift < 32; shift += 8) {
        const uint32_t c = tag >> shift & 0xFF;
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

// Adds the features of one layout table's feature list (every script and language system
// share it), with the names of those that name themselves, until `features` holds `room`.
void addFeaturesOf(FT_Face face, FT_ULong tableTag, const NameRecords& names, size_t room,
                   std::map<uint32_t, std::string>& features) {
    const SfntTable table(face, tableTag);
    if (table.u16(0) != 1) return;  // major version 1 (1.0 and 1.1 lay the header out alike)
    const FT_ULong list = table.u16(6);
    if (list == 0) return;
    const uint32_t count = std::min<uint32_t>(table.u16(list), kMaxFeatureRecords);
    std::vector<FT_Byte> records(count * 6);
    if (count == 0 || !table.read(list + 2, records.data(), records.size())) return;
    for (uint32_t i = 0; i < count && features.size() < room; ++i) {
        const FT_Byte* record = &records[i * 6];
        const uint32_t tag = SfntTable::u32At(record);
        if (!isPrintableTag(tag)) continue;
        // The name comes from the tag's first record: a crafted list repeating one tag thousands
        // of times must not make each repetition look for it again.
        const auto [feature, added] = features.try_emplace(tag);
        if (!added || !mayNameItself(tag)) continue;
        const FT_UShort id = featureNameId(table, list + SfntTable::u16At(record + 4));
        if (id == 0) continue;
        const auto text = names.first({id}, [](const std::string& text) { return !text.empty(); });
        if (text) feature->second = *text;
    }
}

// The features a face's GSUB and GPOS offer, each once, sorted by tag; null without either
// table. At most `room` of them, which is then lowered by as many.
LayoutFeatures layoutFeaturesOf(FT_Face face, const NameRecords& names, size_t& room) {
    if (room == 0 || !FT_IS_SFNT(face)) return nullptr;
    std::map<uint32_t, std::string> features;
    addFeaturesOf(face, kTagGsub, names, room, features);
    addFeaturesOf(face, kTagGpos, names, room, features);
    room -= features.size();
    if (features.empty()) return nullptr;
    auto list = std::make_shared<std::vector<LayoutFeature>>();
    list->reserve(features.size());
    for (auto& [tag, name] : features) list->push_back(LayoutFeature{tag, std::move(name)});
    return list;
}

}  // namespace

namespace {

std::string localFamilyOf(FT_Face face, const NameRecords& names) {
    const std::string family = face->family_name;
    const auto name =
        names.first({TT_NAME_ID_FONT_FAMILY, TT_NAME_ID_TYPOGRAPHIC_FAMILY, TT_NAME_ID_WWS_FAMILY},
                    [&family](const std::string& text) { return text != family; });
    return name ? *name : family;
}

void describeFace(FT_Face face, const NameRecords& names, FT_MM_Var* variations, Typeface* typeface,
                  const std::string& path) {
    const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
    if (os2 == nullptr || os2->version == 0xFFFF) return;
    if (variations == nullptr) {
        if (roomForItems(*typeface, 0)) addStaticItem(face, names, *os2, *typeface, path);
        return;
    }
    for (FT_UInt k = 0;
         k < variations->num_namedstyles && roomForItems(*typeface, variations->num_axis); ++k) {
        addInstanceItem(face, names, *os2, *variations, k, *typeface, path);
    }
}

// createTypeface with a FreeType library of the caller's, so that a thread describing many
// files needs only one.
// `status` is set to what fstat said of the file opened, when one was.
Typeface* describeFile(FT_Library library, const std::string& path, struct stat& status) {
    FontFile file;
    if (!file.open(path)) return nullptr;
    status = file.status();

    // Faces are opened one at a time; only the current one is held.
    FtFacePtr face = file.openFace(library, 0);
    if (!face || face->family_name == nullptr) return nullptr;

    auto typeface = std::make_unique<Typeface>();
    typeface->family = face->family_name;
    typeface->localName = localFamilyOf(face.get(), NameRecords(face.get()));

    const uint32_t numFaces = std::min(static_cast<uint32_t>(face->num_faces), kMaxFacesPerFile);
    uint32_t unopened = 0;  // faces in a row that could not be opened
    size_t featureRoom = kMaxFeaturesPerFile;
    for (uint32_t indexFace = 0; indexFace < numFaces; ++indexFace) {
        unopened = face ? 0 : unopened + 1;
        if (unopened == kMaxUnopenedFacesInARow) break;
        if (face) {
            const NameRecords names(face.get());
            FT_MM_Var* rawVariations = nullptr;
            FtMMVarPtr variations(nullptr, FtMMVarDeleter{library});
            if (FT_Get_MM_Var(face.get(), &rawVariations) == 0) {
                variations.reset(rawVariations);
                typeface->isVariation = true;
                const size_t firstAxis = typeface->variationRange.size();
                parseFontVariations(variations.get(), typeface.get());
                describeAxes(names, variations.get(), firstAxis, *typeface);
            }
            const size_t firstItem = typeface->childList.size();
            describeFace(face.get(), names, variations.get(), typeface.get(), path);
            // Read only for a face that made items; its named instances share its list.
            if (typeface->childList.size() > firstItem) {
                const LayoutFeatures features = layoutFeaturesOf(face.get(), names, featureRoom);
                for (size_t i = firstItem; i < typeface->childList.size(); ++i) {
                    typeface->childList[i].features = features;
                }
            }
        }
        face.reset();
        if (indexFace + 1 < numFaces) {
            face = file.openFace(library, static_cast<FT_Long>(indexFace) + 1);
        }
    }
    return typeface.release();
}

FtLibraryPtr newLibrary() {
    FT_Library library = nullptr;
    return FtLibraryPtr(FT_Init_FreeType(&library) == 0 ? library : nullptr);
}

}  // namespace

void parseFontVariations(FT_MM_Var* variations, Typeface* typeface) {
    for (FT_UInt i = 0; i < variations->num_axis; ++i) {
        const FT_Var_Axis& axis = variations->axis[i];
        typeface->variationRange.push_back(
            FamilyVariation{static_cast<int64_t>(axis.tag), fixedToWhole(axis.minimum),
                            fixedToWhole(axis.def), fixedToWhole(axis.maximum), "", false});
    }
}

Typeface* createTypeface(std::string path, struct stat* status) {
    // One library per thread: creating one per file costs more than small files do.
    thread_local const FtLibraryPtr library = newLibrary();
    struct stat opened {};
    Typeface* typeface = library ? describeFile(library.get(), path, opened) : nullptr;
    if (status != nullptr) *status = opened;
    return typeface;
}

// --- Enumeration ------------------------------------------------------------------------------

bool canSupportFontFormat(const char* path) {
    const std::string strPath(path);
    const size_t dot = strPath.rfind('.');
    std::string strExt = dot == std::string::npos ? strPath : strPath.substr(dot + 1);
    for (char& c : strExt) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return strExt != "pfb" && strExt != "t1" && strExt != "gz";
}

std::string createFontDescriptor2(FcPattern* pattern) {
    FcChar8* file = nullptr;  // borrowed from the pattern
    if (FcPatternGetString(pattern, FC_FILE, 0, &file) != FcResultMatch || file == nullptr) {
        throw std::runtime_error("font pattern without a file");
    }
    return reinterpret_cast<const char*>(file);
}

FontPathList collectFontPaths(FcFontSet* fs) {
    FontPathList pathList;
    if (fs == nullptr) return pathList;
    for (int i = 0; i < fs->nfont; ++i) {
        try {
            std::string path = createFontDescriptor2(fs->fonts[i]);
            if (canSupportFontFormat(path.c_str())) pathList.insert(std::move(path));
        } catch (...) {
            printf("createFontDescriptor call error.");
        }
    }
    return pathList;
}

void sortResultSet(ResultSet* pRes) {
    struct CustomSort {
        bool operator()(TypefaceItem& a, TypefaceItem& b) const {
            if (a.weight != b.weight) return a.weight < b.weight;
            return a.slant < b.slant;
        }
    };
    for (size_t i = 0; i < pRes->size(); ++i) {
        std::vector<TypefaceItem>& faces = (*pRes)[i]->childList;
        std::sort(faces.begin(), faces.end(), CustomSort());
    }
}

// --- Typed fontconfig getters ------------------------------------------------------------------

std::string fcString(const FcPattern* pattern, const char* object, const std::string& fallback) {
    FcChar8* value = nullptr;  // borrowed from the pattern
    if (FcPatternGetString(pattern, object, 0, &value) != FcResultMatch || value == nullptr) {
        return fallback;
    }
    return reinterpret_cast<const char*>(value);
}

int fcInt(const FcPattern* pattern, const char* object, int fallback) {
    int value = 0;
    return FcPatternGetInteger(pattern, object, 0, &value) == FcResultMatch ? value : fallback;
}

bool fcBool(const FcPattern* pattern, const char* object, bool fallback) {
    FcBool value = FcFalse;
    return FcPatternGetBool(pattern, object, 0, &value) == FcResultMatch ? value != FcFalse
                                                                         : fallback;
}

std::vector<std::string> fcLanguages(const FcPattern* pattern) {
    std::vector<std::string> languages;
    FcLangSet* set = nullptr;  // borrowed from the pattern
    if (FcPatternGetLangSet(pattern, FC_LANG, 0, &set) != FcResultMatch || set == nullptr) {
        return languages;
    }
    FcStrSetPtr langs(FcLangSetGetLangs(set));
    appendStrings(langs ? FcStrListCreate(langs.get()) : nullptr, languages);
    std::sort(languages.begin(), languages.end());
    return languages;
}

void appendStrings(FcStrList* list, std::vector<std::string>& out) {
    FcStrListPtr owned(list);
    if (!owned) return;
    while (FcChar8* text = FcStrListNext(owned.get())) {
        out.emplace_back(reinterpret_cast<const char*>(text));
    }
}

// fontconfig's own set of fonts, borrowed from `config`. Walked directly rather than through
// FcFontList, which would copy every pattern first.
FcFontSet* installedFonts(FcConfig* config) { return FcConfigGetFonts(config, FcSetSystem); }

namespace {

// The language lists of the faces seen so far, by their sets: turning a set into sorted strings
// is most of what the facts cost, and a collection shares a few dozen sets among thousands of
// faces.
class LanguageLists {
  public:
    std::shared_ptr<const std::vector<std::string>> of(const FcPattern* pattern) {
        FcLangSet* set = nullptr;  // borrowed from the pattern
        if (FcPatternGetLangSet(pattern, FC_LANG, 0, &set) != FcResultMatch || set == nullptr) {
            return nullptr;
        }
        std::vector<Known>& sameHash = known_[FcLangSetHash(set)];
        for (const Known& known : sameHash) {
            if (FcLangSetEqual(known.set.get(), set)) return known.languages;
        }
        auto languages = std::make_shared<const std::vector<std::string>>(fcLanguages(pattern));
        sameHash.push_back(Known{FcLangSetPtr(FcLangSetCopy(set)), languages});
        return languages;
    }

  private:
    using FcLangSetPtr = Owned<FcLangSet*, FcLangSetDestroy>;
    struct Known {
        FcLangSetPtr set;
        std::shared_ptr<const std::vector<std::string>> languages;
    };
    std::unordered_map<FcChar32, std::vector<Known>> known_;
};

}  // namespace

FaceFactsTable listFaceFacts(FcConfig* config) {
    FcFontSet* fonts = installedFonts(config);
    FaceFactsTable table;
    LanguageLists languages;
    CharacterMaps characters;
    for (int i = 0; fonts != nullptr && i < fonts->nfont; ++i) {
        const FcPattern* font = fonts->fonts[i];
        // The upper 16 bits number a variable face's named instances; their facts are the
        // face's own.
        auto key = std::make_pair(fcString(font, FC_FILE, ""), fcInt(font, FC_INDEX, 0) & 0xFFFF);
        if (table.count(key) != 0) continue;
        const int spacing = fcInt(font, FC_SPACING, FC_PROPORTIONAL);
        table.emplace(std::move(key),
                      FaceFacts{languages.of(font), fcString(font, FC_FONTFORMAT, ""),
                                fcBool(font, FC_COLOR, false),
                                spacing == FC_MONO || spacing == FC_CHARCELL, characters.of(font)});
    }
    return table;
}

FontPathList listInstalledFontPaths(FcConfig* config) {
    return collectFontPaths(installedFonts(config));
}

namespace {

// Faces of different files mostly offer the same features (a family's weights, a foundry's
// fonts): equal lists are shared, so that the catalogue holds a few hundred of them rather than
// one per face, and the detailed document writes each once.
using KnownFeatureLists = std::map<std::vector<LayoutFeature>, LayoutFeatures>;

void shareFeatureLists(Typeface& typeface, KnownFeatureLists& known) {
    for (TypefaceItem& item : typeface.childList) {
        if (!item.features) continue;
        item.features = known.try_emplace(*item.features, item.features).first->second;
    }
}

}  // namespace

std::vector<DescribedFont> describeFontFiles(const std::vector<const std::string*>& paths) {
    // FreeType objects stay within one createTypeface call, so files can be described side by
    // side.
    std::vector<std::unique_ptr<Typeface>> described(paths.size());
    std::vector<DescribedFont> fonts(paths.size());
    parallelFor(paths.size(),
                [&](size_t i) { described[i].reset(createTypeface(*paths[i], &fonts[i].status)); });

    KnownFeatureLists featureLists;
    for (size_t i = 0; i < paths.size(); ++i) {
        if (!described[i]) continue;
        shareFeatureLists(*described[i], featureLists);
        // One odd file must not cost the client the whole catalogue.
        if (!isServableText(*described[i])) {
            printf("Font file left out, its names are not UTF-8:%s", paths[i]->c_str());
            continue;
        }
        fonts[i].description = std::move(described[i]);
    }
    return fonts;
}

ResultSet* groupFamilies(const std::vector<Description>& descriptions) {
    auto result = std::make_unique<ResultSet>();
    std::unordered_map<std::string, Typeface*> familyIndex;
    for (const Description& description : descriptions) {
        if (!description) continue;
        const auto found = familyIndex.find(description->family);
        if (found == familyIndex.end()) {
            auto typeface = std::make_unique<Typeface>(*description);
            familyIndex.emplace(typeface->family, typeface.get());
            result->push_back(typeface.release());
        } else {
            std::vector<TypefaceItem>& faces = found->second->childList;
            faces.insert(faces.end(), description->childList.begin(), description->childList.end());
        }
    }
    sortResultSet(result.get());
    return result.release();
}

ResultSet* getResultSet(FcFontSet* fs) {
    if (fs == nullptr) return new ResultSet();
    const FontPathList paths = collectFontPaths(fs);
    std::vector<const std::string*> pointers;
    pointers.reserve(paths.size());
    for (const std::string& path : paths) pointers.push_back(&path);
    std::vector<Description> descriptions;
    descriptions.reserve(paths.size());
    for (DescribedFont& font : describeFontFiles(pointers)) {
        descriptions.push_back(std::move(font.description));
    }
    return groupFamilies(descriptions);
}

ResultSet* getAvailableFonts() {
    FcInit();
    return getResultSet(installedFonts(nullptr));
}
