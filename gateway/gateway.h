#ifndef VARNO_GATEWAY_GATEWAY_H
#define VARNO_GATEWAY_GATEWAY_H

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/config.h"
#include "gateway/httpserver.h"
#include "gateway/linepoller.h"
#include "gateway/livestate.h"
#include "gateway/metrics.h"
#include "gateway/publisher.h"
#include "gateway/statuspage.h"

namespace varno_gateway {

// Everything one configuration runs: the broker connection, the HTTP
// endpoint (with the status page) and one poller per line.
class Gateway {
public:
    Gateway(const GatewayConfig& config, Metrics& metrics, LineFactory factory = openLine);
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // False with a reason when the broker client or the HTTP endpoint
    // cannot be set up; a broker or a device that is away is no failure.
    bool start(std::string& error);
    // Stops the lines (each within a second, whatever it is doing), the
    // HTTP endpoint and the broker connection.
    void stop();
    // Moves to another configuration by difference: only a line whose
    // settings changed is started anew, the broker connection only when its
    // settings changed (keeping what is queued), the HTTP endpoint only
    // when its address changed. The retained topics of units that are gone
    // are emptied, all of them through the old names when the client id,
    // the topic prefix or the discovery settings change. False with a
    // reason when the new broker client or HTTP endpoint cannot be set up:
    // the old one then stays.
    bool reload(const GatewayConfig& next, std::string& error);

    // The lines whose work has failed and waits to start again.
    std::vector<std::string> downLines() const;
    const GatewayConfig& config() const { return config_; }

private:
    // The discovery document of the device the units name as via_device.
    void publishGatewayDevice();
    bool startHttp(const HttpConfig& http, std::string& error);
    void startLine(const LineConfig& line, const std::map<std::string, std::string>& known = {});

    GatewayConfig config_;
    Metrics& metrics_;
    LineFactory factory_;
    // What the status page shows; it outlives the lines and the broker
    // connection that feed it.
    std::unique_ptr<LiveState> live_;
    std::unique_ptr<StatusPage> page_;  // while the HTTP endpoint serves it
    std::unique_ptr<Publisher> publisher_;
    std::unique_ptr<HttpServer> http_;
    mutable std::mutex linesMutex_;  // the HTTP thread asks for downLines
    std::vector<std::unique_ptr<LinePoller>> lines_;
};

}  // namespace varno_gateway

#endif
