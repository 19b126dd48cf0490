#include "webface/MadeFaces.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string_view>

#include <sys/stat.h>
#include <unistd.h>

#include "webface/Sfnt.h"

namespace {

// A file's bytes. The buffer is not zeroed before the read fills it: a font menu reads
// hundreds of megabytes of CJK fonts, and zeroing them first costs about as much again.
struct FileBytes {
    std::unique_ptr<char[]> data;
    size_t size = 0;
    std::string_view view() const { return {data.get(), size}; }
};

// The whole file, read rather than mapped: a file truncated while it is mapped kills the
// reader with SIGBUS, where a read just comes back short. Empty when the file is not exactly
// as it was opened, before and after the read, so that the bytes are of one version of it.
std::optional<FileBytes> readWhole(const OpenFont& font) {
    const size_t size = static_cast<size_t>(font.status.st_size);
    FileBytes bytes{std::unique_ptr<char[]>(new char[size]), size};
    size_t done = 0;
    while (done < size) {
        const ssize_t n =
            pread(font.fd.get(), bytes.data.get() + done, size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        done += static_cast<size_t>(n);
    }
    struct stat after;
    if (fstat(font.fd.get(), &after) != 0 || identityOf(after) != font.identity()) return std::nullopt;
    return bytes;
}

MadeFace madeOf(std::string bytes, const char* contentType) {
    return MadeFace{MadeFace::Kind::Bytes, std::make_shared<const std::string>(std::move(bytes)),
                    contentType};
}

size_t sizeOf(const MadeFace& made) { return made.bytes ? made.bytes->size() : 0; }

}  // namespace

std::string MadeFaces::keyOf(const FileIdentity& file, uint32_t face,
                             const std::optional<std::string>& text) {
    std::string key = file.key();
    const uint32_t fields[] = {face, text ? 1u : 0u};
    key.append(reinterpret_cast<const char*>(fields), sizeof fields);
    if (text) key += *text;
    return key;
}

std::optional<MadeFace> MadeFaces::find(const std::string& key) {
    const auto found = byKey_.find(key);
    if (found == byKey_.end()) return std::nullopt;
    lru_.splice(lru_.begin(), lru_, found->second);
    return found->second->made;
}

bool MadeFaces::make(std::string key, FaceOrder order, Done done) {
    auto made = std::make_shared<MadeFace>();
    auto shared = std::make_shared<FaceOrder>(std::move(order));
    return pool_.post([made, shared] { *made = makeFace(*shared); },
                      [this, made, key = std::move(key), done = std::move(done)] {
                          remember(key, *made);
                          done(*made);
                      });
}

MadeFace MadeFaces::makeFace(const FaceOrder& order) {
    using Kind = MadeFace::Kind;
    if (static_cast<uint64_t>(order.font->status.st_size) > kMaxFileBytes) {
        return MadeFace{order.face == 0 ? Kind::WholeFile : Kind::NoSuchFace, nullptr, nullptr};
    }
    const std::optional<FileBytes> read = readWhole(*order.font);
    if (!read) return MadeFace{Kind::FileChanged, nullptr, nullptr};
    const std::string_view bytes = read->view();
    // What is no SFNT (Type 1, bitmap fonts, WOFF) is served whole, as its only face.
    const uint32_t faces = faceCountOf(bytes);
    if (order.face >= std::max(faces, 1u)) return MadeFace{Kind::NoSuchFace, nullptr, nullptr};
    // The content type does not depend on the text: a subset keeps the face's outlines.
    const char* type = fontContentType(bytes, order.face);
    if (faces != 0 && order.text) {
        if (std::optional<FaceSubset> subset = subsetFace(bytes, order.face, *order.text)) {
            return madeOf(std::move(subset->bytes), type);
        }
    }
    // No subset to be had (or none asked for): the face whole.
    if (isCollection(bytes)) {
        if (std::optional<std::string> cut = cutFace(bytes, order.face)) {
            return madeOf(std::move(*cut), type);
        }
    }
    return MadeFace{Kind::WholeFile, nullptr, type};
}

void MadeFaces::remember(const std::string& key, const MadeFace& made) {
    const size_t size = sizeOf(made);
    if (made.kind == MadeFace::Kind::FileChanged || size > kCacheBytes / 4 ||
        byKey_.count(key) != 0) {
        return;
    }
    lru_.push_front(Remembered{key, made});
    byKey_.emplace(key, lru_.begin());
    cachedBytes_ += size + key.size();
    while (cachedBytes_ > kCacheBytes && !lru_.empty()) {
        const Remembered& oldest = lru_.back();
        cachedBytes_ -= sizeOf(oldest.made) + oldest.key.size();
        byKey_.erase(oldest.key);
        lru_.pop_back();
    }
}
