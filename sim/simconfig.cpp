#include "sim/simconfig.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include <wx/fileconf.h>
#include <wx/log.h>
#include <wx/sstream.h>
#include <wx/wfstream.h>

namespace varno_sim {

using mirel_varno::DataType;

namespace {

std::string utf8(const wxString& s)
{
    const wxScopedCharBuffer b = s.utf8_str();
    return std::string(b.data(), b.length());
}

// A number word that may carry trailing blanks, as INI values do.
bool parseLong(const std::string& text, long low, long high, long& value)
{
    return parseNumber(text.substr(0, text.find_last_not_of(" \t") + 1), low, high, value);
}

bool parseFloat(const std::string& text, float& value)
{
    const char* p = text.c_str();
    char* end = nullptr;
    errno = 0;
    const float v = std::strtof(p, &end);
    while (*end == ' ' || *end == '\t') {
        ++end;
    }
    if (end == p || *end != '\0' || errno != 0) {
        return false;
    }
    value = v;
    return true;
}

// Reads the keys of one unit's group into its state and faults.
class UnitReader {
public:
    UnitReader(wxFileConfig& config, const wxString& group) : config_(config), group_(group) {}

    bool read(SimUnit& unit, std::string& error);

private:
    bool fail(const wxString& key, const std::string& why, std::string& error)
    {
        error = "[" + utf8(group_) + "] " + utf8(key) + ": " + why;
        return false;
    }
    bool entry(const wxString& key, const wxString& value, SimUnit& unit, std::string& error);
    bool number(const wxString& key, const wxString& value, long low, long high, long& out,
                std::string& error)
    {
        return parseLong(utf8(value), low, high, out) ||
               fail(key, "expected a number from " + std::to_string(low) + " to " +
                             std::to_string(high), error);
    }
    bool real(const wxString& key, const wxString& value, float& out, std::string& error)
    {
        return parseFloat(utf8(value), out) || fail(key, "expected a number", error);
    }
    bool numbers(const wxString& key, const wxString& value, size_t count, long low, long high,
                 std::vector<long>& out, std::string& error);
    bool indexed(const wxString& key, const wxString& prefix, size_t limit, size_t& index,
                 wxString& field);

    wxFileConfig& config_;
    wxString group_;
    std::map<size_t, SimParam> params_;
    std::map<size_t, wxString> paramValues_;
    std::map<size_t, SimAlgorithm> algorithms_;
    std::map<size_t, wxString> statusBits_;
};

bool UnitReader::numbers(const wxString& key, const wxString& value, size_t count, long low,
                         long high, std::vector<long>& out, std::string& error)
{
    out.clear();
    for (const std::string& w : splitWords(utf8(value))) {
        std::string word = w;
        if (!word.empty() && word.back() == ',') {
            word.pop_back();
        }
        long v = 0;
        if (word.empty()) {
            continue;
        }
        if (!parseLong(word, low, high, v)) {
            return fail(key, "'" + word + "' is not a number from " + std::to_string(low) +
                                 " to " + std::to_string(high), error);
        }
        out.push_back(v);
    }
    if (count > 0 && out.size() != count) {
        return fail(key, "expected " + std::to_string(count) + " numbers", error);
    }
    return true;
}

// Splits "param3.name" into 3 and "name" for the prefix "param".
bool UnitReader::indexed(const wxString& key, const wxString& prefix, size_t limit, size_t& index,
                         wxString& field)
{
    if (!key.StartsWith(prefix)) {
        return false;
    }
    const wxString rest = key.Mid(prefix.length());
    const int dot = rest.Find('.');
    const wxString digits = dot == wxNOT_FOUND ? rest : rest.Left(static_cast<size_t>(dot));
    unsigned long n = 0;
    if (digits.empty() || !digits.IsNumber() || !digits.ToULong(&n) || n >= limit) {
        return false;
    }
    index = n;
    field = dot == wxNOT_FOUND ? wxString() : rest.Mid(static_cast<size_t>(dot) + 1);
    return true;
}

bool UnitReader::entry(const wxString& key, const wxString& value, SimUnit& unit, std::string& error)
{
    UnitState& s = unit.state();
    long n = 0;
    size_t i = 0;
    wxString field;
    std::vector<long> list;

    if (key == "address") {
        return parseAddress(utf8(value), s.address) || fail(key, "expected a.b.c", error);
    }
    if (key == "status") {
        return number(key, value, 0, 0xFFFF, n, error) && (s.status = static_cast<uint16_t>(n), true);
    }
    if (key == "measure") {
        return real(key, value, s.measureValue, error);
    }
    if (key == "time") {
        return number(key, value, INT32_MIN, INT32_MAX, n, error) &&
               (s.measureTime = static_cast<int32_t>(n), true);
    }
    if (key == "accuracy") {
        return number(key, value, 0, 255, n, error) && (s.measureAccuracy = static_cast<uint8_t>(n), true);
    }
    const std::map<wxString, wxString*> texts = {
        {"version", &s.version}, {"text11", &s.text11}, {"text17", &s.text17},
        {"text18", &s.text18},   {"text27", &s.text27}, {"text252", &s.text252}};
    auto t = texts.find(key);
    if (t != texts.end()) {
        *t->second = value;
        return true;
    }
    if (key == "byte28" || key == "algorithm") {
        return number(key, value, 0, 255, n, error) &&
               ((key == "byte28" ? s.byte28 : s.currentAlgorithm) = static_cast<uint8_t>(n), true);
    }
    if (key == "date12" || key == "date13") {
        if (!numbers(key, value, 8, 0, 255, list, error)) {
            return false;
        }
        auto& date = key == "date12" ? s.date12 : s.date13;
        for (size_t k = 0; k < 8; ++k) {
            date[k] = static_cast<uint8_t>(list[k]);
        }
        return true;
    }
    if (key == "changed") {
        if (!numbers(key, value, 0, 0, 255, list, error)) {
            return false;
        }
        s.changedParams.assign(list.begin(), list.end());
        return true;
    }
    if (key == "var9") {
        if (!numbers(key, value, 3, INT32_MIN, INT32_MAX, list, error)) {
            return false;
        }
        for (size_t k = 0; k < 3; ++k) {
            s.var9[k] = static_cast<int32_t>(list[k]);
        }
        return true;
    }
    if (key == "var10") {
        return number(key, value, INT32_MIN, UINT32_MAX, n, error) &&
               (s.var10 = static_cast<uint32_t>(n), true);
    }
    if (key == "var15") {
        if (!numbers(key, value, 2, INT32_MIN, INT32_MAX, list, error)) {
            return false;
        }
        if (list[1] < INT16_MIN || list[1] > INT16_MAX) {
            return fail(key, "the second number must fit 16 bits", error);
        }
        s.var15Long = static_cast<int32_t>(list[0]);
        s.var15Short = static_cast<int16_t>(list[1]);
        return true;
    }
    if (key == "word253") {
        return number(key, value, 0, 0xFFFF, n, error) && (s.word253 = static_cast<uint16_t>(n), true);
    }
    if (key.StartsWith("text254.")) {
        if (!parseLong(utf8(key.Mid(8)), 0, 0xFFFF, n)) {
            return fail(key, "expected text254.<selector 0-65535>", error);
        }
        s.texts254[static_cast<uint16_t>(n)] = value;
        return true;
    }
    if (key == "fault" || key.StartsWith("fault.")) {
        Fault fault;
        std::string why;
        if (!parseFault(splitWords(utf8(value)), fault, why)) {
            return fail(key, why, error);
        }
        if (key == "fault") {
            unit.setFault(fault);
            return true;
        }
        if (!parseLong(utf8(key.Mid(6)), 0, 255, n)) {
            return fail(key, "expected fault.<variable 0-255>", error);
        }
        unit.setVariableFault(static_cast<uint8_t>(n), fault);
        return true;
    }
    if (indexed(key, "param", MaxParams, i, field)) {
        SimParam& p = params_[i];
        if (field == "name") {
            p.name = value;
            return true;
        }
        if (field == "type") {
            const wxString type = value.Lower();
            if (type == "byte") {
                p.type = DataType::Byte;
            } else if (type == "packed") {
                p.type = DataType::Packed;
            } else if (type == "float") {
                p.type = DataType::Float;
            } else {
                return fail(key, "expected byte, packed or float", error);
            }
            return true;
        }
        if (field == "value") {
            paramValues_[i] = value;  // converted once the type is known
            return true;
        }
    }
    if (indexed(key, "algo", MaxAlgorithms, i, field)) {
        SimAlgorithm& a = algorithms_[i];
        if (field == "text1") {
            a.firstText = value;
            return true;
        }
        if (field == "text2") {
            a.secondText = value;
            return true;
        }
        if (field == "value") {
            return real(key, value, a.value, error);
        }
        if (field == "time") {
            return number(key, value, INT32_MIN, INT32_MAX, n, error) &&
                   (a.time = static_cast<int32_t>(n), true);
        }
        if (field == "accuracy") {
            return number(key, value, 0, 255, n, error) && (a.accuracy = static_cast<uint8_t>(n), true);
        }
    }
    if (indexed(key, "statusbit", MaxStatusBitTexts, i, field) && field.empty()) {
        statusBits_[i] = value;
        return true;
    }
    return fail(key, "unknown key", error);
}

bool UnitReader::read(SimUnit& unit, std::string& error)
{
    const wxString old = config_.GetPath();
    config_.SetPath("/" + group_);
    bool ok = true;
    long cookie = 0;
    wxString key;
    for (bool more = config_.GetFirstEntry(key, cookie); more && ok;
         more = config_.GetNextEntry(key, cookie)) {
        ok = entry(key, config_.Read(key, wxString()), unit, error);
    }
    config_.SetPath(old);
    if (!ok) {
        return false;
    }

    // Indexed entries must run from 0 without gaps: the unit reports a count.
    auto dense = [this, &error](const auto& m, const char* what) {
        size_t expect = 0;
        for (const auto& kv : m) {
            if (kv.first != expect++) {
                return fail(wxString::Format("%s%zu", what, expect - 1),
                            "missing; numbering starts at 0 without gaps", error);
            }
        }
        return true;
    };
    if (!dense(params_, "param") || !dense(algorithms_, "algo") || !dense(statusBits_, "statusbit")) {
        return false;
    }
    UnitState& s = unit.state();
    for (auto& kv : params_) {
        SimParam& p = kv.second;
        auto v = paramValues_.find(kv.first);
        float f = 0.0f;
        const wxString key = wxString::Format("param%zu.value", kv.first);
        if (v != paramValues_.end() && !real(key, v->second, f, error)) {
            return false;
        }
        if (p.type == DataType::Byte) {
            if (f < 0.0f || f > 255.0f) {
                return fail(key, "a byte parameter holds 0 to 255", error);
            }
        }
        p.raw = paramFromFloat(p.type, f);
        s.params.push_back(p);
    }
    for (auto& kv : algorithms_) {
        s.algorithms.push_back(kv.second);
    }
    for (auto& kv : statusBits_) {
        s.statusBitTexts.push_back(kv.second);
    }
    return true;
}

bool readUnits(wxFileConfig& config, std::vector<SimUnit>& units, std::string& error)
{
    config.SetExpandEnvVars(false);
    std::vector<SimUnit> result;
    long cookie = 0;
    wxString group;
    std::vector<wxString> groups;
    for (bool more = config.GetFirstGroup(group, cookie); more; more = config.GetNextGroup(group, cookie)) {
        groups.push_back(group);
    }
    for (const wxString& g : groups) {
        if (!config.HasEntry("/" + g + "/address")) {
            continue;
        }
        SimUnit unit;
        UnitReader reader(config, g);
        if (!reader.read(unit, error)) {
            return false;
        }
        for (const SimUnit& other : result) {
            if (other.address() == unit.address()) {
                error = "[" + utf8(g) + "] address " + formatAddress(unit.address()) + " is used twice";
                return false;
            }
        }
        result.push_back(std::move(unit));
    }
    units = std::move(result);
    return true;
}

}  // namespace

bool parseAddress(const std::string& text, mirel_varno::UnitAddress& address)
{
    unsigned parts[3] = {};
    size_t pos = 0;
    for (int k = 0; k < 3; ++k) {
        size_t digits = 0;
        unsigned v = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 3) {
            v = v * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || v > 255) {
            return false;
        }
        parts[k] = v;
        if (k < 2) {
            if (pos >= text.size() || text[pos] != '.') {
                return false;
            }
            ++pos;
        }
    }
    if (pos != text.size()) {
        return false;
    }
    address = {static_cast<uint8_t>(parts[0]), static_cast<uint8_t>(parts[1]),
               static_cast<uint8_t>(parts[2])};
    return true;
}

std::string formatAddress(mirel_varno::UnitAddress address)
{
    return std::to_string(address.first) + "." + std::to_string(address.second) + "." +
           std::to_string(address.third);
}

namespace {

// "key = value   ; note": a ';' or '#' after white space, outside double
// quotes, starts a comment that runs to the end of the line. The file
// layer would keep it as part of the value.
wxString withoutInlineComments(const wxString& text)
{
    wxString out;
    out.reserve(text.length());
    bool quoted = false;
    bool skipping = false;
    wxUniChar previous = '\n';
    for (const wxUniChar c : text) {
        if (c == '\n') {
            quoted = false;
            skipping = false;
        } else if (skipping) {
            continue;
        } else if (c == '"' && previous != '\\') {
            quoted = !quoted;
        } else if (!quoted && (c == ';' || c == '#') && (previous == ' ' || previous == '\t')) {
            skipping = true;
            while (!out.empty() && (out.Last() == ' ' || out.Last() == '\t')) {
                out.RemoveLast();
            }
            continue;
        }
        out += c;
        previous = c;
    }
    return out;
}

}  // namespace

bool loadConfig(const std::string& path, std::vector<SimUnit>& units, std::string& error)
{
    wxLogNull quiet;  // our own message says what went wrong
    wxFileInputStream in(wxString::FromUTF8(path.c_str()));
    if (!in.IsOk()) {
        error = "cannot open " + path;
        return false;
    }
    wxStringOutputStream text(nullptr, wxConvUTF8);
    in.Read(text);
    return parseConfig(text.GetString(), units, error);
}

bool parseConfig(const wxString& text, std::vector<SimUnit>& units, std::string& error)
{
    wxStringInputStream in(withoutInlineComments(text));
    wxFileConfig config(in, wxConvUTF8);
    return readUnits(config, units, error);
}

}  // namespace varno_sim
