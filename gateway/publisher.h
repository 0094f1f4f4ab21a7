#ifndef VARNO_GATEWAY_PUBLISHER_H
#define VARNO_GATEWAY_PUBLISHER_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "gateway/config.h"
#include "gateway/livestate.h"
#include "gateway/metrics.h"
#include "gateway/sink.h"

struct mosquitto;

namespace varno_gateway {

// The broker connection. libmosquitto's own thread keeps it up and
// reconnects with back-off (1 s doubling to 32 s); publish() may be called
// from any thread and never blocks on the network.
//
// While the broker is away, messages are kept in a bounded queue and sent
// in order after the next connect. When it is full, the oldest routine
// measure makes room (events go only when nothing else can), and the drop
// is counted. Retained messages are not queued: the last one per topic
// is remembered and all of them are sent again after every connect, so a
// broker that lost its store gets the current state back. The gateway's
// own availability topic carries "online", and "offline" as the last will
// and on a clean stop.
class Publisher : public MessageSink {
public:
    Publisher(const MqttConfig& config, Metrics& metrics);
    ~Publisher() override;
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
    // Moves to another broker set-up: the new client is made first (false
    // with a reason, and the running one kept, when it cannot be), then the
    // old one says "offline" and goes. What is queued or retained stays and
    // goes out on the new connection.
    bool restart(const MqttConfig& next, std::string& error);
    // Empties every retained topic it has published, its own availability
    // included, through the running connection (or the next one, when none
    // is up): for a change of the names the topics are made of.
    void clearAllRetained();

    void publish(const std::string& topic, const std::string& payload, bool retain) override;
    // Clears a retained topic on the broker and forgets it here.
    void clearRetained(const std::string& topic) override;

    // The connection's state goes to `live` too; set before start().
    void feed(LiveState* live) { live_ = live; }

    const MqttConfig& config() const { return config_; }
    std::string availabilityTopic() const;
    size_t queueLength() const;
    // Messages whose acknowledgement this side still tracks.
    size_t unacknowledged() const;
    // The topics of the kept messages, oldest first.
    std::vector<std::string> queuedTopics() const;
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
    // The broker took a message (QoS 1 and 2: its acknowledgement came).
    static void onPublish(mosquitto* client, void* self, int mid);
    // Notes a message handed to the client, to be acknowledged.
    void sent(int mid);
    // Hands the message to the client; false when the connection is down and
    // the message is worth keeping. One the broker would never take is
    // dropped and counted instead.
    bool send(const Message& message);
    void keep(Message message);
    // A client set up for the configuration, not yet connected; nullptr
    // with a reason when it cannot be.
    mosquitto* makeClient(const MqttConfig& config, std::string& error);
    // Starts the client's network thread and its connection.
    bool run(mosquitto* client, std::string& error);
    // Ends the running client: "offline" first when `announce`.
    void endClient(bool announce);
    // Logs a failure to reach the broker once per change of state: a
    // broker that stays away is tried again and again. mutex_ held.
    void noteFailure(const std::string& text);

    MqttConfig config_;
    Metrics& metrics_;
    LiveState* live_ = nullptr;
    mosquitto* client_ = nullptr;
    bool loopRunning_ = false;

    mutable std::mutex mutex_;
    bool connected_ = false;
    std::string failure_;  // the last failure logged, empty once connected
    std::deque<Message> queue_;
    std::map<std::string, std::string> retained_;
    // Retained topics to empty once a connection is up.
    std::set<std::string> clears_;
    bool announceOffline_ = true;

    // Messages handed over under QoS 1 or 2 and not yet acknowledged: a
    // connection closed before the broker acknowledged them makes the
    // broker drop what it had not read yet and send the last will.
    mutable std::mutex flightMutex_;
    std::condition_variable flightDone_;
    std::set<int> inFlight_;
    std::set<int> ackedEarly_;  // acknowledged before sent() noted them
    int flightQos_ = 0;         // the QoS of the client now running
};

}  // namespace varno_gateway

#endif
