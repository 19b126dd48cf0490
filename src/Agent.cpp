#include "Agent.h"

#include <exception>

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

}  // namespace

std::shared_ptr<const VornFontAgent::CatalogueReply> Agent::currentCatalogue(bool detailed) {
    FontSetState state = monitor_.currentState();
    RememberedCatalogue& last = detailed ? detailed_ : plain_;
    if (last.reply && last.state == state) return last.reply;
    std::unique_ptr<ResultSet> pRes = memo_.catalogueOf(state);
    if (detailed) {
        const CatalogueDetails details = detailsOf(state, monitor_.faceFacts());
        last.reply = std::make_shared<const VornFontAgent::CatalogueReply>(
            VornFontAgent::makeCatalogueReply(pRes.get(), &details));
    } else {
        last.reply = std::make_shared<const VornFontAgent::CatalogueReply>(
            VornFontAgent::makeCatalogueReply(pRes.get()));
    }
    last.state = std::move(state);
    return last.reply;
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
