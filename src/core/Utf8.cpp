#include "core/Utf8.h"

#include <cstdint>

namespace {

// Walks `text`, handing each code point to `emit`; false at the first malformed sequence.
template <typename Emit>
bool walkUtf8(std::string_view text, Emit&& emit) {
    struct Lead {
        unsigned char mask, pattern, valueBits;
        size_t length;
        char32_t smallest;  // anything below is an overlong form
    };
    static constexpr Lead kLeads[] = {{0x80, 0x00, 0x7F, 1, 0},
                                      {0xE0, 0xC0, 0x1F, 2, 0x80},
                                      {0xF0, 0xE0, 0x0F, 3, 0x800},
                                      {0xF8, 0xF0, 0x07, 4, 0x10000}};
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const Lead* lead = nullptr;
        for (const Lead& candidate : kLeads) {
            if ((s[i] & candidate.mask) == candidate.pattern) {
                lead = &candidate;
                break;
            }
        }
        if (lead == nullptr || lead->length > n - i) return false;
        char32_t cp = s[i] & lead->valueBits;
        for (size_t k = 1; k < lead->length; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if (cp < lead->smallest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        emit(cp);
        i += lead->length;
    }
    return true;
}

}  // namespace

std::optional<std::u32string> decodeUtf8(std::string_view text) {
    std::u32string out;
    if (!walkUtf8(text, [&out](char32_t cp) { out.push_back(cp); })) return std::nullopt;
    return out;
}

std::optional<size_t> utf8Length(std::string_view text) {
    size_t count = 0;
    if (!walkUtf8(text, [&count](char32_t) { ++count; })) return std::nullopt;
    return count;
}

bool isValidUtf8(std::string_view text) {
    return walkUtf8(text, [](char32_t) {});
}
