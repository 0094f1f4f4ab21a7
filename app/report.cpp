#include "app/report.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "app/inputfiles.h"
#include "app/visibletext.h"
#include "model/statusbittexts.h"

namespace mirel_varno {

namespace {

std::string utf8(const wxString& text)
{
    const wxScopedCharBuffer bytes = text.utf8_str();
    return std::string(bytes.data(), bytes.length());
}

std::string addressText(const UnitAddress& address)
{
    return std::to_string(address.first) + "." + std::to_string(address.second) + "." +
           std::to_string(address.third);
}

// The float as its shortest decimal form, so that 0.1f is 0.1 and not the
// double next to it.
double shortestValue(float value)
{
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text - 1, value).ptr;
    *end = '\0';
    return std::strtod(text, nullptr);
}

std::string statusHex(uint16_t status)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(status));
    return text;
}

std::string jsonLine(const ExchangeRecord& r)
{
    nlohmann::ordered_json j;
    j["time"] = isoTime(r.time);
    j["address"] = addressText(r.address);
    j["command"] = commandName(r.command);
    j["ok"] = r.ok;
    if (!r.ok) {
        j["error_code"] = r.errorCode;
        j["error"] = utf8(r.text);
    } else if (r.command == CommandStatus) {
        j["status"] = r.status;
        j["status_hex"] = statusHex(r.status);
        const StatusBitTexts texts = StatusBitTexts::withDefaults();
        nlohmann::ordered_json bits = nlohmann::ordered_json::array();
        for (unsigned bit = 0; bit < 16; ++bit) {
            if (r.status & (1u << bit)) {
                bits.push_back({{"bit", bit},
                                {"text", utf8(texts.textFor(static_cast<uint8_t>(bit + 1)))}});
            }
        }
        j["bits"] = bits;
    } else if (r.command == CommandVersion) {
        j["version"] = utf8(r.version);
    } else {
        j["value"] = shortestValue(r.value);
        j["accuracy"] = r.accuracy;
        j["seconds"] = r.seconds;
    }
    // Invalid UTF-8 from a unit's text cannot reach here (texts are wide
    // strings); replace rather than throw all the same.
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string csvField(const std::string& field)
{
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
        return field;
    }
    std::string out = "\"";
    for (char c : field) {
        if (c == '"') {
            out += '"';
        }
        out += c;
    }
    return out + "\"";
}

std::string csvLine(const ExchangeRecord& r)
{
    // time,address,command,ok,status,value,accuracy,seconds,version,error_code,error
    std::string fields[11] = {isoTime(r.time), addressText(r.address), commandName(r.command),
                              r.ok ? "true" : "false"};
    if (!r.ok) {
        fields[9] = std::to_string(r.errorCode);
        fields[10] = utf8(r.text);
    } else if (r.command == CommandStatus) {
        fields[4] = statusHex(r.status);
    } else if (r.command == CommandVersion) {
        // One row, one line: line breaks in the text are written out.
        fields[8] = utf8(visibleText(r.version));
    } else {
        char text[32];
        const auto end = std::to_chars(text, text + sizeof text, r.value).ptr;
        fields[5].assign(text, end);
        fields[6] = std::to_string(r.accuracy);
        fields[7] = std::to_string(r.seconds);
    }
    std::string line;
    for (size_t i = 0; i < 11; ++i) {
        line += (i ? "," : "") + csvField(fields[i]);
    }
    return line;
}

}  // namespace

const char* commandName(int32_t command)
{
    switch (command) {
    case CommandMeasure:
        return "measure";
    case CommandMeasureAccuracyTime:
        return "measure_accuracy_time";
    case CommandStatus:
        return "status";
    case CommandVersion:
        return "version";
    default:
        return "unknown";
    }
}

std::string isoTime(const timespec& time)
{
    tm local{};
    localtime_r(&time.tv_sec, &local);
    char stamp[64];
    const size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
    const long offset = local.tm_gmtoff;
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    std::snprintf(stamp + n, sizeof stamp - n, ".%03ld%c%02ld:%02ld", time.tv_nsec / 1000000L,
                  offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return stamp;
}

std::string recordLine(const ExchangeRecord& record, ReportFormat format)
{
    return format == ReportFormat::Csv ? csvLine(record) : jsonLine(record);
}

std::string csvHeader()
{
    return "time,address,command,ok,status,value,accuracy,seconds,version,error_code,error";
}

}  // namespace mirel_varno
