// Name-record transcoding and value names.
#include "util.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "AgentProcess.h"
#include "core/Ownership.h"
#include "core/Utf8.h"

namespace {

using Bytes = std::vector<FT_Byte>;

MallocPtr<FcChar8> transcodeRaw(FT_UShort platform, FT_UShort encoding, FT_UShort language,
                                Bytes bytes) {
    FT_SfntName name{};
    name.platform_id = platform;
    name.encoding_id = encoding;
    name.language_id = language;
    name.string = bytes.data();
    name.string_len = static_cast<FT_UInt>(bytes.size());
    return MallocPtr<FcChar8>(zySfntNameTranscode(&name));
}

// The text up to the first NUL, or nullopt for a null result.
std::optional<std::string> transcode(FT_UShort platform, FT_UShort encoding, FT_UShort language,
                                     Bytes bytes) {
    MallocPtr<FcChar8> text = transcodeRaw(platform, encoding, language, std::move(bytes));
    if (!text) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(text.get()));
}

constexpr FT_UShort kUnicode = 0, kMac = 1, kIso = 2, kWindows = 3;

}  // namespace

TEST(TranscodeEncodingTable, UnicodePlatformIsUtf16WhateverTheEncoding) {
    for (FT_UShort encoding : {0, 3, 4, 7})
        EXPECT_EQ(transcode(kUnicode, encoding, 0, {0, 'A'}), "A");
}

TEST(TranscodeEncodingTable, WindowsSymbolBmpAndFullRepertoireAreUtf16) {
    for (FT_UShort encoding : {1, 10, 0})
        EXPECT_EQ(transcode(kWindows, encoding, 0x0409, {0x00, 0x41, 0x00, 0x62}), "Ab");
}

TEST(TranscodeEncodingTable, CjkCharsetsAndAbsentPairsGiveNull) {
    for (FT_UShort encoding : {2, 3, 4, 5, 6, 7})
        EXPECT_EQ(transcode(kWindows, encoding, 0x0409, {0x00, 0x41}), std::nullopt) << encoding;
    EXPECT_EQ(transcode(kMac, 1, 11, {'A'}), std::nullopt);
    EXPECT_EQ(transcode(kMac, 2, 0, {'A'}), std::nullopt);
    EXPECT_EQ(transcode(4, 0, 0, {'A'}), std::nullopt);
}

TEST(TranscodeEncodingTable, IsoAsciiAndLatin1ReadHighBytesAsLatin1) {
    EXPECT_EQ(transcode(kIso, 0, 0, {0xE9}), "\xC3\xA9");
    EXPECT_EQ(transcode(kIso, 2, 0, {0xE9, 'x'}), "\xC3\xA9x");
}

TEST(TranscodeMacRoman, EnglishRecordDecodesHighBytesThroughTable) {
    EXPECT_EQ(transcode(kMac, 0, 0, {0x43, 0x61, 0x66, 0x8E}), "Caf\xC3\xA9");
}

TEST(TranscodeMacRoman, EnglishRecordWithOverAThirdHighBytesIsTakenForShiftJis) {
    EXPECT_EQ(transcode(kMac, 0, 0, {0x82, 0x41}), std::nullopt);
    EXPECT_EQ(transcode(kMac, 0, 0, {0x82, 0x41, 0x42}), "\xC3\x87\x41\x42");  // ÇAB
}

TEST(TranscodeMacRoman, OtherMacLanguagesSkipTheShiftJisHeuristic) {
    EXPECT_EQ(transcode(kMac, 0, 5, {0x82, 0x8E}), "\xC3\x87\xC3\xA9");
}

TEST(TranscodeMacRoman, WindowsLanguageIdsFollowTheirCodePage) {
    EXPECT_EQ(transcode(kMac, 0, 0x0409, {0xE9}), "\xC3\xA9");  // Latin-1, not Mac Roman's U+00DA
    EXPECT_EQ(transcode(kMac, 0, 0x0411, {'A'}), std::nullopt);
    EXPECT_EQ(transcode(kMac, 0, 0x0412, {'A'}), std::nullopt);
}

TEST(TranscodeMacRoman, TellingTableEntries) {
    const std::pair<FT_Byte, const char*> cases[] = {
        {0x80, "\xC3\x84"},     {0xA5, "\xE2\x80\xA2"}, {0xCA, "\xC2\xA0"},
        {0xDB, "\xE2\x82\xAC"}, {0xDE, "\xEF\xAC\x81"}, {0xDF, "\xEF\xAC\x82"},
        {0xF0, "\xEF\xA3\xBF"}, {0xFF, "\xCB\x87"},
    };
    for (const auto& [byte, utf8] : cases) EXPECT_EQ(transcode(kMac, 0, 1, {byte}), utf8) << +byte;
}

TEST(TranscodeMacRoman, HighHalfMapsToDistinctNonAsciiCodePoints) {
    Bytes high;
    for (int b = 0x80; b <= 0xFF; ++b) high.push_back(static_cast<FT_Byte>(b));
    const auto text = decodeUtf8(transcode(kMac, 0, 1, high).value());
    ASSERT_TRUE(text.has_value());
    const std::set<char32_t> distinct(text->begin(), text->end());
    EXPECT_EQ(distinct.size(), 128u);
    EXPECT_GE(*distinct.begin(), 0x80u);
}

TEST(TranscodeMacRoman, WholeHighHalfMatchesPythonsMacRomanCodec) {
    Bytes high;
    for (int byte = 0x80; byte <= 0xFF; ++byte) high.push_back(static_cast<FT_Byte>(byte));
    EXPECT_EQ(transcode(kMac, 0, 1, high), readFile(fixturePath("tables/mac_roman.txt")));
}

TEST(TranscodeEmpty, EmptyRecordOfEveryDecodableKindIsEmptyText) {
    const FT_UShort kinds[][3] = {{kUnicode, 3, 0}, {kWindows, 1, 0x0409}, {kWindows, 10, 0},
                                  {kIso, 0, 0},     {kIso, 1, 0},          {kIso, 2, 0},
                                  {kMac, 0, 0},     {kMac, 0, 1},          {kMac, 0, 0x0409}};
    for (const auto& k : kinds) EXPECT_EQ(transcode(k[0], k[1], k[2], {}), "") << k[0] << k[1];
}

TEST(TranscodeEmpty, LengthBeyondIntIsEmptyText) {
    FT_SfntName name{};
    name.platform_id = kWindows;
    name.encoding_id = 1;
    name.string_len = 0x80000000u;  // negative as an int; the string is never read
    MallocPtr<FcChar8> text(zySfntNameTranscode(&name));
    ASSERT_TRUE(text);
    EXPECT_EQ(text.get()[0], '\0');
}

TEST(TranscodeUtf16, OddLengthGivesNull) {
    EXPECT_EQ(transcode(kWindows, 1, 0x0409, {0x00, 0x41, 0x00}), std::nullopt);
}

TEST(TranscodeUtf16, SurrogatePairBecomesOneFourByteCharacter) {
    EXPECT_EQ(transcode(kWindows, 10, 0x0409, {0xD8, 0x3D, 0xDE, 0x00}), "\xF0\x9F\x98\x80");
}

TEST(TranscodeUtf16, UnpairedSurrogatesGiveNull) {
    const Bytes cases[] = {{0xDC, 0x00},
                           {0x00, 0x41, 0xDF, 0xFF, 0x00, 0x42},
                           {0x00, 0x41, 0xD8, 0x3D},
                           {0xD8, 0x3D, 0x00, 0x41}};
    for (const Bytes& bytes : cases) EXPECT_EQ(transcode(kWindows, 1, 0x0409, bytes), std::nullopt);
}

TEST(TranscodeEmbeddedNul, NulIsCopiedSoTheCStringEndsThere) {
    MallocPtr<FcChar8> utf16 = transcodeRaw(kWindows, 1, 0x0409, {0, 'A', 0, 0, 0, 'B'});
    ASSERT_TRUE(utf16);
    EXPECT_EQ(0, memcmp(utf16.get(), "A\0B", 4));
    MallocPtr<FcChar8> roman = transcodeRaw(kMac, 0, 0, {'A', 0, 'B'});
    ASSERT_TRUE(roman);
    EXPECT_EQ(0, memcmp(roman.get(), "A\0B", 4));
}

// Random records of each decodable kind: whatever comes back is strict UTF-8 within the buffer
// bound of its decoder.
TEST(TranscodeProperty, ResultIsStrictUtf8WithinTheBufferBound) {
    struct Kind {
        FT_UShort platform, encoding, language;
        size_t unitBytes, boundPerUnit;  // the decoder's buffer bytes per unit, NUL excluded
    };
    const Kind kinds[] = {{kWindows, 1, 0x0409, 2, 6}, {kIso, 2, 0, 1, 2}, {kMac, 0, 1, 1, 3}};
    std::mt19937 random(20240611);
    for (const Kind& kind : kinds) {
        int decoded = 0;
        for (int round = 0; round < 4000; ++round) {
            Bytes bytes(random() % 24 / kind.unitBytes * kind.unitBytes);
            for (FT_Byte& b : bytes) b = static_cast<FT_Byte>(random());
            // Steer a quarter of the UTF-16 units into the surrogate range, or pairs would be rare.
            for (size_t i = 0; kind.unitBytes == 2 && i < bytes.size(); i += 2)
                if (random() % 4 == 0) bytes[i] = static_cast<FT_Byte>(0xD8 + random() % 8);
            const size_t bound = bytes.size() / kind.unitBytes * kind.boundPerUnit;
            const auto text = transcode(kind.platform, kind.encoding, kind.language, bytes);
            if (!text) continue;
            ++decoded;
            EXPECT_TRUE(decodeUtf8(*text).has_value()) << kind.platform;
            EXPECT_LE(text->size(), bound) << kind.platform;
        }
        EXPECT_GT(decoded, 400) << kind.platform;  // the check must not pass vacuously
    }
}

TEST(StrictUtf8Validator, RejectsWhatTheTranscoderMustNeverProduce) {
    EXPECT_FALSE(decodeUtf8("\xED\xB0\x80"));      // U+DC00
    EXPECT_FALSE(decodeUtf8("\xC0\x80"));          // overlong NUL
    EXPECT_FALSE(decodeUtf8("\xE0\x80\xAF"));      // overlong '/'
    EXPECT_FALSE(decodeUtf8("\xF0\x82\x82\xAC"));  // overlong U+20AC
    EXPECT_FALSE(decodeUtf8("\xF4\x90\x80\x80"));  // U+110000
    EXPECT_FALSE(decodeUtf8("\xE2\x82"));          // truncated
    EXPECT_TRUE(decodeUtf8("A\xC3\xA9\xF0\x9F\x98\x80"));
}

TEST(ValueNames, WeightRangesAreInclusiveAndCoverEveryInt) {
    const std::pair<int, const char*> cases[] = {
        {INT_MIN, "Invisible"}, {-1, "Invisible"},       {0, "Thin"},
        {39, "Thin"},           {40, "ExtraLight"},      {49, "ExtraLight"},
        {50, "Light"},          {79, "Light"},           {80, "Normal"},
        {99, "Normal"},         {100, "Medium"},         {179, "Medium"},
        {180, "SemiBold"},      {199, "SemiBold"},       {200, "Bold"},
        {204, "Bold"},          {205, "ExtraBold"},      {209, "ExtraBold"},
        {210, "Black"},         {214, "Black"},          {215, "ExtraBlack"},
        {1000, "ExtraBlack"},   {INT_MAX, "ExtraBlack"},
    };
    for (const auto& [weight, name] : cases)
        EXPECT_STREQ(convertWeightTostring(weight), name) << weight;
}

TEST(ValueNames, WidthNamesOnlyExactPercentages) {
    const std::pair<int, const char*> cases[] = {
        {50, "UltraCondensed"}, {62, "Normal"},         {63, "ExtraCondensed"},
        {64, "Normal"},         {75, "Condensed"},      {87, "SemiCondensed"},
        {88, "Normal"},         {100, "Normal"},        {113, "SemiExpanded"},
        {125, "Expanded"},      {150, "ExtraExpanded"}, {200, "UltraExpanded"},
        {5, "Normal"},
    };
    for (const auto& [width, name] : cases)
        EXPECT_STREQ(convertWidthToString(width), name) << width;
}

TEST(ValueNames, SlantNamesOnlyItalicAndOblique) {
    EXPECT_STREQ(convertStyleToString(0), "Normal");
    EXPECT_STREQ(convertStyleToString(100), "Italic");
    EXPECT_STREQ(convertStyleToString(105), "Normal");
    EXPECT_STREQ(convertStyleToString(110), "Oblique");
}
