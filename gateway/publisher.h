#ifndef VARNO_GATEWAY_PUBLISHER_H
#define VARNO_GATEWAY_PUBLISHER_H

#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "gateway/config.h"
#include "gateway/metrics.h"

struct mosquitto;

namespace varno_gateway {

// The broker connection. libmosquitto's own thread keeps it up and
// reconnects with back-off (1 s doubling to 32 s); publish() may be called
// from any thread and never blocks on the network.
//
// While the broker is away, messages are kept in a bounded queue (the
// oldest dropped and counted when it is full) and sent in order after the
// next connect. Retained messages are not queued: the last one per topic
// is remembered and all of them are sent again after every connect, so a
// broker that lost its store gets the current state back. The gateway's
// own availability topic carries "online", and "offline" as the last will
// and on a clean stop.
class Publisher {
public:
    Publisher(const MqttConfig& config, Metrics& metrics);
    ~Publisher();
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    // Sets up the client and starts connecting; false with a reason when
    // the client cannot be set up (TLS files, credentials). A broker that
    // does not answer yet is no failure.
    bool start(std::string& error);
    // Publishes "offline" on the gateway's topic, disconnects and stops
    // the network thread; waits at most about half a second for the
    // broker to take what is in flight.
    void stop();

    void publish(const std::string& topic, const std::string& payload, bool retain);
    // Clears a retained topic on the broker and forgets it here.
    void clearRetained(const std::string& topic);

    const MqttConfig& config() const { return config_; }
    std::string availabilityTopic() const;
    size_t queueLength() const;
    bool connected() const;

private:
    struct Message {
        std::string topic;
        std::string payload;
        bool retain = false;
    };

    static void onConnect(mosquitto* client, void* self, int rc);
    static void onDisconnect(mosquitto* client, void* self, int rc);
    static void onLog(mosquitto* client, void* self, int level, const char* text);
    // Hands the message to the client; false when the connection is down and
    // the message is worth keeping. One the broker would never take is
    // dropped and counted instead.
    bool send(const Message& message);
    void keep(Message message);
    // Logs a failure to reach the broker once per change of state: a
    // broker that stays away is tried again and again. mutex_ held.
    void noteFailure(const std::string& text);

    MqttConfig config_;
    Metrics& metrics_;
    mosquitto* client_ = nullptr;
    bool loopRunning_ = false;

    mutable std::mutex mutex_;
    bool connected_ = false;
    std::string failure_;  // the last failure logged, empty once connected
    std::deque<Message> queue_;
    std::map<std::string, std::string> retained_;
};

}  // namespace varno_gateway

#endif
