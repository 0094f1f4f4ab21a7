#ifndef VARNO_GATEWAY_ENDPOINTS_H
#define VARNO_GATEWAY_ENDPOINTS_H

#include "gateway/httpserver.h"
#include "gateway/metrics.h"

namespace varno_gateway {

// What the gateway's HTTP listener answers: GET /metrics (the Prometheus
// text), GET /healthz (200 or 503 with a JSON report), 404 for the rest.
HttpServer::Reply answerRequest(const HttpServer::Request& request, const Metrics& metrics);

}  // namespace varno_gateway

#endif
