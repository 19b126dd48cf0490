// The characters a face maps, as fontconfig's listing reports them (FC_CHARSET), copied out of
// its cache so that the cache need not stay mapped: a face answers "do you map every one of
// these characters?" without its file being opened.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <fontconfig/fontconfig.h>

class CharacterMap {
  public:
    // A copy of `set`; empty for null.
    explicit CharacterMap(const FcCharSet* set);

    // The answer FcCharSetHasChar gives for the set this was copied from.
    bool has(char32_t character) const;
    // True when every one of `characters` is mapped (and for none).
    bool hasAll(const std::u32string& characters) const;

    bool operator==(const CharacterMap& other) const {
        return pages_ == other.pages_ && leaves_ == other.leaves_;
    }
    uint64_t hash() const;

  private:
    // fontconfig's own layout: 256 characters a page, one bit each, pages in ascending order;
    // pages with no character are left out.
    using Leaf = std::array<uint32_t, FC_CHARSET_MAP_SIZE>;
    std::vector<uint32_t> pages_;  // character >> 8
    std::vector<Leaf> leaves_;     // one per page
};

// The maps of the faces seen so far, by their content: the faces of a family, or of a
// collection, mostly map the same characters, and share one copy.
class CharacterMaps {
  public:
    std::shared_ptr<const CharacterMap> of(const FcPattern* pattern);

  private:
    std::unordered_map<uint64_t, std::vector<std::shared_ptr<const CharacterMap>>> known_;
};
