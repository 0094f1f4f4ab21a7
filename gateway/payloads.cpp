#include "gateway/payloads.h"

#include <cctype>
#include <cmath>
#include <ctime>

#include <nlohmann/json.hpp>

#include "base/error.h"
#include "protocol/lsingle.h"

namespace varno_gateway {

using nlohmann::json;
using namespace mirel_varno;

namespace {

json bitTexts(uint16_t status, const StatusBitTexts& texts)
{
    return json(setBitTexts(status, texts));
}

// Float values print with the digits a float holds, not a double's.
json floatNumber(float v)
{
    if (!std::isfinite(v)) {
        return nullptr;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.7g", static_cast<double>(v));
    return std::strtod(buffer, nullptr);
}

json paramValue(const PointParam& param)
{
    try {
        switch (param.dataType()) {
        case 1:
            return param.valueAs<uint8_t>();
        case 13:
            return floatNumber(param.valueAs<LSingle>().toFloat());
        case 25:
            return floatNumber(param.valueAs<float>());
        default:
            return nullptr;
        }
    } catch (const boost::bad_any_cast&) {
        return nullptr;
    }
}

// "varno_LINE_A_B_C": the unit's part of ids and topics.
std::string objectId(const std::string& line, const std::string& address)
{
    std::string object = "varno_" + line + "_" + address;
    for (char& c : object) {
        if (c == '.') {
            c = '_';
        }
    }
    return object;
}

// An entity id's object part: lower-case letters, digits and underscores.
std::string entitySlug(const std::string& text)
{
    std::string slug;
    for (unsigned char c : text) {
        slug += std::isalnum(c) != 0 && c < 0x80 ? static_cast<char>(std::tolower(c)) : '_';
    }
    return slug;
}

}  // namespace

std::string utf8(const wxString& text)
{
    const wxScopedCharBuffer buffer = text.utf8_str();
    return std::string(buffer.data(), buffer.length());
}

std::string isoTime(Clock::time_point t)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
    const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                  parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                  parts.tm_min, parts.tm_sec, static_cast<int>(ms.count() % 1000));
    return buffer;
}

std::vector<std::string> setBitTexts(uint16_t status, const StatusBitTexts& texts)
{
    std::vector<std::string> bits;
    StatusBitTexts builtIn;
    bool haveBuiltIn = false;
    for (int n = 0; n < 16; ++n) {
        if ((status & (1u << n)) == 0) {
            continue;
        }
        const uint8_t key = static_cast<uint8_t>(n + 1);
        wxString text = texts.textFor(key);
        if (text.empty()) {
            if (!haveBuiltIn) {
                builtIn = StatusBitTexts::withDefaults();
                haveBuiltIn = true;
            }
            text = builtIn.textFor(key);
        }
        bits.push_back(text.empty() ? "bit " + std::to_string(n) : utf8(text));
    }
    return bits;
}

std::string measurePayload(const Measure& measure, const StatusBitTexts& texts,
                           Clock::time_point t)
{
    json j;
    j["value"] = measure.hasValue() ? floatNumber(measure.value()) : json(nullptr);
    j["scaled_value"] = measure.hasValue() ? floatNumber(measure.scaledValue()) : json(nullptr);
    j["prefix"] = utf8(measure.prefix());
    j["units"] = utf8(measure.units());
    j["text"] = utf8(measure.valueText());
    j["kind"] = utf8(measure.kindText());
    j["accuracy"] = measure.accuracy();
    j["measuring_time"] = measure.time();
    j["algorithm"] = measure.index();
    j["status"] = measure.status();
    j["status_bits"] = bitTexts(measure.status(), texts);
    j["timestamp"] = isoTime(t);
    return j.dump();
}

std::string statusPayload(uint16_t status, const StatusBitTexts& texts, int32_t state,
                          const wxString& stateText, Clock::time_point t)
{
    json j;
    j["status"] = status;
    j["status_bits"] = bitTexts(status, texts);
    // The threshold bits: what Home Assistant's alarm entity shows.
    const MeasureStatus bits(status);
    j["alarm"] = bits.thresholdExceeded() || bits.prethresholdExceeded() || bits.thresholdReduced();
    j["state"] = state;
    j["state_text"] = utf8(stateText);
    j["timestamp"] = isoTime(t);
    return j.dump();
}

std::string paramsPayload(const std::string& name, const PointParams& params,
                          const AlgorithmList& algorithms, Clock::time_point t)
{
    json j;
    j["name"] = name;
    j["address"] = std::to_string(params.address().first) + "." +
                   std::to_string(params.address().second) + "." +
                   std::to_string(params.address().third);
    j["text27"] = utf8(params.text27());
    j["text17"] = utf8(params.text17());
    j["text18"] = utf8(params.text18());
    j["text11"] = utf8(params.text11());
    j["version"] = utf8(params.version());
    j["measuring_algorithm"] = static_cast<int32_t>(params.measuringAlgorithm());
    j["byte28"] = params.byte28();
    json list = json::array();
    for (const PointParam& p : params.params()) {
        list.push_back({{"number", p.number()},
                        {"name", utf8(p.name())},
                        {"data_type", p.dataType()},
                        {"value", paramValue(p)}});
    }
    j["params"] = list;
    json bits = json::object();
    for (const auto& [key, text] : params.statusTexts().texts()) {
        if (key >= 1 && key <= 16) {
            bits[std::to_string(key - 1)] = utf8(text);
        }
    }
    j["status_bit_texts"] = bits;
    json algos = json::array();
    for (const Algorithm& a : algorithms) {
        algos.push_back({{"number", a.number},
                         {"name", utf8(a.firstText)},
                         {"units", utf8(a.secondText)},
                         {"value", floatNumber(a.value)},
                         {"measuring_time", a.time},
                         {"accuracy", a.accuracy}});
    }
    j["algorithms"] = algos;
    j["timestamp"] = isoTime(t);
    return j.dump();
}

std::string eventPayload(const PointEvent& event, int32_t state, const wxString& stateText,
                         Clock::time_point t)
{
    json j;
    j["type"] = event.type();
    j["text"] = utf8(event.text());
    if (event.isLinkError()) {
        try {
            j["error"] = static_cast<int32_t>(boost::any_cast<Error>(event.payload()));
        } catch (const boost::bad_any_cast&) {
        }
    }
    j["state"] = state;
    j["state_text"] = utf8(stateText);
    j["timestamp"] = isoTime(t);
    return j.dump();
}

std::string gatewayAvailabilityTopic(const std::string& topicPrefix, const std::string& clientId)
{
    return topicPrefix + "/gateway/" + clientId + "/availability";
}

std::string lineEventPayload(const std::string& type, const std::string& text, uint32_t restartS,
                             Clock::time_point t)
{
    json j;
    j["type"] = type;
    j["text"] = text;
    j["restart_in_s"] = restartS;
    j["timestamp"] = isoTime(t);
    // The text is a failure's own words, which need not be UTF-8.
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::vector<std::string> discoveryTopics(const std::string& discoveryPrefix,
                                         const std::string& clientId, const std::string& line,
                                         const std::string& address)
{
    const std::string object = objectId(line, address);
    return {discoveryPrefix + "/sensor/" + clientId + "/" + object + "/config",
            discoveryPrefix + "/binary_sensor/" + clientId + "/" + object + "_alarm/config"};
}

std::vector<DiscoveryTopics> discoveryPayloads(const std::string& discoveryPrefix,
                                               const std::string& topicPrefix,
                                               const std::string& clientId,
                                               const std::string& line, const std::string& address,
                                               const std::string& name, const std::string& units)
{
    const std::string object = objectId(line, address);
    const std::string base = topicPrefix + "/" + line + "/" + address;
    const std::vector<std::string> topics = discoveryTopics(discoveryPrefix, clientId, line, address);
    // The entities are named by what they show; Home Assistant puts the
    // device's name in front.
    const json device = {{"identifiers", json::array({object})},
                         {"name", name.empty() ? "Varno unit " + line + " " + address : name},
                         {"model", "Varno unit"},
                         {"via_device", clientId}};
    const json availability = json::array(
        {{{"topic", base + "/availability"}},
         {{"topic", gatewayAvailabilityTopic(topicPrefix, clientId)}}});

    json sensor;
    sensor["name"] = "Measure";
    sensor["unique_id"] = clientId + "_" + object;
    sensor["default_entity_id"] = "sensor." + entitySlug(object);
    sensor["state_topic"] = base + "/measure";
    sensor["value_template"] = "{{ value_json.value }}";
    sensor["json_attributes_topic"] = base + "/measure";
    if (!units.empty()) {
        sensor["unit_of_measurement"] = units;
    }
    sensor["state_class"] = "measurement";
    sensor["availability"] = availability;
    sensor["availability_mode"] = "all";
    sensor["device"] = device;

    json alarm;
    alarm["name"] = "Alarm";
    alarm["unique_id"] = clientId + "_" + object + "_alarm";
    alarm["default_entity_id"] = "binary_sensor." + entitySlug(object) + "_alarm";
    alarm["device_class"] = "problem";
    alarm["state_topic"] = base + "/status";
    alarm["value_template"] = "{{ 'ON' if value_json.alarm else 'OFF' }}";
    alarm["json_attributes_topic"] = base + "/status";
    alarm["availability"] = availability;
    alarm["availability_mode"] = "all";
    alarm["device"] = device;
    return {{topics[0], sensor.dump()}, {topics[1], alarm.dump()}};
}

DiscoveryTopics gatewayDiscoveryPayload(const std::string& discoveryPrefix,
                                        const std::string& topicPrefix,
                                        const std::string& clientId)
{
    // The device the units name as via_device: the gateway, with its
    // connection to the broker as its one entity.
    json j;
    j["name"] = "Connection";
    j["unique_id"] = clientId + "_gateway";
    j["default_entity_id"] = "binary_sensor." + entitySlug("varno_gateway_" + clientId);
    j["device_class"] = "connectivity";
    j["state_topic"] = gatewayAvailabilityTopic(topicPrefix, clientId);
    j["payload_on"] = "online";
    j["payload_off"] = "offline";
    j["device"] = {{"identifiers", json::array({clientId})},
                   {"name", "Varno gateway " + clientId},
                   {"model", "varno_gateway"}};
    return {discoveryPrefix + "/binary_sensor/" + clientId + "/gateway/config", j.dump()};
}

}  // namespace varno_gateway
