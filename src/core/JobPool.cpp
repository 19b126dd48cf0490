#include "core/JobPool.h"

#include <cstdint>

#include <sys/eventfd.h>
#include <unistd.h>

JobPool::JobPool(unsigned workers, size_t maxWaiting)
    : workerCount_(workers), maxWaiting_(maxWaiting) {}

JobPool::~JobPool() {
    if (!threads_.empty()) stop(std::chrono::hours(24));
}

bool JobPool::start(event_base* base) {
    shared_->finishedFd.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!shared_->finishedFd) return false;
    finishedEvent_.reset(
        event_new(base, shared_->finishedFd.get(), EV_READ | EV_PERSIST, onFinished, this));
    if (!finishedEvent_ || event_add(finishedEvent_.get(), nullptr) != 0) return false;
    for (unsigned i = 0; i < workerCount_; ++i) threads_.emplace_back(work, shared_);
    return true;
}

bool JobPool::post(Work work, Done done) {
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        if (threads_.empty() || shared_->stopping || shared_->waiting.size() >= maxWaiting_) {
            return false;
        }
        shared_->waiting.push_back(Job{std::move(work), std::move(done)});
        ++shared_->undone;
    }
    shared_->wake.notify_one();
    return true;
}

bool JobPool::busy() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->undone != 0;
}

size_t JobPool::waiting() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->waiting.size();
}

bool JobPool::stop(std::chrono::milliseconds grace) {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    // Stopped already: the threads are joined, or were left behind.
    if (threads_.empty()) return shared_->running == 0;
    shared_->stopping = true;
    shared_->undone -= shared_->waiting.size();
    shared_->waiting.clear();
    shared_->wake.notify_all();
    const bool finished = shared_->idle.wait_for(lock, grace, [this] { return shared_->running == 0; });
    lock.unlock();
    for (std::thread& thread : threads_) {
        if (finished) {
            thread.join();
        } else {
            thread.detach();
        }
    }
    threads_.clear();
    finishedEvent_.reset();
    return finished;
}

void JobPool::work(std::shared_ptr<Shared> shared) {
    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;) {
        shared->wake.wait(lock, [&] { return shared->stopping || !shared->waiting.empty(); });
        if (shared->stopping) return;
        Job job = std::move(shared->waiting.front());
        shared->waiting.pop_front();
        ++shared->running;
        lock.unlock();
        try {
            job.work();
        } catch (...) {
            // `done` learns of it from what the work left unset.
        }
        job.work = nullptr;  // what it captured is released here, not on the loop
        lock.lock();
        --shared->running;
        shared->finished.push_back(std::move(job.done));
        shared->idle.notify_all();
        const uint64_t one = 1;
        if (write(shared->finishedFd.get(), &one, sizeof one) < 0) {
            // The counter cannot overflow at one per job; nothing else can fail here.
        }
    }
}

void JobPool::onFinished(evutil_socket_t fd, short, void* arg) {
    auto& self = *static_cast<JobPool*>(arg);
    uint64_t count = 0;
    if (read(fd, &count, sizeof count) < 0) return;
    std::vector<Done> finished;
    {
        std::lock_guard<std::mutex> lock(self.shared_->mutex);
        finished.swap(self.shared_->finished);
    }
    for (Done& done : finished) {
        done();
        std::lock_guard<std::mutex> lock(self.shared_->mutex);
        --self.shared_->undone;
    }
}
