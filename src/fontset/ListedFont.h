// The one place that decides whether a font file may be opened, for serving and for describing.
#pragma once

#include <optional>
#include <string>

#include <sys/stat.h>

#include "core/Ownership.h"
#include "fontset/DescriptionMemo.h"
#include "fontset/FileIdentity.h"

struct OpenFont {
    UniqueFd fd;
    struct stat status;  // of the open file, not of whatever the path names by now

    FileIdentity identity() const { return identityOf(status); }
};

// Opens `path` for reading, only when it is a regular file. A path can be swapped for a FIFO or
// a device after fontconfig listed it: O_NONBLOCK keeps the open from blocking, fstat rejects
// what is not a regular file. nullopt with errno: ENOENT for anything but a regular file,
// otherwise open's own reason (EMFILE, ENOMEM, ...).
std::optional<OpenFont> openFontFile(const std::string& path);

// As openFontFile, and only for a path of `listed` that passes the extension filter and that
// FreeType described as a font, and only when what opens is the very file it described: a path
// is checked first and opened after, and by then a link can point elsewhere or the file can be
// another. nullopt with errno: ENOENT for a path that is no listed font, ESTALE when the path
// names another file than the one described, otherwise open's own reason.
std::optional<OpenFont> openListedFont(const DescribedFiles& listed, const std::string& path);
