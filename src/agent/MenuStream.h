// A font menu reply under way: one face of each family of a window of the catalogue, subset
// for a text, found in the made-face cache or made a few at a time, and written in the
// catalogue's order as each is ready, so that the first families reach the page first.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/Agent.h"
#include "http/Http.h"

class MenuStream : public std::enable_shared_from_this<MenuStream> {
  public:
    // At most this many faces of one menu are made at once: a menu of every family must not
    // fill the face lane for everyone else.
    static constexpr size_t kMaxMaking = 4;

    // Starts the reply (its headers are on it already) and streams `families` of `menu` (each
    // an index in it), in that order. `text` is what each face is subset for; without it, the
    // family's own name.
    static void start(Agent& agent, const Http::Exchange& exchange,
                      std::shared_ptr<const FontSet> set, std::shared_ptr<const FontMenu> menu,
                      std::vector<size_t> families, std::optional<std::string> text);

    MenuStream(Agent& agent, const Http::Exchange& exchange, std::shared_ptr<const FontSet> set,
               std::shared_ptr<const FontMenu> menu, std::vector<size_t> families,
               std::optional<std::string> text);

  private:
    struct Item {
        bool ready = false;
        MadeFace made;      // Bytes when the face could be subset
        std::string error;  // why not, otherwise
    };

    // Starts what may start and writes what is ready.
    void pump();
    // Looks up the face of the family at `position` in the reply, or starts making it; false
    // when it must wait for a slot.
    bool begin(size_t position);
    void settle(size_t position, const MadeFace& made);
    void writeReady();
    void write(size_t family, const Item& item);
    void finish();
    static void onClosed(evhttp_connection* connection, void* stream);

    Agent& agent_;
    Http::Exchange exchange_;
    std::shared_ptr<const FontSet> set_;
    std::shared_ptr<const FontMenu> menu_;
    const std::vector<size_t> families_;  // the reply's families, in its order
    std::optional<std::string> text_;
    std::vector<Item> items_;  // one per family of the reply
    size_t next_ = 0;          // the position of the next family to begin
    size_t written_ = 0;       // families written
    size_t making_ = 0;
    bool gone_ = false;  // the client left: nothing more is written
    // Keeps the stream alive until it is written or its client has left.
    std::shared_ptr<MenuStream> self_;
};
