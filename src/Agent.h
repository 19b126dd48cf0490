// The agent's long-lived state: everything that outlives one request, owned in one place.
#pragma once

#include <memory>
#include <thread>

#include <event2/event.h>

#include "DescriptionMemo.h"
#include "FontSetMonitor.h"
#include "Ownership.h"
#include "VornFontAgent.h"

class Agent {
  public:
    Agent() = default;
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;
    ~Agent() { awaitWarmUp(); }

    // The catalogue reply for the fonts as they are now. While no listed file and nothing
    // fontconfig depends on has changed, the catalogue would come out byte for byte the same,
    // so the last one is served again; any change builds it anew. The detailed document is
    // remembered beside the plain one.
    std::shared_ptr<const VornFontAgent::CatalogueReply> currentCatalogue(bool detailed = false);

    // The first catalogue is prepared on a thread of its own while the agent starts listening,
    // so that the first client waits for less of it. Every entry from the event loop waits for
    // that thread before it touches the state; from then on only the event-loop thread does.
    void startWarmUp();
    void awaitWarmUp();

    // Has the event loop tell the font set monitor as soon as its watch sees a change, rather
    // than when the next request asks.
    bool watchFontChanges(event_base* base);

    FontSetMonitor& monitor() { return monitor_; }

  private:
    static void onFontsMayHaveChanged(evutil_socket_t, short, void* agent);

    FontSetMonitor monitor_;
    DescriptionMemo memo_;
    struct RememberedCatalogue {
        FontSetState state;
        std::shared_ptr<const VornFontAgent::CatalogueReply> reply;
    };
    RememberedCatalogue plain_;
    RememberedCatalogue detailed_;
    std::thread warmUp_;
    EventPtr fontWatch_;
};
