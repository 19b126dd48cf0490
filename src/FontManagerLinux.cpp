// The font catalogue: which font files fontconfig lists, what FreeType says about each, and how
// their faces group into families.

#include "FontManagerLinux.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_MULTIPLE_MASTERS_H
#include FT_SFNT_NAMES_H
#include FT_TRUETYPE_IDS_H
#include FT_TRUETYPE_TABLES_H

#include "ChangeWatch.h"
#include "FontFile.h"
#include "Ownership.h"
#include "Utf8.h"
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

// Every text of the family that reaches the catalogue document can be written as JSON.
bool isServableText(const Typeface& typeface) {
    if (!isValidUtf8(typeface.family) || !isValidUtf8(typeface.localName)) return false;
    return std::all_of(typeface.childList.begin(), typeface.childList.end(),
                       [](const TypefaceItem& item) {
                           return isValidUtf8(item.file) && isValidUtf8(item.postscript);
                       });
}

// --- Keeping fontconfig's view of the installed fonts current -------------------------------

// What a listing depends on: one font directory or configuration file, as stat saw it.
struct FileStamp {
    std::string path;
    FileIdentity identity;

    bool operator==(const FileStamp& other) const {
        return path == other.path && identity == other.identity;
    }
};

void appendPaths(FcStrList* list, std::vector<std::string>& paths) {
    FcStrListPtr owned(list);
    if (!owned) return;
    while (FcChar8* path = FcStrListNext(owned.get())) {
        paths.emplace_back(reinterpret_cast<const char*>(path));
    }
}

// What the current configuration's listing depends on: its font directories (subdirectories
// included, and configured ones that do not exist yet) and its configuration files.
std::vector<std::string> fontConfigDependencies() {
    std::vector<std::string> paths;
    FcConfig* config = FcConfigGetCurrent();
    appendPaths(FcConfigGetFontDirs(config), paths);
    appendPaths(FcConfigGetConfigFiles(config), paths);
    return paths;
}

// fontconfig's own FcConfigUptoDate compares whole seconds and can miss a change made in the
// same second as its last check, so nanosecond times are compared here instead.
std::vector<FileStamp> stampsOf(const std::vector<std::string>& paths) {
    std::vector<FileStamp> stamps;
    stamps.reserve(paths.size());
    for (const std::string& path : paths)
        stamps.push_back(FileStamp{path, identityOf(path.c_str())});
    return stamps;
}

// The last listing and what it depended on. Only the event-loop thread lists fonts.
struct FontListing {
    std::vector<FileStamp> stamps;
    std::shared_ptr<const FontPathList> paths;
    ChangeWatch watch;
};

FontListing& currentListing() {
    static FontListing listing;
    return listing;
}

std::shared_ptr<const FontPathList> listFontPathsFromFontconfig() {
    FcPatternPtr pattern(FcPatternCreate());
    // Only the file of each pattern is read. Asking for the file alone lists every font file
    // once, where family, style and the rest would list one pattern per distinct combination:
    // the same files, at several times the cost.
    FcObjectSetPtr objects(FcObjectSetBuild(FC_FILE, static_cast<char*>(nullptr)));
    if (!pattern || !objects) throw std::bad_alloc();
    FcFontSetPtr fonts(FcFontList(nullptr, pattern.get(), objects.get()));
    return std::make_shared<const FontPathList>(collectFontPaths(fonts.get()));
}

// --- Face description -------------------------------------------------------------------------

void addStaticItem(FT_Face face, const TT_OS2& os2, Typeface& typeface, const std::string& path) {
    TypefaceItem item;
    item.file = path;
    item.weight = weightFromWeightClass(os2.usWeightClass);
    item.width = widthFromWidthClass(os2.usWidthClass);
    item.style = face->style_name != nullptr ? face->style_name : "";
    item.postscript = postscriptNameOf(face, typeface);
    item.slant = slantOf(face);
    typeface.childList.push_back(std::move(item));
}

void addInstanceItem(FT_Face face, const NameRecords& names, const TT_OS2& os2,
                     const FT_MM_Var& variations, const FT_Var_Named_Style& instance,
                     Typeface& typeface, const std::string& path) {
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

}  // namespace

// --- Face description -------------------------------------------------------------------------

std::string getStyleName(FT_Face face, FT_UInt strid) { return NameRecords(face).styleName(strid); }

std::string getLocalFamily(FT_Face face) {
    const std::string family = face->family_name;
    const auto name = NameRecords(face).first(
        {TT_NAME_ID_FONT_FAMILY, TT_NAME_ID_TYPOGRAPHIC_FAMILY, TT_NAME_ID_WWS_FAMILY},
        [&family](const std::string& text) { return text != family; });
    return name ? *name : family;
}

void parseFontVariations(FT_MM_Var* variations, Typeface* typeface) {
    for (FT_UInt i = 0; i < variations->num_axis; ++i) {
        const FT_Var_Axis& axis = variations->axis[i];
        typeface->variationRange.push_back(
            FamilyVariation{static_cast<int64_t>(axis.tag), fixedToWhole(axis.minimum),
                            fixedToWhole(axis.def), fixedToWhole(axis.maximum)});
    }
}

void parseFontFace(FT_Face face, FT_MM_Var* variations, Typeface* typeface, std::string path) {
    const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
    if (os2 == nullptr || os2->version == 0xFFFF) return;
    if (variations == nullptr) {
        if (roomForItems(*typeface, 0)) addStaticItem(face, *os2, *typeface, path);
        return;
    }
    const NameRecords names(face);
    for (FT_UInt k = 0;
         k < variations->num_namedstyles && roomForItems(*typeface, variations->num_axis); ++k) {
        addInstanceItem(face, names, *os2, *variations, variations->namedstyle[k], *typeface, path);
    }
}

Typeface* createTypeface(std::string path) {
    FontFile file;
    if (!file.open(path)) return nullptr;
    FT_Library rawLibrary = nullptr;
    if (FT_Init_FreeType(&rawLibrary) != 0) return nullptr;
    const FtLibraryPtr library(rawLibrary);

    // Faces are opened one at a time; only the current one is held.
    FtFacePtr face = file.openFace(library.get(), 0);
    if (!face || face->family_name == nullptr) return nullptr;

    auto typeface = std::make_unique<Typeface>();
    typeface->family = face->family_name;
    typeface->localName = getLocalFamily(face.get());

    const uint32_t numFaces = std::min(static_cast<uint32_t>(face->num_faces), kMaxFacesPerFile);
    uint32_t unopened = 0;  // faces in a row that could not be opened
    for (uint32_t indexFace = 0; indexFace < numFaces; ++indexFace) {
        unopened = face ? 0 : unopened + 1;
        if (unopened == kMaxUnopenedFacesInARow) break;
        if (face) {
            FT_MM_Var* rawVariations = nullptr;
            FtMMVarPtr variations(nullptr, FtMMVarDeleter{library.get()});
            if (FT_Get_MM_Var(face.get(), &rawVariations) == 0) {
                variations.reset(rawVariations);
                typeface->isVariation = true;
                parseFontVariations(variations.get(), typeface.get());
            }
            parseFontFace(face.get(), variations.get(), typeface.get(), path);
        }
        face.reset();
        if (indexFace + 1 < numFaces) {
            face = file.openFace(library.get(), static_cast<FT_Long>(indexFace) + 1);
        }
    }
    return typeface.release();
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

namespace {

// A described font file, shared between the memo and the catalogues built from it; null when
// the file has nothing to show.
using Description = std::shared_ptr<const Typeface>;

// FreeType objects stay within one createTypeface call, so files can be described side by side.
unsigned describeWorkers(size_t files) {
    constexpr unsigned kMaxWorkers = 8;
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    return static_cast<unsigned>(std::min<size_t>({files, cores, kMaxWorkers}));
}

// Runs work(i) for every i below count, spread over a few threads; the first exception thrown
// stops the others and is rethrown here.
void parallelFor(size_t count, const std::function<void(size_t)>& work) {
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr failure;
    auto worker = [&] {
        try {
            for (size_t i = next++; i < count && !failed; i = next++) work(i);
        } catch (...) {
            if (!failed.exchange(true)) failure = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned w = 1; w < describeWorkers(count); ++w) helpers.emplace_back(worker);
    worker();
    for (std::thread& helper : helpers) helper.join();
    if (failure) std::rethrow_exception(failure);
}

// Describes the files in parallel; the result is in the order of `paths`.
std::vector<Description> describeFiles(const std::vector<const std::string*>& paths) {
    std::vector<std::unique_ptr<Typeface>> described(paths.size());
    parallelFor(paths.size(), [&](size_t i) { described[i].reset(createTypeface(*paths[i])); });

    std::vector<Description> descriptions(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        if (!described[i]) continue;
        // One odd file must not cost the client the whole catalogue.
        if (!isServableText(*described[i])) {
            printf("Font file left out, its names are not UTF-8:%s", paths[i]->c_str());
            continue;
        }
        descriptions[i] = std::move(described[i]);
    }
    return descriptions;
}

std::vector<const std::string*> pointersTo(const FontPathList& paths) {
    std::vector<const std::string*> pointers;
    pointers.reserve(paths.size());
    for (const std::string& path : paths) pointers.push_back(&path);
    return pointers;
}

// Merges the descriptions, in path order, into one family per family name and orders the faces.
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

// What was learnt about each listed font file, for as long as the file stays the same.
// Only the event-loop thread reads or changes it.
struct Remembered {
    FileIdentity identity;
    Description description;
};

std::unordered_map<std::string, Remembered>& descriptionMemo() {
    static std::unordered_map<std::string, Remembered> memo;
    return memo;
}

}  // namespace

ResultSet* buildResultSet(const FontPathList& paths) {
    return groupFamilies(describeFiles(pointersTo(paths)));
}

ResultSet* getResultSet(FcFontSet* fs) {
    if (fs == nullptr) return new ResultSet();
    return buildResultSet(collectFontPaths(fs));
}

std::shared_ptr<const FontPathList> listFontPaths() {
    FcInit();
    FontListing& listing = currentListing();
    if (listing.paths && !listing.watch.mayHaveChanged()) return listing.paths;

    // Stamps are taken before any rescan, so a change made during the rescan shows next time.
    std::vector<FileStamp> stamps = stampsOf(fontConfigDependencies());
    if (!listing.paths || stamps != listing.stamps) {
        // The first time too: FcInit scanned the fonts before these stamps were taken, and a
        // font added in between would be missing until the next change. Caches written by
        // that scan make this rescan cheap.
        FcInitReinitialize();
        listing.paths = listFontPathsFromFontconfig();
        listing.stamps = std::move(stamps);
    }
    // Watch what the listing now depends on. Whatever changed before the watch took hold
    // differs from the stamps the listing was made with: then look again next time.
    const std::vector<std::string> dependencies = fontConfigDependencies();
    listing.watch.arm(dependencies);
    if (stampsOf(dependencies) != listing.stamps) listing.watch.markDirty();
    return listing.paths;
}

bool isCataloguedFontPath(const std::string& path) {
    const auto paths = listFontPaths();
    return paths->count(path) != 0;
}

bool FileIdentity::operator==(const FileIdentity& other) const {
    return std::tie(error, device, inode, size, modified.tv_sec, modified.tv_nsec, changed.tv_sec,
                    changed.tv_nsec) == std::tie(other.error, other.device, other.inode, other.size,
                                                 other.modified.tv_sec, other.modified.tv_nsec,
                                                 other.changed.tv_sec, other.changed.tv_nsec);
}

FileIdentity identityOf(const char* path) {
    FileIdentity identity;
    struct stat st;
    if (stat(path, &st) != 0) {
        identity.error = errno;
        return identity;
    }
    identity.device = st.st_dev;
    identity.inode = st.st_ino;
    identity.size = st.st_size;
    identity.modified = st.st_mtim;
    identity.changed = st.st_ctim;
    return identity;
}

bool FontSetState::operator==(const FontSetState& other) const {
    const bool samePaths = paths == other.paths || (paths && other.paths && *paths == *other.paths);
    return samePaths && files == other.files;
}

FontSetState currentFontSetState() {
    FontSetState state;
    state.paths = listFontPaths();
    const std::vector<const std::string*> paths = pointersTo(*state.paths);
    state.files.resize(paths.size());
    parallelFor(paths.size(), [&](size_t i) { state.files[i] = identityOf(paths[i]->c_str()); });
    return state;
}

ResultSet* getAvailableFonts(const FontSetState& state) {
    std::unordered_map<std::string, Remembered>& memo = descriptionMemo();
    std::unordered_map<std::string, Remembered> next;
    next.reserve(state.files.size());
    std::vector<const std::string*> changed;
    size_t i = 0;
    for (const std::string& path : *state.paths) {
        const FileIdentity& identity = state.files[i++];
        auto found = memo.find(path);
        if (found != memo.end() && found->second.identity == identity) {
            next.emplace(path, std::move(found->second));
        } else {
            changed.push_back(&path);
            next.emplace(path, Remembered{identity, nullptr});
        }
    }
    const std::vector<Description> fresh = describeFiles(changed);
    for (size_t k = 0; k < changed.size(); ++k) next[*changed[k]].description = fresh[k];
    // Files no longer listed are forgotten here.
    memo = std::move(next);

    std::vector<Description> descriptions;
    descriptions.reserve(state.paths->size());
    for (const std::string& path : *state.paths) descriptions.push_back(memo[path].description);
    return groupFamilies(descriptions);
}

size_t rememberedFontFileCount() { return descriptionMemo().size(); }

ResultSet* getAvailableFonts() { return getAvailableFonts(currentFontSetState()); }
