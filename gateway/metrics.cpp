#include "gateway/metrics.h"

#include <cmath>
#include <cstdio>
#include <iterator>
#include <sstream>

#include <nlohmann/json.hpp>

#include "base/floatbits.h"
#include "model/measure.h"

namespace varno_gateway {

namespace {

// Bucket bounds and sums print in their shortest form; values that came
// from a float print with the digits a float holds.
std::string number(double v, const char* format = "%.17g")
{
    if (std::isnan(v)) {
        return "NaN";
    }
    if (std::isinf(v)) {
        return v > 0 ? "+Inf" : "-Inf";
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, format, v);
    return buffer;
}

std::string pointLabels(const std::string& line, const std::string& address)
{
    return "line=\"" + escapeLabel(line) + "\",address=\"" + escapeLabel(address) + "\"";
}

void header(std::ostringstream& out, const char* name, const char* type, const char* help)
{
    out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

}  // namespace

constexpr std::array<double, 9> Metrics::Buckets;
constexpr std::chrono::seconds Metrics::HealthGrace;

std::string escapeLabel(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

void Metrics::noteLineFault(LineStats& s, bool wasHealthy)
{
    if (wasHealthy && !(s.open && s.up)) {
        s.faultSince = SteadyClock::now();
    }
}

void Metrics::lineOpen(const std::string& line, bool open)
{
    std::lock_guard<std::mutex> hold(mutex_);
    LineStats& s = lines_[line];
    const bool wasHealthy = s.open && s.up;
    s.open = open;
    noteLineFault(s, wasHealthy);
}

void Metrics::lineUp(const std::string& line, bool up)
{
    std::lock_guard<std::mutex> hold(mutex_);
    LineStats& s = lines_[line];
    const bool wasHealthy = s.open && s.up;
    s.up = up;
    noteLineFault(s, wasHealthy);
}

void Metrics::exchange(const std::string& line, double seconds, int32_t error)
{
    std::lock_guard<std::mutex> hold(mutex_);
    LineStats& s = lines_[line];
    ++s.exchanges;
    if (error != 0) {
        ++s.failures[error];
    }
    for (size_t i = 0; i < Buckets.size(); ++i) {
        if (seconds <= Buckets[i]) {
            ++s.buckets[i];
        }
    }
    ++s.count;
    s.sum += seconds;
}

void Metrics::scan(const std::string& line)
{
    std::lock_guard<std::mutex> hold(mutex_);
    ++lines_[line].scans;
}

void Metrics::pointInfo(const std::string& line, const std::string& address,
                        const std::string& name)
{
    std::lock_guard<std::mutex> hold(mutex_);
    points_[{line, address}].name = name;
}

void Metrics::pointValue(const std::string& line, const std::string& address, double value,
                         uint16_t status, double timestampS)
{
    std::lock_guard<std::mutex> hold(mutex_);
    PointStats& p = points_[{line, address}];
    p.hasValue = true;
    p.value = value;
    p.status = status;
    p.timestampS = timestampS;
}

void Metrics::pointAvailable(const std::string& line, const std::string& address, bool online)
{
    std::lock_guard<std::mutex> hold(mutex_);
    points_[{line, address}].online = online ? 1 : 0;
}

void Metrics::pointState(const std::string& line, const std::string& address, int32_t state)
{
    std::lock_guard<std::mutex> hold(mutex_);
    points_[{line, address}].state = state;
}

void Metrics::mqttConnected(bool connected)
{
    std::lock_guard<std::mutex> hold(mutex_);
    if (connected != mqttConnected_) {
        mqttSince_ = SteadyClock::now();
    }
    mqttConnected_ = connected;
}

void Metrics::mqttPublished()
{
    std::lock_guard<std::mutex> hold(mutex_);
    ++mqttPublished_;
}

void Metrics::mqttQueue(size_t length)
{
    std::lock_guard<std::mutex> hold(mutex_);
    mqttQueue_ = length;
}

void Metrics::mqttDropped()
{
    std::lock_guard<std::mutex> hold(mutex_);
    ++mqttDropped_;
}

void Metrics::mqttRefused()
{
    std::lock_guard<std::mutex> hold(mutex_);
    ++mqttRefused_;
}

void Metrics::mqttConnects()
{
    std::lock_guard<std::mutex> hold(mutex_);
    ++mqttConnects_;
}

void Metrics::clearLines()
{
    std::lock_guard<std::mutex> hold(mutex_);
    lines_.clear();
    points_.clear();
}

void Metrics::forgetLine(const std::string& line)
{
    std::lock_guard<std::mutex> hold(mutex_);
    lines_.erase(line);
    for (auto p = points_.begin(); p != points_.end();) {
        p = p->first.first == line ? points_.erase(p) : std::next(p);
    }
}

std::string Metrics::render() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    std::ostringstream out;

    header(out, "varno_point_value", "gauge", "Last measured value of the point, in its base unit.");
    // A unit that reports no value, or no longer answers, has no sample:
    // a stale or made-up number would pass for a measurement.
    for (const auto& [key, p] : points_) {
        if (p.hasValue && p.online != 0 &&
            mirel_varno::floatBits(static_cast<float>(p.value)) !=
                mirel_varno::floatBits(mirel_varno::NO_VALUE)) {
            out << "varno_point_value{" << pointLabels(key.first, key.second) << "} "
                << number(p.value, "%.7g") << '\n';
        }
    }
    header(out, "varno_point_status", "gauge",
           "Last status word of the point, while the point answers.");
    for (const auto& [key, p] : points_) {
        if (p.hasValue && p.online != 0) {
            out << "varno_point_status{" << pointLabels(key.first, key.second) << "} " << p.status
                << '\n';
        }
    }
    header(out, "varno_point_measure_timestamp_seconds", "gauge",
           "When the last value was read, in seconds since the epoch.");
    for (const auto& [key, p] : points_) {
        if (p.hasValue) {
            out << "varno_point_measure_timestamp_seconds{" << pointLabels(key.first, key.second)
                << "} " << number(p.timestampS) << '\n';
        }
    }
    header(out, "varno_point_up", "gauge", "1 while the point answers, 0 once it has failed.");
    for (const auto& [key, p] : points_) {
        if (p.online >= 0) {
            out << "varno_point_up{" << pointLabels(key.first, key.second) << "} " << p.online
                << '\n';
        }
    }
    header(out, "varno_point_state", "gauge", "State number of the point's state machine.");
    for (const auto& [key, p] : points_) {
        out << "varno_point_state{" << pointLabels(key.first, key.second) << "} " << p.state
            << '\n';
    }
    header(out, "varno_point_info", "gauge", "The point's name as a label; always 1.");
    for (const auto& [key, p] : points_) {
        out << "varno_point_info{" << pointLabels(key.first, key.second) << ",name=\""
            << escapeLabel(p.name) << "\"} 1\n";
    }

    header(out, "varno_line_open", "gauge", "1 while the line's serial device is open.");
    for (const auto& [line, s] : lines_) {
        out << "varno_line_open{line=\"" << escapeLabel(line) << "\"} " << (s.open ? 1 : 0) << '\n';
    }
    header(out, "varno_line_up", "gauge",
           "1 while the line's work runs, 0 while it waits to be started again after a failure.");
    for (const auto& [line, s] : lines_) {
        out << "varno_line_up{line=\"" << escapeLabel(line) << "\"} " << (s.up ? 1 : 0) << '\n';
    }
    header(out, "varno_line_exchanges_total", "counter",
           "Reads the gateway made on the line (each one or more request/reply frames).");
    for (const auto& [line, s] : lines_) {
        out << "varno_line_exchanges_total{line=\"" << escapeLabel(line) << "\"} " << s.exchanges
            << '\n';
    }
    header(out, "varno_line_failures_total", "counter", "Failed reads on the line by error code.");
    for (const auto& [line, s] : lines_) {
        for (const auto& [code, n] : s.failures) {
            out << "varno_line_failures_total{line=\"" << escapeLabel(line) << "\",code=\"" << code
                << "\"} " << n << '\n';
        }
    }
    header(out, "varno_line_scans_total", "counter", "Network scans of the line.");
    for (const auto& [line, s] : lines_) {
        out << "varno_line_scans_total{line=\"" << escapeLabel(line) << "\"} " << s.scans << '\n';
    }
    header(out, "varno_line_exchange_duration_seconds", "histogram", "Time the reads took.");
    for (const auto& [line, s] : lines_) {
        const std::string l = "line=\"" + escapeLabel(line) + "\"";
        for (size_t i = 0; i < Buckets.size(); ++i) {
            out << "varno_line_exchange_duration_seconds_bucket{" << l << ",le=\""
                << number(Buckets[i], "%g") << "\"} " << s.buckets[i] << '\n';
        }
        out << "varno_line_exchange_duration_seconds_bucket{" << l << ",le=\"+Inf\"} " << s.count
            << '\n';
        out << "varno_line_exchange_duration_seconds_sum{" << l << "} " << number(s.sum) << '\n';
        out << "varno_line_exchange_duration_seconds_count{" << l << "} " << s.count << '\n';
    }

    header(out, "varno_mqtt_connected", "gauge", "1 while the broker connection is up.");
    out << "varno_mqtt_connected " << (mqttConnected_ ? 1 : 0) << '\n';
    header(out, "varno_mqtt_connects_total", "counter", "Connections made to the broker.");
    out << "varno_mqtt_connects_total " << mqttConnects_ << '\n';
    header(out, "varno_mqtt_published_total", "counter", "Messages handed to the broker connection.");
    out << "varno_mqtt_published_total " << mqttPublished_ << '\n';
    header(out, "varno_mqtt_queue_length", "gauge", "Messages kept while the broker is away.");
    out << "varno_mqtt_queue_length " << mqttQueue_ << '\n';
    header(out, "varno_mqtt_queue_dropped_total", "counter",
           "Kept messages dropped because the queue was full (routine measures first).");
    out << "varno_mqtt_queue_dropped_total " << mqttDropped_ << '\n';
    header(out, "varno_mqtt_refused_total", "counter",
           "Messages dropped because the broker connection would never take them "
           "(a topic or payload it refuses).");
    out << "varno_mqtt_refused_total " << mqttRefused_ << '\n';
    return out.str();
}

Metrics::Health Metrics::health(SteadyClock::time_point now) const
{
    std::lock_guard<std::mutex> hold(mutex_);
    const auto seconds = [now](SteadyClock::time_point since) {
        return std::chrono::duration_cast<std::chrono::seconds>(now - since).count();
    };
    Health health;
    nlohmann::json problems = nlohmann::json::array();
    nlohmann::json lines = nlohmann::json::object();
    for (const auto& [line, s] : lines_) {
        const bool healthy = s.open && s.up;
        nlohmann::json entry = {{"open", s.open}, {"up", s.up}};
        if (!healthy) {
            entry["fault_seconds"] = seconds(s.faultSince);
            if (now - s.faultSince > HealthGrace) {
                problems.push_back("line " + line + (s.up ? " closed" : " down") + " for " +
                                   std::to_string(seconds(s.faultSince)) + " s");
            }
        }
        lines[line] = std::move(entry);
    }
    nlohmann::json mqtt = {{"connected", mqttConnected_}, {"since_seconds", seconds(mqttSince_)}};
    if (!mqttConnected_ && now - mqttSince_ > HealthGrace) {
        problems.insert(problems.begin(),
                        "broker away for " + std::to_string(seconds(mqttSince_)) + " s");
    }
    health.ok = problems.empty();
    const nlohmann::json body = {{"status", health.ok ? "ok" : "fault"},
                                 {"problems", std::move(problems)},
                                 {"mqtt", std::move(mqtt)},
                                 {"lines", std::move(lines)}};
    // Names come from the configuration, checked as UTF-8 there; a
    // replacement character is still better than an exception here.
    health.json = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    return health;
}

}  // namespace varno_gateway
