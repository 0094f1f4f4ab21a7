#include "app/inputfiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cwctype>
#include <map>
#include <string>

#include <wx/log.h>

#include "app/printline.h"

namespace mirel_varno {

namespace {

// Opens a file named on the command line: by its UTF-8 form, and when
// that does not exist, by the bytes of a name given in another encoding.
int openByName(const wxString& fileName)
{
    const wxScopedCharBuffer utf8 = fileName.utf8_str();
    int fd = ::open(utf8.data(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        const wxScopedCharBuffer latin1 = fileName.mb_str(wxConvISO8859_1);
        if (latin1.length() > 0 && std::strcmp(latin1.data(), utf8.data()) != 0) {
            const int again = ::open(latin1.data(), O_RDONLY | O_CLOEXEC);
            if (again >= 0) {
                return again;
            }
            errno = ENOENT;
        }
    }
    return fd;
}

bool readWholeFile(const wxString& fileName, std::string& content)
{
    const int fd = openByName(fileName);
    if (fd < 0) {
        wxLogSysError("can't open file '%s'", fileName);
        return false;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            wxLogSysError("can't read file '%s'", fileName);
            ::close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        content.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

// White space as the trimming of command lines knows it: characters below
// 127 that the C library classes as space.
bool isTrimSpace(wxUniChar c)
{
    const wxUint32 v = c.GetValue();
    return v < 127 && (v == ' ' || (v >= '\t' && v <= '\r'));
}

bool isScanSpace(wxUniChar c)
{
    return std::iswspace(static_cast<wint_t>(c.GetValue())) != 0;
}

// One "%d" of the scan: optional white space, an optional sign, at least
// one digit. The number is kept modulo 2^32, of which the caller keeps the
// low 8 bits.
bool scanNumber(const wxString& line, size_t& pos, uint32_t& value)
{
    while (pos < line.length() && isScanSpace(line[pos])) {
        ++pos;
    }
    bool negative = false;
    if (pos < line.length() && (line[pos] == '+' || line[pos] == '-')) {
        negative = line[pos] == '-';
        ++pos;
    }
    const size_t digitsStart = pos;
    uint32_t v = 0;
    while (pos < line.length() && line[pos] >= '0' && line[pos] <= '9') {
        v = v * 10u + static_cast<uint32_t>(line[pos].GetValue() - '0');
        ++pos;
    }
    if (pos == digitsStart) {
        return false;
    }
    value = negative ? 0u - v : v;
    return true;
}

}  // namespace

bool readTextLines(const wxString& fileName, std::vector<wxString>& lines)
{
    std::string content;
    if (!readWholeFile(fileName, content)) {
        return false;
    }
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find_first_of("\r\n", start);
        size_t next;
        if (end == std::string::npos) {
            end = content.size();
            next = end;
        } else if (content[end] == '\r' && end + 1 < content.size() && content[end + 1] == '\n') {
            next = end + 2;
        } else {
            next = end + 1;
        }
        // An invalid line converts to nothing, as an empty line.
        lines.push_back(wxString::FromUTF8(content.data() + start, end - start));
        start = next;
    }
    return true;
}

bool parseAddressLine(const wxString& line, UnitAddress& address)
{
    size_t pos = 0;
    uint32_t a = 0;
    uint32_t b = 0;
    uint32_t c = 0;
    if (!scanNumber(line, pos, a) || pos >= line.length() || line[pos] != '.') {
        return false;
    }
    ++pos;
    if (!scanNumber(line, pos, b) || pos >= line.length() || line[pos] != '.') {
        return false;
    }
    ++pos;
    if (!scanNumber(line, pos, c)) {
        return false;
    }
    address = UnitAddress{static_cast<uint8_t>(a), static_cast<uint8_t>(b),
                          static_cast<uint8_t>(c)};
    return true;
}

bool readAddressFile(const wxString& fileName, std::vector<UnitAddress>& addresses)
{
    std::vector<wxString> lines;
    if (!readTextLines(fileName, lines)) {
        return false;
    }
    for (const wxString& line : lines) {
        UnitAddress address;
        if (!line.empty() && parseAddressLine(line, address)) {
            addresses.push_back(address);
        }
    }
    return true;
}

bool readCommandFile(const wxString& fileName, std::vector<int32_t>& commands)
{
    const std::map<wxString, int32_t> keywords = {
        {"measure", CommandMeasure},
        {"measure_accuracy_time", CommandMeasureAccuracyTime},
        {"status", CommandStatus},
        {"version", CommandVersion},
    };
    std::vector<wxString> lines;
    if (!readTextLines(fileName, lines)) {
        printLine("Can't open file " + fileName);
        return false;
    }
    for (const wxString& line : lines) {
        size_t end = line.length();
        while (end > 0 && isTrimSpace(line[end - 1])) {
            --end;
        }
        size_t begin = 0;
        while (begin < end && isTrimSpace(line[begin])) {
            ++begin;
        }
        const auto found = keywords.find(line.Mid(begin, end - begin).Lower());
        if (found != keywords.end()) {
            commands.push_back(found->second);
        }
    }
    return true;
}

}  // namespace mirel_varno
