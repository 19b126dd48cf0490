#include "fontset/FileIdentity.h"

#include <cerrno>

std::array<uint64_t, 8> FileIdentity::fields() const {
    return {static_cast<uint64_t>(error),
            static_cast<uint64_t>(device),
            static_cast<uint64_t>(inode),
            static_cast<uint64_t>(size),
            static_cast<uint64_t>(modified.tv_sec),
            static_cast<uint64_t>(modified.tv_nsec),
            static_cast<uint64_t>(changed.tv_sec),
            static_cast<uint64_t>(changed.tv_nsec)};
}

std::string FileIdentity::key() const {
    const std::array<uint64_t, 8> all = fields();
    return std::string(reinterpret_cast<const char*>(all.data()), sizeof all);
}

FileIdentity identityOf(const struct stat& status) {
    FileIdentity identity;
    identity.device = status.st_dev;
    identity.inode = status.st_ino;
    identity.size = status.st_size;
    identity.modified = status.st_mtim;
    identity.changed = status.st_ctim;
    return identity;
}

FileIdentity identityOf(const char* path) {
    struct stat status;
    if (stat(path, &status) != 0) {
        FileIdentity failed;
        failed.error = errno;
        return failed;
    }
    return identityOf(status);
}
