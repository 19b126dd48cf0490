// Cutting a face out of a collection, and subsetting a face for a text with hb-subset.
#include "webface/Sfnt.h"

#include <endian.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/Ownership.h"
#include "core/Utf8.h"

namespace {

constexpr uint32_t tagOf(const char (&name)[5]) {
    return static_cast<uint32_t>(static_cast<unsigned char>(name[0])) << 24 |
           static_cast<uint32_t>(static_cast<unsigned char>(name[1])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(name[2])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(name[3]));
}

constexpr uint32_t kCollectionTag = tagOf("ttcf");
// TrueType, CFF, and Apple's TrueType tag, which HarfBuzz and the browsers' sanitizer accept.
constexpr uint32_t kSfntVersions[] = {0x00010000, tagOf("OTTO"), tagOf("true")};
constexpr uint32_t kCffTables[] = {tagOf("CFF "), tagOf("CFF2")};
// A face draws from one of these. One with only EBDT bitmaps would lose every glyph: hb-subset
// drops EBDT.
constexpr uint32_t kDrawingTables[] = {tagOf("glyf"), tagOf("CFF "), tagOf("CFF2"), tagOf("CBDT"),
                                       tagOf("sbix")};
// Glyph data HarfBuzz 6.0 cannot subset and drops, which would change how the face draws.
constexpr uint32_t kUnsubsettableTables[] = {tagOf("SVG ")};
constexpr uint32_t kHead = tagOf("head");
constexpr uint32_t kKern = tagOf("kern");

constexpr size_t kCollectionHeader = 12;   // tag, version, numFonts; then the offsets
constexpr size_t kDirectoryHeader = 12;    // sfntVersion, numTables, search fields
constexpr size_t kTableRecord = 16;        // tag, checksum, offset, length
constexpr size_t kCheckSumAdjustment = 8;  // within head
constexpr uint32_t kCheckSumMagic = 0xB1B0AFBA;

// Big-endian fields; callers have checked that the bytes are there.
uint16_t read16(std::string_view d, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(d[at]) << 8 |
                                 static_cast<unsigned char>(d[at + 1]));
}
uint32_t read32(std::string_view d, size_t at) {
    return static_cast<uint32_t>(read16(d, at)) << 16 | read16(d, at + 2);
}
void write32(std::string& d, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) d[at + i] = static_cast<char>(value >> (24 - 8 * i));
}
void append16(std::string& d, uint32_t value) {
    d.push_back(static_cast<char>(value >> 8));
    d.push_back(static_cast<char>(value));
}
void append32(std::string& d, uint32_t value) {
    append16(d, value >> 16);
    append16(d, value & 0xFFFF);
}

size_t padded(size_t length) { return (length + 3) & ~size_t{3}; }

// The sum of big-endian 32-bit words; `bytes` is padded to a multiple of four. Word loads
// instead of read32's bytes: a CJK face is 16 MB.
uint32_t checksumOf(std::string_view bytes) {
    uint32_t sum = 0;
    for (size_t at = 0; at + 4 <= bytes.size(); at += 4) {
        uint32_t word;
        memcpy(&word, bytes.data() + at, 4);
        sum += be32toh(word);
    }
    return sum;
}

template <size_t N>
bool isOneOf(uint32_t tag, const uint32_t (&tags)[N]) {
    return std::find(std::begin(tags), std::end(tags), tag) != std::end(tags);
}

struct TableRecord {
    uint32_t tag;
    uint32_t offset;
    uint32_t length;
};

// The table directory at `at`, sorted by tag, when it and every table it names lie inside the
// file and no tag repeats; empty otherwise.
std::optional<std::vector<TableRecord>> readDirectory(std::string_view font, size_t at) {
    if (at > font.size() || font.size() - at < kDirectoryHeader) return std::nullopt;
    if (!isOneOf(read32(font, at), kSfntVersions)) return std::nullopt;
    const size_t count = read16(font, at + 4);
    if ((font.size() - at - kDirectoryHeader) / kTableRecord < count) return std::nullopt;
    std::vector<TableRecord> tables;
    tables.reserve(count);
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        const size_t record = at + kDirectoryHeader + i * kTableRecord;
        const TableRecord table{read32(font, record), read32(font, record + 8),
                                read32(font, record + 12)};
        if (table.offset > font.size() || table.length > font.size() - table.offset) {
            return std::nullopt;
        }
        total += table.length;
        tables.push_back(table);
    }
    // One face's tables are distinct parts of the file, so together they cannot be longer than
    // it; a crafted directory naming the whole file 65,535 times would make a huge copy.
    if (total > font.size()) return std::nullopt;
    std::sort(tables.begin(), tables.end(),
              [](const TableRecord& a, const TableRecord& b) { return a.tag < b.tag; });
    const bool repeats = std::adjacent_find(tables.begin(), tables.end(),
                                            [](const TableRecord& a, const TableRecord& b) {
                                                return a.tag == b.tag;
                                            }) != tables.end();
    if (repeats) return std::nullopt;
    return tables;
}

// Where face `index`'s table directory starts.
std::optional<size_t> directoryOffset(std::string_view font, uint32_t index) {
    if (index >= faceCountOf(font)) return std::nullopt;
    if (!isCollection(font)) return 0;
    return read32(font, kCollectionHeader + size_t{4} * index);
}

std::optional<std::vector<TableRecord>> faceDirectory(std::string_view font, uint32_t index) {
    const std::optional<size_t> at = directoryOffset(font, index);
    return at ? readDirectory(font, *at) : std::nullopt;
}

// The directory's search fields: searchRange is 16 × the largest power of two ≤ count.
void appendDirectoryHeader(std::string& out, uint32_t version, size_t count) {
    uint32_t log2 = 0;
    while ((size_t{2} << log2) <= count) ++log2;
    const uint32_t searchRange = (uint32_t{1} << log2) * kTableRecord;
    append32(out, version);
    append16(out, static_cast<uint32_t>(count));
    append16(out, searchRange);
    append16(out, log2);
    append16(out, static_cast<uint32_t>(count * kTableRecord) - searchRange);
}

// --- Subsetting ---------------------------------------------------------------------------

bool hasTable(hb_face_t* face, uint32_t tag) {
    HbBlobPtr table(hb_face_reference_table(face, tag));
    return hb_blob_get_length(table.get()) > 0;
}

template <size_t N>
bool hasAnyTable(hb_face_t* face, const uint32_t (&tags)[N]) {
    return std::any_of(std::begin(tags), std::end(tags),
                       [face](uint32_t tag) { return hasTable(face, tag); });
}

// HarfBuzz shapes with a legacy kern table only when GPOS has no kern feature (as browsers do).
bool kernsWithKernTable(hb_face_t* face) {
    if (!hasTable(face, kKern)) return false;
    hb_tag_t features[64];
    unsigned start = 0;
    while (true) {
        unsigned count = 64;
        hb_ot_layout_table_get_feature_tags(face, HB_OT_TAG_GPOS, start, &count, features);
        if (std::find(features, features + count, kKern) != features + count) return false;
        if (count < 64) return true;
        start += count;
    }
}

// Canonical decompositions nest a few levels deep at most, so the recursion is shallow.
void addDecomposed(hb_set_t* set, hb_unicode_funcs_t* unicode, hb_codepoint_t cp) {
    hb_set_add(set, cp);
    hb_codepoint_t a = 0, b = 0;
    if (!hb_unicode_decompose(unicode, cp, &a, &b)) return;
    addDecomposed(set, unicode, a);
    if (b != 0) addDecomposed(set, unicode, b);
}

// The text's characters plus those the shaper may draw them with instead: it composes a base
// and its marks when the face has the composed character and decomposes one it lacks, mirrors
// brackets in right-to-left runs, and draws a space the face lacks with its U+0020.
void addCodePoints(hb_set_t* set, std::string_view text) {
    hb_unicode_funcs_t* unicode = hb_unicode_funcs_get_default();  // static, not owned
    hb_codepoint_t starter = HB_SET_VALUE_INVALID;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        // The text is valid UTF-8, so the lead byte gives the length.
        const size_t length = s[i] < 0x80 ? 1 : s[i] < 0xE0 ? 2 : s[i] < 0xF0 ? 3 : 4;
        hb_codepoint_t cp = length == 1 ? s[i] : s[i] & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) cp = (cp << 6) | (s[i + k] & 0x3F);
        i += length;

        addDecomposed(set, unicode, cp);
        hb_set_add(set, hb_unicode_mirroring(unicode, cp));
        if (hb_unicode_general_category(unicode, cp) == HB_UNICODE_GENERAL_CATEGORY_SPACE_SEPARATOR)
            hb_set_add(set, ' ');
        hb_codepoint_t composed = 0;
        if (starter != HB_SET_VALUE_INVALID &&
            hb_unicode_compose(unicode, starter, cp, &composed)) {
            addDecomposed(set, unicode, composed);
            starter = composed;
        } else if (hb_unicode_combining_class(unicode, cp) ==
                   HB_UNICODE_COMBINING_CLASS_NOT_REORDERED) {
            starter = cp;
        }
    }
}

// What hb-subset keeps beyond its defaults, so that the subset draws as the whole face does.
void configureInput(hb_subset_input_t* input, hb_face_t* face, std::string_view text) {
    hb_set_t* unicodes = hb_subset_input_unicode_set(input);
    addCodePoints(unicodes, text);
    // A subset that maps no character has a cmap without subtables, which browsers refuse.
    // When the face draws none of the text (an icon font asked for its name), it keeps its
    // first character: the text then falls back to another font, as with the whole face.
    HbSetPtr mapped(hb_set_create());
    hb_face_collect_unicodes(face, mapped.get());
    HbSetPtr drawn(hb_set_copy(unicodes));
    hb_set_intersect(drawn.get(), mapped.get());
    if (hb_set_is_empty(drawn.get()) && !hb_set_is_empty(mapped.get())) {
        hb_set_add(unicodes, hb_set_get_min(mapped.get()));
    }

    // By default hb-subset keeps only the features browsers turn on by themselves; a page may
    // turn on any other (font-feature-settings, font-variant-*), so keep every one. On Noto
    // Sans CJK this grows a nine-character subset from 7 to 12 KB.
    hb_set_t* features = hb_subset_input_set(input, HB_SUBSET_SETS_LAYOUT_FEATURE_TAG);
    hb_set_clear(features);
    hb_set_invert(features);

    // Glyph 0 keeps its outline, so what the shaper maps to it draws as in the whole face. Names
    // stay hb-subset's default (IDs 0-6 and those fvar and STAT name, in English): the license
    // text would double a Latin subset, and the page is on the machine that has the whole font.
    unsigned flags = HB_SUBSET_FLAGS_NOTDEF_OUTLINE;
    if (kernsWithKernTable(face)) {
        // HarfBuzz 6.0 cannot subset a legacy kern table and drops it. Copied unchanged, it is
        // still right when every glyph keeps its id: the glyphs left out become empty.
        flags |= HB_SUBSET_FLAGS_RETAIN_GIDS;
        hb_set_del(hb_subset_input_set(input, HB_SUBSET_SETS_DROP_TABLE_TAG), kKern);
        hb_set_add(hb_subset_input_set(input, HB_SUBSET_SETS_NO_SUBSET_TABLE_TAG), kKern);
    }
    hb_subset_input_set_flags(input, flags);
}

bool hasCffOutlines(const std::vector<TableRecord>& tables) {
    return std::any_of(tables.begin(), tables.end(),
                       [](const TableRecord& t) { return isOneOf(t.tag, kCffTables); });
}

}  // namespace

bool isCollection(std::string_view font) {
    return font.size() >= kCollectionHeader && read32(font, 0) == kCollectionTag;
}

uint32_t faceCountOf(std::string_view font) {
    if (isCollection(font)) {
        const uint32_t count = read32(font, 8);
        const bool offsetsFit = (font.size() - kCollectionHeader) / 4 >= count;
        return offsetsFit ? count : 0;
    }
    return readDirectory(font, 0) ? 1 : 0;
}

std::optional<std::string> cutFace(std::string_view font, uint32_t index) {
    if (!isCollection(font)) return std::nullopt;
    const std::optional<size_t> at = directoryOffset(font, index);
    if (!at) return std::nullopt;
    const std::optional<std::vector<TableRecord>> tables = readDirectory(font, *at);
    if (!tables) return std::nullopt;
    const auto head = std::find_if(tables->begin(), tables->end(),
                                   [](const TableRecord& t) { return t.tag == kHead; });
    if (head == tables->end() || head->length < kCheckSumAdjustment + 4) return std::nullopt;

    std::string out;
    size_t size = kDirectoryHeader + kTableRecord * tables->size();
    for (const TableRecord& table : *tables) size += padded(table.length);
    out.reserve(size);
    appendDirectoryHeader(out, read32(font, *at), tables->size());
    out.resize(kDirectoryHeader + kTableRecord * tables->size());
    size_t headAt = 0;
    for (size_t i = 0; i < tables->size(); ++i) {
        const TableRecord& table = (*tables)[i];
        const size_t offset = out.size();
        out.append(font.substr(table.offset, table.length));
        out.resize(offset + padded(table.length), '\0');
        if (table.tag == kHead) {
            headAt = offset;
            write32(out, offset + kCheckSumAdjustment, 0);  // summed as zero, set below
        }
        const size_t record = kDirectoryHeader + kTableRecord * i;
        write32(out, record, table.tag);
        write32(out, record + 4, checksumOf(std::string_view(out).substr(offset)));
        write32(out, record + 8, static_cast<uint32_t>(offset));
        write32(out, record + 12, table.length);
    }
    write32(out, headAt + kCheckSumAdjustment, kCheckSumMagic - checksumOf(out));
    return out;
}

bool isAcceptableSubsetText(std::string_view text) {
    const std::optional<size_t> characters = utf8Length(text);
    return !text.empty() && characters && *characters <= kMaxSubsetTextCharacters;
}

// hb-subset bounds its own work: sanitizing a table, the layout closure and CFF charstring
// interpretation each stop after a fixed number of operations, so its cost follows the size of
// the face and of the text, both bounded here.
std::optional<FaceSubset> subsetFace(std::string_view font, uint32_t faceIndex,
                                     std::string_view text) {
    if (!isAcceptableSubsetText(text) || font.size() > kMaxSubsetInputBytes) return std::nullopt;
    if (!faceDirectory(font, faceIndex)) return std::nullopt;

    // Borrows the caller's bytes; HarfBuzz copies what it must change.
    HbBlobPtr blob(hb_blob_create(font.data(), static_cast<unsigned>(font.size()),
                                  HB_MEMORY_MODE_READONLY, nullptr, nullptr));
    HbFacePtr face(hb_face_create(blob.get(), faceIndex));
    if (!hasAnyTable(face.get(), kDrawingTables) || hasAnyTable(face.get(), kUnsubsettableTables))
        return std::nullopt;

    HbSubsetInputPtr input(hb_subset_input_create_or_fail());
    if (!input) return std::nullopt;
    configureInput(input.get(), face.get(), text);
    HbFacePtr subset(hb_subset_or_fail(face.get(), input.get()));
    if (!subset) return std::nullopt;
    HbBlobPtr bytes(hb_face_reference_blob(subset.get()));
    unsigned length = 0;
    const char* data = hb_blob_get_data(bytes.get(), &length);
    if (length == 0) return std::nullopt;

    FaceSubset result{std::string(data, length)};
    const std::optional<std::vector<TableRecord>> tables = readDirectory(result.bytes, 0);
    if (!tables) return std::nullopt;
    result.cff = hasCffOutlines(*tables);
    return result;
}

const char* fontContentType(std::string_view font, uint32_t faceIndex) {
    const std::optional<std::vector<TableRecord>> tables = faceDirectory(font, faceIndex);
    if (!tables) return nullptr;
    return hasCffOutlines(*tables) ? "font/otf" : "font/ttf";
}
