// The one place that decides whether a font file may be opened, for serving and for describing.
#pragma once

#include <optional>
#include <string>

#include <sys/stat.h>

#include "FontManagerLinux.h"
#include "core/Ownership.h"

struct OpenFont {
    UniqueFd fd;
    struct stat status;  // of the open file, not of whatever the path names by now
};

// Opens `path` for reading, only when it is a regular file. A path can be swapped for a FIFO or
// a device after fontconfig listed it: O_NONBLOCK keeps the open from blocking, fstat rejects
// what is not a regular file. nullopt with errno: ENOENT for anything but a regular file,
// otherwise open's own reason (EMFILE, ENOMEM, ...).
std::optional<OpenFont> openFontFile(const std::string& path);

// As openFontFile, and only for a path of `listed` that passes the extension filter; any other
// path is ENOENT, whatever exists there.
std::optional<OpenFont> openListedFont(const FontPathList& listed, const std::string& path);
