#include "gateway/statuspage.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "gateway/pageassets.h"

namespace varno_gateway {

namespace {

constexpr std::chrono::seconds HeartbeatPeriod(15);

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

StatusPage::StatusPage(LiveState& live) : live_(live)
{
    live_.setListener([this](const std::string& event) { broadcast(sseMessage(event)); });
    heartbeat_ = std::thread([this] { beat(); });
}

StatusPage::~StatusPage()
{
    live_.setListener(nullptr);
    std::vector<std::shared_ptr<HttpStream>> streams;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
        streams.swap(streams_);
    }
    wake_.notify_all();
    heartbeat_.join();
    for (const auto& s : streams) {
        s->close();
    }
}

void StatusPage::prune()
{
    streams_.erase(std::remove_if(streams_.begin(), streams_.end(),
                                  [](const std::shared_ptr<HttpStream>& s) { return !s->open(); }),
                   streams_.end());
}

size_t StatusPage::openStreams()
{
    std::lock_guard<std::mutex> hold(mutex_);
    prune();
    return streams_.size();
}

void StatusPage::broadcast(const std::string& message)
{
    std::lock_guard<std::mutex> hold(mutex_);
    for (const auto& s : streams_) {
        s->send(message);
    }
    prune();
}

void StatusPage::beat()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (wake_.wait_for(lock, HeartbeatPeriod, [this] { return stopping_; })) {
            return;
        }
        lock.unlock();
        broadcast("event: heartbeat\ndata:\n\n");
        lock.lock();
    }
}

bool StatusPage::serve(const HttpServer::Request& request, HttpServer::Reply& reply)
{
    const std::string path = request.path == "/" ? "/index.html" : request.path;
    reply.headers = {{"Content-Security-Policy", ContentSecurityPolicy},
                     {"X-Content-Type-Options", "nosniff"},
                     {"Referrer-Policy", "no-referrer"},
                     {"Cache-Control", "no-cache"}};
    if (path == "/api/points") {
        reply.contentType = "application/json";
        reply.body = live_.snapshot(nowMs()) + "\n";
        return true;
    }
    if (path == "/events") {
        if (request.head) {
            reply.contentType = "text/event-stream";
            return true;
        }
        // The handler and the stream's start run back to back on the
        // server's thread: no other stream can slip in between.
        if (openStreams() >= StreamLimit) {
            reply.status = 503;
            reply.contentType = "text/plain; charset=utf-8";
            reply.headers.emplace_back("Retry-After", "10");
            reply.body = "too many open event streams\n";
            return true;
        }
        reply.contentType = "text/event-stream";
        reply.headers.back().second = "no-store";
        reply.stream = [this](std::shared_ptr<HttpStream> stream) {
            // Taken under the lock that every broadcast holds: a change
            // after this snapshot reaches the stream as an event.
            std::lock_guard<std::mutex> hold(mutex_);
            stream->send("retry: " + std::to_string(StreamRetryMs) + "\n" +
                         sseMessage(live_.snapshot(nowMs())));
            streams_.push_back(std::move(stream));
        };
        return true;
    }
    for (const PageAsset& asset : pageAssets()) {
        if (path == asset.path) {
            reply.contentType = contentType(path);
            reply.body.assign(reinterpret_cast<const char*>(asset.data), asset.size);
            return true;
        }
    }
    reply.headers.clear();
    return false;
}

}  // namespace varno_gateway
