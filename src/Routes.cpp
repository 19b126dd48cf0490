#include "Routes.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <iterator>

#include "WebFace.h"
#include "WebFaces.h"

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

namespace {

// A face index: decimal digits only, small enough for any collection.
std::optional<uint32_t> parseFaceIndex(const std::string& text) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    return value;
}

void replyMadeFace(evhttp_request* req, const std::string& file, const MadeFace& made,
                   std::shared_ptr<OpenFont> font) {
    if (!made.bytes) {
        Http::addFileHeaders(req, file, made.contentType);
        return Http::replyFont(req, std::move(*font));
    }
    Http::addFileHeaders(req, file, made.contentType);
    Http::replyShared(req, 200, "OK", made.bytes);
}

// One face of a listed file, or a subset of it for a text.
void webFace(Agent& agent, evhttp_request* req, const Http::Query& query, OpenFont opened) {
    const std::optional<uint32_t> face = query.face ? parseFaceIndex(*query.face) : 0u;
    const bool textOk = !query.text || isAcceptableSubsetText(*query.text);
    auto font = std::make_shared<OpenFont>(std::move(opened));
    auto mapped = std::make_shared<const MappedFont>(font->fd.get(),
                                                     static_cast<size_t>(font->status.st_size));
    // What is no SFNT (Type 1, bitmap fonts, WOFF) is served whole, as its only face.
    const uint32_t faces = std::max(faceCountOf(mapped->bytes()), 1u);
    if (!face || *face >= faces || !textOk) {
        Http::addFileHeaders(req, query.file, nullptr);
        return Http::replyBadRequest(req);
    }
    if (faceCountOf(mapped->bytes()) == 0 || (!query.text && !isCollection(mapped->bytes()))) {
        return replyMadeFace(req, query.file,
                             MadeFace{nullptr, fontContentType(mapped->bytes(), 0)}, font);
    }
    FaceOrder order{std::move(mapped), *face, query.text};
    std::string key = WebFaces::keyOf(font->status, order);
    if (const std::optional<MadeFace> made = agent.webFaces().find(key)) {
        return replyMadeFace(req, query.file, *made, font);
    }
    const std::string file = query.file;
    const bool queued = agent.webFaces().make(
        std::move(key), std::move(order),
        [req, file, font](const MadeFace& made) { replyMadeFace(req, file, made, font); });
    if (!queued) {
        Http::addFileHeaders(req, query.file, nullptr);
        Http::replyStatus(req, 503, "Service Unavailable");
    }
}

}  // namespace

void file(Agent& agent, evhttp_request* req, const Http::Query& query) {
    std::optional<OpenFont> font = openListedFont(*agent.monitor().listFontPaths(), query.file);
    if (!font) {
        Http::addFileHeaders(req, query.file, nullptr);
        // Out of descriptors or memory the font is still there: "try again", not "no such font".
        const bool busy = errno == EMFILE || errno == ENFILE || errno == ENOMEM;
        printf("Can not open file:%s", query.file.c_str());
        if (busy) return Http::replyStatus(req, 503, "Service Unavailable");
        return Http::replyStatus(req, 404, "Not Found");
    }
    if (query.face || query.text) return webFace(agent, req, query, std::move(*font));
    Http::addFileHeaders(req, query.file, nullptr);
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
