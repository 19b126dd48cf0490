// The catalogue as the agent knows it: for one scan of the installed fonts, what FreeType
// described under each listed path and the documents made of it. Refreshed off the event loop;
// a route asks for the current font set, then for the document it wants.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <event2/event.h>

#include "VornFontAgent.h"
#include "core/JobPool.h"
#include "core/Ownership.h"
#include "fontset/DescriptionMemo.h"
#include "fontset/FontSetMonitor.h"

// A catalogue document as the agent remembers it: the reply, its validator and what the event
// stream reports of it.
struct Catalogue {
    VornFontAgent::CatalogueReply reply;
    std::string validator;  // an ETag value: the same document, the same validator
    size_t families = 0;
    size_t faces = 0;
};

struct DocumentPieces;

// One family of the font menu and the face that stands for it: the first face whose weight,
// width and slant are all "Normal", else the first face. No file when the family has no face.
struct MenuEntry {
    std::string family;
    std::string file;
    int32_t index = 0;
    std::string postScript;
};
// The menu's entries, one per family in the catalogue's order.
using FontMenu = std::vector<MenuEntry>;

// What one refresh found; never changed once made, so any thread may read it.
struct FontSet {
    std::shared_ptr<const FontSetState> state;     // the listing and each file's identity
    std::shared_ptr<const FaceFactsTable> facts;   // fontconfig's, from the same scan
    std::shared_ptr<const DescribedFiles> files;   // by path
    std::shared_ptr<const Catalogue> plain;        // the plain document
};

class CatalogueCache {
  public:
    using Use = std::function<void(std::shared_ptr<const FontSet>)>;

    // A request waits this long at the most for a refresh (the first scan at start, with no font
    // set yet, longer); after that, and while that refresh runs on (a scan blocked in
    // fontconfig), requests get the last font set at once, or none.
    static constexpr timeval kLongestWait{2, 0};
    static constexpr timeval kLongestFirstWait{10, 0};

    explicit CatalogueCache(JobPool& lane) : lane_(lane) {}
    CatalogueCache(const CatalogueCache&) = delete;
    CatalogueCache& operator=(const CatalogueCache&) = delete;

    // Joins the event loop: the monitor's watch and the wait limit.
    bool attach(event_base* base);

    // Calls `use` on the loop with the font set as it is now: at once while nothing the last
    // one was made of has changed, otherwise once a refresh has run. Null when there is none
    // yet (the first scan is slow, stuck or failed).
    void whenCurrent(Use use);

    // The document of `set`, plain or detailed. The detailed one is made on first use and
    // remembered while the files stay the same.
    std::shared_ptr<const Catalogue> document(const FontSet& set, bool detailed);
    // The document of `set`, plain or detailed, cut at its families and faces for the
    // documents restricted to some of its faces; made on first use and remembered while the
    // files stay the same.
    std::shared_ptr<const DocumentPieces> pieces(const FontSet& set, bool detailed);
    // The font menu of `set`, made on first use and remembered while the files stay the same.
    std::shared_ptr<const FontMenu> menu(const FontSet& set);

    // Told, on the loop, when the watch sees a change while no refresh runs, and when a refresh
    // has made a font set. Set before the loop runs.
    std::function<void()> changed;
    std::function<void(const FontSet&)> refreshed;

  private:
    struct Waiter {
        Use use;
        bool arrivedDuringRefresh;
    };
    // The families a refresh grouped for the plain document, kept until the next document is
    // asked for: a detailed request right after the first scan (a picker's first request)
    // skips grouping them again, and they are not held for long.
    struct KeptFamilies {
        std::shared_ptr<const FontSetState> state;
        std::shared_ptr<ResultSet> families;
    };
    struct Refreshed {
        std::shared_ptr<const FontSet> set;
        KeptFamilies kept;
    };

    void startRefresh();
    // On the lane's thread: the monitor and the memo are its own while it runs.
    Refreshed refresh(std::shared_ptr<const FontSet> previous);
    void onRefreshed(Refreshed result);
    void handOut(std::vector<Waiter> waiters);
    // The families of `set`: the kept ones when they are its own, else grouped again. The kept
    // ones are not kept past this call.
    std::shared_ptr<ResultSet> familiesOf(const FontSet& set);
    // After a document or the menu: the kept families are not kept past it, whatever it used.
    void letKeptGo(bool hadKept);
    static void onWatch(evutil_socket_t, short, void* cache);
    static void onWaitLimit(evutil_socket_t, short, void* cache);

    JobPool& lane_;
    FontSetMonitor monitor_;
    DescriptionMemo memo_;

    // Event-loop thread only.
    std::shared_ptr<const FontSet> current_;
    KeptFamilies kept_;
    struct Detailed {
        std::shared_ptr<const FontSetState> state;
        std::shared_ptr<const Catalogue> catalogue;
    } detailed_;
    struct Menu {
        std::shared_ptr<const FontSetState> state;
        std::shared_ptr<const FontMenu> menu;
    } menu_;
    struct Pieces {
        std::shared_ptr<const FontSetState> state;
        std::shared_ptr<const DocumentPieces> pieces;
    } pieces_[2];  // plain, detailed
    std::vector<Waiter> waiting_;
    bool refreshing_ = false;
    bool stuck_ = false;  // the running refresh has outlasted the wait limit
    EventPtr watch_;
    EventPtr waitLimit_;
};
