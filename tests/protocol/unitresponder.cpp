#include "unitresponder.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <stdexcept>

#include "sim/simunit.h"

using namespace mirel_varno;

namespace varno_test {

UnitResponder::UnitResponder(PseudoTerminal& terminal, Handler handler)
    : terminal_(terminal), handler_(std::move(handler))
{
    if (pipe(wake_) != 0) {
        throw std::runtime_error("pipe failed");
    }
    thread_ = std::thread([this] { run(); });
}

UnitResponder::~UnitResponder()
{
    const char stop = 0;
    while (::write(wake_[1], &stop, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
    close(wake_[0]);
    close(wake_[1]);
}

void UnitResponder::setHandler(Handler handler)
{
    std::lock_guard<std::mutex> hold(mutex_);
    handler_ = std::move(handler);
}

void UnitResponder::script(std::vector<std::vector<uint8_t>> answers)
{
    auto queue = std::make_shared<std::vector<std::vector<uint8_t>>>(std::move(answers));
    auto next = std::make_shared<size_t>(0);
    setHandler([queue, next](const Request&) {
        return *next < queue->size() ? (*queue)[(*next)++] : std::vector<uint8_t>{};
    });
}

std::vector<Request> UnitResponder::requests() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return requests_;
}

void UnitResponder::clearRequests()
{
    std::lock_guard<std::mutex> hold(mutex_);
    requests_.clear();
}

void UnitResponder::run()
{
    std::vector<uint8_t> pending;
    for (;;) {
        pollfd fds[2] = {{terminal_.master(), POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const int r = poll(fds, 2, -1);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        uint8_t buf[4096];
        const ssize_t n = ::read(terminal_.master(), buf, sizeof buf);
        if (n <= 0) {
            continue;
        }
        pending.insert(pending.end(), buf, buf + n);

        // Cut complete frames off the front.
        while (pending.size() >= FrameHeaderSize) {
            Request request;
            std::copy(pending.begin(), pending.begin() + FrameHeaderSize, request.header.bytes);
            const size_t length = request.header.length();
            const size_t total = FrameHeaderSize + (length ? length + FrameChecksumSize : 0);
            if (pending.size() < total) {
                break;
            }
            request.wire.assign(pending.begin(), pending.begin() + total);
            request.data.assign(pending.begin() + FrameHeaderSize, pending.begin() + total);
            pending.erase(pending.begin(), pending.begin() + total);
            serve(request);
        }
    }
}

void UnitResponder::serve(const Request& request)
{
    Handler handler;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        requests_.push_back(request);
        handler = handler_;
    }
    if (handler) {
        const std::vector<uint8_t> answer = handler(request);
        if (!answer.empty()) {
            terminal_.write(answer);
        }
    }
}

std::vector<uint8_t> replyFrame(UnitAddress source, FunctionCode function, uint8_t dataType,
                                const std::vector<uint8_t>& data)
{
    return varno_sim::buildFrame(HostAddress, source, function, dataType, data);
}

std::vector<uint8_t> valueReply(UnitAddress source, uint8_t dataType, uint8_t variable,
                                const std::vector<uint8_t>& value)
{
    std::vector<uint8_t> data(1 + value.size(), variable);
    std::copy(value.begin(), value.end(), data.begin() + 1);
    return replyFrame(source, FunctionCode::ReadVariable, dataType, data);
}

std::vector<uint8_t> errorReply(UnitAddress source, uint8_t code)
{
    return replyFrame(source, FunctionCode::ErrorReply, 0, {0, code});
}

}  // namespace varno_test
