#include "gateway/gateway.h"

#include <chrono>

#include "gateway/endpoints.h"
#include "gateway/log.h"

namespace varno_gateway {

Gateway::Gateway(const GatewayConfig& config, Metrics& metrics)
    : config_(config), metrics_(metrics)
{
}

Gateway::~Gateway()
{
    stop(0);
}

bool Gateway::start(std::string& error)
{
    metrics_.clearLines();
    publisher_ = std::make_unique<Publisher>(config_.mqtt, metrics_);
    if (!publisher_->start(error)) {
        return false;
    }
    if (config_.http.enabled) {
        http_ = std::make_unique<HttpServer>(
            [this](const HttpServer::Request& request) { return answerRequest(request, metrics_); });
        if (!http_->start(config_.http.address, config_.http.port, error)) {
            publisher_->stop();
            return false;
        }
        logLine(Level::Info, "http: listening on " + config_.http.address + ":" +
                                 std::to_string(http_->port()));
    }
    for (const LineConfig& line : config_.lines) {
        lines_.push_back(
            std::make_unique<LinePoller>(line, *publisher_, metrics_, stop_, finished_));
        lines_.back()->start();
    }
    return true;
}

bool Gateway::stop(int graceMs)
{
    if (publisher_ == nullptr || abandoned_) {
        return !abandoned_;
    }
    stop_.raise();
    // The threads see the stop between two reads; a read ends within its
    // time limits, only a scan holds a line for seconds.
    if (graceMs > 0) {
        abandoned_ = !finished_.waitUntil(
            lines_.size(), std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs));
    } else {
        finished_.waitAll(lines_.size());
    }
    if (http_ != nullptr) {
        http_->stop();
    }
    if (abandoned_) {
        // The pollers still use the publisher: it stays, stopped only as
        // far as telling the broker that the gateway goes away.
        logLine(Level::Warning, "a line is still busy (scanning); not waiting for it");
        publisher_->stop();
        for (auto& line : lines_) {
            (void)line.release();  // its thread still runs; the process ends soon
        }
        (void)publisher_.release();
        return false;
    }
    lines_.clear();
    publisher_->stop();
    publisher_.reset();
    http_.reset();
    return true;
}

}  // namespace varno_gateway
