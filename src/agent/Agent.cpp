#include "agent/Agent.h"

#include <cstdint>
#include <exception>

#include <malloc.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "http/HttpCaching.h"

namespace {

CatalogueDetails detailsOf(const FontSetState& state, std::shared_ptr<const FaceFactsTable> faces) {
    CatalogueDetails details{std::move(faces), {}};
    details.fileSizes.reserve(state.files.size());
    size_t i = 0;
    for (const std::string& path : *state.paths) {
        details.fileSizes.emplace(path, static_cast<int64_t>(state.files[i++].size));
    }
    return details;
}

bool sameState(const std::shared_ptr<const FontSetState>& a,
               const std::shared_ptr<const FontSetState>& b) {
    return a && b && (a == b || *a == *b);
}

timeval now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return timeval{ts.tv_sec, ts.tv_nsec / 1000};
}

}  // namespace

Agent::Agent() : buildDone_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

std::shared_ptr<const Catalogue> Agent::currentCatalogue(bool detailed) {
    const bool keptFamilies = grouped_.families != nullptr;
    std::shared_ptr<const Catalogue> catalogue = makeCatalogue(detailed, false);
    // The kept families were made on the build's thread, in a malloc arena that keeps what is
    // freed in it: without a trim several MiB stay resident at 20,000 files.
    if (keptFamilies) malloc_trim(0);
    return catalogue;
}

std::shared_ptr<const Catalogue> Agent::makeCatalogue(bool detailed, bool keepFamilies) {
    // Whatever this call makes, the families kept by the last build are not kept past it.
    RememberedFamilies grouped = std::move(grouped_);
    std::shared_ptr<const FontSetState> state = monitor_.currentState();
    RememberedCatalogue& last = detailed ? detailed_ : plain_;
    if (last.catalogue && sameState(last.state, state)) return last.catalogue;
    std::unique_ptr<ResultSet> pRes;
    if (grouped.families && sameState(grouped.state, state)) pRes = std::move(grouped.families);
    if (!pRes) pRes = memo_.catalogueOf(*state);
    auto catalogue = std::make_shared<Catalogue>();
    if (detailed) {
        const CatalogueDetails details = detailsOf(*state, monitor_.faceFacts());
        catalogue->reply = VornFontAgent::makeCatalogueReply(pRes.get(), &details);
    } else {
        catalogue->reply = VornFontAgent::makeCatalogueReply(pRes.get());
    }
    catalogue->validator = Http::contentEntityTag(catalogue->reply.body);
    for (const Typeface* typeface : *pRes) {
        if (typeface == nullptr) continue;
        ++catalogue->families;
        catalogue->faces += typeface->childList.size();
    }
    if (keepFamilies) grouped_ = RememberedFamilies{state, std::move(pRes)};
    last = RememberedCatalogue{std::move(state), catalogue};
    return catalogue;
}

std::string Agent::catalogueEvent(const Catalogue& catalogue) {
    const nlohmann::json data = {{"validator", catalogue.validator},
                                 {"families", catalogue.families},
                                 {"faces", catalogue.faces}};
    return EventStreams::formatEvent("catalogue", data.dump());
}

void Agent::startBuild() {
    if (build_.joinable()) {
        changePending_ = true;
        return;
    }
    build_ = std::thread([this] {
        try {
            built_ = makeCatalogue(false, true);
        } catch (const std::exception&) {
            // The next request builds it again and answers with whatever happens then.
            built_.reset();
        }
        const uint64_t one = 1;
        if (buildDone_ && write(buildDone_.get(), &one, sizeof one) < 0) {
            // Only the event for the streams is lost; the next change builds again.
        }
    });
}

void Agent::awaitBuild() {
    if (build_.joinable()) build_.join();
}

bool Agent::attach(event_base* base, int timeoutSeconds) {
    fontWatch_.reset(event_new(base, monitor_.watchDescriptor(), EV_READ | EV_PERSIST,
                               onFontsMayHaveChanged, this));
    settle_.reset(evtimer_new(base, onSettled, this));
    buildDoneEvent_.reset(
        event_new(base, buildDone_.get(), EV_READ | EV_PERSIST, onBuildDone, this));
    return fontWatch_ && settle_ && buildDoneEvent_ && event_add(fontWatch_.get(), nullptr) == 0 &&
           event_add(buildDoneEvent_.get(), nullptr) == 0 && streams_.start(base, timeoutSeconds) &&
           webFaces_.start(base);
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

void Agent::onFontsMayHaveChanged(evutil_socket_t, short, void* arg) {
    auto& agent = *static_cast<Agent*>(arg);
    if (agent.build_.joinable()) {
        // The build reads the watch itself; look again once it is done.
        event_del(agent.fontWatch_.get());
        agent.watchPaused_ = true;
        agent.changePending_ = true;
        return;
    }
    agent.monitor_.onWatchReadable();
    if (agent.streams_.size() != 0) agent.noteChange();
}

void Agent::onSettled(evutil_socket_t, short, void* arg) {
    auto& agent = *static_cast<Agent*>(arg);
    agent.settling_ = false;
    agent.startBuild();
}

void Agent::onBuildDone(evutil_socket_t fd, short, void* arg) {
    auto& agent = *static_cast<Agent*>(arg);
    uint64_t count = 0;
    if (read(fd, &count, sizeof count) < 0) return;
    agent.awaitBuild();
    if (agent.watchPaused_) {
        event_add(agent.fontWatch_.get(), nullptr);
        agent.watchPaused_ = false;
    }
    if (agent.built_)
        agent.streams_.broadcast(agent.built_->validator, catalogueEvent(*agent.built_));
    // A change the build could not take in anymore is announced by another build.
    if (agent.changePending_ || agent.monitor_.changePending()) {
        agent.changePending_ = false;
        if (agent.streams_.size() != 0) agent.noteChange();
    }
}
