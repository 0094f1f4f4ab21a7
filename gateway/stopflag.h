#ifndef VARNO_GATEWAY_STOPFLAG_H
#define VARNO_GATEWAY_STOPFLAG_H

#include <chrono>
#include <condition_variable>
#include <mutex>

#include <sys/eventfd.h>
#include <unistd.h>

namespace varno_gateway {

// A stop request that waiting threads wake up for at once, instead of
// finding it when their sleep is over. Its descriptor turns readable on
// raise(), so that a serial port given it (SerialPort::setStopDescriptor)
// ends its reads, writes and scans at once as well.
class StopFlag {
public:
    StopFlag() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~StopFlag()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    StopFlag(const StopFlag&) = delete;
    StopFlag& operator=(const StopFlag&) = delete;

    void raise()
    {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (raised_) {
                return;
            }
            raised_ = true;
            if (fd_ >= 0) {
                const uint64_t one = 1;
                // An eventfd write of 1 cannot fail short of an overflow.
                (void)!::write(fd_, &one, sizeof one);
            }
        }
        wake_.notify_all();
    }
    bool raised() const
    {
        std::lock_guard<std::mutex> hold(mutex_);
        return raised_;
    }
    // Readable once raised; -1 when the system gave none (the flag then
    // still works, the port's waits just run to their own time limits).
    int descriptor() const { return fd_; }
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
    const int fd_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool raised_ = false;
};

}  // namespace varno_gateway

#endif
