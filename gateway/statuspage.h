#ifndef VARNO_GATEWAY_STATUSPAGE_H
#define VARNO_GATEWAY_STATUSPAGE_H

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/httpserver.h"
#include "gateway/livestate.h"

namespace varno_gateway {

// The read-only status page: `GET /` (the page, its style and script
// served from the binary), `GET /api/points` (the live state as one JSON
// document) and `GET /events` (an event stream: the same document first,
// then one JSON event per change, and a "heartbeat" event every 15 s so
// that a client that vanished without closing is found and the page knows
// its connection still works). At most StreamLimit streams are open at
// once, so that a storm of browser tabs cannot hold every connection of
// the server; more get 503.
//
// Every reply forbids scripts, styles and connections from anywhere but
// the gateway itself, and being framed by another site.
//
// The page becomes the state's listener while it lives; the HTTP server
// that serves it must be stopped before it goes.
//
// Thread safety: serve() on the server's thread, the rest on any.
class StatusPage {
public:
    explicit StatusPage(LiveState& live);
    ~StatusPage();
    StatusPage(const StatusPage&) = delete;
    StatusPage& operator=(const StatusPage&) = delete;

    // False when the request is for none of the page's paths.
    bool serve(const HttpServer::Request& request, HttpServer::Reply& reply);
    size_t openStreams();

    static constexpr size_t StreamLimit = 16;

private:
    void broadcast(const std::string& message);
    void beat();
    // Forgets the streams that have ended; under mutex_.
    void prune();

    LiveState& live_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::vector<std::shared_ptr<HttpStream>> streams_;
    std::thread heartbeat_;
};

// The delay a browser waits before it opens a broken stream again.
constexpr int StreamRetryMs = 2000;

}  // namespace varno_gateway

#endif
