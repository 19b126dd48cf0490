// The catalogue restricted to the faces that map every character of a text ("covers=TEXT"). The
// whole document is written once, cut at its families and faces; the document for a text is
// then put together from those pieces, with no JSON written and no font file opened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FontDescriptor.h"
#include "FontManagerLinux.h"
#include "catalogue/DetailedDocument.h"

struct Catalogue;

// A document and where its families and faces stand in its text.
struct DocumentPieces {
    struct Face {
        size_t begin, end;  // the face's object
        uint32_t map;       // its characters, an index into `maps`
    };
    struct Family {
        size_t begin, end;  // the family's object
        size_t firstFace, faceCount;
    };
    std::shared_ptr<const Catalogue> whole;
    std::vector<Family> families;
    std::vector<Face> faces;
    // Each distinct map once; null for a face fontconfig reported no characters of.
    std::vector<std::shared_ptr<const CharacterMap>> maps;
};

// Writes the document of `families`, the detailed one with `details`, byte for byte as
// convertToJson or convertToDetailedJson writes it, filling in `pieces` (not `whole`) as it
// goes; `facts` tell each face's characters. Fails as those do, with no pieces.
std::string writePieces(ResultSet* families, const CatalogueDetails* details,
                        const FaceFactsTable& facts, DocumentPieces& pieces, int& nErrorCode);

// The text of the whole document's faces that map every one of `characters`, in its order;
// a family none of whose faces does is left out.
std::string coveringText(const DocumentPieces& pieces, const std::u32string& characters);
