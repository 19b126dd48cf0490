// The one way work leaves the event loop: jobs run on the pool's own threads, and each job's
// `done` runs on the loop once its work has finished.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <event2/event.h>

#include "core/Ownership.h"

class JobPool {
  public:
    using Work = std::function<void()>;
    using Done = std::function<void()>;

    // `workers` threads; at most `maxWaiting` jobs wait for one, so that clients cannot queue
    // unbounded work.
    JobPool(unsigned workers, size_t maxWaiting);
    JobPool(const JobPool&) = delete;
    JobPool& operator=(const JobPool&) = delete;
    ~JobPool();

    // Starts the threads; `done` callbacks then run on `base`'s loop.
    bool start(event_base* base);

    // Runs `work` on a thread of the pool, then `done` on the loop (also when `work` threw);
    // false when the pool is not running or `maxWaiting` jobs wait already.
    bool post(Work work, Done done);

    // Jobs posted and not yet begun.
    size_t waiting() const;
    // True while a job posted has not yet had its `done` run.
    bool busy() const;

    // Drops the jobs that have not begun and lets the running ones finish within `grace`. False
    // when one is still running then: its thread is left behind, since a call that never
    // returns (fontconfig blocked on a FIFO) cannot be joined; the process should end at once.
    bool stop(std::chrono::milliseconds grace);

  private:
    struct Job {
        Work work;
        Done done;
    };
    // Shared with the threads, which outlive the pool when stop leaves them behind.
    struct Shared {
        std::mutex mutex;
        std::condition_variable wake;  // a job to run, or stopping
        std::condition_variable idle;  // a job finished
        std::deque<Job> waiting;
        std::vector<Done> finished;
        size_t running = 0;
        size_t undone = 0;  // posted, `done` not yet run
        bool stopping = false;
        UniqueFd finishedFd;  // an eventfd the threads signal
    };

    static void work(std::shared_ptr<Shared> shared);
    static void onFinished(evutil_socket_t fd, short, void* pool);

    const unsigned workerCount_;
    const size_t maxWaiting_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    EventPtr finishedEvent_;
    std::vector<std::thread> threads_;
};
