// The gateway's HTTP listener over real loopback sockets: exact replies,
// the limits on requests, and the connection cap.

#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "gateway/httpserver.h"

using namespace varno_gateway;

namespace {

// A client connection to the server; closed by the destructor.
class Client {
public:
    explicit Client(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("cannot connect");
        }
    }
    ~Client() { ::close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void send(const std::string& bytes)
    {
        // A server that has answered and closed may refuse the rest: the
        // reply is what the test looks at.
        size_t at = 0;
        while (at < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            at += static_cast<size_t>(n);
        }
    }

    // Everything until the server closes, or what came within the limit.
    std::string receiveAll(std::chrono::milliseconds limit = std::chrono::seconds(5))
    {
        std::string out;
        const auto until = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return out;
            }
            char buffer[4096];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed_ = true;
                return out;
            }
            out.append(buffer, static_cast<size_t>(n));
        }
    }
    bool closed() const { return closed_; }

private:
    int fd_;
    bool closed_ = false;
};

// The stream the last GET /stream opened.
std::shared_ptr<HttpStream> lastStream;
std::mutex lastStreamLock;

std::shared_ptr<HttpStream> takeStream()
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < until) {
        {
            std::lock_guard<std::mutex> hold(lastStreamLock);
            if (lastStream) {
                return std::move(lastStream);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return nullptr;
}

bool endsWithin(const HttpStream& stream, std::chrono::milliseconds limit)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (stream.open() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return !stream.open();
}

HttpServer::Reply reply(unsigned status, const char* type, const char* body,
                        std::vector<std::pair<std::string, std::string>> headers = {})
{
    HttpServer::Reply r;
    r.status = status;
    r.contentType = type;
    r.body = body;
    r.headers = std::move(headers);
    return r;
}

HttpServer::Reply handle(const HttpServer::Request& request)
{
    if (request.path == "/stream") {
        HttpServer::Reply streamed =
            reply(200, "text/event-stream", "ignored", {{"Cache-Control", "no-store"}});
        streamed.stream = [](std::shared_ptr<HttpStream> stream) {
            stream->send("data: first\n\n");
            std::lock_guard<std::mutex> hold(lastStreamLock);
            lastStream = std::move(stream);
        };
        return streamed;
    }
    if (request.path == "/ok") {
        return reply(200, "text/plain", "hello\n", {{"X-Seen", request.query}});
    }
    if (request.path == "/throw") {
        throw std::runtime_error("broken handler");
    }
    return reply(404, "text/plain", "none\n");
}

struct Split {
    std::string statusLine;
    std::string head;
    std::string body;
};

Split split(const std::string& reply)
{
    Split s;
    const size_t end = reply.find("\r\n\r\n");
    s.head = reply.substr(0, end);
    s.statusLine = reply.substr(0, reply.find("\r\n"));
    s.body = end == std::string::npos ? std::string() : reply.substr(end + 4);
    return s;
}

}  // namespace

TEST(GatewayHttp, RepliesAreExactAndLimitsAreAnswered)
{
    HttpServer server(handle);
    std::string error;
    ASSERT_TRUE(server.start("127.0.0.1", 0, error)) << error;
    const std::string big(9000, 'a');
    const std::string fits(7000, 'a');
    const struct {
        const char* what;
        std::string request;
        const char* statusLine;
        const char* body;
        const char* headField;  // a field the head must hold, or nullptr
    } cases[] = {
        {"a GET", "GET /ok?x=1 HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n",
         "HTTP/1.1 200 OK", "hello\n", "X-Seen: x=1\r\n"},
        {"HTTP/1.0 closes by default", "GET /ok HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK", "hello\n",
         "Content-Length: 6\r\n"},
        {"a HEAD has the length and no body", "HEAD /ok HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK", "",
         "Content-Length: 6\r\n"},
        {"an unknown path", "GET /nothing HTTP/1.0\r\n\r\n", "HTTP/1.0 404 Not Found", "none\n",
         nullptr},
        {"another method",
         "POST /ok HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\nConnection: close\r\n\r\nab",
         "HTTP/1.1 405 Method Not Allowed", "only GET and HEAD\n", "Allow: GET, HEAD\r\n"},
        {"a header just under the limit",
         "GET /ok HTTP/1.1\r\nHost: h\r\nX-Pad: " + fits + "\r\nConnection: close\r\n\r\n",
         "HTTP/1.1 200 OK", "hello\n", nullptr},
        {"a header over the limit", "GET /ok HTTP/1.1\r\nHost: h\r\nX-Pad: " + big + "\r\n\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large", "request header larger than 8192 bytes\n",
         "Connection: close\r\n"},
        {"a body over the limit",
         "GET /ok HTTP/1.1\r\nHost: h\r\nContent-Length: 9000\r\n\r\n" + big,
         "HTTP/1.1 413 Payload Too Large", "request body larger than 8192 bytes\n", nullptr},
        {"not HTTP", "HELLO THERE\r\n\r\n", "HTTP/1.1 400 Bad Request", "bad request\n", nullptr},
        {"a handler that raises", "GET /throw HTTP/1.0\r\n\r\n",
         "HTTP/1.0 500 Internal Server Error", "internal error\n", nullptr},
    };
    for (const auto& c : cases) {
        Client client(server.port());
        client.send(c.request);
        const Split reply = split(client.receiveAll());
        EXPECT_TRUE(client.closed()) << c.what;
        EXPECT_EQ(reply.statusLine, c.statusLine) << c.what;
        EXPECT_EQ(reply.body, c.body) << c.what;
        if (c.headField != nullptr) {
            EXPECT_NE((reply.head + "\r\n").find(c.headField), std::string::npos)
                << c.what << ": " << reply.head;
        }
    }
}

TEST(GatewayHttp, ARequestHasItsTimeAndAQuietConnectionIsClosed)
{
    HttpServer server(handle, std::chrono::milliseconds(300));
    std::string error;
    ASSERT_TRUE(server.start("127.0.0.1", 0, error)) << error;
    const struct {
        const char* what;
        const char* request;
        const char* statusLine;  // of the last reply; empty: none
        const char* body;
    } cases[] = {
        {"half a request", "GET /ok HTTP/1.1\r\nHost", "", ""},
        {"nothing at all", "", "", ""},
        {"quiet after a reply", "GET /ok HTTP/1.1\r\nHost: h\r\n\r\n", "HTTP/1.1 200 OK",
         "hello\n"},
    };
    for (const auto& c : cases) {
        Client client(server.port());
        client.send(c.request);
        const auto start = std::chrono::steady_clock::now();
        const Split reply = split(client.receiveAll(std::chrono::seconds(5)));
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(client.closed()) << c.what;
        EXPECT_EQ(reply.statusLine, c.statusLine) << c.what;
        EXPECT_EQ(reply.body, c.body) << c.what;
        // Closed by the limit, not by the client's patience.
        EXPECT_LT(took, std::chrono::seconds(4)) << c.what;
    }
}

TEST(GatewayHttp, KeepAliveAnswersRequestsInTurn)
{
    HttpServer server(handle);
    std::string error;
    ASSERT_TRUE(server.start("127.0.0.1", 0, error)) << error;
    Client client(server.port());
    client.send("GET /ok?a HTTP/1.1\r\nHost: h\r\n\r\nGET /ok?b HTTP/1.1\r\nHost: h\r\n"
                "Connection: close\r\n\r\n");
    const std::string replies = client.receiveAll();
    EXPECT_TRUE(client.closed());
    const size_t first = replies.find("X-Seen: a\r\n");
    const size_t second = replies.find("X-Seen: b\r\n");
    ASSERT_NE(first, std::string::npos) << replies;
    ASSERT_NE(second, std::string::npos) << replies;
    EXPECT_LT(first, second);
}

TEST(GatewayHttp, OverTheCapTheLongestWaitingConnectionMakesRoom)
{
    HttpServer server(handle);
    std::string error;
    ASSERT_TRUE(server.start("127.0.0.1", 0, error)) << error;
    std::vector<std::unique_ptr<Client>> idle;
    for (size_t i = 0; i < HttpServer::MaxConnections; ++i) {
        idle.push_back(std::make_unique<Client>(server.port()));
        if (i == 0) {
            // The first is surely accepted before the rest: it must be the
            // one to go.
            idle.back()->send("GET /ok HTTP/1.1\r\nHost: h\r\n\r\n");
            EXPECT_EQ(split(idle.back()->receiveAll(std::chrono::milliseconds(2000))).statusLine,
                      "HTTP/1.1 200 OK");
        }
    }
    // Each newcomer over the cap is served, and each takes the place of
    // the connection that has waited longest.
    for (int round = 0; round < 3; ++round) {
        Client check(server.port());
        check.send("GET /ok HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(split(check.receiveAll()).statusLine, "HTTP/1.1 200 OK") << round;
    }
    idle.front()->receiveAll(std::chrono::milliseconds(2000));
    EXPECT_TRUE(idle.front()->closed());
    idle.back()->send("GET /ok HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(split(idle.back()->receiveAll()).statusLine, "HTTP/1.1 200 OK");
}

TEST(GatewayHttp, AStreamCarriesWhatItIsSentUntilTheClientGoes)
{
    HttpServer server(handle);
    std::string error;
    ASSERT_TRUE(server.start("127.0.0.1", 0, error)) << error;
    {
        auto client = std::make_unique<Client>(server.port());
        client->send("GET /stream HTTP/1.1\r\nHost: h\r\n\r\n");
        const std::shared_ptr<HttpStream> stream = takeStream();
        ASSERT_TRUE(stream);
        EXPECT_TRUE(stream->send("data: second\n\n"));
        const std::string got = client->receiveAll(std::chrono::milliseconds(1000));
        EXPECT_EQ(got,
                  "HTTP/1.1 200 OK\r\nServer: varno_gateway\r\nContent-Type: text/event-stream\r\n"
                  "Cache-Control: no-store\r\nConnection: close\r\n\r\n"
                  "data: first\n\ndata: second\n\n");
        EXPECT_FALSE(client->closed());
        client.reset();
        EXPECT_TRUE(endsWithin(*stream, std::chrono::seconds(5)));
        EXPECT_FALSE(stream->send("data: late\n\n"));
    }
    {
        // A client that does not read ends its stream instead of making
        // the server keep everything for it.
        Client client(server.port());
        client.send("GET /stream HTTP/1.1\r\nHost: h\r\n\r\n");
        const std::shared_ptr<HttpStream> stream = takeStream();
        ASSERT_TRUE(stream);
        const std::string chunk(64 * 1024, 'x');
        size_t sent = 0;
        while (stream->send(chunk) && sent < (256u << 20)) {
            sent += chunk.size();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        EXPECT_TRUE(endsWithin(*stream, std::chrono::seconds(5))) << sent;
    }
    {
        // The server's end ends the stream too.
        Client client(server.port());
        client.send("GET /stream HTTP/1.1\r\nHost: h\r\n\r\n");
        const std::shared_ptr<HttpStream> stream = takeStream();
        ASSERT_TRUE(stream);
        server.stop();
        EXPECT_FALSE(stream->open());
        EXPECT_FALSE(stream->send("data: after\n\n"));
    }
}
