#include "fontset/DescriptionMemo.h"

#include <vector>

std::unique_ptr<ResultSet> DescriptionMemo::catalogueOf(const FontSetState& state) {
    std::unordered_map<std::string, Remembered> next;
    next.reserve(state.files.size());
    std::vector<const std::string*> changed;
    size_t i = 0;
    for (const std::string& path : *state.paths) {
        const FileIdentity& identity = state.files[i++];
        auto found = memo_.find(path);
        if (found != memo_.end() && found->second.identity == identity) {
            next.emplace(path, std::move(found->second));
        } else {
            changed.push_back(&path);
            next.emplace(path, Remembered{identity, nullptr});
        }
    }
    const std::vector<Description> fresh = describeFontFiles(changed);
    for (size_t k = 0; k < changed.size(); ++k) next[*changed[k]].description = fresh[k];
    memo_ = std::move(next);

    std::vector<Description> descriptions;
    descriptions.reserve(state.paths->size());
    for (const std::string& path : *state.paths) descriptions.push_back(memo_[path].description);
    return std::unique_ptr<ResultSet>(groupFamilies(descriptions));
}
