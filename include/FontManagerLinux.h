// The font catalogue: enumeration through fontconfig, description through FreeType.
#pragma once

#include <memory>
#include <set>
#include <string>

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_MULTIPLE_MASTERS_H

#include "FontDescriptor.h"

// Lists the installed fonts and describes them; the caller owns the result, never null.
ResultSet* getAvailableFonts();

// Building blocks of getAvailableFonts, public so that they can be tested one by one.

// Accepted font file paths, distinct, in byte-wise order.
using FontPathList = std::set<std::string>;

// The accepted paths of the fonts fontconfig lists now (brought up to date first).
std::shared_ptr<const FontPathList> listFontPaths();
// True when `path` is, byte for byte, one of the paths listFontPaths gives.
bool isCataloguedFontPath(const std::string& path);

ResultSet* getResultSet(FcFontSet* fs);
FontPathList collectFontPaths(FcFontSet* fs);
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
