#ifndef VARNO_GATEWAY_EVENTSTREAMS_H
#define VARNO_GATEWAY_EVENTSTREAMS_H

#include <cstddef>
#include <memory>
#include <set>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/tcp_stream.hpp>

namespace varno_gateway {

class EventStream;

// The open event streams (`text/event-stream`) of the HTTP server: each
// is a connection that got its reply head and then receives every
// message broadcast, until the client goes away. At most `limit` are open
// at once, so that a storm of browser tabs cannot hold every socket.
//
// A client that does not take its messages (more than 256 KiB waiting, or
// a write stuck for 30 s) is closed; its browser reconnects and starts
// again from a fresh snapshot. Every 15 s a "heartbeat" event goes to each
// stream, so that a client that vanished without closing is found (and
// the client knows that its connection still works).
//
// Thread safety: broadcast() may be called from any thread; everything
// else runs on the server's thread.
class EventStreams {
public:
    EventStreams(boost::asio::io_context& io, size_t limit);
    ~EventStreams();
    EventStreams(const EventStreams&) = delete;
    EventStreams& operator=(const EventStreams&) = delete;

    bool full() const { return streams_.size() >= limit_; }
    size_t count() const { return streams_.size(); }
    // Takes the connection over and sends `head` (the reply's status line
    // and fields) followed by `first`.
    void open(boost::beast::tcp_stream stream, std::string head, std::string first);
    void broadcast(std::string message);
    void closeAll();

    static constexpr size_t MaxPendingBytes = 256 * 1024;

private:
    friend class EventStream;
    void closed(const std::shared_ptr<EventStream>& stream);
    void heartbeat();

    boost::asio::io_context& io_;
    size_t limit_;
    std::set<std::shared_ptr<EventStream>> streams_;
    boost::asio::steady_timer timer_;
    bool timerRunning_ = false;
};

}  // namespace varno_gateway

#endif
