// The font catalogue: enumeration through fontconfig, description through FreeType.
#pragma once

#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <sys/types.h>

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_MULTIPLE_MASTERS_H

#include "FontDescriptor.h"

// Accepted font file paths, distinct, in byte-wise order.
using FontPathList = std::set<std::string>;

// Lists the installed fonts and describes them; the caller owns the result, never null.
ResultSet* getAvailableFonts();

// What stat says of a file; a description is reused only while this stays the same.
struct FileIdentity {
    int error = 0;  // errno of a failed stat
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    bool operator==(const FileIdentity& other) const;
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};
FileIdentity identityOf(const char* path);

// The font files a catalogue is made of, as they are now. Two equal states give byte-identical
// catalogues, so a catalogue built for one state can be served again while it holds.
struct FontSetState {
    std::shared_ptr<const FontPathList> paths;
    std::vector<FileIdentity> files;  // one per path, in path order

    bool operator==(const FontSetState& other) const;
};
FontSetState currentFontSetState();
// The catalogue of that state; descriptions of files whose identity is unchanged since the
// last call are reused, the others are made afresh (on several threads).
ResultSet* getAvailableFonts(const FontSetState& state);
// How many font files have a remembered description (those of the last state only).
size_t rememberedFontFileCount();

// Building blocks of getAvailableFonts, public so that they can be tested one by one.

// The accepted paths of the fonts fontconfig lists now (brought up to date first).
std::shared_ptr<const FontPathList> listFontPaths();
// True when `path` is, byte for byte, one of the paths listFontPaths gives.
bool isCataloguedFontPath(const std::string& path);

ResultSet* getResultSet(FcFontSet* fs);
FontPathList collectFontPaths(FcFontSet* fs);
// Describes every path afresh, remembering nothing.
ResultSet* buildResultSet(const FontPathList& paths);
std::string createFontDescriptor2(FcPattern* pattern);
bool canSupportFontFormat(const char* path);
void sortResultSet(ResultSet* pRes);

// Describes one font file; null when FreeType cannot open it or it has no family name.
Typeface* createTypeface(std::string path);
void parseFontVariations(FT_MM_Var* variations, Typeface* typeface);
void parseFontFace(FT_Face face, FT_MM_Var* variations, Typeface* typeface, std::string path);
std::string getStyleName(FT_Face face, FT_UInt strid);
std::string getLocalFamily(FT_Face face);
