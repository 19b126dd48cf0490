// Reference figure for the catalogue: the least work any catalogue of the installed fonts has
// to do, written as plainly as possible and sharing nothing with the agent. One fontconfig
// listing, then one single-threaded FreeType pass over every face of every accepted file that
// reads what a face description needs (OS/2, variation axes and instances, all name records).
//
// Build: g++ -std=c++17 -O2 ftpass.cpp $(pkg-config --cflags --libs fontconfig freetype2)
// Output: one line of key=value pairs (times in milliseconds) for bench/run.sh to parse.

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_MULTIPLE_MASTERS_H
#include FT_SFNT_NAMES_H
#include FT_TRUETYPE_TABLES_H

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// The agent leaves Type 1 and compressed files out; the reference must read the same set.
bool acceptedFormat(const std::string& path) {
    const size_t dot = path.rfind('.');
    std::string ext = dot == std::string::npos ? path : path.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext != "pfb" && ext != "t1" && ext != "gz";
}

// Returns false when fontconfig could not list at all, so that no figure is made up.
bool listFontFiles(std::set<std::string>& files) {
    if (!FcInit()) return false;
    FcPattern* pattern = FcPatternCreate();
    FcObjectSet* objects = FcObjectSetBuild(FC_FILE, static_cast<char*>(nullptr));
    FcFontSet* fonts = FcFontList(nullptr, pattern, objects);
    if (fonts != nullptr) {
        for (int i = 0; i < fonts->nfont; ++i) {
            FcChar8* file = nullptr;
            if (FcPatternGetString(fonts->fonts[i], FC_FILE, 0, &file) == FcResultMatch &&
                file != nullptr) {
                std::string path(reinterpret_cast<const char*>(file));
                if (acceptedFormat(path)) files.insert(std::move(path));
            }
        }
        FcFontSetDestroy(fonts);
    }
    FcObjectSetDestroy(objects);
    FcPatternDestroy(pattern);
    return fonts != nullptr;
}

struct Counts {
    uint64_t files = 0;
    uint64_t unreadableFiles = 0;
    uint64_t faces = 0;
    uint64_t variableFaces = 0;
    uint64_t namedInstances = 0;
    uint64_t nameRecords = 0;
    // Folds in what was read, so the reads are observable and a run can be compared to another.
    uint64_t checksum = 0;
};

void readFace(FT_Library library, FT_Face face, Counts& counts) {
    ++counts.faces;
    if (const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2))) {
        counts.checksum += os2->usWeightClass + os2->usWidthClass;
    }
    FT_MM_Var* variations = nullptr;
    if (FT_Get_MM_Var(face, &variations) == 0) {
        ++counts.variableFaces;
        counts.namedInstances += variations->num_namedstyles;
        counts.checksum += variations->num_axis;
        FT_Done_MM_Var(library, variations);
    }
    const FT_UInt nameCount = FT_Get_Sfnt_Name_Count(face);
    for (FT_UInt i = 0; i < nameCount; ++i) {
        FT_SfntName record;
        if (FT_Get_Sfnt_Name(face, i, &record) != 0) continue;
        ++counts.nameRecords;
        counts.checksum += record.name_id + record.string_len;
    }
}

void readFile(FT_Library library, const std::string& path, Counts& counts) {
    ++counts.files;
    FT_Long faceCount = 1;  // known once face 0 is open
    for (FT_Long index = 0; index < faceCount; ++index) {
        FT_Face face = nullptr;
        if (FT_New_Face(library, path.c_str(), index, &face) != 0) {
            if (index == 0) {
                ++counts.unreadableFiles;
                return;
            }
            continue;
        }
        if (index == 0) faceCount = face->num_faces;
        readFace(library, face, counts);
        FT_Done_Face(face);
    }
}

}  // namespace

int main() {
    const Clock::time_point start = Clock::now();
    std::set<std::string> files;
    if (!listFontFiles(files)) {
        std::fprintf(stderr, "ftpass: fontconfig could not list the fonts\n");
        return 1;
    }
    const Clock::time_point listed = Clock::now();

    FT_Library library = nullptr;
    if (FT_Init_FreeType(&library) != 0) {
        std::fprintf(stderr, "ftpass: FreeType could not start\n");
        return 1;
    }
    Counts counts;
    for (const std::string& path : files) readFile(library, path, counts);
    FT_Done_FreeType(library);
    const Clock::time_point done = Clock::now();

    std::printf(
        "files=%llu unreadable=%llu faces=%llu variable_faces=%llu named_instances=%llu "
        "name_records=%llu checksum=%llu list_ms=%.3f freetype_ms=%.3f total_ms=%.3f\n",
        static_cast<unsigned long long>(counts.files),
        static_cast<unsigned long long>(counts.unreadableFiles),
        static_cast<unsigned long long>(counts.faces),
        static_cast<unsigned long long>(counts.variableFaces),
        static_cast<unsigned long long>(counts.namedInstances),
        static_cast<unsigned long long>(counts.nameRecords),
        static_cast<unsigned long long>(counts.checksum), millisecondsBetween(start, listed),
        millisecondsBetween(listed, done), millisecondsBetween(start, done));
    return counts.files > 0 ? 0 : 1;
}
