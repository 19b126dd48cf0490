// Web-ready faces for the file route: made from a listed file's bytes on the pool's threads,
// remembered in a bounded cache.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "core/JobPool.h"
#include "fontset/ListedFont.h"

// What a face request asks for: one face of an open listed file, subset for a text or whole.
struct FaceOrder {
    std::shared_ptr<const OpenFont> font;
    uint32_t face = 0;
    std::optional<std::string> text;
};

// A made face, or why there is none.
struct MadeFace {
    enum class Kind {
        Bytes,        // `bytes` are the face
        WholeFile,    // the file itself is the face
        NoSuchFace,   // the file has no face of that index
        FileChanged,  // the file changed while it was read: nothing is known of it
    };
    Kind kind = Kind::FileChanged;
    std::shared_ptr<const std::string> bytes;
    // "font/ttf" or "font/otf"; null for what is no SFNT face (served as it is).
    const char* contentType = nullptr;
};

class MadeFaces {
  public:
    using Done = std::function<void(const MadeFace&)>;

    // Files larger than this are neither read nor cut: their face 0 is the file itself, and
    // they have no other. Font files are a few MiB; the largest collections some tens.
    static constexpr size_t kMaxFileBytes = 64u << 20;
    // The cache holds this many bytes at the most; a face larger than a quarter of it is made
    // each time instead of pushing everything else out.
    static constexpr size_t kCacheBytes = 16u << 20;

    explicit MadeFaces(JobPool& pool) : pool_(pool) {}
    MadeFaces(const MadeFaces&) = delete;
    MadeFaces& operator=(const MadeFaces&) = delete;

    // The cache key of a face of the file `file` identifies: a file that changes in any way
    // gets other keys, so no stale face is ever served.
    static std::string keyOf(const FileIdentity& file, uint32_t face,
                             const std::optional<std::string>& text);

    // The face remembered under `key`, if any.
    std::optional<MadeFace> find(const std::string& key);
    // Makes the face on the pool and calls `done` with it on the loop; false when too many
    // are waiting already (`done` is then never called).
    bool make(std::string key, FaceOrder order, Done done);
    // Remembers a made face (a changed file is not remembered).
    void remember(const std::string& key, const MadeFace& made);
    size_t cachedBytes() const { return cachedBytes_; }

    // Reads the file and makes the face, on the calling thread.
    static MadeFace makeFace(const FaceOrder& order);

  private:
    JobPool& pool_;
    struct Remembered {
        std::string key;
        MadeFace made;
    };
    std::list<Remembered> lru_;  // most recently used first
    std::unordered_map<std::string, std::list<Remembered>::iterator> byKey_;
    size_t cachedBytes_ = 0;
};
