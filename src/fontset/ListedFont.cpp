#include "fontset/ListedFont.h"

#include <cerrno>

#include <fcntl.h>

std::optional<OpenFont> openFontFile(const std::string& path) {
    OpenFont font{UniqueFd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)), {}};
    if (!font.fd) return std::nullopt;
    if (fstat(font.fd.get(), &font.status) != 0 || !S_ISREG(font.status.st_mode)) {
        errno = ENOENT;
        return std::nullopt;
    }
    return font;
}

std::optional<OpenFont> openListedFont(const FontPathList& listed, const std::string& path) {
    if (!canSupportFontFormat(path.c_str()) || listed.count(path) == 0) {
        errno = ENOENT;
        return std::nullopt;
    }
    return openFontFile(path);
}
