// Owning handles for the C library objects the agent uses: one deleter template, one alias per
// type.
#pragma once

#include <cstdlib>
#include <memory>
#include <type_traits>
#include <utility>

#include <unistd.h>

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

// Calls the library's own release function; a null handle is never passed to it.
template <auto Release>
struct Deleter {
    template <typename T>
    void operator()(T* object) const {
        Release(object);
    }
};

template <typename T, auto Release>
using Owned = std::unique_ptr<std::remove_pointer_t<T>, Deleter<Release>>;

using FtLibraryPtr = Owned<FT_Library, FT_Done_FreeType>;
using FtFacePtr = Owned<FT_Face, FT_Done_Face>;
using FcPatternPtr = Owned<FcPattern*, FcPatternDestroy>;
using FcObjectSetPtr = Owned<FcObjectSet*, FcObjectSetDestroy>;
using FcFontSetPtr = Owned<FcFontSet*, FcFontSetDestroy>;
using FcStrListPtr = Owned<FcStrList*, FcStrListDone>;
using FcStrSetPtr = Owned<FcStrSet*, FcStrSetDestroy>;
using FcConfigPtr = Owned<FcConfig*, FcConfigDestroy>;
using EventBasePtr = Owned<event_base*, event_base_free>;
using EvBufferPtr = Owned<evbuffer*, evbuffer_free>;
using EventPtr = Owned<event*, event_free>;
using EvHttpPtr = Owned<evhttp*, evhttp_free>;
using HbBlobPtr = Owned<hb_blob_t*, hb_blob_destroy>;
using HbFacePtr = Owned<hb_face_t*, hb_face_destroy>;
using HbFontPtr = Owned<hb_font_t*, hb_font_destroy>;
using HbBufferPtr = Owned<hb_buffer_t*, hb_buffer_destroy>;
using HbSubsetInputPtr = Owned<hb_subset_input_t*, hb_subset_input_destroy>;
using HbSetPtr = Owned<hb_set_t*, hb_set_destroy>;
template <typename T>
using MallocPtr = Owned<T*, free>;

// FT_Done_MM_Var needs the library that allocated the description, so this one deleter holds
// state.
struct FtMMVarDeleter {
    FT_Library library = nullptr;
    void operator()(FT_MM_Var* mm) const { FT_Done_MM_Var(library, mm); }
};
using FtMMVarPtr = std::unique_ptr<FT_MM_Var, FtMMVarDeleter>;

// An owned file descriptor; -1 when it holds none.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Hands the descriptor over; the caller closes it from now on.
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

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
