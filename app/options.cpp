#include "app/options.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace mirel_varno {

namespace {

int optionIndex = 1;

bool startsOption(const char* argument)
{
    return argument[0] == '-' || argument[0] == '/';
}

// Whether a next argument could be read as an option rather than as the
// value of the one before it. Absolute paths begin with '/' too; one
// whose second character is no option letter, that holds a second '/' or
// that names an existing file is taken for a path.
bool canBeOption(const char* argument, const char* optionString)
{
    if (argument[0] == '-') {
        return true;
    }
    if (argument[0] != '/') {
        return false;
    }
    const char letter = argument[1];
    if (letter == '\0' || letter == ':' || std::strchr(optionString, letter) == nullptr) {
        return false;
    }
    struct stat entry {};
    return std::strchr(argument + 1, '/') == nullptr && ::lstat(argument, &entry) != 0;
}

// The C library's decimal conversion (leading white space, optional sign,
// digits, 0 without digits), kept within 32 bits instead of overflowing.
int32_t decimalValue(const char* text)
{
    const long long v = std::strtoll(text, nullptr, 10);
    if (v > INT32_MAX) {
        return INT32_MAX;
    }
    if (v < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(v);
}

}  // namespace

void resetOptionIndex()
{
    optionIndex = 1;
}

int8_t nextOption(int argc, const char* const* argv, const char* optionString,
                  OptionResult& result)
{
    if (optionIndex >= argc) {
        ++optionIndex;
        result.value = nullptr;
        return OptionsEnd;
    }
    const char* argument = argv[optionIndex];
    if (!startsOption(argument)) {
        ++optionIndex;
        result.value = argument;
        return OptionPlainArgument;
    }
    const unsigned char letter = static_cast<unsigned char>(argument[1]);
    // Character classes of the "C" locale: bytes above 127 are neither.
    const bool classified = letter < 128 && (std::isalnum(letter) || std::ispunct(letter));
    const char* entry = classified ? std::strchr(optionString, letter) : nullptr;
    if (entry == nullptr) {
        ++optionIndex;
        result.value = argument;
        return OptionUnknown;
    }
    if (entry[1] != ':') {
        ++optionIndex;
        result.value = nullptr;
        return static_cast<int8_t>(letter);
    }
    if (argument[2] != '\0') {
        ++optionIndex;
        result.value = argument + 2;
        return static_cast<int8_t>(letter);
    }
    if (optionIndex + 1 < argc && !canBeOption(argv[optionIndex + 1], optionString)) {
        result.value = argv[optionIndex + 1];
        optionIndex += 2;
        return static_cast<int8_t>(letter);
    }
    ++optionIndex;
    result.value = nullptr;
    return static_cast<int8_t>(letter);
}

wxString argumentText(const char* argument)
{
    wxString text = wxString::FromUTF8(argument);
    if (text.empty() && argument[0] != '\0') {
        text = wxString(argument, wxConvISO8859_1);
    }
    return text;
}

namespace {

std::string quoted(const char* text)
{
    return std::string("'") + text + "'";
}

// A decimal value for -p or -t, converted as the C library does; what was
// not a clean number is noted.
int32_t numberOption(char letter, const char* value, CycleSettings& settings)
{
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(value, &end, 10);
    const std::string name = std::string("-") + letter;
    if (end == value) {
        settings.problems.push_back(name + ": " + quoted(value) + " is not a number");
    } else if (errno == ERANGE || v > INT32_MAX || v < INT32_MIN) {
        settings.problems.push_back(name + ": " + quoted(value) + " is out of range");
    } else if (*end != '\0') {
        settings.problems.push_back(name + ": " + quoted(value) + " is not a number; read as " +
                                    std::to_string(v));
    } else if (letter == 't' && v <= 0) {
        settings.problems.push_back("-t: the pause must be 1 ms or more, not " + std::to_string(v));
    }
    return decimalValue(value);
}

// The long options. Each returns false when the command line is to be
// rejected.
struct LongOption {
    const char* name;
    bool takesValue;
};

constexpr LongOption LongOptions[] = {
    {"help", false}, {"version", false}, {"quiet", false}, {"strict", false},
    {"format", true}, {"timestamps", true}, {"count", true},
};

// Reads the long option at the argument index, if that is one. Returns
// false when the argument is not a long option this tool knows (the letter
// scanner then has its say); `bad` is set when its value is wrong.
bool longOption(int argc, const char* const* argv, CycleSettings& settings, bool& bad)
{
    const char* argument = argv[optionIndex];
    if (std::strcmp(argument, "-h") == 0) {
        settings.help = true;
        ++optionIndex;
        return true;
    }
    if (std::strncmp(argument, "--", 2) != 0) {
        return false;
    }
    const char* body = argument + 2;
    const char* equals = std::strchr(body, '=');
    const std::string name = equals ? std::string(body, equals) : std::string(body);
    const LongOption* option = nullptr;
    for (const LongOption& candidate : LongOptions) {
        if (name == candidate.name) {
            option = &candidate;
        }
    }
    if (option == nullptr) {
        return false;
    }
    ++optionIndex;
    const char* value = equals ? equals + 1 : nullptr;
    if (option->takesValue && value == nullptr) {
        if (optionIndex < argc) {
            value = argv[optionIndex++];
        } else {
            settings.problems.push_back("--" + name + " needs a value");
            bad = true;
            return true;
        }
    } else if (!option->takesValue && value != nullptr) {
        settings.problems.push_back("--" + name + " takes no value");
        bad = true;
        return true;
    }
    const std::string v = value ? value : "";
    if (name == "help") {
        settings.help = true;
    } else if (name == "version") {
        settings.version = true;
    } else if (name == "quiet") {
        settings.quiet = true;
    } else if (name == "strict") {
        settings.strict = true;
    } else if (name == "format") {
        if (v == "text") {
            settings.format = ReportFormat::Text;
        } else if (v == "json") {
            settings.format = ReportFormat::Json;
        } else if (v == "csv") {
            settings.format = ReportFormat::Csv;
        } else {
            settings.problems.push_back("--format: " + quoted(value) +
                                        " is not one of text, json, csv");
            bad = true;
        }
    } else if (name == "timestamps") {
        if (v == "iso" || v == "local") {
            settings.isoTimestamps = v == "iso";
        } else {
            settings.problems.push_back("--timestamps: " + quoted(value) +
                                        " is not one of local, iso");
            bad = true;
        }
    } else if (name == "count") {
        char* end = nullptr;
        errno = 0;
        const unsigned long long n = std::strtoull(v.c_str(), &end, 10);
        if (v.empty() || *end != '\0' || v[0] == '-' || v[0] == '+' || errno == ERANGE ||
            n == 0 || n > UINT32_MAX) {
            settings.problems.push_back("--count: " + quoted(value) +
                                        " is not a number of passes from 1 to 4294967295");
            bad = true;
        } else {
            settings.count = static_cast<uint32_t>(n);
        }
    }
    return true;
}

}  // namespace

bool parseCommandLine(int argc, const char* const* argv, CycleSettings& settings)
{
    bool bad = false;
    for (;;) {
        if (optionIndex < argc && longOption(argc, argv, settings, bad)) {
            continue;
        }
        OptionResult result;
        const int8_t code = nextOption(argc, argv, "p:t:c:a:", result);
        if (result.value == nullptr && (code == 'c' || code == 'a' || code == 'p' || code == 't')) {
            settings.problems.push_back(std::string("-") + static_cast<char>(code) +
                                        " needs a value");
        }
        // An option whose value is missing counts as not given, so that
        // the start-up check rejects the incomplete command line.
        switch (code) {
        case 'c':
            settings.commandsFile = result.value ? argumentText(result.value) : wxString();
            settings.commandsPath = result.value ? result.value : "";
            break;
        case 'a':
            settings.addressesFile = result.value ? argumentText(result.value) : wxString();
            settings.addressesPath = result.value ? result.value : "";
            break;
        case 'p':
            settings.device.clear();
            if (result.value && std::strchr(result.value, '/') != nullptr) {
                settings.device = result.value;
                settings.port = -1;
            } else {
                settings.port = result.value ? numberOption('p', result.value, settings) : -1;
            }
            break;
        case 't':
            settings.pause = result.value ? numberOption('t', result.value, settings) : 0;
            break;
        case OptionPlainArgument:
            settings.problems.push_back(quoted(result.value) +
                                        " is not the value of an option; ignored");
            break;
        case OptionsEnd:
            return !bad;
        case OptionUnknown:
            settings.problems.push_back("unknown option " + quoted(result.value) +
                                        "; the arguments from there on are not read");
            return !bad;
        default:
            settings.problems.push_back(quoted(argv[optionIndex - 1]) + " is not an option");
            return false;
        }
    }
}

std::string helpText()
{
    return "Usage: varno_cycle -p PORT -t PAUSE -c COMMANDS-FILE -a ADDRESSES-FILE [OPTIONS]\n"
           "Polls the units of one Varno serial line and prints a line per exchange.\n"
           "\n"
           "  -p PORT            serial port: a number n for COMn (./COMn or /dev/ttyS<n-1>),\n"
           "                     a device path such as /dev/ttyUSB0, or a network line\n"
           "                     tcp://HOST:PORT or rfc2217://HOST:PORT\n"
           "  -t PAUSE           pause after every exchange, in milliseconds (1 or more)\n"
           "  -c COMMANDS-FILE   one command per line: status, measure,\n"
           "                     measure_accuracy_time, version\n"
           "  -a ADDRESSES-FILE  one unit address a.b.c per line (each number 0..255)\n"
           "  --format=FORMAT    report as text (the default), json (one object per line)\n"
           "                     or csv (with a header row)\n"
           "  --timestamps=iso   text lines begin with the date, time in milliseconds and\n"
           "                     UTC offset instead of HH:MM:SS\n"
           "  --count N          poll N passes of the command list, then exit: 0 when\n"
           "                     every exchange succeeded, 6 when one failed\n"
           "  --quiet            leave out the \"Initializing serial port\" line\n"
           "  --strict           refuse to start when an input file has a line that is\n"
           "                     skipped (exit 1 for addresses, 4 for commands)\n"
           "  -h, --help         show this text and exit\n"
           "  --version          show the version and exit\n"
           "\n"
           "Options may also begin with '/' (/p3 /t500). A key press, SIGINT, SIGTERM,\n"
           "SIGHUP or SIGQUIT stops the cycle. See varno_cycle(1).";
}

}  // namespace mirel_varno
