// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF. The one validator the
// catalogue, the request parameters, the tests and the fuzzers all use.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The code points of `text`, or nullopt when it is not strict UTF-8.
std::optional<std::u32string> decodeUtf8(std::string_view text);
// How many code points `text` holds, or nullopt when it is not strict UTF-8.
std::optional<size_t> utf8Length(std::string_view text);
bool isValidUtf8(std::string_view text);
