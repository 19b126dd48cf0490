#include "fontset/CharacterMap.h"

#include <algorithm>
#include <string_view>

CharacterMap::CharacterMap(const FcCharSet* set) {
    if (set == nullptr) return;
    Leaf leaf;
    FcChar32 next = 0;
    for (FcChar32 base = FcCharSetFirstPage(set, leaf.data(), &next); base != FC_CHARSET_DONE;
         base = FcCharSetNextPage(set, leaf.data(), &next)) {
        if (std::all_of(leaf.begin(), leaf.end(), [](uint32_t bits) { return bits == 0; })) {
            continue;
        }
        pages_.push_back(base >> 8);
        leaves_.push_back(leaf);
    }
}

bool CharacterMap::has(char32_t character) const {
    const auto page = std::lower_bound(pages_.begin(), pages_.end(), character >> 8);
    if (page == pages_.end() || *page != character >> 8) return false;
    const Leaf& leaf = leaves_[page - pages_.begin()];
    return (leaf[(character & 0xFF) >> 5] >> (character & 0x1F) & 1) != 0;
}

bool CharacterMap::hasAll(const std::u32string& characters) const {
    return std::all_of(characters.begin(), characters.end(),
                       [this](char32_t character) { return has(character); });
}

uint64_t CharacterMap::hash() const {
    // Pages and leaves are plain words, without padding: their bytes are their values.
    const std::string_view bits(reinterpret_cast<const char*>(leaves_.data()),
                                leaves_.size() * sizeof(Leaf));
    const std::string_view pages(reinterpret_cast<const char*>(pages_.data()),
                                 pages_.size() * sizeof(uint32_t));
    return std::hash<std::string_view>()(bits) * 31 + std::hash<std::string_view>()(pages);
}

std::shared_ptr<const CharacterMap> CharacterMaps::of(const FcPattern* pattern) {
    FcCharSet* set = nullptr;  // borrowed from the pattern
    if (FcPatternGetCharSet(pattern, FC_CHARSET, 0, &set) != FcResultMatch) set = nullptr;
    auto map = std::make_shared<const CharacterMap>(set);
    std::vector<std::shared_ptr<const CharacterMap>>& sameHash = known_[map->hash()];
    for (const std::shared_ptr<const CharacterMap>& known : sameHash) {
        if (*known == *map) return known;
    }
    sameHash.push_back(map);
    return map;
}
