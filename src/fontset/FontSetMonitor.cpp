#include "fontset/FontSetMonitor.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <set>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Parallel.h"

// fontconfig's own FcConfigUptoDate compares whole seconds and can miss a change made in the
// same second as its last check, so nanosecond times are compared here instead.
std::vector<FileStamp> stampsOf(const std::vector<std::string>& paths) {
    std::vector<FileStamp> stamps;
    stamps.reserve(paths.size());
    for (const std::string& path : paths)
        stamps.push_back(FileStamp{path, identityOf(path.c_str())});
    return stamps;
}

bool FontSetState::operator==(const FontSetState& other) const {
    const bool samePaths = paths == other.paths || (paths && other.paths && *paths == *other.paths);
    return samePaths && files == other.files;
}

// --- The change watch -------------------------------------------------------------------------

namespace {

// Besides the entries of a directory, the changes to the files in it: a font rewritten in place
// or touched must be described again.
constexpr uint32_t kDirectoryChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                       IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_MODIFY |
                                       IN_CLOSE_WRITE;
constexpr uint32_t kFileChanges =
    IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr uint32_t kCreation = IN_CREATE | IN_MOVED_TO | IN_ATTRIB;

}  // namespace

ChangeWatch::ChangeWatch() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

void ChangeWatch::arm(const std::vector<std::string>& paths,
                      const std::vector<FileStamp>& expected) {
    for (const int wd : watches_) inotify_rm_watch(fd_.get(), wd);
    watches_.clear();
    filesChanged_ = true;
    armed_ = fd_ && std::all_of(paths.begin(), paths.end(),
                                [this](const std::string& path) { return watch(path); });
    if (stampsOf(paths) != expected) dirty_ = true;
}

// A path that does not exist is watched through its nearest existing ancestor, for the creation
// that will eventually bring it into being.
bool ChangeWatch::watch(std::string path) {
    struct stat st;
    uint32_t mask = 0;
    if (stat(path.c_str(), &st) == 0) {
        mask = S_ISDIR(st.st_mode) ? kDirectoryChanges : kFileChanges;
    } else {
        for (int depth = 0; depth < 64 && mask == 0; ++depth) {
            const size_t slash = path.find_last_of('/');
            if (slash == std::string::npos) return false;
            path.resize(slash == 0 ? 1 : slash);
            if (stat(path.c_str(), &st) == 0) mask = kCreation;
        }
    }
    const int wd = mask != 0 ? inotify_add_watch(fd_.get(), path.c_str(), mask) : -1;
    if (wd < 0) return false;
    watches_.push_back(wd);
    return true;
}

bool ChangeWatch::drain() {
    if (!fd_) return true;
    alignas(inotify_event) char events[4096];
    bool changed = false;
    for (int round = 0; round < 64; ++round) {
        const ssize_t n = read(fd_.get(), events, sizeof events);
        if (n <= 0) return changed;
        // Removing a watch queues IN_IGNORED for it; re-arming must not count as a change.
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            changed = changed || (event->mask & IN_IGNORED) == 0;
            filesChanged_ = filesChanged_ || (event->mask & IN_IGNORED) == 0;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    // Still more queued after this many rounds: something is changing a lot.
    filesChanged_ = true;
    return true;
}

bool ChangeWatch::mayHaveChanged() {
    const bool changed = drain() || dirty_ || !armed_;
    dirty_ = false;
    return changed;
}

// --- The listing ------------------------------------------------------------------------------

namespace {

// What a configuration's listing depends on: its font directories (subdirectories included,
// and configured ones that do not exist yet) and its configuration files.
std::vector<std::string> fontConfigDependencies(FcConfig* config) {
    std::vector<std::string> paths;
    appendStrings(FcConfigGetFontDirs(config), paths);
    appendStrings(FcConfigGetConfigFiles(config), paths);
    return paths;
}

// The clock file times are set from: it ticks in steps of a few milliseconds, so a time equal
// to one read from it may be later.
timespec fileClockNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return now;
}

bool notBefore(const timespec& time, const timespec& since) {
    return time.tv_sec > since.tv_sec ||
           (time.tv_sec == since.tv_sec && time.tv_nsec >= since.tv_nsec);
}

// True when any of the files was changed at or after `since` (or could not be looked at).
bool stampedSince(const std::vector<FileStamp>& stamps, const timespec& since) {
    return std::any_of(stamps.begin(), stamps.end(), [&since](const FileStamp& stamp) {
        const FileIdentity& id = stamp.identity;
        return id.error == 0 && (notBefore(id.modified, since) || notBefore(id.changed, since));
    });
}

// fontconfig's scan opens every file of a font directory with a plain open, which blocks on a
// FIFO until a writer appears. While the agent holds a FIFO open for writing, that open returns
// at once, and FreeType refuses the file (a FIFO has no size): the scan goes on without it.
class FifoHold {
  public:
    explicit FifoHold(FcConfig* config) {
        std::vector<std::string> dirs;
        appendStrings(FcConfigGetFontDirs(config), dirs);  // before the scan: the configured ones
        for (const std::string& dir : dirs) walk(dir, 0);
    }

  private:
    // Real font folders are a few levels deep and hold no FIFO at all; a tree built to cost
    // the agent descriptors gets no more than these.
    static constexpr int kMaxDepth = 32;
    static constexpr size_t kMaxHeld = 256;

    void walk(const std::string& dir, int depth) {
        struct stat st;
        if (depth > kMaxDepth || stat(dir.c_str(), &st) != 0 ||
            !seen_.emplace(st.st_dev, st.st_ino).second)
            return;
        const std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(dir.c_str()), closedir);
        if (!listing) return;
        while (const dirent* entry = readdir(listing.get())) {
            // fontconfig skips names that begin with a dot.
            if (entry->d_name[0] == '.') continue;
            const std::string path = dir + "/" + entry->d_name;
            unsigned char type = entry->d_type;
            if (type == DT_LNK || type == DT_UNKNOWN) {
                if (stat(path.c_str(), &st) != 0) continue;
                type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISFIFO(st.st_mode) ? DT_FIFO : DT_REG;
            }
            if (type == DT_DIR) {
                walk(path, depth + 1);
            } else if (type == DT_FIFO && held_.size() < kMaxHeld) {
                UniqueFd fd(open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
                if (fd) held_.push_back(std::move(fd));
            }
        }
    }

    std::vector<UniqueFd> held_;
    std::set<std::pair<dev_t, ino_t>> seen_;
};

// The configuration and its fonts as they are now. It is released as soon as what the agent
// needs has been copied out of it: held, fontconfig's cache files stay mapped, which on a large
// font collection is most of the agent's memory.
FcConfigPtr loadConfig() {
    FcConfigPtr config(FcInitLoadConfig());
    if (!config) throw std::bad_alloc();
    const FifoHold fifos(config.get());
    if (!FcConfigBuildFonts(config.get())) throw std::bad_alloc();
    return config;
}

}  // namespace

std::shared_ptr<const FontPathList> FontSetMonitor::listFontPaths() {
    if (paths_ && !watch_.mayHaveChanged()) return paths_;

    // Stamps are taken before the fonts are scanned, so that a change made during the scan
    // shows next time. The first time, what they are to be taken of is known only from the
    // scan: then anything stamped since the scan began counts as a change.
    const bool first = !paths_;
    std::vector<FileStamp> stamps = stampsOf(dependencies_);
    bool changedDuringScan = false;
    if (first || stamps != stamps_) {
        const timespec scanBegan = fileClockNow();
        const FcConfigPtr config = loadConfig();
        paths_ = std::make_shared<const FontPathList>(listInstalledFontPaths(config.get()));
        // Taken now, while the configuration is loaded anyway: from fontconfig's set they cost
        // little, where loading it again for them would cost as much as the listing.
        facts_ = std::make_shared<const FaceFactsTable>(listFaceFacts(config.get()));
        dependencies_ = fontConfigDependencies(config.get());
        if (first) {
            stamps = stampsOf(dependencies_);
            changedDuringScan = stampedSince(stamps, scanBegan);
        }
        // Stamps taken after a scan that a change overlapped already show that change: kept,
        // they would make the next look find nothing new and skip the scan that lists it.
        stamps_ = changedDuringScan ? std::vector<FileStamp>() : std::move(stamps);
    }
    watch_.arm(dependencies_, changedDuringScan ? std::vector<FileStamp>() : stamps_);
    return paths_;
}

std::shared_ptr<const FontSetState> FontSetMonitor::currentState() {
    std::shared_ptr<const FontPathList> paths = listFontPaths();
    // Asked before any file is looked at, so that a change made meanwhile shows next time.
    const bool filesChanged = watch_.filesMayHaveChanged();
    if (state_ && state_->paths == paths && !filesChanged) {
        // Only the links need looking at, and in place: the state is handed out again unless
        // one of them moved.
        if (!linkMoved()) return state_;
        auto state = std::make_shared<FontSetState>(*state_);
        for (const Link& link : linked_) state->files[link.index] = identityOf(link.path.c_str());
        state_ = std::move(state);
        return state_;
    }

    auto state = std::make_shared<FontSetState>();
    state->paths = paths;
    std::vector<const std::string*> listed;
    listed.reserve(paths->size());
    for (const std::string& path : *paths) listed.push_back(&path);
    state->files.resize(listed.size());
    std::vector<char> isLink(listed.size(), 0);
    parallelFor(listed.size(), [&](size_t i) {
        // One lstat tells both whether the path is a link and, when it is not, its identity.
        struct stat st;
        const bool known = lstat(listed[i]->c_str(), &st) == 0;
        isLink[i] = known && S_ISLNK(st.st_mode);
        state->files[i] =
            known && !isLink[i] ? identityOf(st) : identityOf(listed[i]->c_str());
    });
    linked_.clear();
    for (size_t i = 0; i < listed.size(); ++i) {
        if (isLink[i]) linked_.push_back(Link{i, *listed[i]});
    }
    if (state_ && *state_ == *state) return state_;
    state_ = std::move(state);
    return state_;
}

bool FontSetMonitor::linkMoved() const {
    return std::any_of(linked_.begin(), linked_.end(), [this](const Link& link) {
        return identityOf(link.path.c_str()) != state_->files[link.index];
    });
}

bool FontSetMonitor::mayBeStale() {
    if (!state_) return true;
    watch_.absorbEvents();
    return watch_.isDirty() || !watch_.armed() || linkMoved();
}

std::shared_ptr<const FaceFactsTable> FontSetMonitor::faceFacts() const { return facts_; }
