#include "app/inputfiles.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <map>

namespace mirel_varno {

namespace {

using Clock = std::chrono::steady_clock;

// Closes the descriptor on every way out.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

std::string systemReason(int error)
{
    return std::strerror(error);
}

const char* kindOf(mode_t mode)
{
    if (S_ISDIR(mode)) {
        return "a directory";
    }
    if (S_ISCHR(mode)) {
        return "a device (a terminal, a serial line or a data source that never ends)";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "not a regular file";
}

// Splits the bytes as they come into lines and hands each one on, so that
// nothing but the line being read is held.
class LineSplitter {
public:
    explicit LineSplitter(const std::function<void(size_t, const std::string&)>& onLine)
        : onLine_(onLine)
    {
    }

    void add(const char* data, size_t size)
    {
        for (size_t i = 0; i < size; ++i) {
            const char c = data[i];
            if (afterCr_) {
                afterCr_ = false;
                if (c == '\n') {
                    continue;  // the second half of CR LF
                }
            }
            if (c == '\n' || c == '\r') {
                afterCr_ = c == '\r';
                emit();
            } else {
                line_.push_back(c);
                started_ = true;
            }
        }
    }

    void finish()
    {
        if (started_) {
            emit();
        }
    }

private:
    void emit()
    {
        ++number_;
        if (number_ == 1 && line_.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            line_.erase(0, 3);  // a byte-order mark says UTF-8, nothing more
        }
        onLine_(number_, line_);
        line_.clear();
        started_ = false;
    }

    const std::function<void(size_t, const std::string&)>& onLine_;
    std::string line_;
    size_t number_ = 0;
    bool afterCr_ = false;
    bool started_ = false;
};

// Reads the file up to its end, at most InputFileLimit bytes. A FIFO is read only when poll() says
// so, and must deliver up to its end in time: it fails rather than waiting
// for a writer that does not come or does not finish.
bool readAll(int fd, bool fifo, LineSplitter& splitter, std::string& failure)
{
    size_t total = 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(FifoDeliveryMs);
    char buffer[65536];
    for (;;) {
        if (fifo) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                failure = "a FIFO that did not deliver its data up to its end within " +
                          std::to_string(FifoDeliveryMs) + " ms (is anybody writing it?)";
                return false;
            }
            pollfd p{fd, POLLIN, 0};
            const int r = ::poll(&p, 1, static_cast<int>(left));
            if (r < 0 && errno != EINTR) {
                failure = systemReason(errno);
                return false;
            }
            if (r <= 0) {
                continue;
            }
            // Before a writer has come, a read says end of file as well; only
            // data or a writer that has gone (POLLHUP) are worth reading.
        }
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            failure = systemReason(errno);
            return false;
        }
        if (n == 0) {
            return true;
        }
        total += static_cast<size_t>(n);
        if (total > InputFileLimit) {
            failure = "it is larger than " + std::to_string(InputFileLimit) +
                      " bytes, the most an input file may hold";
            return false;
        }
        splitter.add(buffer, static_cast<size_t>(n));
    }
}

// White space as the trimming of command lines knows it: characters below
// 127 that the C library classes as space.
bool isTrimSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool isTrimSpace(wxUniChar c)
{
    return c.GetValue() < 127 && isTrimSpace(static_cast<char>(c.GetValue()));
}

bool isScanSpace(wxUniChar c)
{
    return std::iswspace(static_cast<wint_t>(c.GetValue())) != 0;
}

// Blank or a comment: skipped without a word.
bool isQuietLine(const std::string& line)
{
    size_t i = 0;
    while (i < line.size() && isTrimSpace(line[i])) {
        ++i;
    }
    return i == line.size() || line[i] == '#';
}

// One "%d" of the scan: optional white space, an optional sign, at least
// one digit. The value is held at +-1000 once it passes that, which is
// enough to tell that it is out of range.
bool scanNumber(const wxString& line, size_t& pos, int32_t& value)
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
    int32_t v = 0;
    while (pos < line.length() && line[pos] >= '0' && line[pos] <= '9') {
        v = std::min(v * 10 + static_cast<int32_t>(line[pos].GetValue() - '0'), 1000);
        ++pos;
    }
    if (pos == digitsStart) {
        return false;
    }
    value = negative ? -v : v;
    return true;
}

wxString decoded(const std::string& bytes, bool& valid)
{
    wxString text = wxString::FromUTF8(bytes.data(), bytes.size());
    valid = !(text.empty() && !bytes.empty());
    return text;
}

}  // namespace

void InputFileReport::skip(size_t number, const std::string& bytes, const std::string& reason)
{
    ++skippedCount;
    if (skipped.size() < MaxKept) {
        skipped.push_back(SkippedLine{number, bytes, reason});
    }
}

bool readFileLines(const std::string& path,
                   const std::function<void(size_t number, const std::string& line)>& onLine,
                   std::string& failure)
{
    // Not blocking in open: a FIFO would wait there for a writer.
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) {
        failure = systemReason(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        failure = systemReason(errno);
        return false;
    }
    const bool fifo = S_ISFIFO(info.st_mode);
    if (!S_ISREG(info.st_mode) && !fifo) {
        failure = std::string("it is ") + kindOf(info.st_mode) +
                  "; only a regular file or a FIFO is read";
        return false;
    }
    LineSplitter splitter(onLine);
    if (!readAll(fd.get(), fifo, splitter, failure)) {
        return false;
    }
    splitter.finish();
    return true;
}

std::string parseAddressLine(const wxString& line, UnitAddress& address)
{
    const char* const form = "not an address of the form a.b.c";
    size_t pos = 0;
    int32_t parts[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        if (!scanNumber(line, pos, parts[i])) {
            return form;
        }
        if (i < 2) {
            if (pos >= line.length() || line[pos] != '.') {
                return form;
            }
            ++pos;
        }
    }
    for (int32_t part : parts) {
        if (part < 0 || part > 255) {
            return "a number outside 0..255";
        }
    }
    address = UnitAddress{static_cast<uint8_t>(parts[0]), static_cast<uint8_t>(parts[1]),
                          static_cast<uint8_t>(parts[2])};
    return std::string();
}

namespace {

// Hands every line that is neither blank nor a comment, decoded from UTF-8,
// to `take`, which returns why it skips the line (empty when it takes it).
template <typename Take>
bool readTextLines(const std::string& path, InputFileReport& report, Take take)
{
    return readFileLines(
        path,
        [&](size_t number, const std::string& bytes) {
            if (isQuietLine(bytes)) {
                return;
            }
            bool valid = true;
            const wxString line = decoded(bytes, valid);
            const std::string why = valid ? take(line) : std::string("not UTF-8 text");
            if (!why.empty()) {
                report.skip(number, bytes, why);
            }
        },
        report.failure);
}

}  // namespace

bool readAddressFile(const std::string& path, std::vector<UnitAddress>& addresses,
                     InputFileReport& report)
{
    std::vector<UnitAddress> read;
    const bool ok = readTextLines(path, report, [&](const wxString& line) {
        UnitAddress address;
        const std::string why = parseAddressLine(line, address);
        if (why.empty()) {
            read.push_back(address);
        }
        return why;
    });
    if (ok) {
        addresses.insert(addresses.end(), read.begin(), read.end());
    }
    return ok;
}

bool readCommandFile(const std::string& path, std::vector<int32_t>& commands,
                     InputFileReport& report)
{
    const std::map<wxString, int32_t> keywords = {
        {"measure", CommandMeasure},
        {"measure_accuracy_time", CommandMeasureAccuracyTime},
        {"status", CommandStatus},
        {"version", CommandVersion},
    };
    std::vector<int32_t> read;
    const bool ok = readTextLines(path, report, [&](const wxString& line) {
        size_t end = line.length();
        while (end > 0 && isTrimSpace(line[end - 1])) {
            --end;
        }
        size_t begin = 0;
        while (begin < end && isTrimSpace(line[begin])) {
            ++begin;
        }
        const auto found = keywords.find(line.Mid(begin, end - begin).Lower());
        if (found == keywords.end()) {
            return std::string("not a command (status, measure, measure_accuracy_time, version)");
        }
        read.push_back(found->second);
        return std::string();
    });
    if (ok) {
        commands.insert(commands.end(), read.begin(), read.end());
    }
    return ok;
}

std::string quotedBytes(const std::string& bytes)
{
    std::string out = "\"";
    size_t i = 0;
    while (i < bytes.size()) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        // Keep a whole valid UTF-8 sequence; escape anything else that
        // would not print as itself.
        const size_t length = c < 0x80          ? 1
                              : (c >> 5) == 0x6   ? 2
                              : (c >> 4) == 0xE   ? 3
                              : (c >> 3) == 0x1E  ? 4
                                                  : 0;
        if (length > 1 && i + length <= bytes.size() &&
            !wxString::FromUTF8(bytes.data() + i, length).empty()) {
            out.append(bytes, i, length);
            i += length;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
        ++i;
    }
    return out + "\"";
}

}  // namespace mirel_varno
