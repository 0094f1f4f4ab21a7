#include "gateway/statuspage.h"

#include <chrono>
#include <cstring>

#include "gateway/pageassets.h"

namespace varno_gateway {

namespace {

const char* const ContentSecurityPolicy =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

const char* contentType(const std::string& path)
{
    static const struct {
        const char* suffix;
        const char* type;
    } types[] = {
        {".html", "text/html; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".svg", "image/svg+xml"},
    };
    for (const auto& t : types) {
        const size_t n = std::strlen(t.suffix);
        if (path.size() >= n && path.compare(path.size() - n, n, t.suffix) == 0) {
            return t.type;
        }
    }
    return "application/octet-stream";
}

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

bool StatusPage::serve(const std::string& target, HttpServer::Reply& reply) const
{
    const std::string path = target == "/" ? "/index.html" : target;
    reply.fields = {{"Content-Security-Policy", ContentSecurityPolicy},
                    {"X-Content-Type-Options", "nosniff"},
                    {"Referrer-Policy", "no-referrer"},
                    {"Cache-Control", "no-cache"}};
    if (path == "/api/points") {
        reply.contentType = "application/json";
        reply.body = live_.snapshot(nowMs()) + "\n";
        return true;
    }
    if (path == "/events") {
        reply.contentType = "text/event-stream";
        reply.stream = true;
        reply.body = "retry: " + std::to_string(StreamRetryMs) + "\n" +
                     sseMessage(live_.snapshot(nowMs()));
        return true;
    }
    for (const PageAsset& asset : pageAssets()) {
        if (path == asset.path) {
            reply.contentType = contentType(path);
            reply.body.assign(reinterpret_cast<const char*>(asset.data), asset.size);
            return true;
        }
    }
    reply.fields.clear();
    return false;
}

}  // namespace varno_gateway
