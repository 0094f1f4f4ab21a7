#include "gateway/config.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <arpa/inet.h>

#include <yaml-cpp/yaml.h>

namespace varno_gateway {

namespace {

// Walks the document with the name of the file and the key path at hand,
// so that every complaint can say where it is.
class Reader {
public:
    explicit Reader(std::string file) : file_(std::move(file)) {}

    [[noreturn]] void fail(const YAML::Node& node, const std::string& key,
                           const std::string& reason) const
    {
        const YAML::Mark mark = node.Mark();
        std::ostringstream text;
        text << file_;
        if (mark.line >= 0) {
            text << ':' << mark.line + 1;
        }
        text << ": " << (key.empty() ? std::string("(top)") : key) << ": " << reason;
        throw ConfigError(text.str());
    }

    // The map at node; each of its keys must be one of `known`.
    void checkMap(const YAML::Node& node, const std::string& key,
                  std::initializer_list<const char*> known) const
    {
        if (!node.IsMap()) {
            fail(node, key, "must be a mapping of keys to values");
        }
        for (const auto& entry : node) {
            const std::string name = entry.first.as<std::string>();
            bool found = false;
            for (const char* k : known) {
                found = found || name == k;
            }
            if (!found) {
                std::string list;
                for (const char* k : known) {
                    list += list.empty() ? k : std::string(", ") + k;
                }
                fail(entry.first, join(key, name), "unknown key (known: " + list + ")");
            }
        }
    }

    std::string text(const YAML::Node& node, const std::string& key) const
    {
        if (!node.IsScalar()) {
            fail(node, key, "must be a single value");
        }
        return node.Scalar();
    }

    int64_t integer(const YAML::Node& node, const std::string& key, int64_t low,
                    int64_t high) const
    {
        const std::string s = text(node, key);
        errno = 0;
        char* end = nullptr;
        const long long v = std::strtoll(s.c_str(), &end, 10);
        if (s.empty() || *end != '\0' || errno != 0 || v < low || v > high) {
            fail(node, key,
                 "must be a whole number from " + std::to_string(low) + " to " +
                     std::to_string(high) + ", not \"" + s + "\"");
        }
        return v;
    }

    // Seconds, fractions allowed, as whole milliseconds.
    uint32_t milliseconds(const YAML::Node& node, const std::string& key, double lowS,
                          double highS) const
    {
        const std::string s = text(node, key);
        char* end = nullptr;
        const double v = std::strtod(s.c_str(), &end);
        if (s.empty() || *end != '\0' || !std::isfinite(v) || v < lowS || v > highS) {
            std::ostringstream range;
            range << "must be a number of seconds from " << lowS << " to " << highS << ", not \""
                  << s << "\"";
            fail(node, key, range.str());
        }
        return static_cast<uint32_t>(std::llround(v * 1000.0));
    }

    bool flag(const YAML::Node& node, const std::string& key) const
    {
        const std::string s = text(node, key);
        if (s == "true" || s == "yes" || s == "on") {
            return true;
        }
        if (s == "false" || s == "no" || s == "off") {
            return false;
        }
        fail(node, key, "must be true or false, not \"" + s + "\"");
    }

    static std::string join(const std::string& parent, const std::string& child)
    {
        return parent.empty() ? child : parent + "." + child;
    }

private:
    std::string file_;
};

// Well-formed UTF-8 (shortest forms, no surrogates, at most U+10FFFF)
// without control characters: names end up in topics, JSON documents and
// metric labels, where neither survives.
bool isCleanText(const std::string& s)
{
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        uint32_t code = 0;
        size_t more = 0;
        if (c < 0x80) {
            code = c;
        } else if (c >= 0xC2 && c <= 0xDF) {
            code = c & 0x1Fu;
            more = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            code = c & 0x0Fu;
            more = 2;
        } else if (c >= 0xF0 && c <= 0xF4) {
            code = c & 0x07u;
            more = 3;
        } else {
            return false;
        }
        if (s.size() - i - 1 < more) {
            return false;
        }
        for (size_t k = 1; k <= more; ++k) {
            const auto next = static_cast<unsigned char>(s[i + k]);
            if ((next & 0xC0u) != 0x80u) {
                return false;
            }
            code = (code << 6) | (next & 0x3Fu);
        }
        const bool overlong = (more == 2 && code < 0x800) || (more == 3 && code < 0x10000);
        const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
        const bool control = code < 0x20 || (code >= 0x7F && code <= 0x9F);
        if (overlong || surrogate || code > 0x10FFFF || control) {
            return false;
        }
        i += more + 1;
    }
    return true;
}

// The text of a name-like value, refused unless it is clean text.
std::string cleanText(const Reader& r, const YAML::Node& node, const std::string& key)
{
    std::string s = r.text(node, key);
    if (!isCleanText(s)) {
        r.fail(node, key, "must be UTF-8 text without control characters");
    }
    return s;
}

// Every mapping of the document, however deep: a key given twice is a
// mistake (the parser keeps both and a look-up finds the first), and a
// key is a single value. Aliases can make a small file a huge tree, so
// the walk has a budget of nodes.
void checkKeys(const Reader& r, const YAML::Node& node, const std::string& key, size_t& budget)
{
    if (budget == 0) {
        r.fail(node, key, "the document is too large (more than 100000 values)");
    }
    --budget;
    if (node.IsMap()) {
        std::map<std::string, int> seen;
        for (const auto& entry : node) {
            if (!entry.first.IsScalar()) {
                r.fail(entry.first, key, "a key must be a single value");
            }
            const std::string name = entry.first.Scalar();
            const std::string path = Reader::join(key, name);
            const auto [first, fresh] = seen.emplace(name, entry.first.Mark().line);
            if (!fresh) {
                r.fail(entry.first, path,
                       "given twice (first on line " + std::to_string(first->second + 1) + ")");
            }
            checkKeys(r, entry.second, path, budget);
        }
    } else if (node.IsSequence()) {
        size_t i = 0;
        for (const auto& item : node) {
            checkKeys(r, item, key + "[" + std::to_string(i++) + "]", budget);
        }
    }
}

bool isName(const std::string& s)
{
    if (s.empty() || s.size() > 64) {
        return false;
    }
    for (char c : s) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-')) {
            return false;
        }
    }
    return true;
}

// A topic level may not hold the wildcards or the level separator.
bool isTopicPrefix(const std::string& s)
{
    return !s.empty() && s.size() <= 200 && s.find_first_of("+#") == std::string::npos &&
           s.front() != '/' && s.back() != '/' && isCleanText(s);
}

// A file the broker client opens when it starts: unreadable, it would
// pass the check and stop the start.
std::string readableFile(const Reader& r, const YAML::Node& node, const std::string& key)
{
    const std::string path = r.text(node, key);
    if (!std::ifstream(path)) {
        r.fail(node, key, "cannot read \"" + path + "\"");
    }
    return path;
}

std::string readSecretFile(const Reader& r, const YAML::Node& node, const std::string& key)
{
    const std::string path = r.text(node, key);
    std::ifstream in(path);
    if (!in) {
        r.fail(node, key, "cannot read \"" + path + "\"");
    }
    std::string secret;
    std::getline(in, secret);  // the first line; a trailing newline is no part of it
    if (!secret.empty() && secret.back() == '\r') {
        secret.pop_back();
    }
    if (secret.empty()) {
        // Taken as no password at all, it would log in without one.
        r.fail(node, key, "\"" + path + "\" is empty (the password is its first line)");
    }
    return secret;
}

void readMqtt(const Reader& r, const YAML::Node& node, MqttConfig& mqtt)
{
    const std::string key = "mqtt";
    r.checkMap(node, key,
               {"host", "port", "client_id", "username", "password_file", "password_env",
                "keepalive", "qos", "topic_prefix", "discovery", "discovery_prefix",
                "queue_limit", "tls"});
    if (node["host"]) {
        mqtt.host = r.text(node["host"], "mqtt.host");
        if (mqtt.host.empty()) {
            r.fail(node["host"], "mqtt.host", "must not be empty");
        }
    }
    if (node["port"]) {
        mqtt.port = static_cast<uint16_t>(r.integer(node["port"], "mqtt.port", 1, 65535));
    }
    if (node["client_id"]) {
        mqtt.clientId = r.text(node["client_id"], "mqtt.client_id");
        if (!isName(mqtt.clientId)) {
            r.fail(node["client_id"], "mqtt.client_id",
                   "must be 1 to 64 letters, digits, '-' or '_'");
        }
    }
    if (node["username"]) {
        mqtt.username = cleanText(r, node["username"], "mqtt.username");
    }
    if (node["password_file"] && node["password_env"]) {
        r.fail(node["password_env"], "mqtt.password_env", "give password_file or password_env, not both");
    }
    if (node["password_file"]) {
        mqtt.password = readSecretFile(r, node["password_file"], "mqtt.password_file");
    }
    if (node["password_env"]) {
        const std::string name = r.text(node["password_env"], "mqtt.password_env");
        const char* value = std::getenv(name.c_str());
        if (value == nullptr) {
            r.fail(node["password_env"], "mqtt.password_env",
                   "the environment variable " + name + " is not set");
        }
        if (*value == '\0') {
            r.fail(node["password_env"], "mqtt.password_env",
                   "the environment variable " + name + " is empty");
        }
        mqtt.password = value;
    }
    if (!mqtt.password.empty() && mqtt.username.empty()) {
        r.fail(node, "mqtt.username", "a password needs a username");
    }
    if (node["keepalive"]) {
        mqtt.keepaliveS =
            static_cast<uint16_t>(r.integer(node["keepalive"], "mqtt.keepalive", 5, 3600));
    }
    if (node["qos"]) {
        mqtt.qos = static_cast<int>(r.integer(node["qos"], "mqtt.qos", 0, 2));
    }
    if (node["topic_prefix"]) {
        mqtt.topicPrefix = r.text(node["topic_prefix"], "mqtt.topic_prefix");
        if (!isTopicPrefix(mqtt.topicPrefix)) {
            r.fail(node["topic_prefix"], "mqtt.topic_prefix",
                   "must be a topic without '+', '#', a leading or trailing '/' or control "
                   "characters, in UTF-8");
        }
    }
    if (node["discovery"]) {
        mqtt.discovery = r.flag(node["discovery"], "mqtt.discovery");
    }
    if (node["discovery_prefix"]) {
        mqtt.discoveryPrefix = r.text(node["discovery_prefix"], "mqtt.discovery_prefix");
        if (!isTopicPrefix(mqtt.discoveryPrefix)) {
            r.fail(node["discovery_prefix"], "mqtt.discovery_prefix",
                   "must be a topic without '+', '#', a leading or trailing '/' or control "
                   "characters, in UTF-8");
        }
    }
    if (node["queue_limit"]) {
        mqtt.queueLimit =
            static_cast<size_t>(r.integer(node["queue_limit"], "mqtt.queue_limit", 1, 1000000));
    }
    if (const YAML::Node tls = node["tls"]) {
        r.checkMap(tls, "mqtt.tls", {"ca_file", "cert_file", "key_file", "insecure"});
        mqtt.tls = true;
        if (!tls["ca_file"]) {
            r.fail(tls, "mqtt.tls.ca_file", "is needed to check the broker");
        }
        mqtt.caFile = readableFile(r, tls["ca_file"], "mqtt.tls.ca_file");
        if (tls["cert_file"]) {
            mqtt.certFile = readableFile(r, tls["cert_file"], "mqtt.tls.cert_file");
        }
        if (tls["key_file"]) {
            mqtt.keyFile = readableFile(r, tls["key_file"], "mqtt.tls.key_file");
        }
        if (mqtt.certFile.empty() != mqtt.keyFile.empty()) {
            r.fail(tls, "mqtt.tls", "cert_file and key_file go together");
        }
        if (tls["insecure"]) {
            mqtt.tlsInsecure = r.flag(tls["insecure"], "mqtt.tls.insecure");
        }
    }
}

void readHttp(const Reader& r, const YAML::Node& node, HttpConfig& http)
{
    r.checkMap(node, "http", {"listen", "page"});
    if (node["page"]) {
        http.page = r.flag(node["page"], "http.page");
    }
    if (!node["listen"]) {
        return;
    }
    const std::string listen = r.text(node["listen"], "http.listen");
    if (listen == "off" || listen == "false" || listen.empty()) {
        http.enabled = false;
        return;
    }
    const size_t colon = listen.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        r.fail(node["listen"], "http.listen", "must be ADDRESS:PORT (or off), not \"" + listen + "\"");
    }
    std::string address = listen.substr(0, colon);
    if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
        address = address.substr(1, address.size() - 2);
    }
    const std::string port = listen.substr(colon + 1);
    char* end = nullptr;
    const long p = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || p < 0 || p > 65535) {
        r.fail(node["listen"], "http.listen", "port must be 0-65535, not \"" + port + "\"");
    }
    // Host names are not looked up: a look-up may wait on the network for
    // as long as it likes, and the answer at check time need not be the
    // one at start. localhost is the one name everybody means the same by.
    if (address == "localhost") {
        address = "127.0.0.1";
    }
    unsigned char binary[sizeof(in6_addr)];
    if (inet_pton(AF_INET, address.c_str(), binary) != 1 &&
        inet_pton(AF_INET6, address.c_str(), binary) != 1) {
        r.fail(node["listen"], "http.listen",
               "\"" + address + "\" is not an IP address (such as 127.0.0.1, 0.0.0.0 or [::1]) "
               "or localhost; host names are not looked up");
    }
    http.address = address;
    http.port = static_cast<uint16_t>(p);
}

void readLine(const Reader& r, const YAML::Node& node, const std::string& key,
              uint32_t defaultPollMs, LineConfig& line)
{
    r.checkMap(node, key,
               {"name", "device", "baud", "units", "scan", "scan_interval", "poll_interval",
                "params_check"});
    line.pollIntervalMs = defaultPollMs;
    if (!node["name"]) {
        r.fail(node, key + ".name", "is missing");
    }
    line.name = r.text(node["name"], key + ".name");
    if (!isName(line.name) || line.name == "gateway") {
        r.fail(node["name"], key + ".name",
               "must be 1 to 64 letters, digits, '-' or '_' (and not \"gateway\"), not \"" +
                   line.name + "\"");
    }
    if (!node["device"]) {
        r.fail(node, key + ".device", "is missing");
    }
    line.device = r.text(node["device"], key + ".device");
    if (line.device.empty()) {
        r.fail(node["device"], key + ".device", "must not be empty");
    }
    if (node["baud"]) {
        line.baud = static_cast<int32_t>(r.integer(node["baud"], key + ".baud", 50, 4000000));
    }
    if (node["poll_interval"]) {
        line.pollIntervalMs = r.milliseconds(node["poll_interval"], key + ".poll_interval", 0.05, 86400);
    }
    if (node["params_check"]) {
        line.paramsCheckPolls =
            static_cast<uint32_t>(r.integer(node["params_check"], key + ".params_check", 0, 1000000));
    }
    if (node["scan"]) {
        line.scan = r.flag(node["scan"], key + ".scan");
    }
    if (node["scan_interval"]) {
        line.scanIntervalS = static_cast<uint32_t>(
            r.integer(node["scan_interval"], key + ".scan_interval", 0, 7 * 86400));
        if (line.scanIntervalS > 0 && line.scanIntervalS < 60) {
            r.fail(node["scan_interval"], key + ".scan_interval",
                   "must be 0 or at least 60 s (a scan holds the line for 9 s)");
        }
        if (!line.scan && line.scanIntervalS > 0) {
            r.fail(node["scan_interval"], key + ".scan_interval", "needs scan: true");
        }
    }
    if (const YAML::Node units = node["units"]) {
        if (!units.IsSequence()) {
            r.fail(units, key + ".units", "must be a list of units");
        }
        std::set<std::string> seen;
        for (size_t i = 0; i < units.size(); ++i) {
            const YAML::Node unit = units[i];
            const std::string ukey = key + ".units[" + std::to_string(i) + "]";
            r.checkMap(unit, ukey, {"address", "name", "measure_units"});
            if (!unit["address"]) {
                r.fail(unit, ukey + ".address", "is missing");
            }
            UnitConfig u;
            const std::string text = r.text(unit["address"], ukey + ".address");
            if (!parseUnitAddress(text, u.address)) {
                r.fail(unit["address"], ukey + ".address",
                       "must be a unit address a.b.c (each 0-255), not \"" + text + "\"");
            }
            if (u.address == mirel_varno::UnitAddress{0, 0, 0} ||
                u.address == mirel_varno::UnitAddress{1, 1, 1}) {
                r.fail(unit["address"], ukey + ".address",
                       text + " is the broadcast or the host address, not a unit");
            }
            if (!seen.insert(unitAddressText(u.address)).second) {
                r.fail(unit["address"], ukey + ".address", text + " is listed twice");
            }
            if (unit["measure_units"]) {
                u.measureUnits = r.text(unit["measure_units"], ukey + ".measure_units");
            }
            if (unit["name"]) {
                u.name = cleanText(r, unit["name"], ukey + ".name");
            }
            line.units.push_back(u);
        }
    }
    if (line.units.empty() && !line.scan) {
        r.fail(node, key, "lists no units and does not scan (give units or scan: true)");
    }
}

GatewayConfig readDocument(const Reader& r, const YAML::Node& root)
{
    GatewayConfig config;
    if (!root || root.IsNull()) {
        r.fail(root, "", "the file is empty");
    }
    size_t budget = 100000;
    checkKeys(r, root, "", budget);
    r.checkMap(root, "", {"lines", "mqtt", "http", "poll_interval"});
    uint32_t pollMs = 5000;
    if (root["poll_interval"]) {
        pollMs = r.milliseconds(root["poll_interval"], "poll_interval", 0.05, 86400);
    }
    if (root["mqtt"]) {
        readMqtt(r, root["mqtt"], config.mqtt);
    }
    if (root["http"]) {
        readHttp(r, root["http"], config.http);
    }
    const YAML::Node lines = root["lines"];
    if (!lines) {
        r.fail(root, "lines", "is missing");
    }
    if (!lines.IsSequence() || lines.size() == 0) {
        r.fail(lines, "lines", "must be a list of at least one line");
    }
    std::set<std::string> names;
    std::set<std::string> devices;
    for (size_t i = 0; i < lines.size(); ++i) {
        LineConfig line;
        const std::string key = "lines[" + std::to_string(i) + "]";
        readLine(r, lines[i], key, pollMs, line);
        if (!names.insert(line.name).second) {
            r.fail(lines[i]["name"], key + ".name", "\"" + line.name + "\" is used twice");
        }
        if (!devices.insert(line.device).second) {
            r.fail(lines[i]["device"], key + ".device", "\"" + line.device + "\" is used twice");
        }
        config.lines.push_back(line);
    }
    return config;
}

}  // namespace

bool parseUnitAddress(const std::string& text, mirel_varno::UnitAddress& address)
{
    unsigned parts[3] = {0, 0, 0};
    size_t at = 0;
    for (int p = 0; p < 3; ++p) {
        size_t digits = 0;
        unsigned v = 0;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) &&
               digits < 3) {
            v = v * 10 + static_cast<unsigned>(text[at] - '0');
            ++at;
            ++digits;
        }
        if (digits == 0 || v > 255) {
            return false;
        }
        parts[p] = v;
        if (p < 2) {
            if (at >= text.size() || text[at] != '.') {
                return false;
            }
            ++at;
        }
    }
    if (at != text.size()) {
        return false;
    }
    address = {static_cast<uint8_t>(parts[0]), static_cast<uint8_t>(parts[1]),
               static_cast<uint8_t>(parts[2])};
    return true;
}

std::string unitAddressText(const mirel_varno::UnitAddress& address)
{
    return std::to_string(address.first) + "." + std::to_string(address.second) + "." +
           std::to_string(address.third);
}

GatewayConfig parseConfig(const std::string& text, const std::string& name)
{
    const Reader r(name);
    YAML::Node root;
    try {
        root = YAML::Load(text);
    } catch (const YAML::Exception& e) {
        std::ostringstream out;
        out << name;
        if (e.mark.line >= 0) {
            out << ':' << e.mark.line + 1;
        }
        out << ": not valid YAML: " << e.msg;
        throw ConfigError(out.str());
    }
    try {
        return readDocument(r, root);
    } catch (const YAML::Exception& e) {
        // A value of a shape no check foresaw: still a mistake in the file.
        std::ostringstream out;
        out << name;
        if (e.mark.line >= 0) {
            out << ':' << e.mark.line + 1;
        }
        out << ": " << e.msg;
        throw ConfigError(out.str());
    }
}

GatewayConfig loadConfig(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ConfigError(path + ": cannot open the file");
    }
    // A configuration is small; anything larger is not one.
    constexpr size_t Limit = 1 << 20;
    std::string text;
    text.resize(Limit + 1);
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > Limit) {
        throw ConfigError(path + ": larger than 1 MiB; not a configuration file");
    }
    return parseConfig(text, path);
}

}  // namespace varno_gateway
