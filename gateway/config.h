#ifndef VARNO_GATEWAY_CONFIG_H
#define VARNO_GATEWAY_CONFIG_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/unitaddress.h"

namespace varno_gateway {

// One unit that a line polls from the start.
struct UnitConfig {
    mirel_varno::UnitAddress address;
    std::string name;
    // The units of its measure ("%LEL"), so that Home Assistant learns
    // them before the unit first answers; empty: learnt from the unit.
    std::string measureUnits;
};

// One serial line: its device, the units on it (listed, found by a scan,
// or both) and how often they are polled.
struct LineConfig {
    std::string name;    // the topic level and metric label of the line
    std::string device;  // as the library opens it: a path or COMn
    int32_t baud = 9600;
    std::vector<UnitConfig> units;
    bool scan = false;            // scan the line at start
    uint32_t scanIntervalS = 0;   // and again this often (0: only at start)
    uint32_t pollIntervalMs = 5000;
    // Every this many polls of a unit, its changed-parameter list is read;
    // 0 never.
    uint32_t paramsCheckPolls = 12;
};

struct MqttConfig {
    std::string host = "localhost";
    uint16_t port = 1883;
    std::string clientId = "varno-gateway";
    std::string username;
    std::string password;  // read from password_file or password_env
    uint16_t keepaliveS = 30;
    int qos = 1;
    std::string topicPrefix = "varno";
    bool discovery = true;
    std::string discoveryPrefix = "homeassistant";
    size_t queueLimit = 10000;  // messages kept while the broker is away
    bool tls = false;
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    bool tlsInsecure = false;  // skip the host name check
};

struct HttpConfig {
    bool enabled = true;
    std::string address = "127.0.0.1";
    uint16_t port = 9108;
    bool page = true;  // the status page at /
};

struct GatewayConfig {
    std::vector<LineConfig> lines;
    MqttConfig mqtt;
    HttpConfig http;
};

// A mistake in the configuration: what() is "FILE:LINE: KEY: reason".
class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads and checks the whole file. Unknown keys are mistakes too, so that
// a misspelt option is not silently ignored. Raises ConfigError.
GatewayConfig loadConfig(const std::string& path);
// The same from a text; `name` stands for the file in messages.
GatewayConfig parseConfig(const std::string& text, const std::string& name);

// "a.b.c" with each part 0-255; false for anything else.
bool parseUnitAddress(const std::string& text, mirel_varno::UnitAddress& address);
std::string unitAddressText(const mirel_varno::UnitAddress& address);

}  // namespace varno_gateway

#endif
