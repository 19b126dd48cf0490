#include "catalogue/CatalogueCache.h"

#include <malloc.h>

#include <algorithm>
#include <cstring>

#include "catalogue/CoversDocument.h"
#include "catalogue/DetailedDocument.h"
#include "http/HttpCaching.h"
#include "util.h"

namespace {

bool sameState(const std::shared_ptr<const FontSetState>& a,
               const std::shared_ptr<const FontSetState>& b) {
    return a && b && (a == b || *a == *b);
}

CatalogueDetails detailsOf(const FontSet& set) {
    CatalogueDetails details{set.facts, {}};
    details.fileSizes.reserve(set.state->files.size());
    size_t i = 0;
    for (const std::string& path : *set.state->paths) {
        details.fileSizes.emplace(path, static_cast<int64_t>(set.state->files[i++].size));
    }
    return details;
}

// The document `reply` holds, written from `families`.
std::shared_ptr<const Catalogue> catalogueOf(VornFontAgent::CatalogueReply reply,
                                             const ResultSet& families) {
    auto catalogue = std::make_shared<Catalogue>();
    catalogue->reply = std::move(reply);
    catalogue->validator = Http::contentEntityTag(catalogue->reply.body);
    for (const Typeface* typeface : families) {
        if (typeface == nullptr) continue;
        ++catalogue->families;
        catalogue->faces += typeface->childList.size();
    }
    return catalogue;
}

// The plain document of `families`, or the detailed one with `details`.
std::shared_ptr<const Catalogue> makeCatalogue(ResultSet* families,
                                               const CatalogueDetails* details) {
    if (details != nullptr) {
        int nErrorCode = 0;
        std::string text = convertToDetailedJson(families, *details, nErrorCode);
        return catalogueOf(VornFontAgent::catalogueReplyOf(std::move(text), nErrorCode), *families);
    }
    return catalogueOf(VornFontAgent::makeCatalogueReply(families), *families);
}

// The document of `families` cut into pieces; the one already made of the same text is shared
// rather than held twice.
std::shared_ptr<const DocumentPieces> makePieces(ResultSet* families,
                                                 const CatalogueDetails* details,
                                                 const FaceFactsTable& facts,
                                                 std::shared_ptr<const Catalogue> made) {
    auto pieces = std::make_shared<DocumentPieces>();
    int nErrorCode = 0;
    std::string text = writePieces(families, details, facts, *pieces, nErrorCode);
    if (made && made->reply.body == text) {
        pieces->whole = std::move(made);
    } else {
        pieces->whole =
            catalogueOf(VornFontAgent::catalogueReplyOf(std::move(text), nErrorCode), *families);
    }
    return pieces;
}

// The face that stands for each family: the first all "Normal" one, else the first.
std::shared_ptr<const FontMenu> menuOf(const ResultSet& families) {
    auto menu = std::make_shared<FontMenu>();
    for (const Typeface* typeface : families) {
        if (typeface == nullptr) continue;
        MenuEntry& entry = menu->emplace_back();
        entry.family = typeface->family;
        const auto normal = std::find_if(
            typeface->childList.begin(), typeface->childList.end(), [](const TypefaceItem& face) {
                return strcmp(convertWeightTostring(face.weight), "Normal") == 0 &&
                       strcmp(convertWidthToString(face.width), "Normal") == 0 &&
                       strcmp(convertStyleToString(face.slant), "Normal") == 0;
            });
        const auto chosen = normal != typeface->childList.end() ? normal : typeface->childList.begin();
        if (chosen == typeface->childList.end()) continue;
        entry.file = chosen->file;
        entry.index = chosen->faceIndex;
        entry.postScript = chosen->postscript;
    }
    return menu;
}

}  // namespace

bool CatalogueCache::attach(event_base* base) {
    watch_.reset(
        event_new(base, monitor_.watchDescriptor(), EV_READ | EV_PERSIST, onWatch, this));
    waitLimit_.reset(evtimer_new(base, onWaitLimit, this));
    return watch_ && waitLimit_ && event_add(watch_.get(), nullptr) == 0;
}

void CatalogueCache::whenCurrent(Use use) {
    if (refreshing_) {
        if (stuck_) return use(current_);
        waiting_.push_back(Waiter{std::move(use), true});
        return;
    }
    if (current_ && !monitor_.mayBeStale()) return use(current_);
    waiting_.push_back(Waiter{std::move(use), false});
    startRefresh();
}

void CatalogueCache::startRefresh() {
    if (refreshing_) return;
    refreshing_ = true;
    stuck_ = false;
    // The refresh reads the watch itself.
    event_del(watch_.get());
    const timeval limit = current_ ? kLongestWait : kLongestFirstWait;
    evtimer_add(waitLimit_.get(), &limit);
    auto result = std::make_shared<Refreshed>();
    const bool posted = lane_.post([this, result, previous = current_] { *result = refresh(previous); },
                                   [this, result] { onRefreshed(std::move(*result)); });
    if (!posted) onRefreshed(Refreshed{});
}

CatalogueCache::Refreshed CatalogueCache::refresh(std::shared_ptr<const FontSet> previous) {
    auto set = std::make_shared<FontSet>();
    set->state = monitor_.currentState();
    set->facts = monitor_.faceFacts();
    set->files = memo_.describe(*set->state);
    if (previous && sameState(previous->state, set->state)) {
        // Byte for byte the same document.
        set->plain = previous->plain;
        return Refreshed{std::move(set), {}};
    }
    std::shared_ptr<ResultSet> families = ::familiesOf(*set->state, *set->files);
    set->plain = makeCatalogue(families.get(), nullptr);
    KeptFamilies kept{set->state, std::move(families)};
    return Refreshed{std::move(set), std::move(kept)};
}

void CatalogueCache::onRefreshed(Refreshed result) {
    refreshing_ = false;
    stuck_ = false;
    evtimer_del(waitLimit_.get());
    event_add(watch_.get(), nullptr);
    // A refresh that failed (out of memory) leaves the last set in place.
    if (result.set) {
        current_ = std::move(result.set);
        if (result.kept.families) kept_ = std::move(result.kept);
    }
    // Who came while the refresh ran may have come after a change it did not see.
    std::vector<Waiter> waiters = std::move(waiting_);
    waiting_.clear();
    const bool changedSince = monitor_.mayBeStale();
    std::vector<Waiter> served;
    for (Waiter& waiter : waiters) {
        if (waiter.arrivedDuringRefresh && changedSince) {
            waiting_.push_back(Waiter{std::move(waiter.use), false});
        } else {
            served.push_back(std::move(waiter));
        }
    }
    if (!waiting_.empty()) startRefresh();
    handOut(std::move(served));
    if (refreshed && current_) refreshed(*current_);
    if (changed && !refreshing_ && monitor_.changePending()) changed();
}

void CatalogueCache::handOut(std::vector<Waiter> waiters) {
    for (Waiter& waiter : waiters) waiter.use(current_);
}

std::shared_ptr<ResultSet> CatalogueCache::familiesOf(const FontSet& set) {
    KeptFamilies kept = std::move(kept_);
    kept_ = KeptFamilies{};
    if (kept.families && kept.state == set.state) return kept.families;
    return ::familiesOf(*set.state, *set.files);
}

void CatalogueCache::letKeptGo(bool hadKept) {
    kept_ = KeptFamilies{};
    // They were made on the lane's thread, in a malloc arena that keeps what is freed in it:
    // without a trim several MiB stay resident at 20,000 files.
    if (hadKept) malloc_trim(0);
}

std::shared_ptr<const Catalogue> CatalogueCache::document(const FontSet& set, bool detailed) {
    const bool hadKept = kept_.families != nullptr;
    std::shared_ptr<const Catalogue> catalogue = set.plain;
    if (detailed) {
        if (!detailed_.catalogue || !sameState(detailed_.state, set.state)) {
            const std::shared_ptr<ResultSet> families = familiesOf(set);
            const CatalogueDetails details = detailsOf(set);
            detailed_ = Detailed{set.state, makeCatalogue(families.get(), &details)};
        }
        catalogue = detailed_.catalogue;
    }
    letKeptGo(hadKept);
    return catalogue;
}

std::shared_ptr<const DocumentPieces> CatalogueCache::pieces(const FontSet& set, bool detailed) {
    Pieces& cut = pieces_[detailed ? 1 : 0];
    if (cut.pieces && sameState(cut.state, set.state)) return cut.pieces;
    const bool hadKept = kept_.families != nullptr;
    // Let go before the new ones are made: both would be held at once otherwise.
    cut = Pieces{};
    const std::shared_ptr<ResultSet> families = familiesOf(set);
    const FaceFactsTable none;
    const FaceFactsTable& facts = set.facts ? *set.facts : none;
    if (detailed) {
        const CatalogueDetails details = detailsOf(set);
        const bool madeDetailed = detailed_.catalogue && sameState(detailed_.state, set.state);
        cut = Pieces{set.state, makePieces(families.get(), &details, facts,
                                           madeDetailed ? detailed_.catalogue : nullptr)};
        // The same text as the detailed document: a detailed request takes it from here.
        detailed_ = Detailed{set.state, cut.pieces->whole};
    } else {
        cut = Pieces{set.state, makePieces(families.get(), nullptr, facts, set.plain)};
    }
    letKeptGo(hadKept);
    return cut.pieces;
}

std::shared_ptr<const FontMenu> CatalogueCache::menu(const FontSet& set) {
    if (menu_.menu && sameState(menu_.state, set.state)) return menu_.menu;
    const bool hadKept = kept_.families != nullptr;
    menu_ = Menu{set.state, menuOf(*familiesOf(set))};
    letKeptGo(hadKept);
    return menu_.menu;
}

void CatalogueCache::onWatch(evutil_socket_t, short, void* arg) {
    auto& self = *static_cast<CatalogueCache*>(arg);
    self.monitor_.onWatchReadable();
    if (self.changed) self.changed();
}

void CatalogueCache::onWaitLimit(evutil_socket_t, short, void* arg) {
    auto& self = *static_cast<CatalogueCache*>(arg);
    self.stuck_ = true;
    std::vector<Waiter> waiters = std::move(self.waiting_);
    self.waiting_.clear();
    self.handOut(std::move(waiters));
}
