#include "app/printline.h"

#include <cerrno>
#include <cstdio>

namespace mirel_varno {

namespace {

int lastError = 0;
bool messagesToStandardError = false;

bool writeLine(const char* data, size_t length, FILE* stream)
{
    errno = 0;
    bool ok = std::fwrite(data, 1, length, stream) == length;
    ok = std::fputc('\n', stream) != EOF && ok;
    ok = std::fflush(stream) == 0 && ok;
    if (!ok) {
        lastError = errno != 0 ? errno : EIO;
        std::clearerr(stream);
    }
    return ok;
}

}  // namespace

bool printLine(const wxString& text)
{
    const wxScopedCharBuffer utf8 = text.utf8_str();
    return writeLine(utf8.data(), utf8.length(), stdout);
}

bool printBytesLine(const std::string& bytes)
{
    return writeLine(bytes.data(), bytes.size(), stdout);
}

int outputError()
{
    return lastError;
}

void setMessagesToStandardError(bool toStandardError)
{
    messagesToStandardError = toStandardError;
}

bool printMessage(const wxString& text)
{
    const wxScopedCharBuffer utf8 = text.utf8_str();
    return writeLine(utf8.data(), utf8.length(), messagesToStandardError ? stderr : stdout);
}

bool printMessageBytes(const std::string& bytes)
{
    return writeLine(bytes.data(), bytes.size(), messagesToStandardError ? stderr : stdout);
}

void printError(const std::string& text)
{
    std::fprintf(stderr, "varno_cycle: %s\n", text.c_str());
    std::fflush(stderr);
}

}  // namespace mirel_varno
