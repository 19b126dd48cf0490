// The HTTP face of the agent: the request handler and the catalogue document writer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>

#include <event2/http.h>
#include <nlohmann/json.hpp>

#include "FontDescriptor.h"
#include "FontManagerLinux.h"
#include "util.h"

class Agent;
namespace Routes {
void dispatch(Agent& agent, evhttp_request* req);
}

// How the catalogue records appear in the document. A face's coordinates appear only in a
// variable family, so faces are written by their family.
inline void to_json(nlohmann::json& out, const Variation& variation) {
    out["key"] = variation.key;
    out["value"] = static_cast<double>(variation.value);
}

inline void to_json(nlohmann::json& out, const FamilyVariation& axis) {
    out["key"] = axis.tag;
    out["minValue"] = axis.minimum;
    out["maxValue"] = axis.maximum;
    out["defaultValue"] = axis.def;
}

inline nlohmann::json faceToJson(const TypefaceItem& item, bool isVariation) {
    nlohmann::json face;
    face["file"] = item.file;
    face["weight"] = convertWeightTostring(item.weight);
    face["width"] = convertWidthToString(item.width);
    face["slant"] = convertStyleToString(item.slant);
    face["postScript"] = item.postscript;
    if (isVariation) face["variations"] = item.variations;
    return face;
}

inline void to_json(nlohmann::json& out, const Typeface& typeface) {
    out["family"] = typeface.family;
    out["localName"] = typeface.localName;
    if (typeface.isVariation) {
        out["isVariation"] = true;
        out["variationRange"] = typeface.variationRange;
    }
    nlohmann::json faces = nlohmann::json::array();
    for (const TypefaceItem& item : typeface.childList) {
        faces.push_back(faceToJson(item, typeface.isVariation));
    }
    out["childList"] = std::move(faces);
}

// What the detailed document adds to the records: fontconfig's facts of each face and the size
// of each file.
struct CatalogueDetails {
    std::shared_ptr<const FaceFactsTable> faces;
    std::unordered_map<std::string, int64_t> fileSizes;
};

// A family of the detailed document: the plain family object with the details added to its
// faces and axes, so that every plain member stays exactly as it is.
inline nlohmann::json detailedFamilyJson(const Typeface& typeface,
                                         const CatalogueDetails& details) {
    nlohmann::json out = typeface;
    nlohmann::json& faces = out["childList"];
    for (size_t i = 0; i < typeface.childList.size(); ++i) {
        const TypefaceItem& item = typeface.childList[i];
        nlohmann::json& face = faces[i];
        face["index"] = item.faceIndex;
        if (item.namedInstance > 0) face["namedInstance"] = item.namedInstance;
        face["fullName"] = item.fullName;
        const auto facts = details.faces->find({item.file, item.faceIndex});
        const FaceFacts none;
        const FaceFacts& known = facts != details.faces->end() ? facts->second : none;
        face["languages"] = known.languages ? *known.languages : std::vector<std::string>();
        face["format"] = known.format;
        face["color"] = known.color;
        face["monospace"] = known.monospace;
        const auto size = details.fileSizes.find(item.file);
        face["fileSize"] = size != details.fileSizes.end() ? size->second : 0;
    }
    if (typeface.isVariation) {
        for (size_t k = 0; k < typeface.variationRange.size(); ++k) {
            out["variationRange"][k]["name"] = typeface.variationRange[k].name;
            out["variationRange"][k]["hidden"] = typeface.variationRange[k].hidden;
        }
    }
    return out;
}

namespace VornFontAgent {

using json = nlohmann::json;

// nlohmann's type_error id for a string that is not valid UTF-8.
constexpr int kInvalidUtf8Error = 316;

// Serialises the catalogue as one line of JSON. On failure returns "[]" and sets nErrorCode to the
// JSON library's error id (316: a string is not valid UTF-8); on success sets it to 0. Families
// are written one at a time into the same text a whole array would give, so that the tree of
// only one family exists at once beside the text.
template <typename FamilyToJson>
std::string writeFamilies(ResultSet* familes, int& nErrorCode, FamilyToJson&& familyToJson) {
    std::string text = "[";
    nErrorCode = 0;
    try {
        if (familes != nullptr) {
            for (const Typeface* typeface : *familes) {
                if (typeface == nullptr) continue;
                if (text.size() > 1) text += ',';
                text += familyToJson(*typeface).dump();
            }
        }
    } catch (const nlohmann::json::exception& e) {
        nErrorCode = e.id;
        printf("json throw an error:%s try to fix", e.what());
        return "[]";
    }
    return text + "]";
}

inline std::string convertToJson(ResultSet* familes, int& nErrorCode) {
    return writeFamilies(familes, nErrorCode,
                         [](const Typeface& typeface) { return json(typeface); });
}

// The same document with the details added (the catalogue route's "details=1").
inline std::string convertToDetailedJson(ResultSet* familes, const CatalogueDetails& details,
                                         int& nErrorCode) {
    return writeFamilies(familes, nErrorCode, [&details](const Typeface& typeface) {
        return detailedFamilyJson(typeface, details);
    });
}

struct CatalogueReply {
    int status;
    const char* reason;
    std::string body;
};

// The catalogue route's answer for one catalogue: its document (detailed when `details` is
// given), and the status that goes with it.
inline CatalogueReply makeCatalogueReply(ResultSet* pRes,
                                         const CatalogueDetails* details = nullptr) {
    int nErrorCode = 0;
    std::string jsonText = details != nullptr ? convertToDetailedJson(pRes, *details, nErrorCode)
                                              : convertToJson(pRes, nErrorCode);
    if (nErrorCode == kInvalidUtf8Error) return {204, "utf-8 error", std::move(jsonText)};
    return {200, "OK", std::move(jsonText)};
}

// The callback for every request; `arg` is the Agent whose state the routes use.
inline void httpd_handler(evhttp_request* req, void* arg) {
    Routes::dispatch(*static_cast<Agent*>(arg), req);
}

}  // namespace VornFontAgent
