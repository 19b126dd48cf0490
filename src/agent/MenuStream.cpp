#include "agent/MenuStream.h"

#include <event2/buffer.h>
#include <nlohmann/json.hpp>

#include "webface/Sfnt.h"

void MenuStream::start(Agent& agent, const Http::Exchange& exchange,
                       std::shared_ptr<const FontSet> set, std::shared_ptr<const FontMenu> menu,
                       std::vector<size_t> families, std::optional<std::string> text) {
    auto stream = std::make_shared<MenuStream>(agent, exchange, std::move(set), std::move(menu),
                                               std::move(families), std::move(text));
    Http::startStream(exchange);
    evhttp_connection* connection = evhttp_request_get_connection(exchange.req);
    if (connection == nullptr || exchange.framing.headOnly) {
        // The client is gone already, or asked for the headers alone.
        evhttp_send_reply_end(exchange.req);
        return;
    }
    stream->self_ = stream;
    evhttp_connection_set_closecb(connection, onClosed, stream.get());
    const nlohmann::ordered_json head = {{"catalogue", stream->set_->plain->validator},
                                         {"families", stream->menu_->size()}};
    EvBufferPtr buf(evbuffer_new());
    const std::string line = head.dump() + "\n";
    if (buf && evbuffer_add(buf.get(), line.data(), line.size()) == 0) {
        evhttp_send_reply_chunk(exchange.req, buf.get());
    }
    stream->pump();
}

MenuStream::MenuStream(Agent& agent, const Http::Exchange& exchange,
                       std::shared_ptr<const FontSet> set, std::shared_ptr<const FontMenu> menu,
                       std::vector<size_t> families, std::optional<std::string> text)
    : agent_(agent),
      exchange_(exchange),
      set_(std::move(set)),
      menu_(std::move(menu)),
      families_(std::move(families)),
      text_(std::move(text)),
      items_(families_.size()) {}

void MenuStream::pump() {
    while (!gone_ && next_ < families_.size() && making_ < kMaxMaking && begin(next_)) ++next_;
    writeReady();
}

bool MenuStream::begin(size_t position) {
    const MenuEntry& entry = (*menu_)[families_[position]];
    Item& item = items_[position];
    if (entry.file.empty()) {
        item = Item{true, {}, "the family has no face"};
        return true;
    }
    std::optional<OpenFont> font = openListedFont(*set_->files, entry.file);
    if (!font) {
        item = Item{true, {}, "the font file cannot be opened"};
        return true;
    }
    const std::string& text = text_ ? *text_ : entry.family;
    std::string key = MadeFaces::keyOf(font->identity(), static_cast<uint32_t>(entry.index), text);
    if (const std::optional<MadeFace> made = agent_.madeFaces().find(key)) {
        settle(position, *made);
        return true;
    }
    FaceOrder order{std::make_shared<OpenFont>(std::move(*font)),
                    static_cast<uint32_t>(entry.index), text};
    const bool queued = agent_.madeFaces().make(
        std::move(key), std::move(order),
        [stream = shared_from_this(), position](const MadeFace& made) {
            --stream->making_;
            stream->settle(position, made);
            stream->pump();
        });
    if (queued) {
        ++making_;
        return true;
    }
    // The lane is full with other requests' faces: wait for one of ours, or give up on this one
    // when none is being made.
    if (making_ > 0) return false;
    item = Item{true, {}, "the agent is busy"};
    return true;
}

void MenuStream::settle(size_t position, const MadeFace& made) {
    using Kind = MadeFace::Kind;
    Item& item = items_[position];
    item.ready = true;
    switch (made.kind) {
        case Kind::Bytes:
            item.made = made;
            return;
        case Kind::WholeFile:
            item.error = made.contentType == nullptr ? "the file has no OpenType or TrueType face"
                                                     : "the face cannot be subset";
            return;
        case Kind::NoSuchFace:
            item.error = "the file has no such face";
            return;
        case Kind::FileChanged:
            item.error = "the file changed while it was read";
            return;
    }
}

void MenuStream::writeReady() {
    while (!gone_ && written_ < families_.size() && items_[written_].ready) {
        write(families_[written_], items_[written_]);
        items_[written_] = Item{true, {}, {}};  // written: its bytes are the reply's now
        ++written_;
    }
    if (gone_ ? making_ == 0 : written_ == families_.size()) finish();
}

void MenuStream::write(size_t family, const Item& item) {
    const MenuEntry& entry = (*menu_)[family];
    nlohmann::ordered_json line = {{"family", family},
                                   {"file", entry.file},
                                   {"index", entry.index},
                                   {"postScript", entry.postScript}};
    if (item.made.bytes) {
        line["type"] = item.made.contentType != nullptr ? item.made.contentType : "font/ttf";
        line["length"] = item.made.bytes->size();
    } else {
        line["length"] = 0;
        line["error"] = item.error;
    }
    EvBufferPtr buf(evbuffer_new());
    if (!buf) return;
    // Names that are not UTF-8 never reach the catalogue; the replacement is a safety net.
    const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    evbuffer_add(buf.get(), text.data(), text.size());
    if (item.made.bytes) Http::addShared(buf.get(), item.made.bytes);
    evhttp_send_reply_chunk(exchange_.req, buf.get());
}

void MenuStream::finish() {
    if (!self_) return;
    if (!gone_) {
        if (evhttp_connection* connection = evhttp_request_get_connection(exchange_.req)) {
            evhttp_connection_set_closecb(connection, nullptr, nullptr);
        }
        evhttp_send_reply_end(exchange_.req);
    }
    self_.reset();  // may be the last reference: nothing after this
}

void MenuStream::onClosed(evhttp_connection*, void* arg) {
    auto* stream = static_cast<MenuStream*>(arg);
    stream->gone_ = true;
    // A client that went away leaves its unfinished request to us; when the server itself
    // closes the connection, the connection frees it.
    if (evhttp_request_get_connection(stream->exchange_.req) == nullptr) {
        evhttp_request_free(stream->exchange_.req);
    }
    if (stream->making_ == 0) stream->finish();
}
