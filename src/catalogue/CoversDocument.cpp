#include "catalogue/CoversDocument.h"

#include <unordered_map>
#include <utility>

#include "VornFontAgent.h"
#include "catalogue/CatalogueCache.h"
#include "fontset/CharacterMap.h"

namespace {

// One family of the plain document, as convertToJson writes it: nlohmann writes an object's
// members in the order of their names, so "childList" comes first and the other members follow
// its array.
void writePlainFamily(const Typeface& typeface, std::string& out, const FaceWritten& onFace) {
    out += "{\"childList\":[";
    for (size_t i = 0; i < typeface.childList.size(); ++i) {
        if (i > 0) out += ',';
        const size_t begin = out.size();
        out += faceToJson(typeface.childList[i], typeface.isVariation).dump();
        onFace(typeface.childList[i], begin, out.size());
    }
    out += "],";
    nlohmann::json others = typeface;
    others.erase("childList");
    out.append(others.dump(), 1, std::string::npos);
}

// Records the pieces while a document is written.
class PieceRecorder {
  public:
    PieceRecorder(const FaceFactsTable& facts, DocumentPieces& pieces)
        : facts_(facts), pieces_(pieces) {}

    void face(const TypefaceItem& item, size_t begin, size_t end) {
        const auto known = facts_.find({item.file, item.faceIndex});
        const CharacterMap* map = known != facts_.end() ? known->second.characters.get() : nullptr;
        const auto [index, added] =
            mapIndex_.try_emplace(map, static_cast<uint32_t>(pieces_.maps.size()));
        if (added) pieces_.maps.push_back(map != nullptr ? known->second.characters : nullptr);
        pieces_.faces.push_back(DocumentPieces::Face{begin, end, index->second});
    }

    template <typename WriteFamily>
    void family(const Typeface& typeface, std::string& out, WriteFamily& write) {
        DocumentPieces::Family family{out.size(), 0, pieces_.faces.size(), 0};
        write(typeface, out);
        family.end = out.size();
        family.faceCount = pieces_.faces.size() - family.firstFace;
        pieces_.families.push_back(family);
    }

  private:
    const FaceFactsTable& facts_;
    DocumentPieces& pieces_;
    std::unordered_map<const CharacterMap*, uint32_t> mapIndex_;
};

}  // namespace

std::string writePieces(ResultSet* families, const CatalogueDetails* details,
                        const FaceFactsTable& facts, DocumentPieces& pieces, int& nErrorCode) {
    PieceRecorder recorder(facts, pieces);
    const FaceWritten onFace = [&recorder](const TypefaceItem& item, size_t begin, size_t end) {
        recorder.face(item, begin, end);
    };
    std::function<void(const Typeface&, std::string&)> write =
        details != nullptr ? detailedFamilyWriter(*details, onFace)
                           : [&onFace](const Typeface& typeface, std::string& out) {
                                 writePlainFamily(typeface, out, onFace);
                             };
    std::string text = VornFontAgent::writeFamilies(
        families, nErrorCode,
        [&](const Typeface& typeface, std::string& out) { recorder.family(typeface, out, write); });
    if (nErrorCode != 0) pieces = DocumentPieces{};
    return text;
}

std::string coveringText(const DocumentPieces& pieces, const std::u32string& characters) {
    const std::string& text = pieces.whole->reply.body;
    // Most faces share their map with others: each map is asked once.
    enum Verdict : char { kUnknown, kCovers, kLacks };
    std::vector<Verdict> verdicts(pieces.maps.size(), kUnknown);
    const auto covers = [&](const DocumentPieces::Face& face) {
        Verdict& verdict = verdicts[face.map];
        if (verdict == kUnknown) {
            const CharacterMap* map = pieces.maps[face.map].get();
            verdict = map != nullptr && map->hasAll(characters) ? kCovers : kLacks;
        }
        return verdict == kCovers;
    };

    std::string out = "[";
    std::vector<const DocumentPieces::Face*> kept;
    for (const DocumentPieces::Family& family : pieces.families) {
        kept.clear();
        for (size_t i = family.firstFace; i < family.firstFace + family.faceCount; ++i) {
            if (covers(pieces.faces[i])) kept.push_back(&pieces.faces[i]);
        }
        if (kept.empty()) continue;
        if (out.size() > 1) out += ',';
        const size_t headEnd = pieces.faces[family.firstFace].begin;
        const size_t tailBegin = pieces.faces[family.firstFace + family.faceCount - 1].end;
        out.append(text, family.begin, headEnd - family.begin);
        for (size_t k = 0; k < kept.size(); ++k) {
            if (k > 0) out += ',';
            out.append(text, kept[k]->begin, kept[k]->end - kept[k]->begin);
        }
        out.append(text, tailBegin, family.end - tailBegin);
    }
    out += ']';
    return out;
}
