#ifndef VARNO_GATEWAY_STOPFLAG_H
#define VARNO_GATEWAY_STOPFLAG_H

#include <chrono>
#include <cstddef>
#include <condition_variable>
#include <mutex>

namespace varno_gateway {

// A stop request that waiting threads wake up for at once, instead of
// finding it when their sleep is over.
class StopFlag {
public:
    void raise()
    {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            raised_ = true;
        }
        wake_.notify_all();
    }
    bool raised() const
    {
        std::lock_guard<std::mutex> hold(mutex_);
        return raised_;
    }
    // Waits until the time point on the monotonic clock; true when stopped.
    bool waitUntil(std::chrono::steady_clock::time_point until)
    {
        std::unique_lock<std::mutex> hold(mutex_);
        return wake_.wait_until(hold, until, [this] { return raised_; });
    }
    bool waitFor(std::chrono::milliseconds span)
    {
        return waitUntil(std::chrono::steady_clock::now() + span);
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool raised_ = false;
};

// Counts threads that have finished, so that a waiter can give them a
// bounded time to do so.
class FinishCount {
public:
    void finished()
    {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            ++count_;
        }
        wake_.notify_all();
    }
    void waitAll(size_t total)
    {
        std::unique_lock<std::mutex> hold(mutex_);
        wake_.wait(hold, [this, total] { return count_ >= total; });
    }
    // True when `total` threads have finished before the time point.
    bool waitUntil(size_t total, std::chrono::steady_clock::time_point until)
    {
        std::unique_lock<std::mutex> hold(mutex_);
        return wake_.wait_until(hold, until, [this, total] { return count_ >= total; });
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    size_t count_ = 0;
};

}  // namespace varno_gateway

#endif
