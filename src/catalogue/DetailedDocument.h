// The detailed catalogue document ("details=1"): the plain document with members for font
// pickers added to its faces and axes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "FontDescriptor.h"
#include "FontManagerLinux.h"

// What the detailed document adds to the records: fontconfig's facts of each face and the size
// of each file.
struct CatalogueDetails {
    std::shared_ptr<const FaceFactsTable> faces;
    std::unordered_map<std::string, int64_t> fileSizes;
};

// Serialises the catalogue with its details, failing as convertToJson does. Every member of the
// plain document is there with the same value, and members stand in the order of their names,
// as in the plain document, so that a reader of either finds them alike.
std::string convertToDetailedJson(ResultSet* familes, const CatalogueDetails& details,
                                  int& nErrorCode);

// Told where a face's text begins and ends in a document being written, once per face in the
// document's order.
using FaceWritten = std::function<void(const TypefaceItem& face, size_t begin, size_t end)>;
// Writes one family of the detailed document, as convertToDetailedJson does, for writeFamilies.
std::function<void(const Typeface&, std::string&)> detailedFamilyWriter(
    const CatalogueDetails& details, FaceWritten onFace);
