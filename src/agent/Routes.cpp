#include "agent/Routes.h"

#include <cerrno>
#include <cstdio>
#include <exception>

#include "webface/Sfnt.h"
#include "webface/MadeFaces.h"

namespace Routes {

void catalogue(Agent& agent, const Http::Exchange& exchange, const Http::Query& query) {
    Http::addHeaders(exchange, Http::kCatalogueHeaders);
    std::shared_ptr<const Catalogue> catalogue;
    try {
        catalogue = agent.currentCatalogue(query.details);
    } catch (const std::exception&) {
        // The agent keeps serving; this one client learns that its catalogue failed.
        return Http::replyStatus(exchange, 500, "Internal Server Error");
    }
    const VornFontAgent::CatalogueReply& reply = catalogue->reply;
    if (reply.status == 200) {
        Http::addValidators(exchange, catalogue->validator, std::string());
        if (Http::answeredNotModified(exchange, catalogue->validator)) return;
    }
    Http::replyShared(exchange, reply.status, reply.reason,
                      std::shared_ptr<const std::string>(catalogue, &reply.body));
}

void events(Agent& agent, const Http::Exchange& exchange, const Http::Query&) {
    Http::addHeaders(exchange, Http::kEventStreamHeaders);
    std::shared_ptr<const Catalogue> catalogue;
    try {
        catalogue = agent.currentCatalogue();
    } catch (const std::exception&) {
        return Http::replyStatus(exchange, 500, "Internal Server Error");
    }
    if (agent.streams().full()) return Http::replyStatus(exchange, 503, "Service Unavailable");
    Http::startStream(exchange);
    if (!agent.streams().open(exchange.req, catalogue->validator,
                              Agent::catalogueEvent(*catalogue))) {
        // The client is gone already: ending the reply releases the request.
        evhttp_send_reply_end(exchange.req);
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

// The headers are on the reply already; a face without bytes is the file itself.
void replyMadeFace(const Http::Exchange& exchange, const MadeFace& made,
                   std::shared_ptr<OpenFont> font) {
    if (!made.bytes) return Http::replyFont(exchange, std::move(*font));
    Http::replyShared(exchange, 200, "OK", made.bytes);
}

// One face of a listed file, or a subset of it for a text.
void webFace(Agent& agent, const Http::Exchange& exchange, const Http::Query& query,
             OpenFont opened) {
    const std::optional<uint32_t> face = query.face ? parseFaceIndex(*query.face) : 0u;
    const bool textOk = !query.text || isAcceptableSubsetText(*query.text);
    auto font = std::make_shared<OpenFont>(std::move(opened));
    auto mapped = std::make_shared<const MappedFont>(font->fd.get(),
                                                     static_cast<size_t>(font->status.st_size));
    // What is no SFNT (Type 1, bitmap fonts, WOFF) is served whole, as its only face.
    const uint32_t sfntFaces = faceCountOf(mapped->bytes());
    if (!face || *face >= std::max(sfntFaces, 1u) || !textOk) {
        Http::addFileHeaders(exchange, query.file, nullptr);
        return Http::replyBadRequest(exchange);
    }
    const bool whole = sfntFaces == 0 || (!query.text && !isCollection(mapped->bytes()));
    // The content type does not depend on the text: a subset keeps the face's outlines.
    Http::addFileHeaders(exchange, query.file, fontContentType(mapped->bytes(), *face));
    const std::string* text = query.text ? &*query.text : nullptr;
    const std::string etag = Http::faceEntityTag(font->status, *face, text);
    Http::addValidators(exchange, etag, Http::httpDate(font->status.st_mtim.tv_sec));
    if (Http::answeredNotModified(exchange, etag)) return;
    if (whole) return Http::replyFont(exchange, std::move(*font));

    FaceOrder order{std::move(mapped), *face, query.text};
    std::string key = WebFaces::keyOf(font->status, order);
    if (const std::optional<MadeFace> made = agent.webFaces().find(key)) {
        return replyMadeFace(exchange, *made, font);
    }
    const bool queued = agent.webFaces().make(
        std::move(key), std::move(order),
        [exchange, font](const MadeFace& made) { replyMadeFace(exchange, made, font); });
    if (!queued) Http::replyStatus(exchange, 503, "Service Unavailable");
}

}  // namespace

void file(Agent& agent, const Http::Exchange& exchange, const Http::Query& query) {
    std::optional<OpenFont> font = openListedFont(*agent.monitor().listFontPaths(), query.file);
    if (!font) {
        Http::addFileHeaders(exchange, query.file, nullptr);
        // Out of descriptors or memory the font is still there: "try again", not "no such font".
        const bool busy = errno == EMFILE || errno == ENFILE || errno == ENOMEM;
        printf("Can not open file:%s", query.file.c_str());
        if (busy) return Http::replyStatus(exchange, 503, "Service Unavailable");
        return Http::replyStatus(exchange, 404, "Not Found");
    }
    if (query.face || query.text) return webFace(agent, exchange, query, std::move(*font));
    Http::addFileHeaders(exchange, query.file, nullptr);
    const std::string etag = Http::fileEntityTag(font->status);
    Http::addValidators(exchange, etag, Http::httpDate(font->status.st_mtim.tv_sec));
    if (Http::answeredNotModified(exchange, etag)) return;
    Http::replyFont(exchange, std::move(*font));
}

namespace {

struct Route {
    bool (*takes)(const Http::Query& query);
    void (*reply)(Agent& agent, const Http::Exchange& exchange, const Http::Query& query);
};

constexpr Route kRoutes[] = {
    {[](const Http::Query& query) { return !query.file.empty(); }, file},
    {[](const Http::Query& query) { return query.events; }, events},
    {[](const Http::Query&) { return true; }, catalogue},
};

}  // namespace

void dispatch(Agent& agent, evhttp_request* req) {
    agent.awaitBuild();
    const Http::Exchange exchange = Http::beginExchange(req, agent.policy);
    if (Http::answeredBeforeRoutes(exchange)) return;
    const Http::Query query = Http::parseQuery(req);
    for (const Route& route : kRoutes) {
        if (route.takes(query)) return route.reply(agent, exchange, query);
    }
}

VornFontAgent::RequestRouter routerFor(Agent& agent) {
    return {[](void* context, evhttp_request* req) { dispatch(*static_cast<Agent*>(context), req); },
            &agent};
}

}  // namespace Routes
