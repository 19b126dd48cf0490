// Font descriptions remembered between catalogues, for as long as each file stays the same.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "FontDescriptor.h"
#include "FontManagerLinux.h"
#include "fontset/FileIdentity.h"
#include "fontset/FontSetMonitor.h"

// What was described under one listed path.
struct DescribedFile {
    // Of the very file FreeType read; `error` set when none could be opened.
    FileIdentity identity;
    Description description;  // null when the file has nothing to show
};
// By path.
using DescribedFiles = std::unordered_map<std::string, DescribedFile>;

class DescriptionMemo {
  public:
    // What is described under each path of `state`. A description is reused while the file's
    // identity is the one it was made from; the others are made afresh, side by side. Files no
    // longer listed are forgotten.
    std::shared_ptr<const DescribedFiles> describe(const FontSetState& state);
    // How many font files have a remembered description (those of the last state only).
    size_t size() const { return memo_->size(); }

  private:
    std::shared_ptr<const DescribedFiles> memo_ = std::make_shared<const DescribedFiles>();
};

// The families of `state`'s files, merged in path order with their faces ordered.
std::unique_ptr<ResultSet> familiesOf(const FontSetState& state, const DescribedFiles& files);
