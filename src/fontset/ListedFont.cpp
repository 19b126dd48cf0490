#include "fontset/ListedFont.h"

#include <cerrno>

#include <fcntl.h>

#include "FontManagerLinux.h"

std::optional<OpenFont> openFontFile(const std::string& path) {
    OpenFont font{UniqueFd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)), {}};
    if (!font.fd) return std::nullopt;
    if (fstat(font.fd.get(), &font.status) != 0 || !S_ISREG(font.status.st_mode)) {
        errno = ENOENT;
        return std::nullopt;
    }
    return font;
}

std::optional<OpenFont> openListedFont(const DescribedFiles& listed, const std::string& path) {
    const auto found = listed.find(path);
    if (!canSupportFontFormat(path.c_str()) || found == listed.end() ||
        !found->second.description) {
        errno = ENOENT;
        return std::nullopt;
    }
    std::optional<OpenFont> font = openFontFile(path);
    if (font && font->identity() != found->second.identity) {
        errno = ESTALE;
        return std::nullopt;
    }
    return font;
}
