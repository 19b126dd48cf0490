// "The same file": what stat says of a file, the one definition that the description memo, the
// made-face cache and the file replies' validators all use. Anything built from a file is
// reused only while its identity stays the same.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <string>

#include <sys/stat.h>
#include <sys/types.h>

struct FileIdentity {
    int error = 0;  // errno of a failed stat
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    // Part of it because a rewrite that restores the modification time (cp -p, rsync -t,
    // tar x) still moves the change time.
    timespec changed{};

    // Every field, widened: compared, hashed and used as a key as a whole.
    std::array<uint64_t, 8> fields() const;
    // The fields' bytes, for keys.
    std::string key() const;

    bool operator==(const FileIdentity& other) const { return fields() == other.fields(); }
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

FileIdentity identityOf(const struct stat& status);
// The identity of what `path` names now, following links; `error` set when stat fails.
FileIdentity identityOf(const char* path);
