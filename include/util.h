// Font text utilities: SFNT name-record transcoding and the names of weight, width and slant.
#pragma once

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SFNT_NAMES_H

// Decodes one naming-table record into a malloc'ed, NUL-terminated UTF-8 buffer that the caller
// frees with free(); null when the record's encoding is unsupported or its bytes are malformed.
FcChar8* zySfntNameTranscode(FT_SfntName* sname);

// Names of values on fontconfig's scales; static strings, never null.
const char* convertWeightTostring(int weight);
const char* convertWidthToString(int width);
const char* convertStyleToString(int style);
