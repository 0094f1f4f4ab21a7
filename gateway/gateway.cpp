#include "gateway/gateway.h"

#include <algorithm>
#include <chrono>
#include <set>

#include "gateway/endpoints.h"
#include "gateway/log.h"
#include "gateway/payloads.h"

namespace varno_gateway {

namespace {

bool sameUnits(const std::vector<UnitConfig>& a, const std::vector<UnitConfig>& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const UnitConfig& x, const UnitConfig& y) {
                          return x.address == y.address && x.name == y.name &&
                                 x.measureUnits == y.measureUnits;
                      });
}

bool sameLine(const LineConfig& a, const LineConfig& b)
{
    return a.name == b.name && a.device == b.device && a.baud == b.baud && a.scan == b.scan &&
           a.scanIntervalS == b.scanIntervalS && a.pollIntervalMs == b.pollIntervalMs &&
           a.paramsCheckPolls == b.paramsCheckPolls && sameUnits(a.units, b.units);
}

// What the topics and discovery documents are made of.
bool sameNaming(const MqttConfig& a, const MqttConfig& b)
{
    return a.topicPrefix == b.topicPrefix && a.clientId == b.clientId &&
           a.discovery == b.discovery && a.discoveryPrefix == b.discoveryPrefix;
}

bool sameBroker(const MqttConfig& a, const MqttConfig& b)
{
    return sameNaming(a, b) && a.host == b.host && a.port == b.port &&
           a.username == b.username && a.password == b.password &&
           a.keepaliveS == b.keepaliveS && a.qos == b.qos && a.queueLimit == b.queueLimit &&
           a.tls == b.tls && a.caFile == b.caFile && a.certFile == b.certFile &&
           a.keyFile == b.keyFile && a.tlsInsecure == b.tlsInsecure;
}

bool sameHttp(const HttpConfig& a, const HttpConfig& b)
{
    return a.enabled == b.enabled &&
           (!a.enabled || (a.address == b.address && a.port == b.port && a.page == b.page));
}

const LineConfig* findLine(const GatewayConfig& config, const std::string& name)
{
    for (const LineConfig& line : config.lines) {
        if (line.name == name) {
            return &line;
        }
    }
    return nullptr;
}

}  // namespace

Gateway::Gateway(const GatewayConfig& config, Metrics& metrics, LineFactory factory)
    : config_(config), metrics_(metrics), factory_(std::move(factory))
{
}

Gateway::~Gateway()
{
    stop();
}

bool Gateway::startHttp(const HttpConfig& http, std::string& error)
{
    page_.reset();
    if (!http.enabled) {
        return true;
    }
    if (http.page) {
        page_ = std::make_unique<StatusPage>(*live_);
    }
    StatusPage* page = page_.get();
    auto server = std::make_unique<HttpServer>([this, page](const HttpServer::Request& request) {
        HttpServer::Reply reply;
        if (page != nullptr && page->serve(request, reply)) {
            return reply;
        }
        return answerRequest(request, metrics_);
    });
    if (!server->start(http.address, http.port, error)) {
        page_.reset();
        return false;
    }
    logLine(Level::Info,
            "http: listening on " + http.address + ":" + std::to_string(server->port()));
    http_ = std::move(server);
    return true;
}

void Gateway::publishGatewayDevice()
{
    if (config_.mqtt.discovery) {
        const DiscoveryTopics d = gatewayDiscoveryPayload(
            config_.mqtt.discoveryPrefix, config_.mqtt.topicPrefix, config_.mqtt.clientId);
        publisher_->publish(d.configTopic, d.payload, true);
    }
}

void Gateway::startLine(const LineConfig& line, const std::map<std::string, std::string>& known)
{
    auto poller =
        std::make_unique<LinePoller>(line, config_.mqtt, *publisher_, metrics_, factory_, known);
    poller->feed(live_.get());
    poller->start();
    std::lock_guard<std::mutex> hold(linesMutex_);
    lines_.push_back(std::move(poller));
}

bool Gateway::start(std::string& error)
{
    metrics_.clearLines();
    live_ = std::make_unique<LiveState>(config_);
    publisher_ = std::make_unique<Publisher>(config_.mqtt, metrics_);
    publisher_->feed(live_.get());
    if (!publisher_->start(error)) {
        publisher_.reset();
        return false;
    }
    if (!startHttp(config_.http, error)) {
        publisher_->stop();
        publisher_.reset();
        return false;
    }
    publishGatewayDevice();
    for (const LineConfig& line : config_.lines) {
        startLine(line);
    }
    return true;
}

void Gateway::stop()
{
    if (publisher_ == nullptr) {
        return;
    }
    std::vector<std::unique_ptr<LinePoller>> lines;
    {
        std::lock_guard<std::mutex> hold(linesMutex_);
        lines.swap(lines_);
    }
    // All asked first, so that the stop takes the longest line's time, not
    // the sum of them.
    for (auto& line : lines) {
        line->requestStop();
    }
    lines.clear();
    if (http_ != nullptr) {
        http_->stop();
        http_.reset();
    }
    page_.reset();
    publisher_->stop();
    publisher_.reset();
}

bool Gateway::reload(const GatewayConfig& next, std::string& error)
{
    error.clear();
    if (publisher_ == nullptr) {
        config_ = next;
        return start(error);
    }
    const bool renamed = !sameNaming(config_.mqtt, next.mqtt);
    const bool brokerChanged = !sameBroker(config_.mqtt, next.mqtt);
    const bool httpChanged = !sameHttp(config_.http, next.http);

    if (httpChanged) {
        if (http_ != nullptr) {
            http_->stop();
            http_.reset();
        }
        if (!startHttp(next.http, error)) {
            std::string again;
            if (!startHttp(config_.http, again)) {
                logLine(Level::Error, "http: the old listener cannot be set up again: " + again);
            }
            return false;
        }
    }

    // The lines to start anew: gone or changed ones, every one on renaming.
    std::vector<std::unique_ptr<LinePoller>> ending;
    std::map<std::string, std::map<std::string, std::string>> known;
    {
        std::lock_guard<std::mutex> hold(linesMutex_);
        for (auto it = lines_.begin(); it != lines_.end();) {
            const LineConfig* now = findLine(next, (*it)->config().name);
            if (renamed || now == nullptr || !sameLine(*now, (*it)->config())) {
                ending.push_back(std::move(*it));
                it = lines_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& line : ending) {
        line->requestStop();
    }
    for (auto& line : ending) {
        line->stop();
        const std::string& name = line->config().name;
        metrics_.forgetLine(name);
        if (renamed) {
            continue;  // everything goes below
        }
        // A unit that the new configuration no longer has: its retained
        // state would show it on the broker for ever.
        const LineConfig* now = findLine(next, name);
        std::set<std::string> kept;
        if (now != nullptr) {
            for (const UnitConfig& unit : now->units) {
                kept.insert(unitAddressText(unit.address));
            }
        }
        std::set<std::string> listed;
        for (const UnitConfig& unit : line->config().units) {
            listed.insert(unitAddressText(unit.address));
        }
        for (const auto& [address, availability] : line->units()) {
            // On a line that scans, a unit found by a scan is found again.
            const bool found = now != nullptr && now->scan && listed.count(address) == 0;
            if (kept.count(address) != 0 || found) {
                known[name][address] = availability;
                continue;
            }
            logLine(Level::Info, "line " + name + ": " + address +
                                     " removed; emptying its retained topics");
            for (const std::string& topic : unitRetainedTopics(config_.mqtt, name, address)) {
                publisher_->clearRetained(topic);
            }
        }
    }
    ending.clear();
    live_->reconfigure(config_, next,
                       std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count());

    if (brokerChanged) {
        if (renamed) {
            logLine(Level::Info, "mqtt: topic names change; emptying the old retained topics");
            publisher_->clearAllRetained();
        }
        std::string why;
        if (!publisher_->restart(next.mqtt, why)) {
            // Kept: the lines go on under the old names.
            logLine(Level::Error, why + "; keeping the broker connection");
            error = why;
        } else {
            config_.mqtt = next.mqtt;
        }
        if (renamed) {
            publishGatewayDevice();
        }
    }
    config_.http = next.http;
    const MqttConfig mqtt = config_.mqtt;
    config_ = next;
    config_.mqtt = mqtt;

    std::set<std::string> running;
    {
        std::lock_guard<std::mutex> hold(linesMutex_);
        for (const auto& line : lines_) {
            running.insert(line->config().name);
        }
    }
    size_t restarted = 0;
    for (const LineConfig& line : config_.lines) {
        if (running.count(line.name) == 0) {
            startLine(line, known[line.name]);
            ++restarted;
        }
    }
    logLine(Level::Info, "reloaded: " + std::to_string(restarted) + " line(s) started anew, " +
                             std::to_string(running.size()) + " kept" +
                             (brokerChanged ? ", broker connection renewed" : "") +
                             (httpChanged ? ", HTTP listener renewed" : ""));
    return error.empty();
}

std::vector<std::string> Gateway::downLines() const
{
    std::vector<std::string> down;
    std::lock_guard<std::mutex> hold(linesMutex_);
    for (const auto& line : lines_) {
        if (!line->up()) {
            down.push_back(line->config().name);
        }
    }
    return down;
}

}  // namespace varno_gateway
