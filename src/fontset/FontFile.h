// Font files read by FreeType through a small block cache.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include <ft2build.h>
#include FT_FREETYPE_H

#include "fontset/ListedFont.h"
#include "core/Ownership.h"

// A font file that FreeType reads through pread instead of mapping it. A catalogue touches a
// few tables of each of thousands of files; mapping and unmapping them one after another from
// several threads serialises the threads on the address-space lock and TLB shootdowns, which
// cost more than the reads.
class FontFile {
  public:
    FontFile() = default;
    FontFile(const FontFile&) = delete;
    FontFile& operator=(const FontFile&) = delete;

    bool open(const std::string& path) {
        std::optional<OpenFont> font = openFontFile(path);
        if (!font) return false;
        fd_ = std::move(font->fd);
        size_ = static_cast<unsigned long>(font->status.st_size);
        status_ = font->status;
        // FreeType 2.12 loses 80 bytes for every WOFF face opened from a caller's stream (the
        // record of the stream it unpacks into is never freed); from memory it frees them.
        unsigned char signature[4] = {};
        if (readDirect(0, signature, sizeof signature) == sizeof signature &&
            memcmp(signature, "wOF", 3) == 0 && size_ <= kMaxWoffBytes) {
            whole_.resize(size_);
            if (readDirect(0, whole_.data(), size_) != size_) whole_.clear();
        }
        return true;
    }

    // What fstat said of the open file: the very file FreeType reads.
    const struct stat& status() const { return status_; }

    // Only one face is open at a time, so the one stream record serves them all in turn.
    FtFacePtr openFace(FT_Library library, FT_Long index) {
        stream_ = FT_StreamRec{};
        stream_.size = size_;
        stream_.descriptor.pointer = this;
        stream_.read = &FontFile::read;
        stream_.close = &FontFile::closeStream;
        FT_Open_Args args{};
        args.flags = FT_OPEN_STREAM;
        args.stream = &stream_;
        if (!whole_.empty()) {
            args.flags = FT_OPEN_MEMORY;
            args.memory_base = whole_.data();
            args.memory_size = static_cast<FT_Long>(whole_.size());
        }
        FT_Face face = nullptr;
        if (FT_Open_Face(library, &args, index, &face) != 0) face = nullptr;
        return FtFacePtr(face);
    }

  private:
    // FreeType's read-or-seek callback: a count of 0 is a seek, answered 0 when it is in range.
    // FreeType reads many small fields one call at a time, so reads go through a few cached
    // blocks instead of one system call each.
    static unsigned long read(FT_Stream stream, unsigned long offset, unsigned char* buffer,
                              unsigned long count) {
        if (count == 0) return offset <= stream->size ? 0 : 1;
        auto* self = static_cast<FontFile*>(stream->descriptor.pointer);
        if (count >= kBlockSize) return self->readDirect(offset, buffer, count);
        unsigned long done = 0;
        while (done < count) {
            const unsigned long at = offset + done;
            const Block* block = self->blockAt(at / kBlockSize);
            const unsigned long within = at % kBlockSize;
            if (within >= block->length) break;
            const unsigned long n = std::min(count - done, block->length - within);
            memcpy(buffer + done, block->data + within, n);
            done += n;
        }
        return done;
    }

    struct Block {
        unsigned long index = ~0ul;
        unsigned long length = 0;
        unsigned char data[16384];
    };
    static constexpr unsigned long kBlockSize = sizeof(Block::data);
    static constexpr size_t kBlocks = 8;

    // Whole tables are read straight into FreeType's buffer.
    unsigned long readDirect(unsigned long offset, unsigned char* buffer, unsigned long count) {
        unsigned long done = 0;
        while (done < count) {
            const ssize_t n =
                pread(fd_.get(), buffer + done, count - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<unsigned long>(n);
        }
        return done;
    }

    const Block* blockAt(unsigned long index) {
        for (size_t i = 0; i < kBlocks; ++i) {
            if (blocks_[i].index == index) return &blocks_[i];
        }
        Block& block = blocks_[nextVictim_];
        nextVictim_ = (nextVictim_ + 1) % kBlocks;
        // A failed read leaves a short block, which ends the caller's read there.
        block.length = readDirect(index * kBlockSize, block.data, kBlockSize);
        block.index = index;
        return &block;
    }

    // The descriptor belongs to the FontFile, which outlives every face opened from it.
    static void closeStream(FT_Stream) {}

    // WOFF files larger than this are read through the stream all the same.
    static constexpr unsigned long kMaxWoffBytes = 16ul << 20;

    UniqueFd fd_;
    struct stat status_{};
    unsigned long size_ = 0;
    std::vector<unsigned char> whole_;  // a WOFF file's bytes
    FT_StreamRec stream_{};
    // Not make_unique: that would zero 128 KiB for every file described.
    std::unique_ptr<Block[]> blocks_{new Block[kBlocks]};
    size_t nextVictim_ = 0;
};
