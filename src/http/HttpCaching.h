// Validators for the replies (ETag, Last-Modified) and the If-None-Match check, so that a
// browser revalidates a font or the catalogue with "Cache-Control: no-cache" and gets 304
// instead of the bytes again.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <event2/util.h>

#include "fontset/FileIdentity.h"

namespace Http {

// Every use is revalidated, so a page never draws a font or lists a catalogue that is stale.
constexpr const char* kCacheControl = "no-cache";

// 64-bit FNV-1a: a change of any input byte changes the tag; not meant to resist forgery,
// since whoever can forge a tag can fetch the bytes anyway.
class TagHash {
  public:
    TagHash& add(const void* data, size_t size) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < size; ++i) value_ = (value_ ^ bytes[i]) * 0x100000001b3ull;
        return *this;
    }
    template <typename T>
    TagHash& addValue(T value) {
        static_assert(std::is_integral<T>::value, "hash integers one by one, no padding");
        const uint64_t wide = static_cast<uint64_t>(value);
        return add(&wide, sizeof wide);
    }
    // A strong entity tag, quoted as it goes in the header; the prefix keeps the tags of
    // different kinds of reply apart.
    std::string tag(char kind) const {
        char text[24];
        snprintf(text, sizeof text, "\"%c%016llx\"", kind, static_cast<unsigned long long>(value_));
        return text;
    }

  private:
    uint64_t value_ = 0xcbf29ce484222325ull;
};

// A font file's tag: the same file keeps it, anything else gives another. Hashed, so that no
// inode or device number reaches a page.
inline TagHash fileHash(const FileIdentity& file) {
    const std::string key = file.key();
    return TagHash().add(key.data(), key.size());
}

inline std::string fileEntityTag(const FileIdentity& file) { return fileHash(file).tag('f'); }

// A face or subset of a file: the file's tag and the parameters that chose the face.
inline std::string faceEntityTag(const FileIdentity& file, uint32_t face, const std::string* text) {
    TagHash hash = fileHash(file);
    hash.addValue(face).addValue(text != nullptr ? text->size() + 1 : 0);
    if (text != nullptr) hash.add(text->data(), text->size());
    return hash.tag('w');
}

// A font menu's tag: the catalogue's validator and the parameters that chose the window (or
// the families picked) and the text (`count` 0 for "every family").
inline std::string menuEntityTag(const std::string& catalogue, uint32_t from, uint32_t count,
                                 const std::string* text,
                                 const std::vector<uint32_t>* picked = nullptr) {
    TagHash hash;
    hash.add(catalogue.data(), catalogue.size()).addValue(from).addValue(count);
    hash.addValue(text != nullptr ? text->size() + 1 : 0);
    if (text != nullptr) hash.add(text->data(), text->size());
    // Hashed only when given, so that a window's tag stays what it was.
    if (picked != nullptr) {
        hash.addValue(picked->size());
        for (const uint32_t family : *picked) hash.addValue(family);
    }
    return hash.tag('m');
}

// The tag of a catalogue restricted to the faces that map every one of `characters` (distinct,
// in order): the whole document's validator and the characters. Texts with the same characters
// give the same document, and the same tag.
inline std::string coversEntityTag(const std::string& catalogue, const std::u32string& characters) {
    TagHash hash;
    hash.add(catalogue.data(), catalogue.size()).addValue(characters.size());
    for (const char32_t character : characters) hash.addValue(character);
    return hash.tag('v');
}

// A reply body's tag: equal bodies, equal tags.
inline std::string contentEntityTag(std::string_view body) {
    return TagHash().add(body.data(), body.size()).tag('c');
}

// An IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT"), whatever the agent's locale.
inline std::string httpDate(time_t seconds) {
    struct tm utc;
    char text[40];
    if (gmtime_r(&seconds, &utc) == nullptr) return std::string();
    const int n = evutil_date_rfc1123(text, sizeof text, &utc);
    return n > 0 && static_cast<size_t>(n) < sizeof text ? std::string(text, n) : std::string();
}

// True when an If-None-Match value names `tag` (weak comparison, RFC 9110 13.1.2: a "W/" prefix
// does not count) or is "*".
inline bool noneMatchNames(const char* header, const std::string& tag) {
    if (header == nullptr) return false;
    const char* p = header;
    while (*p != '\0') {
        while (*p == ' ' || *p == '\t' || *p == ',') ++p;
        if (*p == '*') return true;
        if (strncmp(p, "W/", 2) == 0) p += 2;
        const char* end = *p == '"' ? strchr(p + 1, '"') : nullptr;
        if (end == nullptr) return false;  // not an entity tag: nothing further can be trusted
        ++end;
        if (static_cast<size_t>(end - p) == tag.size() &&
            tag.compare(0, tag.size(), p, end - p) == 0)
            return true;
        p = end;
    }
    return false;
}

}  // namespace Http
