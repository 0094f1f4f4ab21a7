#include "gateway/httpserver.h"

#include <algorithm>
#include <cerrno>
#include <array>
#include <deque>
#include <exception>
#include <optional>
#include <sstream>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "gateway/log.h"

namespace varno_gateway {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr size_t HttpServer::MaxConnections;
constexpr size_t HttpServer::HeaderLimit;
constexpr size_t HttpServer::BodyLimit;
constexpr std::chrono::seconds HttpServer::RequestTime;
constexpr size_t HttpServer::StreamBacklog;

namespace {

constexpr std::chrono::milliseconds FirstPause{50};
constexpr std::chrono::milliseconds LongestPause{1000};
// After an error reply the client may still be sending; reading that for
// a moment before closing keeps the kernel from answering it with a reset
// that would destroy the reply before the client reads it.
constexpr std::chrono::seconds DrainTime{1};
constexpr size_t DrainLimit = 64 * 1024;

// Compared by number, with no call into the error's category: when the
// descriptors are out, the less this path does the better.
bool outOfResources(const beast::error_code& ec)
{
    if (ec.category() != boost::system::system_category()) {
        return false;
    }
    const int e = ec.value();
    return e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM;
}

}  // namespace

// One client connection: requests are answered in turn until the client
// closes or asks to close, a limit is passed, or the server needs its place.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket socket, HttpServer& server)
        : stream_(std::move(socket)), server_(server)
    {
    }

    void start() { read(); }
    auto executor() { return stream_.get_executor(); }

    // Whether the connection waits for (the rest of) a request, and since when.
    bool waiting() const { return waiting_; }
    std::chrono::steady_clock::time_point waitingSince() const { return waitingSince_; }

    void close()
    {
        waiting_ = false;
        if (streamHandle_) {
            streamHandle_->ended();
        }
        stream_.close();
    }

    // On the server's thread: queues bytes of a streamed reply.
    void enqueue(std::string bytes)
    {
        if (!streamHandle_ || !streamHandle_->open()) {
            return;
        }
        if (backlog_ + bytes.size() > HttpServer::StreamBacklog) {
            close();  // a client this far behind is not reading
            return;
        }
        backlog_ += bytes.size();
        outbox_.push_back(std::move(bytes));
        if (outbox_.size() == 1) {
            writeNext();
        }
    }

    // Answers without reading a request, then closes.
    void refuse(http::status status, const std::string& body)
    {
        fail(11, status, body);
    }

private:
    using Response = http::response<http::string_body>;

    void read()
    {
        parser_.emplace();
        parser_->header_limit(HttpServer::HeaderLimit);
        parser_->body_limit(HttpServer::BodyLimit);
        waiting_ = true;
        waitingSince_ = std::chrono::steady_clock::now();
        stream_.expires_after(server_.requestTime_);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, size_t) {
                             self->onRead(ec);
                         });
    }

    void onRead(beast::error_code ec)
    {
        waiting_ = false;
        if (ec == http::error::header_limit) {
            fail(parser_->get().version(), http::status::request_header_fields_too_large,
                 "request header larger than " + std::to_string(HttpServer::HeaderLimit) +
                     " bytes\n");
        } else if (ec == http::error::body_limit) {
            fail(parser_->get().version(), http::status::payload_too_large,
                 "request body larger than " + std::to_string(HttpServer::BodyLimit) +
                     " bytes\n");
        } else if (ec == http::error::end_of_stream ||
                   // the stream has closed the socket on its time limit
                   ec == beast::error::timeout ||
                   ec == asio::error::operation_aborted || ec == asio::error::connection_reset ||
                   ec == asio::error::eof || ec == http::error::partial_message) {
            stream_.close();
        } else if (ec) {
            fail(11, http::status::bad_request, "bad request\n");
        } else {
            answer(parser_->get());
        }
    }

    void answer(const http::request<http::string_body>& request)
    {
        auto response = std::make_shared<Response>();
        response->version(request.version());
        response->keep_alive(request.keep_alive());
        response->set(http::field::server, "varno_gateway");
        const bool head = request.method() == http::verb::head;
        if (request.method() != http::verb::get && !head) {
            response->result(http::status::method_not_allowed);
            response->set(http::field::allow, "GET, HEAD");
            response->set(http::field::content_type, "text/plain; charset=utf-8");
            response->body() = "only GET and HEAD\n";
        } else {
            HttpServer::Request r;
            r.head = head;
            const beast::string_view target = request.target();
            const size_t query = target.find('?');
            r.path = std::string(target.substr(0, query));
            if (query != beast::string_view::npos) {
                r.query = std::string(target.substr(query + 1));
            }
            HttpServer::Reply reply;
            try {
                reply = server_.handler_(r);
            } catch (const std::exception& e) {
                logLine(Level::Error, "http: " + r.path + ": " + e.what());
                reply = HttpServer::Reply();
                reply.status = 500;
                reply.contentType = "text/plain; charset=utf-8";
                reply.body = "internal error\n";
            }
            if (reply.stream && !head) {
                startStream(request.version(), reply);
                return;
            }
            response->result(reply.status);
            response->set(http::field::content_type, reply.contentType);
            for (const auto& [name, value] : reply.headers) {
                response->set(name, value);
            }
            if (head) {
                response->content_length(reply.body.size());
            } else {
                response->body() = std::move(reply.body);
            }
        }
        if (!head) {
            response->prepare_payload();
        }
        stream_.expires_after(server_.requestTime_);
        http::async_write(stream_, *response,
                          [self = shared_from_this(), response](beast::error_code ec, size_t) {
                              if (ec || !response->keep_alive()) {
                                  self->drain();
                                  return;
                              }
                              self->read();
                          });
    }

    // The head of a streamed reply; its end is the end of the connection,
    // which says so.
    void startStream(unsigned version, const HttpServer::Reply& reply)
    {
        http::response<http::empty_body> head(static_cast<http::status>(reply.status), version);
        head.set(http::field::server, "varno_gateway");
        head.set(http::field::content_type, reply.contentType);
        for (const auto& [name, value] : reply.headers) {
            head.set(name, value);
        }
        head.set(http::field::connection, "close");
        std::ostringstream text;
        text << head.base();
        streamHandle_ = std::shared_ptr<HttpStream>(new HttpStream(weak_from_this()));
        enqueue(text.str());
        // The client sends nothing more; a read ends when it goes away.
        beast::get_lowest_layer(stream_).socket().async_read_some(
            asio::buffer(scratch_), [self = shared_from_this()](beast::error_code ec, size_t) {
                if (ec != asio::error::operation_aborted) {
                    self->close();
                }
            });
        try {
            reply.stream(streamHandle_);
        } catch (const std::exception& e) {
            logLine(Level::Error, std::string("http: stream: ") + e.what());
            close();
        }
    }

    void writeNext()
    {
        stream_.expires_after(server_.requestTime_);
        asio::async_write(stream_, asio::buffer(outbox_.front()),
                          [self = shared_from_this()](beast::error_code ec, size_t) {
                              if (ec || self->outbox_.empty()) {
                                  self->close();
                                  return;
                              }
                              self->backlog_ -= self->outbox_.front().size();
                              self->outbox_.pop_front();
                              if (!self->outbox_.empty()) {
                                  self->writeNext();
                              }
                          });
    }

    // An error reply, after which the connection closes.
    void fail(unsigned version, http::status status, const std::string& body)
    {
        auto response = std::make_shared<Response>(status, version == 10 ? 10 : 11);
        response->set(http::field::server, "varno_gateway");
        response->set(http::field::content_type, "text/plain; charset=utf-8");
        response->keep_alive(false);
        response->body() = body;
        response->prepare_payload();
        stream_.expires_after(server_.requestTime_);
        http::async_write(stream_, *response,
                          [self = shared_from_this(), response](beast::error_code, size_t) {
                              self->drain();
                          });
    }

    void drain()
    {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.expires_after(DrainTime);
        drainMore();
    }

    void drainMore()
    {
        stream_.async_read_some(asio::buffer(scratch_),
                                [self = shared_from_this()](beast::error_code ec, size_t n) {
                                    self->drained_ += n;
                                    if (ec || self->drained_ > DrainLimit) {
                                        self->stream_.close();
                                        return;
                                    }
                                    self->drainMore();
                                });
    }

    beast::tcp_stream stream_;
    HttpServer& server_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    bool waiting_ = false;
    std::chrono::steady_clock::time_point waitingSince_;
    std::array<char, 4096> scratch_{};
    size_t drained_ = 0;
    std::shared_ptr<HttpStream> streamHandle_;
    std::deque<std::string> outbox_;
    size_t backlog_ = 0;
};

bool HttpStream::send(std::string bytes)
{
    std::lock_guard<std::mutex> hold(mutex_);
    const std::shared_ptr<HttpSession> session = session_.lock();
    if (!open_ || !session) {
        return false;
    }
    // Posted under the lock: once the server has ended the stream, nothing
    // more reaches its executor, which may then go away.
    asio::post(session->executor(),
               [session, bytes = std::move(bytes)]() mutable { session->enqueue(std::move(bytes)); });
    return true;
}

void HttpStream::close()
{
    std::lock_guard<std::mutex> hold(mutex_);
    const std::shared_ptr<HttpSession> session = session_.lock();
    if (!open_ || !session) {
        return;
    }
    asio::post(session->executor(), [session] { session->close(); });
}

bool HttpStream::open() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return open_;
}

void HttpStream::ended()
{
    std::lock_guard<std::mutex> hold(mutex_);
    open_ = false;
}

HttpServer::HttpServer(Handler handler, std::chrono::milliseconds requestTime)
    : handler_(std::move(handler)), requestTime_(requestTime), acceptor_(io_), acceptPause_(io_)
{
}

HttpServer::~HttpServer()
{
    stop();
}

bool HttpServer::start(const std::string& address, uint16_t port, std::string& error)
{
    beast::error_code ec;
    const asio::ip::address ip = asio::ip::make_address(address, ec);
    if (ec) {
        error = "http: \"" + address + "\" is not an IP address";
        return false;
    }
    const tcp::endpoint endpoint(ip, port);
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec) {
        acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
        acceptor_.bind(endpoint, ec);
    }
    if (!ec) {
        acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        error = "http: cannot listen on " + address + ":" + std::to_string(port) + ": " +
                ec.message();
        beast::error_code ignored;
        acceptor_.close(ignored);
        return false;
    }
    port_ = acceptor_.local_endpoint().port();
    accept();
    thread_ = std::thread([this] { io_.run(); });
    return true;
}

void HttpServer::accept()
{
    acceptor_.async_accept(
        [this](beast::error_code ec, tcp::socket socket) { onAccept(ec, std::move(socket)); });
}

size_t HttpServer::liveSessions()
{
    size_t live = 0;
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (it->expired()) {
            it = sessions_.erase(it);
        } else {
            ++live;
            ++it;
        }
    }
    return live;
}

bool HttpServer::evictIdlest()
{
    std::shared_ptr<HttpSession> idlest;
    for (const auto& weak : sessions_) {
        const std::shared_ptr<HttpSession> s = weak.lock();
        if (s && s->waiting() && (!idlest || s->waitingSince() < idlest->waitingSince())) {
            idlest = s;
        }
    }
    if (!idlest) {
        return false;
    }
    idlest->close();
    return true;
}

void HttpServer::onAccept(const beast::error_code& ec, tcp::socket socket)
{
    if (ec == asio::error::operation_aborted || !acceptor_.is_open()) {
        return;
    }
    if (ec == asio::error::connection_aborted) {
        accept();  // the client gave up before it was taken
        return;
    }
    if (ec) {
        // Retrying at once would fail the same way for as long as the
        // cause lasts, at full speed: make room if we can, else pause.
        if (outOfResources(ec)) {
            if (!outOfDescriptors_) {
                logLine(Level::Warning, "http: cannot accept connections: " + ec.message() +
                                            "; closing idle ones and pausing");
                outOfDescriptors_ = true;
            }
            liveSessions();
            if (evictIdlest()) {
                accept();
                return;
            }
        } else {
            logLine(Level::Warning, "http: accepting a connection: " + ec.message());
        }
        pause_ = pause_.count() == 0 ? FirstPause : std::min(pause_ * 2, LongestPause);
        acceptPause_.expires_after(pause_);
        acceptPause_.async_wait([this](beast::error_code wec) {
            if (!wec && acceptor_.is_open()) {
                accept();
            }
        });
        return;
    }
    if (outOfDescriptors_) {
        logLine(Level::Info, "http: accepting connections again");
        outOfDescriptors_ = false;
    }
    pause_ = std::chrono::milliseconds(0);
    const size_t live = liveSessions();
    auto session = std::make_shared<HttpSession>(std::move(socket), *this);
    if (live >= MaxConnections && !evictIdlest()) {
        // Every place is busy with a reply. A flood of refusals still
        // holds descriptors while they drain: past twice the cap the
        // newcomer is closed without a word.
        if (live < 2 * MaxConnections) {
            sessions_.push_back(session);
            session->refuse(http::status::service_unavailable, "too many connections\n");
        }
    } else {
        sessions_.push_back(session);
        session->start();
    }
    accept();
}

void HttpServer::stop()
{
    if (!thread_.joinable()) {
        return;
    }
    // Closing and stopping from the server's own thread avoids racing the
    // handlers that run there.
    asio::post(io_, [this] {
        beast::error_code ignored;
        acceptor_.close(ignored);
        acceptPause_.cancel();
        for (const auto& weak : sessions_) {
            if (const std::shared_ptr<HttpSession> s = weak.lock()) {
                s->close();
            }
        }
        io_.stop();
    });
    thread_.join();
}

}  // namespace varno_gateway
