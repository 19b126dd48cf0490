// Runs independent pieces of work side by side on a few threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

// Runs work(i) for every i below count, on at most eight threads; the first exception thrown
// stops the others and is rethrown here.
template <typename Work>
void parallelFor(size_t count, Work&& work) {
    constexpr unsigned kMaxWorkers = 8;
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const auto workers = static_cast<unsigned>(std::min<size_t>({count, cores, kMaxWorkers}));
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr failure;
    auto worker = [&] {
        try {
            for (size_t i = next++; i < count && !failed; i = next++) work(i);
        } catch (...) {
            if (!failed.exchange(true)) failure = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned w = 1; w < workers; ++w) helpers.emplace_back(worker);
    worker();
    for (std::thread& helper : helpers) helper.join();
    if (failure) std::rethrow_exception(failure);
}
