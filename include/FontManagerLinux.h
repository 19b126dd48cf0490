// The font catalogue: enumeration through fontconfig, description through FreeType, grouping
// into families and ordering of their faces.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_MULTIPLE_MASTERS_H

#include "FontDescriptor.h"

// Accepted font file paths, distinct, in byte-wise order.
using FontPathList = std::set<std::string>;

// Lists the installed fonts and describes every one afresh; the caller owns the result, never
// null.
ResultSet* getAvailableFonts();
// The catalogue of a font set (null gives an empty one): collectFontPaths, describeFontFiles,
// groupFamilies. The agent runs these steps itself, with what it remembers between catalogues
// in between.
ResultSet* getResultSet(FcFontSet* fs);

// The accepted paths of the fonts `config` lists (null: the current configuration).
FontPathList listInstalledFontPaths(FcConfig* config = nullptr);
// The accepted paths of a font set.
FontPathList collectFontPaths(FcFontSet* fs);
std::string createFontDescriptor2(FcPattern* pattern);
bool canSupportFontFormat(const char* path);
void sortResultSet(ResultSet* pRes);

// Typed getters for fontconfig pattern properties: the first value, or the fallback.
std::string fcString(const FcPattern* pattern, const char* object, const std::string& fallback);
int fcInt(const FcPattern* pattern, const char* object, int fallback);
bool fcBool(const FcPattern* pattern, const char* object, bool fallback);
// The languages a pattern's face covers, sorted.
std::vector<std::string> fcLanguages(const FcPattern* pattern);
// Appends the strings of a list and releases it; a null list adds nothing.
void appendStrings(FcStrList* list, std::vector<std::string>& out);

class CharacterMap;

// What fontconfig reports of one face beyond what the catalogue describes.
struct FaceFacts {
    // Sorted; shared between the many faces that cover the same languages.
    std::shared_ptr<const std::vector<std::string>> languages;
    std::string format;  // "TrueType", "CFF", "Type 1", ...
    bool color = false;
    bool monospace = false;  // mono or charcell spacing
    // The characters the face maps (FC_CHARSET); shared between the faces that map the same.
    std::shared_ptr<const CharacterMap> characters;
};
// By file path and face index.
using FaceFactsTable = std::map<std::pair<std::string, int>, FaceFacts>;
// The facts of every face `config` lists, from its cache: no font file is opened.
FaceFactsTable listFaceFacts(FcConfig* config = nullptr);

// A described font file, shared between the descriptions remembered and the catalogues built
// from them; null when the file has nothing to show.
using Description = std::shared_ptr<const Typeface>;
// What was found under one path: the description, and what fstat said of the very file
// FreeType read (st_mode 0 when none could be opened), so that what is served later can be
// tied to what was described, whatever the path names by then.
struct DescribedFont {
    Description description;
    struct stat status {};
};
// createTypeface for each file, side by side; the result is in the order of `paths`. A file
// whose names cannot be written as JSON is left out with a diagnostic.
std::vector<DescribedFont> describeFontFiles(const std::vector<const std::string*>& paths);
// Merges descriptions, in their order, into one family per family name and orders the faces.
ResultSet* groupFamilies(const std::vector<Description>& descriptions);

// Describes one font file; null when FreeType cannot open it or it has no family name. With
// `status`, what fstat said of the file opened (st_mode 0 when none was).
Typeface* createTypeface(std::string path, struct stat* status = nullptr);
void parseFontVariations(FT_MM_Var* variations, Typeface* typeface);
