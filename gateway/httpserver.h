#ifndef VARNO_GATEWAY_HTTPSERVER_H
#define VARNO_GATEWAY_HTTPSERVER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace varno_gateway {

class EventStreams;

// GET /metrics (the Prometheus text format) and GET /healthz on a thread
// of its own. Each connection has 10 s to send a request; requests larger
// than 8 KiB are refused.
class HttpServer {
public:
    struct Reply {
        unsigned status = 200;
        std::string contentType;
        std::string body;
        std::vector<std::pair<std::string, std::string>> fields;  // more header fields
        // An event stream: the connection stays open, `body` is its first
        // message and broadcast() sends the rest.
        bool stream = false;
    };
    using Handler = std::function<Reply(const std::string& target)>;

    explicit HttpServer(Handler handler);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and starts serving; false with a reason when the address
    // cannot be bound. Port 0 takes a free port (see port()).
    bool start(const std::string& address, uint16_t port, std::string& error);
    void stop();
    uint16_t port() const { return port_; }
    // Sends the message to every open event stream; any thread.
    void broadcast(std::string message);

    // Open event streams beyond this get 503.
    static constexpr size_t StreamLimit = 16;

private:
    void accept();

    Handler handler_;
    boost::asio::io_context io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    std::unique_ptr<EventStreams> streams_;
    std::thread thread_;
    uint16_t port_ = 0;
};

}  // namespace varno_gateway

#endif
