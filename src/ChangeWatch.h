// Cheap change detection for the files a font listing depends on.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

// Tells with one system call whether any of a set of paths may have changed since it was armed,
// so that a file request need not stat every font directory and configuration file. When a
// path cannot be watched it answers "maybe" every time, and the stamps decide.
class ChangeWatch {
  public:
    ChangeWatch() = default;
    ChangeWatch(const ChangeWatch&) = delete;
    ChangeWatch& operator=(const ChangeWatch&) = delete;
    ~ChangeWatch() { disarm(); }

    void arm(const std::vector<std::string>& paths) {
        disarm();
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0) return;
        armed_ = std::all_of(paths.begin(), paths.end(),
                             [this](const std::string& path) { return watch(path); });
    }

    // Forgets what the watch saw so far, so the next question is answered "maybe".
    void markDirty() { dirty_ = true; }

    // True when something may have changed since the watch was armed; drains the events.
    bool mayHaveChanged() {
        if (!armed_ || dirty_) {
            dirty_ = false;
            return true;
        }
        alignas(inotify_event) char events[4096];
        bool changed = false;
        for (int round = 0; round < 64; ++round) {
            const ssize_t n = read(fd_, events, sizeof events);
            if (n <= 0) break;
            changed = true;
        }
        return changed;
    }

  private:
    static constexpr uint32_t kDirectoryChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                                  IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF |
                                                  IN_MOVE_SELF;
    static constexpr uint32_t kFileChanges =
        IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

    // A path that does not exist is watched through its nearest existing ancestor, for the
    // creation that will eventually bring it into being.
    bool watch(std::string path) {
        struct stat st;
        uint32_t mask = 0;
        if (stat(path.c_str(), &st) == 0) {
            mask = S_ISDIR(st.st_mode) ? kDirectoryChanges : kFileChanges;
        } else {
            for (int depth = 0; depth < 64 && mask == 0; ++depth) {
                const size_t slash = path.find_last_of('/');
                if (slash == std::string::npos) return false;
                path.resize(slash == 0 ? 1 : slash);
                if (stat(path.c_str(), &st) == 0) mask = IN_CREATE | IN_MOVED_TO | IN_ATTRIB;
            }
        }
        return mask != 0 && inotify_add_watch(fd_, path.c_str(), mask) >= 0;
    }

    void disarm() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        armed_ = false;
    }

    int fd_ = -1;
    bool armed_ = false;
    bool dirty_ = false;
};
