// Web-ready faces for the file route: made on worker threads, remembered in a bounded cache.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include <sys/stat.h>

#include <event2/event.h>

#include "core/Ownership.h"

// A font file mapped read-only into memory, for as long as a face is being made from it.
class MappedFont {
  public:
    // Maps the whole of an open regular file; empty when it cannot (or is empty).
    MappedFont(int fd, size_t size);
    ~MappedFont();
    MappedFont(const MappedFont&) = delete;
    MappedFont& operator=(const MappedFont&) = delete;

    std::string_view bytes() const { return {static_cast<const char*>(data_), size_}; }
    explicit operator bool() const { return data_ != nullptr; }

  private:
    void* data_ = nullptr;
    size_t size_ = 0;
};

// What a face request asks for.
struct FaceOrder {
    std::shared_ptr<const MappedFont> font;
    uint32_t face = 0;
    std::optional<std::string> text;  // a subset for this text; the whole face without one
};

// A made face: its bytes, or none when the file is to be served as it is.
struct MadeFace {
    std::shared_ptr<const std::string> bytes;
};

class WebFaces {
  public:
    using Done = std::function<void(const MadeFace&)>;

    // Faces waiting to be made at the most; more are refused so that a page cannot queue
    // unbounded work.
    static constexpr size_t kMaxWaiting = 64;
    // The cache holds this many bytes at the most; a face larger than a quarter of it is made
    // each time instead of pushing everything else out.
    static constexpr size_t kCacheBytes = 16u << 20;

    WebFaces() = default;
    WebFaces(const WebFaces&) = delete;
    WebFaces& operator=(const WebFaces&) = delete;
    ~WebFaces();

    // Starts the workers; `done` callbacks then run on `base`'s loop.
    bool start(event_base* base);

    // The cache key of a face of the open file `status` describes: a file that changes in any
    // way gets other keys, so no stale face is ever served.
    static std::string keyOf(const struct stat& status, const FaceOrder& order);

    // The face remembered under `key`, if any.
    std::optional<MadeFace> find(const std::string& key);
    // Makes the face on a worker and calls `done` with it on the loop; false when too many are
    // waiting already (`done` is then never called).
    bool make(std::string key, FaceOrder order, Done done);

    // Makes a face now, on the calling thread.
    static MadeFace makeFace(const FaceOrder& order);

  private:
    struct Job {
        std::string key;
        FaceOrder order;
        Done done;
        MadeFace made;
    };

    void work();
    void remember(const std::string& key, const MadeFace& made);
    static void onFinished(evutil_socket_t fd, short, void* self);

    // Shared with the workers, under mutex_: the jobs waiting and the jobs made.
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> waiting_;
    std::vector<Job> finished_;
    bool stopping_ = false;

    // Event-loop thread only.
    struct Remembered {
        std::string key;
        MadeFace made;
    };
    std::list<Remembered> lru_;  // most recently used first
    std::unordered_map<std::string, std::list<Remembered>::iterator> byKey_;
    size_t cachedBytes_ = 0;

    UniqueFd finishedFd_;
    EventPtr finishedEvent_;
    std::vector<std::thread> workers_;
};
