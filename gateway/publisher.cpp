#include "gateway/publisher.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <thread>

#include <mosquitto.h>

#include "gateway/log.h"
#include "gateway/payloads.h"

namespace varno_gateway {

namespace {

bool isRoutineTopic(const std::string& topic)
{
    static const std::string leaf = "/measure";
    return topic.size() >= leaf.size() &&
           topic.compare(topic.size() - leaf.size(), leaf.size(), leaf) == 0;
}

// mosquitto_lib_init once per process, whatever the number of reloads.
void initLibrary()
{
    static const int rc = mosquitto_lib_init();
    (void)rc;
}

}  // namespace

Publisher::Publisher(const MqttConfig& config, Metrics& metrics)
    : config_(config), metrics_(metrics)
{
}

Publisher::~Publisher()
{
    stop();
}

std::string Publisher::availabilityTopic() const
{
    return gatewayAvailabilityTopic(config_.topicPrefix, config_.clientId);
}

mosquitto* Publisher::makeClient(const MqttConfig& config, std::string& error)
{
    initLibrary();
    mosquitto* client = mosquitto_new(config.clientId.c_str(), true, this);
    if (client == nullptr) {
        error = "cannot create the MQTT client";
        return nullptr;
    }
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(client, &Publisher::onConnect);
    mosquitto_disconnect_callback_set(client, &Publisher::onDisconnect);
    mosquitto_log_callback_set(client, &Publisher::onLog);
    mosquitto_publish_callback_set(client, &Publisher::onPublish);
    mosquitto_reconnect_delay_set(client, 1, 32, true);

    const std::string topic = gatewayAvailabilityTopic(config.topicPrefix, config.clientId);
    int rc = mosquitto_will_set(client, topic.c_str(), 7, "offline", config.qos, true);
    if (rc == MOSQ_ERR_SUCCESS && !config.username.empty()) {
        rc = mosquitto_username_pw_set(client, config.username.c_str(),
                                       config.password.empty() ? nullptr
                                                               : config.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && config.tls) {
        rc = mosquitto_tls_set(client, config.caFile.c_str(), nullptr,
                               config.certFile.empty() ? nullptr : config.certFile.c_str(),
                               config.keyFile.empty() ? nullptr : config.keyFile.c_str(),
                               nullptr);
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_tls_insecure_set(client, config.tlsInsecure);
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("MQTT client set-up: ") + mosquitto_strerror(rc);
        mosquitto_destroy(client);
        return nullptr;
    }
    return client;
}

bool Publisher::run(mosquitto* client, std::string& error)
{
    {
        std::lock_guard<std::mutex> flight(flightMutex_);
        flightQos_ = config_.qos;
    }
    int rc = mosquitto_loop_start(client);
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("MQTT network thread: ") + mosquitto_strerror(rc);
        mosquitto_destroy(client);
        return false;
    }
    {
        std::lock_guard<std::mutex> hold(mutex_);
        client_ = client;
        connected_ = false;
        announceOffline_ = true;
        failure_.clear();  // a new broker set-up: its first failure is news
    }
    loopRunning_ = true;
    // A broker that is not there yet is retried by the network thread.
    rc = mosquitto_connect_async(client, config_.host.c_str(), config_.port, config_.keepaliveS);
    if (rc != MOSQ_ERR_SUCCESS) {
        const std::string reason =
            rc == MOSQ_ERR_ERRNO ? std::string(strerror(errno)) : mosquitto_strerror(rc);
        std::lock_guard<std::mutex> hold(mutex_);
        noteFailure("cannot connect to " + config_.host + ":" + std::to_string(config_.port) +
                    ": " + reason + "; retrying");
    }
    return true;
}

bool Publisher::start(std::string& error)
{
    mosquitto* client = makeClient(config_, error);
    return client != nullptr && run(client, error);
}

bool Publisher::restart(const MqttConfig& next, std::string& error)
{
    mosquitto* client = makeClient(next, error);
    if (client == nullptr) {
        return false;
    }
    endClient(true);
    {
        std::lock_guard<std::mutex> hold(mutex_);
        config_ = next;
    }
    return run(client, error);
}

void Publisher::clearAllRetained()
{
    std::lock_guard<std::mutex> hold(mutex_);
    std::set<std::string> topics = std::move(clears_);
    clears_.clear();
    for (const auto& entry : retained_) {
        topics.insert(entry.first);
    }
    retained_.clear();
    topics.insert(availabilityTopic());
    // Its own availability is emptied here, not set "offline" on the way out.
    announceOffline_ = false;
    for (const std::string& topic : topics) {
        if (!connected_ || !send(Message{topic, std::string(), true})) {
            clears_.insert(topic);
        }
    }
}

void Publisher::stop()
{
    endClient(true);
}

void Publisher::endClient(bool announce)
{
    mosquitto* client = nullptr;
    bool wasConnected = false;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        client = client_;
        wasConnected = connected_;
        if (client != nullptr && wasConnected && announce && announceOffline_) {
            const std::string topic = availabilityTopic();
            int mid = 0;
            if (mosquitto_publish(client, &mid, topic.c_str(), 7, "offline", config_.qos, true) ==
                MOSQ_ERR_SUCCESS) {
                sent(mid);
            }
        }
        // From here on publish() keeps what it gets.
        client_ = nullptr;
        connected_ = false;
    }
    if (client == nullptr) {
        return;
    }
    if (wasConnected) {
        // Give the network thread a moment to write what is in flight and
        // the broker to acknowledge it: a connection closed under an
        // acknowledgement makes the broker drop what followed (emptied
        // retained topics, "offline") and send the will instead. The will
        // covers a broker that does not take it in time.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (std::chrono::steady_clock::now() < until && mosquitto_want_write(client)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::unique_lock<std::mutex> flight(flightMutex_);
        flightDone_.wait_until(flight, until, [this] { return inFlight_.empty(); });
    }
    mosquitto_disconnect(client);
    if (loopRunning_) {
        mosquitto_loop_stop(client, false);
        loopRunning_ = false;
    }
    mosquitto_destroy(client);
    metrics_.mqttConnected(false);
    if (live_ != nullptr) {
        live_->brokerConnected(false);
    }
}

void Publisher::publish(const std::string& topic, const std::string& payload, bool retain)
{
    std::lock_guard<std::mutex> hold(mutex_);
    Message message{topic, payload, retain};
    if (retain) {
        retained_[topic] = payload;
        clears_.erase(topic);
        if (connected_) {
            send(message);
        }
        return;
    }
    if (connected_ && queue_.empty() && send(message)) {
        return;
    }
    keep(std::move(message));
}

void Publisher::clearRetained(const std::string& topic)
{
    std::lock_guard<std::mutex> hold(mutex_);
    retained_.erase(topic);
    if (!connected_ || !send(Message{topic, std::string(), true})) {
        clears_.insert(topic);  // emptied once a connection is up
    }
}

size_t Publisher::queueLength() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return queue_.size();
}

size_t Publisher::unacknowledged() const
{
    std::lock_guard<std::mutex> hold(flightMutex_);
    return inFlight_.size() + ackedEarly_.size();
}

std::vector<std::string> Publisher::queuedTopics() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<std::string> topics;
    for (const Message& m : queue_) {
        topics.push_back(m.topic);
    }
    return topics;
}

bool Publisher::connected() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return connected_;
}

bool Publisher::send(const Message& message)
{
    if (client_ == nullptr) {
        return false;
    }
    int mid = 0;
    const int rc = mosquitto_publish(client_, &mid, message.topic.c_str(),
                                     static_cast<int>(message.payload.size()),
                                     message.payload.data(), config_.qos, message.retain);
    if (rc == MOSQ_ERR_SUCCESS) {
        sent(mid);
        metrics_.mqttPublished();
        return true;
    }
    if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_NOMEM ||
        rc == MOSQ_ERR_ERRNO) {
        return false;  // worth keeping until the broker is back
    }
    // The broker would never take this message (a topic or payload it
    // refuses): kept, it would hold up everything queued behind it.
    logLine(Level::Warning, "mqtt: dropped a message on " + message.topic + ": " +
                                mosquitto_strerror(rc));
    metrics_.mqttRefused();
    return true;
}

void Publisher::sent(int mid)
{
    std::lock_guard<std::mutex> hold(flightMutex_);
    if (flightQos_ == 0) {
        return;  // nothing comes back: written is taken
    }
    if (ackedEarly_.erase(mid) == 0) {
        inFlight_.insert(mid);
    }
}

void Publisher::onPublish(mosquitto* /*client*/, void* self, int mid)
{
    auto* p = static_cast<Publisher*>(self);
    std::lock_guard<std::mutex> hold(p->flightMutex_);
    if (p->flightQos_ == 0) {
        return;  // called once written: there is no acknowledgement to wait for
    }
    if (p->inFlight_.erase(mid) == 0) {
        p->ackedEarly_.insert(mid);
    } else if (p->inFlight_.empty()) {
        p->flightDone_.notify_all();
    }
}

void Publisher::keep(Message message)
{
    if (queue_.size() >= config_.queueLimit && !queue_.empty()) {
        // Measures are routine: the next one says the same again. Events
        // (alarms, failures) are not repeated, so they go last.
        auto victim = std::find_if(queue_.begin(), queue_.end(), [](const Message& m) {
            return isRoutineTopic(m.topic);
        });
        if (victim == queue_.end()) {
            victim = queue_.begin();
        }
        queue_.erase(victim);
        metrics_.mqttDropped();
    }
    queue_.push_back(std::move(message));
    metrics_.mqttQueue(queue_.size());
}

void Publisher::noteFailure(const std::string& text)
{
    if (text != failure_) {
        failure_ = text;
        logLine(Level::Warning, "mqtt: " + text);
    }
}

void Publisher::onConnect(mosquitto* /*client*/, void* self, int rc)
{
    auto* p = static_cast<Publisher*>(self);
    std::lock_guard<std::mutex> hold(p->mutex_);
    if (rc != 0) {
        p->noteFailure(std::string("broker refused the connection: ") +
                       mosquitto_connack_string(rc) + "; retrying");
        return;
    }
    if (p->client_ == nullptr) {
        return;  // stopping
    }
    p->failure_.clear();
    p->connected_ = true;
    p->metrics_.mqttConnected(true);
    p->metrics_.mqttConnects();
    if (p->live_ != nullptr) {
        p->live_->brokerConnected(true);
    }
    logLine(Level::Info, "mqtt: connected to " + p->config_.host + ":" +
                             std::to_string(p->config_.port));
    p->send(Message{p->availabilityTopic(), "online", true});
    for (auto t = p->clears_.begin(); t != p->clears_.end();) {
        t = p->send(Message{*t, std::string(), true}) ? p->clears_.erase(t) : std::next(t);
    }
    for (const auto& [topic, payload] : p->retained_) {
        p->send(Message{topic, payload, true});
    }
    size_t sent = 0;
    while (!p->queue_.empty() && p->send(p->queue_.front())) {
        p->queue_.pop_front();
        ++sent;
    }
    p->metrics_.mqttQueue(p->queue_.size());
    if (sent > 0) {
        logLine(Level::Info, "mqtt: sent " + std::to_string(sent) + " kept message(s)");
    }
}

void Publisher::onDisconnect(mosquitto* /*client*/, void* self, int rc)
{
    // The reason of a failed connect is in errno when rc says so; the
    // lock below may change it.
    const int error = errno;
    auto* p = static_cast<Publisher*>(self);
    std::lock_guard<std::mutex> hold(p->mutex_);
    if (p->connected_ && rc != 0) {
        p->noteFailure("connection lost; reconnecting");
    } else if (rc != 0 && p->failure_.empty() && p->client_ != nullptr) {
        // A connect that failed before the broker answered; later retries
        // fail without a word from the library, and change nothing here.
        p->noteFailure("cannot connect to " + p->config_.host + ":" +
                       std::to_string(p->config_.port) + ": " +
                       (rc == MOSQ_ERR_ERRNO ? std::string(strerror(error))
                                             : mosquitto_strerror(rc)) +
                       "; retrying");
    }
    p->connected_ = false;
    {
        // A connection that is gone acknowledges nothing more.
        std::lock_guard<std::mutex> flight(p->flightMutex_);
        p->inFlight_.clear();
        p->ackedEarly_.clear();
    }
    p->flightDone_.notify_all();
    p->metrics_.mqttConnected(false);
    if (p->live_ != nullptr) {
        p->live_->brokerConnected(false);
    }
}

void Publisher::onLog(mosquitto* /*client*/, void* /*self*/, int level, const char* text)
{
    if ((level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) != 0) {
        logLine(Level::Warning, std::string("mqtt: ") + text);
    }
}

}  // namespace varno_gateway
