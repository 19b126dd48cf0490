// The HTTP face of the agent: the request handler and the catalogue document writer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

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

struct CatalogueReply {
    int status;
    const char* reason;
    std::string body;
};

// The catalogue route's answer for a document written as convertToJson writes it, with the
// error code it set.
inline CatalogueReply catalogueReplyOf(std::string jsonText, int nErrorCode) {
    if (nErrorCode == kInvalidUtf8Error) return {204, "utf-8 error", std::move(jsonText)};
    return {200, "OK", std::move(jsonText)};
}

// The catalogue route's answer for one catalogue.
inline CatalogueReply makeCatalogueReply(ResultSet* pRes) {
    int nErrorCode = 0;
    std::string jsonText = convertToJson(pRes, nErrorCode);
    return catalogueReplyOf(std::move(jsonText), nErrorCode);
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
