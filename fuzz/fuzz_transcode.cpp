// Fuzzes zySfntNameTranscode: the first bytes choose the record's platform, encoding and
// language, the rest is the record's text. Aborts when a result is not strict UTF-8, is longer
// than the decoder's buffer bound, does not say what the record says, or when a record that is
// plainly decodable is refused.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Ownership.h"
#include "core/Utf8.h"
#include "util.h"

namespace {

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "fuzz_transcode: %s\n", what);
    abort();
}

void check(bool ok, const char* what) {
    if (!ok) fail(what);
}

// How the record's bytes are to be read, as far as this target knows it. Unknown kinds (the
// CJK code pages) are only held to the UTF-8 and length checks.
enum class Kind { Unknown, Utf16, Latin1, MacRoman };

bool looksLikeShiftJis(const std::vector<uint8_t>& bytes) {
    size_t high = 0;
    for (uint8_t b : bytes) high += (b & 0x80) != 0;
    return high * 2 > bytes.size() - high;
}

Kind kindOf(uint16_t platform, uint16_t encoding, uint16_t language,
            const std::vector<uint8_t>& bytes) {
    switch (platform) {
        case 0:  // Unicode platform, every encoding is UTF-16BE
            return Kind::Utf16;
        case 1:  // Macintosh: only Roman is decoded, and only when the language agrees
            if (encoding != 0) return Kind::Unknown;
            if (language == 0) return looksLikeShiftJis(bytes) ? Kind::Unknown : Kind::MacRoman;
            if (language < 0x100) return Kind::MacRoman;
            if (language == 0x409) return Kind::Latin1;
            return Kind::Unknown;
        case 2:  // ISO: 7-bit ASCII (read as Latin-1), 10646, 8859-1
            if (encoding == 0 || encoding == 2) return Kind::Latin1;
            if (encoding == 1) return Kind::Utf16;
            return Kind::Unknown;
        case 3:  // Windows: symbol, Unicode BMP and UCS-4 records are UTF-16BE
            if (encoding == 0 || encoding == 1 || encoding == 10) return Kind::Utf16;
            return Kind::Unknown;
        default:
            return Kind::Unknown;
    }
}

// Well-formed UTF-16BE: even length and every surrogate paired.
bool isWellFormedUtf16(const std::vector<uint8_t>& bytes) {
    if (bytes.size() % 2 != 0) return false;
    for (size_t i = 0; i < bytes.size(); i += 2) {
        const unsigned unit = (bytes[i] << 8) | bytes[i + 1];
        if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 3 >= bytes.size()) return false;
            const unsigned next = (bytes[i + 2] << 8) | bytes[i + 3];
            if (next < 0xDC00 || next > 0xDFFF) return false;
            i += 2;
        }
    }
    return true;
}

std::vector<uint8_t> encodeUtf16(const std::u32string& text) {
    std::vector<uint8_t> out;
    auto unit = [&out](unsigned u) {
        out.push_back(static_cast<uint8_t>(u >> 8));
        out.push_back(static_cast<uint8_t>(u & 0xFF));
    };
    for (char32_t cp : text) {
        if (cp >= 0x10000) {
            unit(0xD800 + ((cp - 0x10000) >> 10));
            unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            unit(cp);
        }
    }
    return out;
}

// The record's code units before its first NUL unit, as big-endian bytes.
std::vector<uint8_t> utf16BeforeNul(const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        if (bytes[i] == 0 && bytes[i + 1] == 0) break;
        out.push_back(bytes[i]);
        out.push_back(bytes[i + 1]);
    }
    return out;
}

std::vector<uint8_t> bytesBeforeNul(const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> out;
    for (uint8_t b : bytes) {
        if (b == 0) break;
        out.push_back(b);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    // Mostly the platforms, encodings and languages the transcoder knows, sometimes anything.
    const uint16_t platform = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint16_t>(0, 3)
                                               : in.ConsumeIntegral<uint16_t>();
    const uint16_t encoding = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint16_t>(0, 10)
                                               : in.ConsumeIntegral<uint16_t>();
    uint16_t language = 0;
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
        case 0:
            language = 0;
            break;
        case 1:
            language = in.ConsumeIntegralInRange<uint16_t>(1, 255);
            break;
        case 2:
            language = 0x409;
            break;
        case 3:
            language = 0x411;
            break;
        default:
            language = in.ConsumeIntegral<uint16_t>();
            break;
    }
    const std::vector<uint8_t> bytes = in.ConsumeRemainingBytes<uint8_t>();

    // A buffer of exactly the record's length, so that reading one byte past it is caught.
    const size_t len = bytes.size();
    std::unique_ptr<FT_Byte[]> text(new FT_Byte[len]);
    if (len != 0) memcpy(text.get(), bytes.data(), len);

    FT_SfntName name{};
    name.platform_id = platform;
    name.encoding_id = encoding;
    name.language_id = language;
    name.string = text.get();
    name.string_len = static_cast<FT_UInt>(len);

    MallocPtr<FcChar8> result(zySfntNameTranscode(&name));
    check(len == 0 || memcmp(text.get(), bytes.data(), len) == 0,
          "the record's bytes were written to");

    const Kind kind = kindOf(platform, encoding, language, bytes);
    if (!result) {
        // Refusing is only wrong for records whose bytes are plainly decodable.
        if (kind == Kind::Utf16) check(!isWellFormedUtf16(bytes), "well-formed UTF-16 refused");
        check(kind != Kind::Latin1, "Latin-1 record refused");
        check(kind != Kind::MacRoman, "Mac Roman record refused");
        return 0;
    }

    const auto* out = reinterpret_cast<const unsigned char*>(result.get());
    const size_t n = strlen(reinterpret_cast<const char*>(out));
    check(n <= 3 * len, "result longer than three bytes per input byte");
    const std::optional<std::u32string> decoded =
        decodeUtf8(std::string_view(reinterpret_cast<const char*>(out), n));
    check(decoded.has_value(), "result is not strict UTF-8");

    switch (kind) {
        case Kind::Utf16:
            check(2 * n <= 3 * len, "UTF-16 result longer than 3 bytes per code unit");
            check(encodeUtf16(*decoded) == utf16BeforeNul(bytes), "UTF-16 text altered");
            break;
        case Kind::Latin1: {
            check(n <= 2 * len, "Latin-1 result longer than 2 bytes per byte");
            const std::vector<uint8_t> expected = bytesBeforeNul(bytes);
            check(decoded->size() == expected.size(), "Latin-1 length altered");
            for (size_t i = 0; i < expected.size(); ++i)
                check((*decoded)[i] == expected[i], "Latin-1 text altered");
            break;
        }
        case Kind::MacRoman: {
            const std::vector<uint8_t> expected = bytesBeforeNul(bytes);
            check(decoded->size() == expected.size(), "Mac Roman length altered");
            for (size_t i = 0; i < expected.size(); ++i) {
                // ASCII stays itself; every high byte is some character above ASCII.
                if (expected[i] < 0x80)
                    check((*decoded)[i] == expected[i], "Mac Roman ASCII altered");
                else
                    check((*decoded)[i] >= 0x80, "Mac Roman high byte became ASCII");
            }
            break;
        }
        case Kind::Unknown:
            break;
    }
    return 0;
}
