#include "sim/simconfig.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <type_traits>
#include <utility>

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

// One key = value line of a unit's group, while it is being read.
struct Entry {
    const wxString& key;
    const wxString& value;
    SimUnit& unit;
    std::string& error;

    UnitState& state() const { return unit.state(); }
};

// Reads the keys of one unit's group into its state and faults. The keys
// are in the tables below: plain keys, keys with a number after a prefix
// (text254.<selector>, fault.<variable>) and indexed records
// (param<i>.<field>, algo<i>.<field>, statusbit<i>).
class UnitReader {
public:
    UnitReader(wxFileConfig& config, const wxString& group) : config_(config), group_(group) {}

    bool read(SimUnit& unit, std::string& error);

    bool fail(const Entry& e, const std::string& why) const
    {
        e.error = "[" + utf8(group_) + "] " + utf8(e.key) + ": " + why;
        return false;
    }
    bool number(const Entry& e, long low, long high, long& out) const
    {
        return parseLong(utf8(e.value), low, high, out) ||
               fail(e, "expected a number from " + std::to_string(low) + " to " +
                           std::to_string(high));
    }
    bool real(const Entry& e, float& out) const
    {
        return parseFloat(utf8(e.value), out) || fail(e, "expected a number");
    }
    bool numbers(const Entry& e, size_t count, long low, long high, std::vector<long>& out) const;

    std::map<size_t, SimParam> params_;
    std::map<size_t, wxString> paramValues_;
    std::map<size_t, SimAlgorithm> algorithms_;
    std::map<size_t, wxString> statusBits_;

private:
    bool entry(const wxString& key, const wxString& value, SimUnit& unit, std::string& error);

    wxFileConfig& config_;
    wxString group_;
};

bool UnitReader::numbers(const Entry& e, size_t count, long low, long high,
                         std::vector<long>& out) const
{
    out.clear();
    for (const std::string& w : splitWords(utf8(e.value))) {
        std::string word = w;
        if (!word.empty() && word.back() == ',') {
            word.pop_back();
        }
        long v = 0;
        if (word.empty()) {
            continue;
        }
        if (!parseLong(word, low, high, v)) {
            return fail(e, "'" + word + "' is not a number from " + std::to_string(low) + " to " +
                               std::to_string(high));
        }
        out.push_back(v);
    }
    if (count > 0 && out.size() != count) {
        return fail(e, "expected " + std::to_string(count) + " numbers");
    }
    return true;
}

// ---- Plain keys

using KeyHandler = bool (*)(UnitReader&, const Entry&);

template <typename Record, auto Field>
using FieldType = std::remove_reference_t<decltype(std::declval<Record&>().*Field)>;

// A whole number from Low to High into a field of the unit's state.
template <auto Field, long Low, long High>
bool wholeKey(UnitReader& r, const Entry& e)
{
    long n = 0;
    if (!r.number(e, Low, High, n)) {
        return false;
    }
    e.state().*Field = static_cast<FieldType<UnitState, Field>>(n);
    return true;
}

template <auto Field>
bool realKey(UnitReader& r, const Entry& e)
{
    return r.real(e, e.state().*Field);
}

template <auto Field>
bool textKey(UnitReader&, const Entry& e)
{
    e.state().*Field = e.value;
    return true;
}

// A fixed count of numbers from Low to High into an array of the state.
template <auto Field, long Low, long High>
bool listKey(UnitReader& r, const Entry& e)
{
    auto& field = e.state().*Field;
    std::vector<long> list;
    if (!r.numbers(e, field.size(), Low, High, list)) {
        return false;
    }
    for (size_t k = 0; k < field.size(); ++k) {
        field[k] = static_cast<std::remove_reference_t<decltype(field[k])>>(list[k]);
    }
    return true;
}

bool addressKey(UnitReader& r, const Entry& e)
{
    return parseAddress(utf8(e.value), e.state().address) || r.fail(e, "expected a.b.c");
}

bool changedKey(UnitReader& r, const Entry& e)
{
    std::vector<long> list;
    if (!r.numbers(e, 0, 0, 255, list)) {
        return false;
    }
    e.state().changedParams.assign(list.begin(), list.end());
    return true;
}

bool var15Key(UnitReader& r, const Entry& e)
{
    std::vector<long> list;
    if (!r.numbers(e, 2, INT32_MIN, INT32_MAX, list)) {
        return false;
    }
    if (list[1] < INT16_MIN || list[1] > INT16_MAX) {
        return r.fail(e, "the second number must fit 16 bits");
    }
    e.state().var15Long = static_cast<int32_t>(list[0]);
    e.state().var15Short = static_cast<int16_t>(list[1]);
    return true;
}

bool faultKey(UnitReader& r, const Entry& e)
{
    Fault fault;
    std::string why;
    if (!parseFault(splitWords(utf8(e.value)), fault, why)) {
        return r.fail(e, why);
    }
    e.unit.setFault(fault);
    return true;
}

const std::map<wxString, KeyHandler> plainKeys = {
    {"address", addressKey},
    {"status", wholeKey<&UnitState::status, 0, 0xFFFF>},
    {"measure", realKey<&UnitState::measureValue>},
    {"time", wholeKey<&UnitState::measureTime, INT32_MIN, INT32_MAX>},
    {"accuracy", wholeKey<&UnitState::measureAccuracy, 0, 255>},
    {"version", textKey<&UnitState::version>},
    {"text11", textKey<&UnitState::text11>},
    {"text17", textKey<&UnitState::text17>},
    {"text18", textKey<&UnitState::text18>},
    {"text27", textKey<&UnitState::text27>},
    {"text252", textKey<&UnitState::text252>},
    {"byte28", wholeKey<&UnitState::byte28, 0, 255>},
    {"algorithm", wholeKey<&UnitState::currentAlgorithm, 0, 255>},
    {"date12", listKey<&UnitState::date12, 0, 255>},
    {"date13", listKey<&UnitState::date13, 0, 255>},
    {"changed", changedKey},
    {"var9", listKey<&UnitState::var9, INT32_MIN, INT32_MAX>},
    {"var10", wholeKey<&UnitState::var10, INT32_MIN, UINT32_MAX>},
    {"var15", var15Key},
    {"word253", wholeKey<&UnitState::word253, 0, 0xFFFF>},
    {"fault", faultKey},
};

// ---- Keys with a number after a prefix: <prefix><number>

using NumberedHandler = bool (*)(UnitReader&, const Entry&, long number);

struct NumberedKey {
    const char* prefix;
    long high;
    const char* form;  // said when the number is missing or too large
    NumberedHandler handler;
};

const NumberedKey numberedKeys[] = {
    {"text254.", 0xFFFF, "expected text254.<selector 0-65535>",
     [](UnitReader&, const Entry& e, long selector) {
         e.state().texts254[static_cast<uint16_t>(selector)] = e.value;
         return true;
     }},
    {"fault.", 255, "expected fault.<variable 0-255>",
     [](UnitReader& r, const Entry& e, long variable) {
         Fault fault;
         std::string why;
         if (!parseFault(splitWords(utf8(e.value)), fault, why)) {
             return r.fail(e, why);
         }
         e.unit.setVariableFault(static_cast<uint8_t>(variable), fault);
         return true;
     }},
};

// ---- Indexed records: <prefix><index>[.<field>], indexes from 0

using FieldHandler = bool (*)(UnitReader&, const Entry&, size_t index);

struct RecordField {
    const char* field;  // empty: the key has no field
    FieldHandler handler;
};

template <auto Field>
bool paramText(UnitReader& r, const Entry& e, size_t i)
{
    r.params_[i].*Field = e.value;
    return true;
}

template <auto Field>
bool algorithmText(UnitReader& r, const Entry& e, size_t i)
{
    r.algorithms_[i].*Field = e.value;
    return true;
}

template <auto Field, long Low, long High>
bool algorithmWhole(UnitReader& r, const Entry& e, size_t i)
{
    long n = 0;
    if (!r.number(e, Low, High, n)) {
        return false;
    }
    r.algorithms_[i].*Field = static_cast<FieldType<SimAlgorithm, Field>>(n);
    return true;
}

bool paramType(UnitReader& r, const Entry& e, size_t i)
{
    static const std::map<wxString, DataType> types = {
        {"byte", DataType::Byte}, {"packed", DataType::Packed}, {"float", DataType::Float}};
    const auto type = types.find(e.value.Lower());
    if (type == types.end()) {
        return r.fail(e, "expected byte, packed or float");
    }
    r.params_[i].type = type->second;
    return true;
}

const RecordField paramFields[] = {
    {"name", paramText<&SimParam::name>},
    {"type", paramType},
    {"value",
     [](UnitReader& r, const Entry& e, size_t i) {
         r.params_.emplace(i, SimParam());
         r.paramValues_[i] = e.value;  // converted once the type is known
         return true;
     }},
};

const RecordField algorithmFields[] = {
    {"text1", algorithmText<&SimAlgorithm::firstText>},
    {"text2", algorithmText<&SimAlgorithm::secondText>},
    {"value", [](UnitReader& r, const Entry& e, size_t i) { return r.real(e, r.algorithms_[i].value); }},
    {"time", algorithmWhole<&SimAlgorithm::time, INT32_MIN, INT32_MAX>},
    {"accuracy", algorithmWhole<&SimAlgorithm::accuracy, 0, 255>},
};

const RecordField statusBitFields[] = {
    {"",
     [](UnitReader& r, const Entry& e, size_t i) {
         r.statusBits_[i] = e.value;
         return true;
     }},
};

struct RecordKeys {
    const char* prefix;
    size_t limit;
    const RecordField* fields;
    size_t fieldCount;
};

template <size_t N>
constexpr RecordKeys recordKeys(const char* prefix, size_t limit, const RecordField (&fields)[N])
{
    return {prefix, limit, fields, N};
}

const RecordKeys indexedKeys[] = {
    recordKeys("param", MaxParams, paramFields),
    recordKeys("algo", MaxAlgorithms, algorithmFields),
    recordKeys("statusbit", MaxStatusBitTexts, statusBitFields),
};

// Splits "param3.name" into 3 and "name" for the prefix "param".
bool splitIndexed(const wxString& key, const wxString& prefix, size_t limit, size_t& index,
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
    const Entry e{key, value, unit, error};
    const auto plain = plainKeys.find(key);
    if (plain != plainKeys.end()) {
        return plain->second(*this, e);
    }
    for (const NumberedKey& numbered : numberedKeys) {
        if (key.StartsWith(numbered.prefix)) {
            long n = 0;
            if (!parseLong(utf8(key.Mid(wxStrlen(numbered.prefix))), 0, numbered.high, n)) {
                return fail(e, numbered.form);
            }
            return numbered.handler(*this, e, n);
        }
    }
    for (const RecordKeys& record : indexedKeys) {
        size_t index = 0;
        wxString field;
        if (!splitIndexed(key, record.prefix, record.limit, index, field)) {
            continue;
        }
        for (size_t k = 0; k < record.fieldCount; ++k) {
            if (field == record.fields[k].field) {
                return record.fields[k].handler(*this, e, index);
            }
        }
    }
    return fail(e, "unknown key");
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
    auto dense = [this, &unit, &error](const auto& m, const char* what) {
        size_t expect = 0;
        for (const auto& kv : m) {
            if (kv.first != expect++) {
                const wxString key = wxString::Format("%s%zu", what, expect - 1);
                return fail(Entry{key, wxString(), unit, error},
                            "missing; numbering starts at 0 without gaps");
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
        const wxString text = v != paramValues_.end() ? v->second : wxString();
        const Entry e{key, text, unit, error};
        if (v != paramValues_.end() && !real(e, f)) {
            return false;
        }
        if (p.type == DataType::Byte) {
            if (f < 0.0f || f > 255.0f) {
                return fail(e, "a byte parameter holds 0 to 255");
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
