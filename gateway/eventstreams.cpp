#include "gateway/eventstreams.h"

#include <chrono>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

namespace varno_gateway {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;

namespace {

constexpr std::chrono::seconds WriteLimit(30);
constexpr std::chrono::seconds HeartbeatPeriod(15);

}  // namespace

// One open stream. Messages that arrive while a write is under way are
// gathered and go out together in the next write.
class EventStream : public std::enable_shared_from_this<EventStream> {
public:
    EventStream(EventStreams& owner, beast::tcp_stream stream)
        : owner_(owner), stream_(std::move(stream))
    {
    }

    void start(std::string first)
    {
        send(std::move(first));
        watch();
    }

    void send(const std::string& message)
    {
        if (closed_) {
            return;
        }
        if (pending_.size() + message.size() > EventStreams::MaxPendingBytes) {
            close();
            return;
        }
        pending_ += message;
        if (!writing_) {
            write();
        }
    }

    void close()
    {
        if (closed_) {
            return;
        }
        closed_ = true;
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
        owner_.closed(shared_from_this());
    }

private:
    void write()
    {
        writing_ = true;
        sending_.swap(pending_);
        pending_.clear();
        stream_.expires_after(WriteLimit);
        asio::async_write(stream_, asio::buffer(sending_),
                          [self = shared_from_this()](beast::error_code ec, size_t) {
                              self->writing_ = false;
                              if (ec) {
                                  self->close();
                                  return;
                              }
                              self->stream_.expires_never();
                              if (!self->pending_.empty() && !self->closed_) {
                                  self->write();
                              }
                          });
    }

    // The client sends nothing after its request; a read that ends means
    // it closed the connection (or broke the protocol).
    void watch()
    {
        stream_.socket().async_read_some(asio::buffer(readBuffer_),
                                         [self = shared_from_this()](beast::error_code, size_t) {
                                             self->close();
                                         });
    }

    EventStreams& owner_;
    beast::tcp_stream stream_;
    std::string pending_;
    std::string sending_;
    char readBuffer_[64];
    bool writing_ = false;
    bool closed_ = false;
};

EventStreams::EventStreams(asio::io_context& io, size_t limit)
    : io_(io), limit_(limit), timer_(io)
{
}

EventStreams::~EventStreams() = default;

void EventStreams::open(beast::tcp_stream stream, std::string head, std::string first)
{
    auto s = std::make_shared<EventStream>(*this, std::move(stream));
    streams_.insert(s);
    s->start(head + first);
    if (!timerRunning_) {
        timerRunning_ = true;
        heartbeat();
    }
}

void EventStreams::heartbeat()
{
    timer_.expires_after(HeartbeatPeriod);
    timer_.async_wait([this](beast::error_code ec) {
        if (ec || streams_.empty()) {
            timerRunning_ = false;
            return;
        }
        broadcast("event: heartbeat\ndata:\n\n");
        heartbeat();
    });
}

void EventStreams::broadcast(std::string message)
{
    if (!io_.get_executor().running_in_this_thread()) {
        asio::post(io_, [this, m = std::move(message)]() mutable { broadcast(std::move(m)); });
        return;
    }
    // send() may close a stream, which leaves the set.
    const auto streams = streams_;
    for (const auto& s : streams) {
        s->send(message);
    }
}

void EventStreams::closed(const std::shared_ptr<EventStream>& stream)
{
    streams_.erase(stream);
}

void EventStreams::closeAll()
{
    const auto streams = streams_;
    for (const auto& s : streams) {
        s->close();
    }
    timer_.cancel();
}

}  // namespace varno_gateway
