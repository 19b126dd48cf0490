#include "Agent.h"

#include <exception>

std::shared_ptr<const VornFontAgent::CatalogueReply> Agent::currentCatalogue() {
    FontSetState state = monitor_.currentState();
    if (lastReply_ && lastState_ == state) return lastReply_;
    std::unique_ptr<ResultSet> pRes = memo_.catalogueOf(state);
    lastReply_ = std::make_shared<const VornFontAgent::CatalogueReply>(
        VornFontAgent::makeCatalogueReply(pRes.get()));
    lastState_ = std::move(state);
    return lastReply_;
}

void Agent::startWarmUp() {
    warmUp_ = std::thread([this] {
        try {
            currentCatalogue();
        } catch (const std::exception&) {
            // The first request builds it again and answers with whatever happens then.
        }
    });
}

void Agent::awaitWarmUp() {
    if (warmUp_.joinable()) warmUp_.join();
}

bool Agent::watchFontChanges(event_base* base) {
    fontWatch_.reset(event_new(base, monitor_.watchDescriptor(), EV_READ | EV_PERSIST,
                               onFontsMayHaveChanged, this));
    return fontWatch_ && event_add(fontWatch_.get(), nullptr) == 0;
}

void Agent::onFontsMayHaveChanged(evutil_socket_t, short, void* arg) {
    auto& agent = *static_cast<Agent*>(arg);
    agent.awaitWarmUp();
    agent.monitor_.onWatchReadable();
}
