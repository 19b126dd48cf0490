#include "fontset/DescriptionMemo.h"

#include <cerrno>
#include <vector>

namespace {

FileIdentity describedIdentity(const struct stat& status) {
    if (!S_ISREG(status.st_mode)) {
        FileIdentity none;
        none.error = ENOENT;
        return none;
    }
    return identityOf(status);
}

}  // namespace

std::shared_ptr<const DescribedFiles> DescriptionMemo::describe(const FontSetState& state) {
    auto next = std::make_shared<DescribedFiles>();
    next->reserve(state.files.size());
    std::vector<const std::string*> changed;
    bool same = state.files.size() == memo_->size();
    size_t i = 0;
    for (const std::string& path : *state.paths) {
        const FileIdentity& identity = state.files[i++];
        const auto found = memo_->find(path);
        if (found != memo_->end() && found->second.identity == identity) {
            next->emplace(path, found->second);
        } else {
            same = false;
            changed.push_back(&path);
        }
    }
    if (same) return memo_;
    const std::vector<DescribedFont> fresh = describeFontFiles(changed);
    for (size_t k = 0; k < changed.size(); ++k) {
        next->emplace(*changed[k],
                      DescribedFile{describedIdentity(fresh[k].status), fresh[k].description});
    }
    memo_ = std::move(next);
    return memo_;
}

std::unique_ptr<ResultSet> familiesOf(const FontSetState& state, const DescribedFiles& files) {
    std::vector<Description> descriptions;
    descriptions.reserve(state.paths->size());
    for (const std::string& path : *state.paths) {
        const auto found = files.find(path);
        descriptions.push_back(found != files.end() ? found->second.description : nullptr);
    }
    return std::unique_ptr<ResultSet>(groupFamilies(descriptions));
}
