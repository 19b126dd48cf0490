#include "Routes.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <iterator>

namespace Routes {

void catalogue(Agent& agent, evhttp_request* req, const Http::Query& query) {
    Http::addHeaders(req, Http::kCatalogueHeaders);
    std::shared_ptr<const Catalogue> catalogue;
    try {
        catalogue = agent.currentCatalogue(query.details);
    } catch (const std::exception&) {
        // The agent keeps serving; this one client learns that its catalogue failed.
        return Http::replyStatus(req, 500, "Internal Server Error");
    }
    const VornFontAgent::CatalogueReply& reply = catalogue->reply;
    Http::replyShared(req, reply.status, reply.reason,
                      std::shared_ptr<const std::string>(catalogue, &reply.body));
}

void events(Agent& agent, evhttp_request* req, const Http::Query&) {
    Http::addHeaders(req, Http::kEventStreamHeaders);
    std::shared_ptr<const Catalogue> catalogue;
    try {
        catalogue = agent.currentCatalogue();
    } catch (const std::exception&) {
        return Http::replyStatus(req, 500, "Internal Server Error");
    }
    if (!agent.streams().open(req, catalogue->validator, Agent::catalogueEvent(*catalogue))) {
        return Http::replyStatus(req, 503, "Service Unavailable");
    }
}

void file(Agent& agent, evhttp_request* req, const Http::Query& query) {
    Http::addHeaders(req, Http::kFileHeaders);
    Http::addHeader(req, "Content-Disposition", Http::contentDisposition(query.file));
    std::optional<OpenFont> font = openListedFont(*agent.monitor().listFontPaths(), query.file);
    if (!font) {
        // Out of descriptors or memory the font is still there: "try again", not "no such font".
        const bool busy = errno == EMFILE || errno == ENFILE || errno == ENOMEM;
        printf("Can not open file:%s", query.file.c_str());
        if (busy) return Http::replyStatus(req, 503, "Service Unavailable");
        return Http::replyStatus(req, 404, "Not Found");
    }
    Http::replyFont(req, std::move(*font));
}

namespace {

struct Route {
    bool (*takes)(const Http::Query& query);
    void (*reply)(Agent& agent, evhttp_request* req, const Http::Query& query);
};

constexpr Route kRoutes[] = {
    {[](const Http::Query& query) { return !query.file.empty(); }, file},
    {[](const Http::Query& query) { return query.events; }, events},
    {[](const Http::Query&) { return true; }, catalogue},
};

}  // namespace

void dispatch(Agent& agent, evhttp_request* req) {
    agent.awaitBuild();
    const Http::Query query = Http::parseQuery(req);
    for (const Route& route : kRoutes) {
        if (route.takes(query)) return route.reply(agent, req, query);
    }
}

}  // namespace Routes
