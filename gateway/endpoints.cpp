#include "gateway/endpoints.h"

namespace varno_gateway {

HttpServer::Reply answerRequest(const HttpServer::Request& request, const Metrics& metrics)
{
    HttpServer::Reply reply;
    if (request.path == "/metrics") {
        reply.contentType = "text/plain; version=0.0.4; charset=utf-8";
        reply.body = metrics.render();
    } else if (request.path == "/healthz") {
        const Metrics::Health health = metrics.health(Metrics::SteadyClock::now());
        reply.status = health.ok ? 200 : 503;
        reply.contentType = "application/json";
        reply.body = health.json;
        // A check must see the state of now, never a cached one.
        reply.headers.emplace_back("Cache-Control", "no-store");
    } else {
        reply.status = 404;
        reply.contentType = "text/plain; charset=utf-8";
        reply.body = "not found; try /metrics or /healthz\n";
    }
    return reply;
}

}  // namespace varno_gateway
