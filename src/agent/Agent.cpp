#include "agent/Agent.h"

#include <nlohmann/json.hpp>

namespace {

timeval now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return timeval{ts.tv_sec, ts.tv_nsec / 1000};
}

}  // namespace

Agent::Agent() {
    catalogues_.changed = [this] {
        if (streams_.size() != 0) noteChange();
    };
    catalogues_.refreshed = [this](const FontSet& set) {
        streams_.broadcast(set.plain->validator, catalogueEvent(*set.plain));
    };
}

Agent::~Agent() { stop(std::chrono::hours(24)); }

std::string Agent::catalogueEvent(const Catalogue& catalogue) {
    const nlohmann::json data = {{"validator", catalogue.validator},
                                 {"families", catalogue.families},
                                 {"faces", catalogue.faces}};
    return EventStreams::formatEvent("catalogue", data.dump());
}

bool Agent::attach(event_base* base, evhttp* httpd, int timeoutSeconds) {
    settle_.reset(evtimer_new(base, onSettled, this));
    const bool attached = settle_ && catalogueLane_.start(base) && faceLane_.start(base) &&
                          catalogues_.attach(base) && streams_.start(base, timeoutSeconds) &&
                          headDeadlines_.start(httpd, base, timeoutSeconds);
    // The first catalogue is made while the agent waits for its first client.
    if (attached) catalogues_.whenCurrent([](std::shared_ptr<const FontSet>) {});
    return attached;
}

bool Agent::stop(std::chrono::milliseconds grace) {
    const bool faces = faceLane_.stop(grace);
    return catalogueLane_.stop(grace) && faces;
}

void Agent::noteChange() {
    const timeval at = now();
    if (!settling_) firstChange_ = at;
    settling_ = true;
    timeval deadline, left, delay = kQuietTime;
    timeradd(&firstChange_, &kLongestWait, &deadline);
    timersub(&deadline, &at, &left);
    if (left.tv_sec < 0) left = timeval{0, 0};
    if (timercmp(&left, &delay, <)) delay = left;
    evtimer_add(settle_.get(), &delay);
}

void Agent::onSettled(evutil_socket_t, short, void* arg) {
    auto& agent = *static_cast<Agent*>(arg);
    agent.settling_ = false;
    // The refresh tells the streams through `refreshed`.
    agent.catalogues_.whenCurrent([](std::shared_ptr<const FontSet>) {});
}
