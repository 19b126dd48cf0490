#include "catalogue/DetailedDocument.h"

#include <utility>
#include <vector>

#include "VornFontAgent.h"
#include "util.h"

namespace {

// One JSON object written member by member, in the order the members are given. Values are
// escaped and formatted by the JSON library, which also refuses text that is not UTF-8.
class ObjectText {
  public:
    explicit ObjectText(std::string& out) : out_(out) { out_ += '{'; }
    void close() { out_ += '}'; }

    // Starts a member; its value is written next, by the caller or by one of the calls below.
    std::string& member(const char* name) {
        out_ += first_ ? "\"" : ",\"";
        first_ = false;
        out_ += name;
        out_ += "\":";
        return out_;
    }
    void text(const char* name, const std::string& value) {
        member(name) += nlohmann::json(value).dump();
    }
    void integer(const char* name, int64_t value) { member(name) += std::to_string(value); }
    void number(const char* name, double value) { member(name) += nlohmann::json(value).dump(); }
    void boolean(const char* name, bool value) { member(name) += value ? "true" : "false"; }

  private:
    std::string& out_;
    bool first_ = true;
};

class DetailedFamilyWriter {
  public:
    explicit DetailedFamilyWriter(const CatalogueDetails& details, FaceWritten onFace = nullptr)
        : details_(details), onFace_(std::move(onFace)) {}

    void operator()(const Typeface& typeface, std::string& out) {
        ObjectText family(out);
        family.member("childList") += '[';
        for (size_t i = 0; i < typeface.childList.size(); ++i) {
            if (i > 0) out += ',';
            const size_t begin = out.size();
            writeFace(typeface.childList[i], typeface.isVariation, out);
            if (onFace_) onFace_(typeface.childList[i], begin, out.size());
        }
        out += ']';
        family.text("family", typeface.family);
        if (typeface.isVariation) family.boolean("isVariation", true);
        family.text("localName", typeface.localName);
        if (typeface.isVariation) {
            family.member("variationRange") += '[';
            for (size_t i = 0; i < typeface.variationRange.size(); ++i) {
                if (i > 0) out += ',';
                writeAxis(typeface.variationRange[i], out);
            }
            out += ']';
        }
        family.close();
    }

  private:
    void writeFace(const TypefaceItem& item, bool isVariation, std::string& out) {
        const auto facts = details_.faces->find({item.file, item.faceIndex});
        const FaceFacts none;
        const FaceFacts& known = facts != details_.faces->end() ? facts->second : none;
        const auto size = details_.fileSizes.find(item.file);
        ObjectText face(out);
        face.boolean("color", known.color);
        face.member("features") += featuresText(item.features.get());
        face.text("file", item.file);
        face.integer("fileSize", size != details_.fileSizes.end() ? size->second : 0);
        face.text("format", known.format);
        face.text("fullName", item.fullName);
        face.integer("index", item.faceIndex);
        face.member("languages") += languagesText(known.languages.get());
        face.boolean("monospace", known.monospace);
        if (item.namedInstance > 0) face.integer("namedInstance", item.namedInstance);
        face.text("postScript", item.postscript);
        face.text("slant", convertStyleToString(item.slant));
        if (isVariation) {
            face.member("variations") += '[';
            for (size_t i = 0; i < item.variations.size(); ++i) {
                if (i > 0) out += ',';
                ObjectText variation(out);
                variation.integer("key", item.variations[i].key);
                variation.number("value", static_cast<double>(item.variations[i].value));
                variation.close();
            }
            out += ']';
        }
        face.text("weight", convertWeightTostring(item.weight));
        face.text("width", convertWidthToString(item.width));
        face.close();
    }

    static void writeAxis(const FamilyVariation& axis, std::string& out) {
        ObjectText object(out);
        object.integer("defaultValue", axis.def);
        object.boolean("hidden", axis.hidden);
        object.integer("key", axis.tag);
        object.integer("maxValue", axis.maximum);
        object.integer("minValue", axis.minimum);
        object.text("name", axis.name);
        object.close();
    }

    // A few hundred distinct language lists are shared by thousands of faces: each is written
    // once.
    const std::string& languagesText(const std::vector<std::string>* list) {
        auto [known, added] = written_.try_emplace(list);
        if (added) known->second = list != nullptr ? nlohmann::json(*list).dump() : "[]";
        return known->second;
    }

    // Faces share their feature lists as they share language lists: each is written once.
    const std::string& featuresText(const std::vector<LayoutFeature>* list) {
        auto [known, added] = featuresWritten_.try_emplace(list);
        if (!added) return known->second;
        std::string& out = known->second;
        out = "[";
        for (size_t i = 0; list != nullptr && i < list->size(); ++i) {
            if (i > 0) out += ',';
            writeFeature((*list)[i], out);
        }
        out += ']';
        return out;
    }

    static void writeFeature(const LayoutFeature& feature, std::string& out) {
        const char tag[] = {static_cast<char>(feature.tag >> 24),
                            static_cast<char>(feature.tag >> 16),
                            static_cast<char>(feature.tag >> 8), static_cast<char>(feature.tag)};
        ObjectText object(out);
        if (!feature.name.empty()) object.text("name", feature.name);
        object.text("tag", std::string(tag, sizeof tag));
        object.close();
    }

    const CatalogueDetails& details_;
    FaceWritten onFace_;
    std::unordered_map<const std::vector<std::string>*, std::string> written_;
    std::unordered_map<const std::vector<LayoutFeature>*, std::string> featuresWritten_;
};

}  // namespace

std::string convertToDetailedJson(ResultSet* familes, const CatalogueDetails& details,
                                  int& nErrorCode) {
    return VornFontAgent::writeFamilies(familes, nErrorCode, DetailedFamilyWriter(details));
}

std::function<void(const Typeface&, std::string&)> detailedFamilyWriter(
    const CatalogueDetails& details, FaceWritten onFace) {
    return DetailedFamilyWriter(details, std::move(onFace));
}
