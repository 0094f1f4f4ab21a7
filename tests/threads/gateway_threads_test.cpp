// The gateway's objects that several threads use at once: the figures
// (line threads and the broker thread write, the HTTP thread reads) and a
// streamed HTTP reply fed from other threads while its client goes away
// and the server stops. Run under ThreadSanitizer to see the races.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/httpserver.h"
#include "gateway/metrics.h"

using namespace varno_gateway;

TEST(SharedGatewayMetrics, WritersAndReadersAtOnce)
{
    Metrics metrics;
    std::atomic<bool> done{false};
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&metrics, &done, w] {
            const std::string line = "l" + std::to_string(w);
            for (int i = 0; !done; ++i) {
                metrics.lineOpen(line, i % 2 == 0);
                metrics.lineUp(line, i % 3 != 0);
                metrics.pointValue(line, "1.2.3", i, 0, 1.0);
                metrics.pointAvailable(line, "1.2.3", i % 2 == 0);
                metrics.mqttConnected(i % 2 == 0);
                metrics.exchange(line, 0.01, 0);
            }
        });
    }
    size_t reads = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < until) {
        EXPECT_FALSE(metrics.render().empty());
        EXPECT_FALSE(metrics.health(Metrics::SteadyClock::now()).json.empty());
        ++reads;
    }
    done = true;
    for (auto& t : writers) {
        t.join();
    }
    EXPECT_GT(reads, 0u);
}

TEST(SharedGatewayStream, SendersWhileTheClientGoesAndTheServerStops)
{
    std::mutex lock;
    std::vector<std::shared_ptr<HttpStream>> streams;
    HttpServer server([&](const HttpServer::Request&) {
        HttpServer::Reply reply;
        reply.contentType = "text/event-stream";
        reply.stream = [&](std::shared_ptr<HttpStream> stream) {
            std::lock_guard<std::mutex> hold(lock);
            streams.push_back(std::move(stream));
        };
        return reply;
    });
    std::string error;
    ASSERT_TRUE(server.start("127.0.0.1", 0, error)) << error;

    // Two clients: one leaves, the other stays until the server stops.
    int clients[2];
    for (int& fd : clients) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(server.port());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        const std::string request = "GET /events HTTP/1.1\r\nHost: h\r\n\r\n";
        ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(request.size()));
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(lock);
            if (streams.size() == 2 || std::chrono::steady_clock::now() > until) {
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::vector<std::shared_ptr<HttpStream>> taken;
    {
        std::lock_guard<std::mutex> hold(lock);
        taken = streams;
    }
    ASSERT_EQ(taken.size(), 2u);

    std::atomic<int> ended{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < 4; ++s) {
        senders.emplace_back([&taken, &ended, s] {
            const std::shared_ptr<HttpStream>& stream = taken[static_cast<size_t>(s % 2)];
            while (stream->send("data: x\n\n")) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
            ++ended;
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::close(clients[0]);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.stop();
    for (auto& t : senders) {
        t.join();
    }
    ::close(clients[1]);
    EXPECT_EQ(ended, 4);
    EXPECT_FALSE(taken[0]->open());
    EXPECT_FALSE(taken[1]->open());
}
