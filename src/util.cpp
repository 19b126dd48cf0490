// SFNT name-record transcoding and the names of fontconfig's weight, width and slant values.
#include "util.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include FT_TRUETYPE_IDS_H

#include "core/Ownership.h"

namespace {

// Stands for every encoding ID of a platform.
constexpr FT_UShort kAnyEncoding = 0xFFFF;

struct FcFtEncoding {
    FT_UShort platform_id;
    FT_UShort encoding_id;
    char fromcode[12];
};

// Searched in order; the first row matching platform and encoding names the record's charset.
// Windows UCS-4 (encoding 10) records are UTF-16 in practice, so they are read as such.
constexpr FcFtEncoding fcFtEncoding[] = {
    {TT_PLATFORM_APPLE_UNICODE, kAnyEncoding, "UTF-16BE"},
    {TT_PLATFORM_MACINTOSH, TT_MAC_ID_ROMAN, "MACINTOSH"},
    {TT_PLATFORM_MACINTOSH, TT_MAC_ID_JAPANESE, "SJIS"},
    {TT_PLATFORM_MICROSOFT, TT_MS_ID_SYMBOL_CS, "UTF-16BE"},
    {TT_PLATFORM_MICROSOFT, TT_MS_ID_UNICODE_CS, "UTF-16BE"},
    {TT_PLATFORM_MICROSOFT, TT_MS_ID_SJIS, "SJIS-WIN"},
    {TT_PLATFORM_MICROSOFT, TT_MS_ID_PRC, "GB2312"},
    {TT_PLATFORM_MICROSOFT, TT_MS_ID_BIG_5, "BIG-5"},
    {TT_PLATFORM_MICROSOFT, TT_MS_ID_WANSUNG, "Wansung"},
    {TT_PLATFORM_MICROSOFT, TT_MS_ID_JOHAB, "Johab"},
    {TT_PLATFORM_MICROSOFT, TT_MS_ID_UCS_4, "UTF-16BE"},
    {TT_PLATFORM_ISO, TT_ISO_ID_7BIT_ASCII, "ASCII"},
    {TT_PLATFORM_ISO, TT_ISO_ID_10646, "UTF-16BE"},
    {TT_PLATFORM_ISO, TT_ISO_ID_8859_1, "ISO-8859-1"},
};
static_assert(sizeof fcFtEncoding / sizeof fcFtEncoding[0] == 14, "one row per known record kind");

struct FcMacRomanFake {
    FT_UShort language_id;
    char fromcode[12];
};

// Some fonts label Mac Roman records with a Windows language ID; the text then follows the
// Windows code page of that language rather than Mac Roman.
constexpr FcMacRomanFake fcMacRomanFake[] = {
    {TT_MS_LANGID_JAPANESE_JAPAN, "SJIS-WIN"},
    {TT_MS_LANGID_ENGLISH_UNITED_STATES, "ASCII"},
};

// Unicode code points of Mac OS Roman bytes 0x80..0xFF (the revision with the euro at 0xDB).
// Generated with Python 3: [ord(bytes([b]).decode('mac_roman')) for b in range(0x80, 0x100)].
constexpr FcChar16 fcMacRomanNonASCIIToUnicode[128] = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1,  // 0x80
    0x00E0, 0x00E2, 0x00E4, 0x00E3, 0x00E5, 0x00E7, 0x00E9, 0x00E8,  // 0x88
    0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3,  // 0x90
    0x00F2, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC,  // 0x98
    0x2020, 0x00B0, 0x00A2, 0x00A3, 0x00A7, 0x2022, 0x00B6, 0x00DF,  // 0xA0
    0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8,  // 0xA8
    0x221E, 0x00B1, 0x2264, 0x2265, 0x00A5, 0x00B5, 0x2202, 0x2211,  // 0xB0
    0x220F, 0x03C0, 0x222B, 0x00AA, 0x00BA, 0x03A9, 0x00E6, 0x00F8,  // 0xB8
    0x00BF, 0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB,  // 0xC0
    0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5, 0x0152, 0x0153,  // 0xC8
    0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x25CA,  // 0xD0
    0x00FF, 0x0178, 0x2044, 0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02,  // 0xD8
    0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1,  // 0xE0
    0x00CB, 0x00C8, 0x00CD, 0x00CE, 0x00CF, 0x00CC, 0x00D3, 0x00D4,  // 0xE8
    0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9, 0x0131, 0x02C6, 0x02DC,  // 0xF0
    0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7,  // 0xF8
};

FcChar8* allocateText(size_t bytes) { return static_cast<FcChar8*>(malloc(bytes)); }

// Every decoder takes len >= 0 and returns a malloc'ed, NUL-terminated buffer the caller frees
// with free(), or null; the buffer is sized for the worst case so writing needs no length tests.

FcChar8* decodeUtf16(const FcChar8* string, int len) {
    int nchar = 0;
    int wchar = 0;
    if (!FcUtf16Len(string, FcEndianBig, len, &nchar, &wchar)) return nullptr;
    MallocPtr<FcChar8> text(allocateText(static_cast<size_t>(nchar) * FC_UTF8_MAX_LEN + 1));
    if (!text) return nullptr;
    FcChar8* out = text.get();
    int remaining = len;
    while (remaining > 0) {
        FcChar32 ucs4 = 0;
        const int used = FcUtf16ToUcs4(string, FcEndianBig, &ucs4, remaining);
        if (used <= 0) break;
        // fontconfig 2.14 lets a lone low surrogate through and would write it as three bytes
        // that are not UTF-8; such a record is as malformed as one FcUtf16Len rejects.
        if (ucs4 >= 0xD800 && ucs4 <= 0xDFFF) return nullptr;
        string += used;
        remaining -= used;
        out += FcUcs4ToUtf8(ucs4, out);
    }
    *out = '\0';
    return text.release();
}

// Records labelled ASCII often carry 8-bit text anyway; reading them as ISO-8859-1 keeps it.
FcChar8* decodeLatin1(const FcChar8* string, int len) {
    MallocPtr<FcChar8> text(allocateText(static_cast<size_t>(len) * 2 + 1));
    if (!text) return nullptr;
    FcChar8* out = text.get();
    for (int i = 0; i < len; ++i) out += FcUcs4ToUtf8(string[i], out);
    *out = '\0';
    return text.release();
}

FcChar8* decodeMacRoman(const FcChar8* string, int len) {
    MallocPtr<FcChar8> text(allocateText(static_cast<size_t>(len) * 3 + 1));
    if (!text) return nullptr;
    FcChar8* out = text.get();
    for (int i = 0; i < len; ++i) {
        const FcChar8 b = string[i];
        const FcChar32 ucs4 = b < 0x80 ? b : fcMacRomanNonASCIIToUnicode[b - 0x80];
        out += FcUcs4ToUtf8(ucs4, out);
    }
    *out = '\0';
    return text.release();
}

struct FcDecoder {
    const char* fromcode;
    FcChar8* (*decode)(const FcChar8* string, int len);
};

// Charsets missing here (the Japanese, Chinese and Korean ones) have no converter: refused.
constexpr FcDecoder fcDecoders[] = {
    {"UTF-16BE", decodeUtf16},
    {"ASCII", decodeLatin1},
    {"ISO-8859-1", decodeLatin1},
    {"MACINTOSH", decodeMacRoman},
};

// Old Japanese fonts label Shift-JIS names as Mac Roman English; more than a third of the bytes
// being high is far more likely in Shift-JIS than in a Roman name.
FcBool FcLooksLikeSJIS(FcChar8* string, int len) {
    int nhigh = 0;
    int nlow = 0;
    for (int i = 0; i < len; ++i) {
        if (string[i] & 0x80)
            ++nhigh;
        else
            ++nlow;
    }
    return nhigh * 2 > nlow ? FcTrue : FcFalse;
}

const char* findCharset(FT_UShort platform, FT_UShort encoding) {
    for (const FcFtEncoding& row : fcFtEncoding) {
        if (row.platform_id == platform &&
            (row.encoding_id == kAnyEncoding || row.encoding_id == encoding))
            return row.fromcode;
    }
    return nullptr;
}

// Mac Roman records are only what they claim when the language agrees; null means refused.
const char* refineMacRoman(FcChar8* string, int len, FT_UShort language) {
    if (language == TT_MAC_LANGID_ENGLISH)
        return FcLooksLikeSJIS(string, len) ? nullptr : "MACINTOSH";
    if (language < 0x100) return "MACINTOSH";
    for (const FcMacRomanFake& row : fcMacRomanFake) {
        if (row.language_id == language) return row.fromcode;
    }
    return nullptr;
}

}  // namespace

FcChar8* zySfntNameTranscode(FT_SfntName* sname) {
    if (!sname) return nullptr;
    // FreeType's length is unsigned; one that does not fit an int is no text we could hold.
    int len = static_cast<int>(sname->string_len);
    if (len < 0) len = 0;

    const char* fromcode = findCharset(sname->platform_id, sname->encoding_id);
    if (fromcode && strcmp(fromcode, "MACINTOSH") == 0)
        fromcode = refineMacRoman(sname->string, len, sname->language_id);
    if (!fromcode) return nullptr;

    for (const FcDecoder& decoder : fcDecoders) {
        if (strcmp(decoder.fromcode, fromcode) == 0) return decoder.decode(sname->string, len);
    }
    return nullptr;
}

namespace {

struct FcWeightName {
    int min;
    int max;
    const char* name;
};

// Lower bounds are fontconfig's FC_WEIGHT_* constants; demilight (55) and book (75) count as
// Light.
constexpr FcWeightName fcWeightNames[] = {
    {INT_MIN, -1, "Invisible"},   {0, 39, "Thin"},
    {40, 49, "ExtraLight"},       {50, 79, "Light"},
    {80, 99, "Normal"},           {100, 179, "Medium"},
    {180, 199, "SemiBold"},       {200, 204, "Bold"},
    {205, 209, "ExtraBold"},      {210, 214, "Black"},
    {215, INT_MAX, "ExtraBlack"},
};

// The rows must tile every int, or some weight would be left without a name.
constexpr bool tilesEveryInt() {
    constexpr size_t n = sizeof fcWeightNames / sizeof fcWeightNames[0];
    if (fcWeightNames[0].min != INT_MIN || fcWeightNames[n - 1].max != INT_MAX) return false;
    for (size_t i = 1; i < n; ++i) {
        if (fcWeightNames[i].min != fcWeightNames[i - 1].max + 1) return false;
    }
    return true;
}
static_assert(tilesEveryInt(), "weight rows leave a gap");

struct FcValueName {
    int value;
    const char* name;
};

// fontconfig's FC_WIDTH_* percentages; anything else, 100 included, is Normal.
constexpr FcValueName fcWidthNames[] = {
    {50, "UltraCondensed"}, {63, "ExtraCondensed"}, {75, "Condensed"},      {87, "SemiCondensed"},
    {113, "SemiExpanded"},  {125, "Expanded"},      {150, "ExtraExpanded"}, {200, "UltraExpanded"},
};

constexpr FcValueName fcSlantNames[] = {
    {100, "Italic"},
    {110, "Oblique"},
};

template <size_t N>
const char* exactName(const FcValueName (&table)[N], int value) {
    for (const FcValueName& row : table) {
        if (row.value == value) return row.name;
    }
    return "Normal";
}

}  // namespace

const char* convertWeightTostring(int weight) {
    for (const FcWeightName& row : fcWeightNames) {
        if (weight >= row.min && weight <= row.max) return row.name;
    }
    return "Normal";  // unreachable: the rows tile every int
}

const char* convertWidthToString(int width) { return exactName(fcWidthNames, width); }

const char* convertStyleToString(int style) { return exactName(fcSlantNames, style); }
