#ifndef VARNO_GATEWAY_STATUSPAGE_H
#define VARNO_GATEWAY_STATUSPAGE_H

#include <string>

#include "gateway/httpserver.h"
#include "gateway/livestate.h"

namespace varno_gateway {

// The read-only status page: `GET /` (the page, its style and script
// served from the binary), `GET /api/points` (the live state as one JSON
// document) and `GET /events` (an event stream: the same document first,
// then one JSON event per change).
//
// Every reply forbids scripts, styles and connections from anywhere but
// the gateway itself, and being framed by another site.
//
// Thread safety: serve() may run on any thread; the state is shared.
class StatusPage {
public:
    explicit StatusPage(const LiveState& live) : live_(live) {}

    // False when the target is none of the page's.
    bool serve(const std::string& target, HttpServer::Reply& reply) const;

private:
    const LiveState& live_;
};

// The delay a browser waits before it opens a broken stream again.
constexpr int StreamRetryMs = 2000;

}  // namespace varno_gateway

#endif
