#ifndef VARNO_GATEWAY_GATEWAY_H
#define VARNO_GATEWAY_GATEWAY_H

#include <memory>
#include <string>
#include <vector>

#include "gateway/config.h"
#include "gateway/httpserver.h"
#include "gateway/linepoller.h"
#include "gateway/livestate.h"
#include "gateway/metrics.h"
#include "gateway/publisher.h"
#include "gateway/statuspage.h"
#include "gateway/stopflag.h"

namespace varno_gateway {

// Everything one configuration runs: the broker connection, the HTTP
// endpoint and one poller per line. A reload stops one and starts another.
class Gateway {
public:
    Gateway(const GatewayConfig& config, Metrics& metrics);
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // False with a reason when the broker client or the HTTP endpoint
    // cannot be set up; a broker or a device that is away is no failure.
    bool start(std::string& error);
    // Stops the lines, the HTTP endpoint and the broker connection.
    // Returns false when a line is still inside a long read (a scan) once
    // `graceMs` have passed; that line's thread is then left running and
    // the caller should end the process. A grace of 0 waits for every line.
    bool stop(int graceMs);

private:
    GatewayConfig config_;
    Metrics& metrics_;
    StopFlag stop_;
    FinishCount finished_;
    std::unique_ptr<LiveState> live_;
    std::unique_ptr<StatusPage> page_;
    std::unique_ptr<Publisher> publisher_;
    std::unique_ptr<HttpServer> http_;
    std::vector<std::unique_ptr<LinePoller>> lines_;
    bool abandoned_ = false;
};

}  // namespace varno_gateway

#endif
