// Which font files are installed now: fontconfig's listing, kept current by watching what it
// depends on.
#pragma once

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

#include "FontManagerLinux.h"
#include "core/Ownership.h"
#include "fontset/FileIdentity.h"


// One file a listing depends on (a font directory or a configuration file), as stat saw it.
struct FileStamp {
    std::string path;
    FileIdentity identity;

    bool operator==(const FileStamp& other) const {
        return path == other.path && identity == other.identity;
    }
};
std::vector<FileStamp> stampsOf(const std::vector<std::string>& paths);

// The font files a catalogue is made of, as they are now. Two equal states give byte-identical
// catalogues, so a catalogue built for one state can be served again while it holds.
struct FontSetState {
    std::shared_ptr<const FontPathList> paths;
    std::vector<FileIdentity> files;  // one per path, in path order

    bool operator==(const FontSetState& other) const;
};

// Tells with one read whether any of a set of paths may have changed since it was armed, so
// that a request need not stat every font directory and configuration file. When a path cannot
// be watched it answers "maybe" every time, and the stamps decide.
class ChangeWatch {
  public:
    ChangeWatch();

    // Readable when something may have changed; the event loop watches it.
    int descriptor() const { return fd_.get(); }

    // Watches exactly `paths` from now on. `expected` are the stamps the caller's listing was
    // made with: whatever changed before the watches took hold differs from them, and is then
    // reported as a change at the next question.
    void arm(const std::vector<std::string>& paths, const std::vector<FileStamp>& expected);

    // True when something may have changed since the last question; drains the events.
    bool mayHaveChanged();
    // Drains the events, remembering whether any reported a change: for the event loop, which
    // is told when the descriptor is readable.
    void absorbEvents() { dirty_ = drain() || dirty_; }
    // True when a change is known of that no question has reported yet.
    bool isDirty() const { return dirty_; }
    // False when the watches could not all be set: then nothing can be known of changes.
    bool armed() const { return armed_; }
    // True when any watched file or a file in a watched directory may have changed since the
    // last time this was asked (always when the watches could not all be set).
    bool filesMayHaveChanged() {
        drain();
        const bool changed = filesChanged_ || !armed_;
        filesChanged_ = false;
        return changed;
    }

  private:
    bool watch(std::string path);
    // Reads what is queued; true when any of it reports a change.
    bool drain();

    UniqueFd fd_;
    std::vector<int> watches_;
    bool armed_ = false;
    bool dirty_ = false;
    bool filesChanged_ = true;
};

// Which font files are installed now. A scan of fontconfig's can take long, or block for good on
// a FIFO that fontconfig opens, so listing and state are taken off the event loop; the loop only
// asks mayBeStale, and only while no listing runs.
class FontSetMonitor {
  public:
    // The listed paths with the identity of each file. The files are looked at again only when
    // the watch on their directories saw something, or they are symbolic links (whose targets
    // no directory watch covers); otherwise the last state is handed out again.
    std::shared_ptr<const FontSetState> currentState();
    // fontconfig's facts of the faces of the last listing, taken with it: those of the paths
    // currentState gave last (asking does not list again).
    std::shared_ptr<const FaceFactsTable> faceFacts() const;

    int watchDescriptor() const { return watch_.descriptor(); }
    void onWatchReadable() { watch_.absorbEvents(); }
    // True when a change is known of that the listing does not hold yet.
    bool changePending() const { return watch_.isDirty(); }
    // True when the last state may no longer hold: there is none, the watch saw a change, or a
    // linked font's target moved. Cheap: one read of the watch and a stat per link.
    bool mayBeStale();

  private:
    // The accepted paths of the fonts fontconfig lists now, rescanned first when anything the
    // listing depends on has changed.
    std::shared_ptr<const FontPathList> listFontPaths();
    bool linkMoved() const;

    std::vector<std::string> dependencies_;  // of the last listing
    std::vector<FileStamp> stamps_;
    std::shared_ptr<const FontPathList> paths_;
    std::shared_ptr<const FaceFactsTable> facts_;
    std::shared_ptr<const FontSetState> state_;
    // The listed paths that are symbolic links, with their index in the state. The path is a
    // copy: an equal state handed out again holds other strings.
    struct Link {
        size_t index;
        std::string path;
    };
    std::vector<Link> linked_;
    ChangeWatch watch_;
};
