// Owning handles for the C library objects the agent uses: one deleter per type and an alias.
#pragma once

#include <memory>

#include <event2/buffer.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_MULTIPLE_MASTERS_H
#include <hb-subset.h>
#include <hb.h>

struct FtLibraryDeleter {
    void operator()(FT_Library library) const { FT_Done_FreeType(library); }
};
struct FtFaceDeleter {
    void operator()(FT_Face face) const { FT_Done_Face(face); }
};
// FT_Done_MM_Var needs the library that allocated the description.
struct FtMMVarDeleter {
    FT_Library library = nullptr;
    void operator()(FT_MM_Var* mm) const { FT_Done_MM_Var(library, mm); }
};
struct FcPatternDeleter {
    void operator()(FcPattern* pattern) const { FcPatternDestroy(pattern); }
};
struct FcObjectSetDeleter {
    void operator()(FcObjectSet* objects) const { FcObjectSetDestroy(objects); }
};
struct FcFontSetDeleter {
    void operator()(FcFontSet* fonts) const { FcFontSetDestroy(fonts); }
};
struct FcStrListDeleter {
    void operator()(FcStrList* list) const { FcStrListDone(list); }
};
struct MallocDeleter {
    void operator()(void* p) const { free(p); }
};
struct EvBufferDeleter {
    void operator()(evbuffer* buffer) const { evbuffer_free(buffer); }
};
struct EventDeleter {
    void operator()(event* ev) const { event_free(ev); }
};
struct EvHttpDeleter {
    void operator()(evhttp* http) const { evhttp_free(http); }
};
struct HbBlobDeleter {
    void operator()(hb_blob_t* blob) const { hb_blob_destroy(blob); }
};
struct HbFaceDeleter {
    void operator()(hb_face_t* face) const { hb_face_destroy(face); }
};
struct HbFontDeleter {
    void operator()(hb_font_t* font) const { hb_font_destroy(font); }
};
struct HbBufferDeleter {
    void operator()(hb_buffer_t* buffer) const { hb_buffer_destroy(buffer); }
};
struct HbSubsetInputDeleter {
    void operator()(hb_subset_input_t* input) const { hb_subset_input_destroy(input); }
};

using FtLibraryPtr = std::unique_ptr<std::remove_pointer_t<FT_Library>, FtLibraryDeleter>;
using FtFacePtr = std::unique_ptr<std::remove_pointer_t<FT_Face>, FtFaceDeleter>;
using FtMMVarPtr = std::unique_ptr<FT_MM_Var, FtMMVarDeleter>;
using FcPatternPtr = std::unique_ptr<FcPattern, FcPatternDeleter>;
using FcObjectSetPtr = std::unique_ptr<FcObjectSet, FcObjectSetDeleter>;
using FcFontSetPtr = std::unique_ptr<FcFontSet, FcFontSetDeleter>;
using FcStrListPtr = std::unique_ptr<FcStrList, FcStrListDeleter>;
template <typename T>
using MallocPtr = std::unique_ptr<T, MallocDeleter>;
using EvBufferPtr = std::unique_ptr<evbuffer, EvBufferDeleter>;
using EventPtr = std::unique_ptr<event, EventDeleter>;
using EvHttpPtr = std::unique_ptr<evhttp, EvHttpDeleter>;
using HbBlobPtr = std::unique_ptr<hb_blob_t, HbBlobDeleter>;
using HbFacePtr = std::unique_ptr<hb_face_t, HbFaceDeleter>;
using HbFontPtr = std::unique_ptr<hb_font_t, HbFontDeleter>;
using HbBufferPtr = std::unique_ptr<hb_buffer_t, HbBufferDeleter>;
using HbSubsetInputPtr = std::unique_ptr<hb_subset_input_t, HbSubsetInputDeleter>;

// Releases a parsed query's key/value list when the handler returns.
struct EvKeyValQueue : evkeyvalq {
    EvKeyValQueue() {
        tqh_first = nullptr;
        tqh_last = &tqh_first;
    }
    ~EvKeyValQueue() { evhttp_clear_headers(this); }
    EvKeyValQueue(const EvKeyValQueue&) = delete;
    EvKeyValQueue& operator=(const EvKeyValQueue&) = delete;
};
