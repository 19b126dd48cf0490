#include "webface/MadeFaces.h"

#include <algorithm>
#include <cstring>

#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include "webface/Sfnt.h"

MappedFont::MappedFont(int fd, size_t size) {
    if (size == 0) return;
    void* data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (data == MAP_FAILED) return;
    data_ = data;
    size_ = size;
}

MappedFont::~MappedFont() {
    if (data_ != nullptr) munmap(data_, size_);
}

WebFaces::~WebFaces() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

bool WebFaces::start(event_base* base) {
    finishedFd_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!finishedFd_) return false;
    finishedEvent_.reset(
        event_new(base, finishedFd_.get(), EV_READ | EV_PERSIST, onFinished, this));
    if (!finishedEvent_ || event_add(finishedEvent_.get(), nullptr) != 0) return false;
    // Subsets are short; two workers keep one core for the event loop on a small machine.
    const unsigned count = std::clamp(std::thread::hardware_concurrency(), 1u, 2u);
    for (unsigned i = 0; i < count; ++i) workers_.emplace_back([this] { work(); });
    return true;
}

std::string WebFaces::keyOf(const struct stat& status, const FaceOrder& order) {
    const uint64_t fields[] = {static_cast<uint64_t>(status.st_dev),
                               static_cast<uint64_t>(status.st_ino),
                               static_cast<uint64_t>(status.st_size),
                               static_cast<uint64_t>(status.st_mtim.tv_sec),
                               static_cast<uint64_t>(status.st_mtim.tv_nsec),
                               static_cast<uint64_t>(status.st_ctim.tv_sec),
                               static_cast<uint64_t>(status.st_ctim.tv_nsec),
                               order.face,
                               order.text ? 1u : 0u};
    std::string key(reinterpret_cast<const char*>(fields), sizeof fields);
    if (order.text) key += *order.text;
    return key;
}

std::optional<MadeFace> WebFaces::find(const std::string& key) {
    const auto found = byKey_.find(key);
    if (found == byKey_.end()) return std::nullopt;
    lru_.splice(lru_.begin(), lru_, found->second);
    return found->second->made;
}

bool WebFaces::make(std::string key, FaceOrder order, Done done) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (workers_.empty() || waiting_.size() >= kMaxWaiting) return false;
        waiting_.push_back(Job{std::move(key), std::move(order), std::move(done), {}});
    }
    wake_.notify_one();
    return true;
}

MadeFace WebFaces::makeFace(const FaceOrder& order) {
    const std::string_view font = order.font->bytes();
    if (order.text) {
        if (std::optional<FaceSubset> subset = subsetFace(font, order.face, *order.text)) {
            return MadeFace{std::make_shared<const std::string>(std::move(subset->bytes))};
        }
    }
    // No subset to be had (or none asked for): the face whole.
    if (isCollection(font)) {
        if (std::optional<std::string> cut = cutFace(font, order.face)) {
            return MadeFace{std::make_shared<const std::string>(std::move(*cut))};
        }
    }
    return MadeFace{};
}

void WebFaces::work() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
            if (stopping_) return;
            job = std::move(waiting_.front());
            waiting_.pop_front();
        }
        job.made = makeFace(job.order);
        job.order.font.reset();  // unmapped here, not on the loop
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_.push_back(std::move(job));
        }
        const uint64_t one = 1;
        if (write(finishedFd_.get(), &one, sizeof one) < 0) {
            // The counter cannot overflow at one per job; nothing else can fail here.
        }
    }
}

void WebFaces::remember(const std::string& key, const MadeFace& made) {
    const size_t size = made.bytes ? made.bytes->size() : 0;
    if (size > kCacheBytes / 4 || byKey_.count(key) != 0) return;
    lru_.push_front(Remembered{key, made});
    byKey_.emplace(key, lru_.begin());
    cachedBytes_ += size + key.size();
    while (cachedBytes_ > kCacheBytes && !lru_.empty()) {
        const Remembered& oldest = lru_.back();
        cachedBytes_ -= (oldest.made.bytes ? oldest.made.bytes->size() : 0) + oldest.key.size();
        byKey_.erase(oldest.key);
        lru_.pop_back();
    }
}

void WebFaces::onFinished(evutil_socket_t fd, short, void* arg) {
    auto& self = *static_cast<WebFaces*>(arg);
    uint64_t count = 0;
    if (read(fd, &count, sizeof count) < 0) return;
    std::vector<Job> finished;
    {
        std::lock_guard<std::mutex> lock(self.mutex_);
        finished.swap(self.finished_);
    }
    for (Job& job : finished) {
        self.remember(job.key, job.made);
        job.done(job.made);
    }
}
