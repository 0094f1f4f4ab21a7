#ifndef VARNO_GATEWAY_HTTPSERVER_H
#define VARNO_GATEWAY_HTTPSERVER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

namespace varno_gateway {

class HttpSession;

// The open end of a streamed reply (an event stream, say): what is sent
// goes to the client in order. The stream ends when the client goes, when
// it falls StreamBacklog bytes behind, on close(), or when the server stops.
//
// Thread safety: any thread may call any member.
class HttpStream {
public:
    // Queues the bytes for the client; false once the stream has ended.
    bool send(std::string bytes);
    void close();
    bool open() const;

private:
    friend class HttpSession;
    explicit HttpStream(std::weak_ptr<HttpSession> session) : session_(std::move(session)) {}
    // Called on the server's thread when the connection ends.
    void ended();

    const std::weak_ptr<HttpSession> session_;
    mutable std::mutex mutex_;
    bool open_ = true;
};

// A small HTTP/1.1 server on a thread of its own; what it answers is the
// handler's business, the limits that keep it alive are its own:
//  - at most MaxConnections connections at once. A new one over the cap
//    takes the place of the connection that has waited longest for its
//    request, so idle or slow clients cannot lock out a health check; when
//    none waits, the newcomer gets 503 and is closed;
//  - a connection has RequestTime from its start (or from the end of the
//    previous reply) for its request to arrive whole, and the reply as
//    long to be taken; past it, the connection is closed;
//  - a request header over HeaderLimit is answered 431, a body over
//    BodyLimit 413, anything unreadable 400, and the connection closed;
//  - when the process runs out of descriptors, accepting pauses (50 ms
//    doubling to 1 s) and the connection waiting longest for a request is
//    closed to make room, instead of the accept loop spinning.
// Only GET and HEAD reach the handler; other methods get 405. A handler
// may answer with a stream (Reply::stream): the connection then stays
// open for what the stream is given, counts against the cap, and is never
// taken for a newcomer; limit the streams well below the cap.
//
// Thread safety: start() and stop() from one thread; the handler runs on
// the server's thread.
class HttpServer {
public:
    static constexpr size_t MaxConnections = 64;
    static constexpr size_t HeaderLimit = 8 * 1024;
    static constexpr size_t BodyLimit = 8 * 1024;
    static constexpr std::chrono::seconds RequestTime{10};
    static constexpr size_t StreamBacklog = 256 * 1024;

    struct Request {
        bool head = false;   // HEAD: the reply's body is not sent
        std::string path;    // the target up to its query
        std::string query;   // after '?', without it
    };
    struct Reply {
        unsigned status = 200;
        std::string contentType;
        std::string body;
        std::vector<std::pair<std::string, std::string>> headers;  // more fields
        // When set, the reply is a stream: the head goes out (status,
        // content type, headers; the body is ignored) and this is called,
        // on the server's thread, with the stream to feed.
        std::function<void(std::shared_ptr<HttpStream>)> stream;
    };
    using Handler = std::function<Reply(const Request& request)>;

    // `requestTime` stands for RequestTime (tests shorten it).
    explicit HttpServer(Handler handler,
                        std::chrono::milliseconds requestTime = RequestTime);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and starts serving; false with a reason when the address
    // cannot be bound. Port 0 takes a free port (see port()).
    bool start(const std::string& address, uint16_t port, std::string& error);
    void stop();
    uint16_t port() const { return port_; }

private:
    friend class HttpSession;

    void accept();
    void onAccept(const boost::system::error_code& ec, boost::asio::ip::tcp::socket socket);
    // Closes the connection that has waited longest for a request; false
    // when every connection is busy with a reply.
    bool evictIdlest();
    size_t liveSessions();

    Handler handler_;
    const std::chrono::milliseconds requestTime_;
    boost::asio::io_context io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer acceptPause_;
    std::chrono::milliseconds pause_{0};
    bool outOfDescriptors_ = false;
    std::vector<std::weak_ptr<HttpSession>> sessions_;
    std::thread thread_;
    uint16_t port_ = 0;
};

}  // namespace varno_gateway

#endif
