#include "agent/Routes.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <optional>
#include <vector>

#include "agent/MenuStream.h"
#include "catalogue/CoversDocument.h"
#include "core/Utf8.h"
#include "webface/MadeFaces.h"
#include "webface/Sfnt.h"

namespace Routes {

namespace {

// The distinct characters of a `covers` text, sorted; nullopt for a text that cannot be
// asked for, as `text` of the file route: empty, not UTF-8, or over 1,024 characters. Every
// character counts, spaces and controls included, as fontconfig counts them.
std::optional<std::u32string> coveredCharacters(const std::string& text) {
    std::optional<std::u32string> characters;
    if (isAcceptableSubsetText(text)) characters = decodeUtf8(text);
    if (characters) {
        std::sort(characters->begin(), characters->end());
        characters->erase(std::unique(characters->begin(), characters->end()), characters->end());
    }
    return characters;
}

// The catalogue restricted to the faces that map every one of `characters`.
void replyCovering(Agent& agent, const Http::Exchange& exchange, const FontSet& set, bool detailed,
                   const std::u32string& characters) {
    std::shared_ptr<const std::string> body;
    try {
        const std::shared_ptr<const DocumentPieces> pieces =
            agent.catalogues().pieces(set, detailed);
        const Catalogue& whole = *pieces->whole;
        if (whole.reply.status != 200) {
            return Http::replyShared(exchange, whole.reply.status, whole.reply.reason,
                                     std::shared_ptr<const std::string>(pieces, &whole.reply.body));
        }
        const std::string etag = Http::coversEntityTag(whole.validator, characters);
        Http::addValidators(exchange, etag, std::string());
        if (Http::answeredNotModified(exchange, etag)) return;
        body = std::make_shared<const std::string>(coveringText(*pieces, characters));
    } catch (const std::exception&) {
        return Http::replyStatus(exchange, 500, "Internal Server Error");
    }
    Http::replyShared(exchange, 200, "OK", std::move(body));
}

}  // namespace

void catalogue(Agent& agent, const Http::Exchange& exchange, const Http::Query& query) {
    Http::addHeaders(exchange, Http::kCatalogueHeaders);
    if (query.covers || query.undecodableCovers) {
        std::optional<std::u32string> characters;
        if (query.covers) characters = coveredCharacters(*query.covers);
        if (!characters) return Http::replyBadRequest(exchange);
        return agent.catalogues().whenCurrent(
            [&agent, exchange, detailed = query.details,
             characters = std::move(*characters)](std::shared_ptr<const FontSet> set) {
                if (!set) return Http::replyUnavailable(exchange);
                replyCovering(agent, exchange, *set, detailed, characters);
            });
    }
    agent.catalogues().whenCurrent([&agent, exchange, query](std::shared_ptr<const FontSet> set) {
        if (!set) return Http::replyUnavailable(exchange);
        std::shared_ptr<const Catalogue> catalogue;
        try {
            catalogue = agent.catalogues().document(*set, query.details);
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
    });
}

void events(Agent& agent, const Http::Exchange& exchange, const Http::Query&) {
    Http::addHeaders(exchange, Http::kEventStreamHeaders);
    agent.catalogues().whenCurrent([&agent, exchange](std::shared_ptr<const FontSet> set) {
        if (!set || agent.streams().full()) return Http::replyUnavailable(exchange);
        Http::startStream(exchange);
        if (!agent.streams().open(exchange.req, set->plain->validator,
                                  Agent::catalogueEvent(*set->plain))) {
            // The client is gone already: ending the reply releases the request.
            evhttp_send_reply_end(exchange.req);
        }
    });
}

// More families than any machine has; a larger `count` is a mistake of the page's.
constexpr uint32_t kMaxMenuCount = 100000;
// A page picks the families of its screen (a sorted or filtered list is seldom a window of the
// catalogue); more than a few screens' worth in one request is a mistake of the page's.
constexpr size_t kMaxMenuPicks = 1000;

// "families=3,17,18": decimal indices, comma-separated, at most kMaxMenuPicks of them.
std::optional<std::vector<uint32_t>> pickedFamilies(const std::string& text) {
    std::vector<uint32_t> picked;
    for (size_t at = 0; at <= text.size() && picked.size() < kMaxMenuPicks;) {
        const size_t comma = std::min(text.find(',', at), text.size());
        const std::optional<uint32_t> family = Http::decimalIndex(text.substr(at, comma - at));
        if (!family) return std::nullopt;
        picked.push_back(*family);
        if (comma == text.size()) return picked;
        at = comma + 1;
    }
    return std::nullopt;
}

void menu(Agent& agent, const Http::Exchange& exchange, const Http::Query& query) {
    Http::addHeaders(exchange, Http::kMenuHeaders);
    const std::optional<uint32_t> from = query.from ? Http::decimalIndex(*query.from) : 0u;
    const std::optional<uint32_t> count = query.count ? Http::decimalIndex(*query.count) : 0u;
    const bool countOk = count && (query.count ? *count >= 1 && *count <= kMaxMenuCount : true);
    std::optional<std::vector<uint32_t>> picked;
    if (query.families) picked = pickedFamilies(*query.families);
    const bool pickOk = !query.families || (picked && !query.from && !query.count);
    if (!from || !countOk || !pickOk || (query.text && !isAcceptableSubsetText(*query.text))) {
        return Http::replyBadRequest(exchange);
    }
    agent.catalogues().whenCurrent([&agent, exchange, query, from = *from, count = *count,
                                    picked =
                                        std::move(picked)](std::shared_ptr<const FontSet> set) {
        if (!set) return Http::replyUnavailable(exchange);
        std::shared_ptr<const FontMenu> menu;
        try {
            menu = agent.catalogues().menu(*set);
        } catch (const std::exception&) {
            return Http::replyStatus(exchange, 500, "Internal Server Error");
        }
        const std::string* text = query.text ? &*query.text : nullptr;
        const std::string etag = Http::menuEntityTag(set->plain->validator, from, count, text,
                                                     picked ? &*picked : nullptr);
        Http::addValidators(exchange, etag, std::string());
        if (Http::answeredNotModified(exchange, etag)) return;
        // The families sent, in order: those picked that the catalogue has, or the window.
        std::vector<size_t> families;
        if (picked) {
            for (const uint32_t family : *picked) {
                if (family < menu->size()) families.push_back(family);
            }
        } else {
            const size_t begin = std::min<size_t>(from, menu->size());
            const size_t end =
                begin + std::min<size_t>(count != 0 ? count : menu->size(), menu->size() - begin);
            for (size_t family = begin; family < end; ++family) families.push_back(family);
        }
        MenuStream::start(agent, exchange, set, std::move(menu), std::move(families), query.text);
    });
}

namespace {

// What a face reply needs besides the made face.
struct FaceReply {
    Http::Exchange exchange;
    std::string file;
    std::string etag;
    std::string lastModified;
    std::shared_ptr<OpenFont> font;
};

void replyMadeFace(const FaceReply& face, const MadeFace& made) {
    const Http::Exchange& exchange = face.exchange;
    switch (made.kind) {
        case MadeFace::Kind::NoSuchFace:
            Http::addFileHeaders(exchange, face.file, nullptr);
            return Http::replyBadRequest(exchange);
        case MadeFace::Kind::FileChanged:
            Http::addFileHeaders(exchange, face.file, nullptr);
            return Http::replyUnavailable(exchange);
        case MadeFace::Kind::Bytes:
        case MadeFace::Kind::WholeFile:
            break;
    }
    Http::addFileHeaders(exchange, face.file, made.contentType);
    Http::addValidators(exchange, face.etag, face.lastModified);
    if (Http::answeredNotModified(exchange, face.etag)) return;
    if (made.kind == MadeFace::Kind::WholeFile) return Http::replyFont(exchange, std::move(*face.font));
    Http::replyShared(exchange, 200, "OK", made.bytes);
}

// One face of a listed file, or a subset of it for a text.
void webFace(Agent& agent, const Http::Exchange& exchange, const Http::Query& query,
             OpenFont opened) {
    const std::optional<uint32_t> index = query.face ? Http::decimalIndex(*query.face) : 0u;
    if (!index || (query.text && !isAcceptableSubsetText(*query.text))) {
        Http::addFileHeaders(exchange, query.file, nullptr);
        return Http::replyBadRequest(exchange);
    }
    const FileIdentity identity = opened.identity();
    const std::string* text = query.text ? &*query.text : nullptr;
    FaceReply face{exchange, query.file, Http::faceEntityTag(identity, *index, text),
                   Http::httpDate(opened.status.st_mtim.tv_sec),
                   std::make_shared<OpenFont>(std::move(opened))};
    std::string key = MadeFaces::keyOf(identity, *index, query.text);
    if (const std::optional<MadeFace> made = agent.madeFaces().find(key)) {
        return replyMadeFace(face, *made);
    }
    FaceOrder order{face.font, *index, query.text};
    const bool queued = agent.madeFaces().make(
        std::move(key), std::move(order), [face](const MadeFace& made) { replyMadeFace(face, made); });
    if (!queued) {
        Http::addFileHeaders(exchange, query.file, nullptr);
        Http::replyUnavailable(exchange);
    }
}

// Serves the file the request names from `set`; `mayRetry` once, after a refresh, when the
// path names another file than the one described (the watch tells of it a moment later).
void serveFile(Agent& agent, const Http::Exchange& exchange, const Http::Query& query,
               const std::shared_ptr<const FontSet>& set, bool mayRetry) {
    if (!set) {
        Http::addFileHeaders(exchange, query.file, nullptr);
        return Http::replyUnavailable(exchange);
    }
    std::optional<OpenFont> font = openListedFont(*set->files, query.file);
    if (!font && errno == ESTALE && mayRetry) {
        return agent.catalogues().whenCurrent(
            [&agent, exchange, query](std::shared_ptr<const FontSet> again) {
                serveFile(agent, exchange, query, again, false);
            });
    }
    if (!font) {
        Http::addFileHeaders(exchange, query.file, nullptr);
        // Out of descriptors or memory the font is still there: "try again", not "no such font".
        const bool busy = errno == EMFILE || errno == ENFILE || errno == ENOMEM;
        printf("Can not open file:%s", query.file.c_str());
        if (busy) return Http::replyUnavailable(exchange);
        return Http::replyStatus(exchange, 404, "Not Found");
    }
    if (query.face || query.text) return webFace(agent, exchange, query, std::move(*font));
    Http::addFileHeaders(exchange, query.file, nullptr);
    const std::string etag = Http::fileEntityTag(font->identity());
    Http::addValidators(exchange, etag, Http::httpDate(font->status.st_mtim.tv_sec));
    if (Http::answeredNotModified(exchange, etag)) return;
    Http::replyFont(exchange, std::move(*font));
}

}  // namespace

void file(Agent& agent, const Http::Exchange& exchange, const Http::Query& query) {
    agent.catalogues().whenCurrent([&agent, exchange, query](std::shared_ptr<const FontSet> set) {
        serveFile(agent, exchange, query, set, true);
    });
}

namespace {

struct Route {
    bool (*takes)(const Http::Query& query);
    void (*reply)(Agent& agent, const Http::Exchange& exchange, const Http::Query& query);
};

// A file request whose query cannot be decoded names no file that could be served.
void undecodableFile(Agent&, const Http::Exchange& exchange, const Http::Query&) {
    Http::addHeaders(exchange, Http::kFileHeaders);
    Http::replyBadRequest(exchange);
}

constexpr Route kRoutes[] = {
    {[](const Http::Query& query) { return query.undecodableFile; }, undecodableFile},
    {[](const Http::Query& query) { return !query.file.empty(); }, file},
    {[](const Http::Query& query) { return query.events; }, events},
    {[](const Http::Query& query) { return query.menu; }, menu},
    {[](const Http::Query&) { return true; }, catalogue},
};

}  // namespace

void dispatch(Agent& agent, evhttp_request* req) {
    agent.headDeadlines().arrived(req);
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
