// The agent's long-lived state: everything that outlives one request, owned in one place.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include <event2/event.h>

#include "fontset/DescriptionMemo.h"
#include "http/EventStreams.h"
#include "fontset/FontSetMonitor.h"
#include "http/AccessPolicy.h"
#include "core/Ownership.h"
#include "VornFontAgent.h"
#include "webface/MadeFaces.h"

// A catalogue reply as the agent remembers it: the document, its validator and what the event
// stream reports of it.
struct Catalogue {
    VornFontAgent::CatalogueReply reply;
    std::string validator;  // an ETag value: the same document, the same validator
    size_t families = 0;
    size_t faces = 0;
};

class Agent {
  public:
    Agent();
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;
    ~Agent() { awaitBuild(); }

    // The catalogue for the fonts as they are now. While no listed file and nothing fontconfig
    // depends on has changed, the catalogue would come out byte for byte the same, so the last
    // one is served again; any change builds it anew. The detailed document is remembered
    // beside the plain one.
    std::shared_ptr<const Catalogue> currentCatalogue(bool detailed = false);

    // Catalogues are also built on a thread of their own: the first one while the agent starts
    // listening, so that the first client waits for less of it, and the one a change calls for
    // while pages listen for changes. Every entry from the event loop waits for that thread
    // before it touches the state; otherwise only the event-loop thread does.
    void startBuild();
    void awaitBuild();

    // Joins the event loop: changes seen by the font set monitor's watch are turned into
    // catalogue events for the streams, which are kept alive within `timeoutSeconds`.
    bool attach(event_base* base, int timeoutSeconds);

    // Which pages may read the replies (-o); set before the loop runs.
    Http::AccessPolicy policy;

    FontSetMonitor& monitor() { return monitor_; }
    EventStreams& streams() { return streams_; }
    WebFaces& webFaces() { return webFaces_; }

    // The event a stream is sent for a catalogue.
    static std::string catalogueEvent(const Catalogue& catalogue);

  private:
    // A burst of changes (a family installed file by file) is announced once: this long after
    // the last change, and no later than kLongestWait after the first.
    static constexpr timeval kQuietTime{0, 250 * 1000};
    static constexpr timeval kLongestWait{0, 800 * 1000};

    // currentCatalogue, and for a build also keeping the families it grouped (grouped_).
    std::shared_ptr<const Catalogue> makeCatalogue(bool detailed, bool keepFamilies);
    void noteChange();
    static void onFontsMayHaveChanged(evutil_socket_t, short, void* agent);
    static void onSettled(evutil_socket_t, short, void* agent);
    static void onBuildDone(evutil_socket_t, short, void* agent);

    FontSetMonitor monitor_;
    DescriptionMemo memo_;
    struct RememberedCatalogue {
        std::shared_ptr<const FontSetState> state;
        std::shared_ptr<const Catalogue> catalogue;
    };
    RememberedCatalogue plain_;
    RememberedCatalogue detailed_;
    // The families a build grouped for the plain catalogue, kept until the next request: a
    // detailed request that follows the build (the first request at start) skips the grouping,
    // and they are not held for long.
    struct RememberedFamilies {
        std::shared_ptr<const FontSetState> state;
        std::unique_ptr<ResultSet> families;
    };
    RememberedFamilies grouped_;

    EventStreams streams_;
    WebFaces webFaces_;
    std::thread build_;
    std::shared_ptr<const Catalogue> built_;  // the build thread's result, read after joining
    UniqueFd buildDone_;                      // an eventfd the build thread signals
    EventPtr buildDoneEvent_;
    EventPtr fontWatch_;
    EventPtr settle_;
    bool watchPaused_ = false;    // the watch is left unread while a build reads it
    bool changePending_ = false;  // a change came while a build ran
    bool settling_ = false;
    timeval firstChange_{};
};
