#include "app/options.h"

#include <cctype>
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
    if (optionIndex + 1 < argc && !startsOption(argv[optionIndex + 1])) {
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

bool parseCommandLine(int argc, const char* const* argv, CycleSettings& settings)
{
    for (;;) {
        OptionResult result;
        const int8_t code = nextOption(argc, argv, "p:t:c:a:", result);
        // An option whose value is missing counts as not given, so that
        // the start-up check rejects the incomplete command line.
        switch (code) {
        case 'c':
            settings.commandsFile = result.value ? argumentText(result.value) : wxString();
            break;
        case 'a':
            settings.addressesFile = result.value ? argumentText(result.value) : wxString();
            break;
        case 'p':
            // A network line is named, not numbered: tcp://HOST:PORT.
            if (result.value && std::strstr(result.value, "://") != nullptr) {
                settings.device = result.value;
                settings.port = -1;
            } else {
                settings.device.clear();
                settings.port = result.value ? decimalValue(result.value) : -1;
            }
            break;
        case 't':
            settings.pause = result.value ? decimalValue(result.value) : 0;
            break;
        case OptionPlainArgument:
            break;
        case OptionsEnd:
        case OptionUnknown:
            return true;
        default:
            return false;
        }
    }
}

}  // namespace mirel_varno
