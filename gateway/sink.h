#ifndef VARNO_GATEWAY_SINK_H
#define VARNO_GATEWAY_SINK_H

#include <string>

namespace varno_gateway {

// Where a line's messages go: the broker connection in the gateway, a
// recorder in tests. Both calls may come from any thread and never block
// on the network.
class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual void publish(const std::string& topic, const std::string& payload, bool retain) = 0;
    // Empties a retained topic on the broker (an empty retained payload).
    virtual void clearRetained(const std::string& topic) = 0;
};

}  // namespace varno_gateway

#endif
