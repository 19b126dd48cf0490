// Font descriptions remembered between catalogues, for as long as each file stays the same.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "FontDescriptor.h"
#include "FontManagerLinux.h"
#include "fontset/FontSetMonitor.h"

class DescriptionMemo {
  public:
    // The catalogue of `state`. Descriptions of files whose identity is unchanged since the last
    // call are reused, the others are made afresh (side by side); files no longer listed are
    // forgotten.
    std::unique_ptr<ResultSet> catalogueOf(const FontSetState& state);
    // How many font files have a remembered description (those of the last state only).
    size_t size() const { return memo_.size(); }

  private:
    struct Remembered {
        FileIdentity identity;
        Description description;
    };
    std::unordered_map<std::string, Remembered> memo_;
};
