// The broker connection against a real mosquitto on a free port.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "gateway/metrics.h"
#include "gateway/publisher.h"
#include "support/childprocess.h"
#include "support/process.h"

using namespace varno_gateway;

namespace {

// A port nothing listens on right now.
int freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool listening(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

template <typename Condition>
bool within(int ms, Condition condition)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace

TEST(GatewayPublisherBroker, AStopRightAfterPublishingLosesNothingToTheLastWill)
{
    // A stop that closed the connection while acknowledgements were still
    // on their way made the broker drop what it had not read yet and send
    // the last will: retained messages and emptied topics went missing.
    varno_test::TempDir dir;
    const int port = freePort();
    ASSERT_GT(port, 0);
    dir.write("broker.conf", "listener " + std::to_string(port) +
                                 " 127.0.0.1\nallow_anonymous true\n");
    varno_test::ChildProcess broker;
    ASSERT_TRUE(broker.start({"/usr/sbin/mosquitto", "-c", "broker.conf"}, dir.path(), -1, true));
    ASSERT_TRUE(within(5000, [port] { return listening(port); }));

    MqttConfig config;
    config.host = "127.0.0.1";
    config.port = port;
    config.clientId = "stoptest";
    Metrics metrics;
    const int count = 200;
    // QoS 1 three times, then QoS 0, which is acknowledged by nobody.
    const int qos[] = {1, 1, 1, 0};
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        config.qos = qos[round];
        Publisher publisher(config, metrics);
        std::string error;
        ASSERT_TRUE(publisher.start(error)) << error;
        ASSERT_TRUE(within(5000, [&publisher] { return publisher.connected(); }));
        const std::string value = "r" + std::to_string(round);
        for (int i = 0; i < count; ++i) {
            publisher.publish("t/" + std::to_string(i), value, true);
        }
        if (round == 3) {
            // Nothing is left tracked once all is written: under QoS 0 the
            // library reports each message as sent, and that is no
            // acknowledgement to keep.
            EXPECT_TRUE(within(3000, [&publisher] { return publisher.unacknowledged() == 0; }))
                << publisher.unacknowledged();
        }
        publisher.stop();

        // Every retained topic holds this round's value.
        varno_test::ChildProcess sub;
        ASSERT_TRUE(sub.start({"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port),
                               "-t", "t/#", "-v", "-W", "3"},
                              dir.path()));
        std::set<std::string> current;
        std::string line;
        while (current.size() < static_cast<size_t>(count) && sub.readLine(line, 3000)) {
            if (line.size() > value.size() &&
                line.compare(line.size() - value.size() - 1, std::string::npos, " " + value) == 0) {
                current.insert(line);
            }
        }
        sub.signal(SIGTERM);
        EXPECT_EQ(current.size(), static_cast<size_t>(count));
    }
    broker.signal(SIGTERM);
    EXPECT_TRUE(broker.wait(5000));
}
