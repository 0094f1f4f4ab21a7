#include "gateway/publisher.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <mosquitto.h>

#include "gateway/log.h"

namespace varno_gateway {

namespace {

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
    return config_.topicPrefix + "/gateway/" + config_.clientId + "/availability";
}

bool Publisher::start(std::string& error)
{
    initLibrary();
    client_ = mosquitto_new(config_.clientId.c_str(), true, this);
    if (client_ == nullptr) {
        error = "cannot create the MQTT client";
        return false;
    }
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(client_, &Publisher::onConnect);
    mosquitto_disconnect_callback_set(client_, &Publisher::onDisconnect);
    mosquitto_log_callback_set(client_, &Publisher::onLog);
    mosquitto_reconnect_delay_set(client_, 1, 32, true);

    const std::string topic = availabilityTopic();
    int rc = mosquitto_will_set(client_, topic.c_str(), 7, "offline", config_.qos, true);
    if (rc == MOSQ_ERR_SUCCESS && !config_.username.empty()) {
        rc = mosquitto_username_pw_set(client_, config_.username.c_str(),
                                       config_.password.empty() ? nullptr
                                                                : config_.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && config_.tls) {
        rc = mosquitto_tls_set(client_, config_.caFile.c_str(), nullptr,
                               config_.certFile.empty() ? nullptr : config_.certFile.c_str(),
                               config_.keyFile.empty() ? nullptr : config_.keyFile.c_str(),
                               nullptr);
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_tls_insecure_set(client_, config_.tlsInsecure);
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("MQTT client set-up: ") + mosquitto_strerror(rc);
        mosquitto_destroy(client_);
        client_ = nullptr;
        return false;
    }
    rc = mosquitto_loop_start(client_);
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("MQTT network thread: ") + mosquitto_strerror(rc);
        mosquitto_destroy(client_);
        client_ = nullptr;
        return false;
    }
    loopRunning_ = true;
    // A broker that is not there yet is retried by the network thread.
    rc = mosquitto_connect_async(client_, config_.host.c_str(), config_.port, config_.keepaliveS);
    if (rc != MOSQ_ERR_SUCCESS) {
        const std::string reason =
            rc == MOSQ_ERR_ERRNO ? std::string(strerror(errno)) : mosquitto_strerror(rc);
        std::lock_guard<std::mutex> hold(mutex_);
        noteFailure("cannot connect to " + config_.host + ":" + std::to_string(config_.port) +
                    ": " + reason + "; retrying");
    }
    return true;
}

void Publisher::stop()
{
    mosquitto* client = nullptr;
    bool wasConnected = false;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        client = client_;
        wasConnected = connected_;
        if (client != nullptr && wasConnected) {
            const std::string topic = availabilityTopic();
            mosquitto_publish(client, nullptr, topic.c_str(), 7, "offline", config_.qos, true);
        }
        // From here on publish() keeps what it gets.
        client_ = nullptr;
        connected_ = false;
    }
    if (client == nullptr) {
        return;
    }
    if (wasConnected) {
        // Give the network thread a moment to write what is in flight; the
        // will covers a broker that does not take it in time.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        while (std::chrono::steady_clock::now() < until && mosquitto_want_write(client)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    mosquitto_disconnect(client);
    if (loopRunning_) {
        mosquitto_loop_stop(client, false);
        loopRunning_ = false;
    }
    mosquitto_destroy(client);
    metrics_.mqttConnected(false);
}

void Publisher::publish(const std::string& topic, const std::string& payload, bool retain)
{
    std::lock_guard<std::mutex> hold(mutex_);
    Message message{topic, payload, retain};
    if (retain) {
        retained_[topic] = payload;
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
    if (connected_) {
        send(Message{topic, std::string(), true});
    }
}

size_t Publisher::queueLength() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return queue_.size();
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
    const int rc = mosquitto_publish(client_, nullptr, message.topic.c_str(),
                                     static_cast<int>(message.payload.size()),
                                     message.payload.data(), config_.qos, message.retain);
    if (rc == MOSQ_ERR_SUCCESS) {
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

void Publisher::keep(Message message)
{
    if (queue_.size() >= config_.queueLimit) {
        queue_.pop_front();
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
    logLine(Level::Info, "mqtt: connected to " + p->config_.host + ":" +
                             std::to_string(p->config_.port));
    p->send(Message{p->availabilityTopic(), "online", true});
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
    p->metrics_.mqttConnected(false);
}

void Publisher::onLog(mosquitto* /*client*/, void* /*self*/, int level, const char* text)
{
    if ((level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) != 0) {
        logLine(Level::Warning, std::string("mqtt: ") + text);
    }
}

}  // namespace varno_gateway
