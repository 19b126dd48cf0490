// The HTTP face of the agent: the request handler and the catalogue document writer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include <event2/http.h>
#include <nlohmann/json.hpp>

#include "FontDescriptor.h"
#include "FontManagerLinux.h"
#include "util.h"

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

// A family's members other than its faces.
inline nlohmann::json familyWithoutFaces(const Typeface& typeface) {
    nlohmann::json out;
    out["family"] = typeface.family;
    out["localName"] = typeface.localName;
    if (typeface.isVariation) {
        out["isVariation"] = true;
        out["variationRange"] = typeface.variationRange;
    }
    return out;
}

inline void to_json(nlohmann::json& out, const Typeface& typeface) {
    out = familyWithoutFaces(typeface);
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

// Writes the families of the detailed document: the plain family object with the details added
// to its faces and axes, so that every plain member stays exactly as it is. The faces are most of
// the document, so their added members are written as text around the plain face's own text, in
// the sorted order of members the JSON library writes.
class DetailedFamilyWriter {
  public:
    explicit DetailedFamilyWriter(const CatalogueDetails& details) : details_(details) {}

    void operator()(const Typeface& typeface, std::string& text) {
        nlohmann::json out = familyWithoutFaces(typeface);
        out["childList"] = nlohmann::json::array();
        if (typeface.isVariation) {
            for (size_t k = 0; k < typeface.variationRange.size(); ++k) {
                out["variationRange"][k]["name"] = typeface.variationRange[k].name;
                out["variationRange"][k]["hidden"] = typeface.variationRange[k].hidden;
            }
        }
        // "childList" sorts first: the family's text is {"childList":[] and its other members.
        const std::string family = out.dump();
        constexpr std::string_view kFacesAt = "{\"childList\":[";
        text.append(kFacesAt);
        for (size_t i = 0; i < typeface.childList.size(); ++i) {
            if (i > 0) text += ',';
            writeFace(typeface.childList[i], typeface.isVariation, text);
        }
        text.append(family, kFacesAt.size(), std::string::npos);
    }

  private:
    // The added members all sort before "postScript", the plain face's second member: the face
    // is the added members and "file" in sorted order, then the plain face's text from its
    // ,"postScript": on (the plain face being {"file":<file>,"postScript":...}).
    void writeFace(const TypefaceItem& item, bool isVariation, std::string& text) {
        const std::string plain = faceToJson(item, isVariation).dump();
        const std::string file = nlohmann::json(item.file).dump();
        const size_t rest = std::string_view("{\"file\":").size() + file.size();
        const auto facts = details_.faces->find({item.file, item.faceIndex});
        const FaceFacts none;
        const FaceFacts& known = facts != details_.faces->end() ? facts->second : none;
        const auto size = details_.fileSizes.find(item.file);
        text += "{\"color\":";
        text += known.color ? "true" : "false";
        text += ",\"file\":";
        text += file;
        text += ",\"fileSize\":";
        text += std::to_string(size != details_.fileSizes.end() ? size->second : 0);
        text += ",\"format\":";
        text += nlohmann::json(known.format).dump();
        text += ",\"fullName\":";
        text += nlohmann::json(item.fullName).dump();
        text += ",\"index\":";
        text += std::to_string(item.faceIndex);
        text += ",\"languages\":";
        text += languagesText(known.languages.get());
        text += ",\"monospace\":";
        text += known.monospace ? "true" : "false";
        if (item.namedInstance > 0) {
            text += ",\"namedInstance\":";
            text += std::to_string(item.namedInstance);
        }
        text.append(plain, rest, std::string::npos);
    }

    // A few hundred distinct language lists are shared by thousands of faces: each is written
    // once.
    const std::string& languagesText(const std::vector<std::string>* list) {
        auto [known, added] = written_.try_emplace(list);
        if (added) known->second = list != nullptr ? nlohmann::json(*list).dump() : "[]";
        return known->second;
    }

    const CatalogueDetails& details_;
    std::unordered_map<const std::vector<std::string>*, std::string> written_;
};

namespace VornFontAgent {

using json = nlohmann::json;

// nlohmann's type_error id for a string that is not valid UTF-8.
constexpr int kInvalidUtf8Error = 316;

// Serialises the catalogue as one line of JSON. On failure returns "[]" and sets nErrorCode to the
// JSON library's error id (316: a string is not valid UTF-8); on success sets it to 0. Families
// are written one at a time into the same text a whole array would give, so that the tree of
// only one family exists at once beside the text.
template <typename WriteFamily>
std::string writeFamilies(ResultSet* familes, int& nErrorCode, WriteFamily&& writeFamily) {
    std::string text = "[";
    nErrorCode = 0;
    try {
        if (familes != nullptr) {
            for (const Typeface* typeface : *familes) {
                if (typeface == nullptr) continue;
                if (text.size() > 1) text += ',';
                writeFamily(*typeface, text);
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
    return writeFamilies(familes, nErrorCode, [](const Typeface& typeface, std::string& text) {
        text += json(typeface).dump();
    });
}

// The same document with the details added (the catalogue route's "details=1").
inline std::string convertToDetailedJson(ResultSet* familes, const CatalogueDetails& details,
                                         int& nErrorCode) {
    return writeFamilies(familes, nErrorCode, DetailedFamilyWriter(details));
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

// Where the handler passes every request on to: the callback's argument, filled in by the agent
// with its routes.
struct RequestRouter {
    void (*route)(void* context, evhttp_request* req);
    void* context;
};

// The callback for every request; `arg` is the RequestRouter.
inline void httpd_handler(evhttp_request* req, void* arg) {
    const auto* router = static_cast<const RequestRouter*>(arg);
    router->route(router->context, req);
}

}  // namespace VornFontAgent
