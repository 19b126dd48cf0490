// The agent's long-lived parts, owned in one place: the threads that work off the event loop,
// the catalogue cache, the made web faces and the event streams.
#pragma once

#include <chrono>
#include <string>

#include <event2/event.h>

#include "catalogue/CatalogueCache.h"
#include "core/JobPool.h"
#include "core/Ownership.h"
#include "http/AccessPolicy.h"
#include "http/EventStreams.h"
#include "http/HeadDeadlines.h"
#include "webface/MadeFaces.h"

class Agent {
  public:
    Agent();
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;
    // Waits for the work under way: its jobs use the parts below.
    ~Agent();

    // Joins the event loop and starts the first catalogue. Changes seen by the font set's watch
    // are turned into catalogue events for the streams, which are kept alive within
    // `timeoutSeconds`; each request of `httpd` must arrive within it.
    bool attach(event_base* base, evhttp* httpd, int timeoutSeconds);

    // Lets the work under way finish within `grace`; false when some cannot (a scan blocked in
    // fontconfig), and the process must then end without waiting for it.
    bool stop(std::chrono::milliseconds grace);

    // True while work sent off the loop has not come back.
    bool busy() const { return catalogueLane_.busy() || faceLane_.busy(); }

    // Which pages may read the replies (-o); set before the loop runs.
    Http::AccessPolicy policy;

    CatalogueCache& catalogues() { return catalogues_; }
    MadeFaces& madeFaces() { return madeFaces_; }
    EventStreams& streams() { return streams_; }
    HeadDeadlines& headDeadlines() { return headDeadlines_; }

    // The event a stream is sent for a catalogue.
    static std::string catalogueEvent(const Catalogue& catalogue);

  private:
    // A burst of changes (a family installed file by file) is announced once: this long after
    // the last change, and no later than kLongestWait after the first.
    static constexpr timeval kQuietTime{0, 250 * 1000};
    static constexpr timeval kLongestWait{0, 800 * 1000};
    // Subsets are short; two threads keep one core for the event loop on a small machine. At
    // most this many wait, so that a page cannot queue unbounded work.
    static constexpr unsigned kFaceThreads = 2;
    static constexpr size_t kMaxWaitingFaces = 64;

    void noteChange();
    static void onSettled(evutil_socket_t, short, void* agent);

    // Catalogues are made one at a time, each from the last.
    JobPool catalogueLane_{1, 1};
    JobPool faceLane_{kFaceThreads, kMaxWaitingFaces};
    CatalogueCache catalogues_{catalogueLane_};
    MadeFaces madeFaces_{faceLane_};
    EventStreams streams_;
    HeadDeadlines headDeadlines_;
    EventPtr settle_;
    bool settling_ = false;
    timeval firstChange_{};
};
