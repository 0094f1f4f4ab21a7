#include "gateway/httpserver.h"

#include <chrono>
#include <optional>
#include <sstream>

#include <boost/asio/ip/address.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "gateway/eventstreams.h"

namespace varno_gateway {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

// One client connection: requests are answered in turn until the client
// closes, asks to close, or stays quiet for 10 s.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, const HttpServer::Handler& handler, EventStreams& streams)
        : stream_(std::move(socket)), handler_(handler), streams_(streams)
    {
    }

    void read()
    {
        parser_.emplace();
        parser_->header_limit(8 * 1024);
        parser_->body_limit(8 * 1024);
        stream_.expires_after(std::chrono::seconds(10));
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, size_t) {
                             self->onRead(ec);
                         });
    }

private:
    void onRead(beast::error_code ec)
    {
        if (ec) {
            if (ec != http::error::end_of_stream) {
                beast::error_code ignored;
                stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
            }
            return;
        }
        const http::request<http::string_body>& request = parser_->get();
        auto response = std::make_shared<http::response<http::string_body>>();
        response->version(request.version());
        response->keep_alive(request.keep_alive());
        response->set(http::field::server, "varno_gateway");
        if (request.method() != http::verb::get && request.method() != http::verb::head) {
            response->result(http::status::method_not_allowed);
            response->set(http::field::allow, "GET, HEAD");
            response->set(http::field::content_type, "text/plain; charset=utf-8");
            response->body() = "only GET and HEAD\n";
        } else {
            std::string target(request.target());
            const size_t query = target.find('?');
            if (query != std::string::npos) {
                target.resize(query);
            }
            const HttpServer::Reply reply = handler_(target);
            for (const auto& field : reply.fields) {
                response->set(field.first, field.second);
            }
            if (reply.stream && request.method() == http::verb::get) {
                if (!streams_.full()) {
                    openStream(*response, reply);
                    return;
                }
                response->result(http::status::service_unavailable);
                response->set(http::field::content_type, "text/plain; charset=utf-8");
                response->set(http::field::retry_after, "10");
                response->body() = "too many open event streams\n";
            } else {
                response->result(reply.status);
                response->set(http::field::content_type, reply.contentType);
            }
            if (reply.stream) {
                // HEAD of a stream: its head only.
            } else if (request.method() == http::verb::get) {
                response->body() = reply.body;
            } else {
                response->content_length(reply.body.size());
            }
        }
        if (request.method() != http::verb::head) {
            response->prepare_payload();
        }
        http::async_write(stream_, *response,
                          [self = shared_from_this(), response](beast::error_code wec, size_t) {
                              if (wec || !response->keep_alive()) {
                                  beast::error_code ignored;
                                  self->stream_.socket().shutdown(tcp::socket::shutdown_send,
                                                                  ignored);
                                  return;
                              }
                              self->read();
                          });
    }

    // The head goes without a length: the body is every message to come,
    // until one side closes.
    void openStream(http::response<http::string_body>& response, const HttpServer::Reply& reply)
    {
        response.result(reply.status);
        response.set(http::field::content_type, reply.contentType);
        response.set(http::field::cache_control, "no-store");
        response.keep_alive(false);
        std::ostringstream head;
        head << response.base();
        stream_.expires_never();
        streams_.open(std::move(stream_), head.str(), reply.body);
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    const HttpServer::Handler& handler_;
    EventStreams& streams_;
};

}  // namespace

HttpServer::HttpServer(Handler handler)
    : handler_(std::move(handler)), acceptor_(io_),
      streams_(std::make_unique<EventStreams>(io_, StreamLimit))
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
    acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor_.is_open()) {
            return;
        }
        if (!ec) {
            std::make_shared<Session>(std::move(socket), handler_, *streams_)->read();
        }
        accept();
    });
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
        streams_->closeAll();
        io_.stop();
    });
    thread_.join();
}

void HttpServer::broadcast(std::string message)
{
    streams_->broadcast(std::move(message));
}

}  // namespace varno_gateway
