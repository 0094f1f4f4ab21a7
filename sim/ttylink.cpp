#include "sim/ttylink.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace varno_sim {

namespace {

speed_t speedFor(int baud)
{
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
    }
}

std::string lastError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

}  // namespace

TtyLink::~TtyLink()
{
    removeLink();
    if (slaveKeeper_ >= 0) {
        close(slaveKeeper_);
    }
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool TtyLink::openPseudoTerminal(const std::string& linkName, std::string& error)
{
    termios raw{};
    cfmakeraw(&raw);
    cfsetispeed(&raw, B9600);
    cfsetospeed(&raw, B9600);
    char name[128] = {};
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, name, &raw, nullptr) != 0) {
        error = lastError("openpty");
        return false;
    }
    // The slave stays open here: otherwise the master would see a hang-up
    // each time the host closes the port, and lose what it wrote meanwhile.
    fd_ = master;
    slaveKeeper_ = slave;
    devicePath_ = name;
    fcntl(fd_, F_SETFD, FD_CLOEXEC);
    fcntl(slaveKeeper_, F_SETFD, FD_CLOEXEC);
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);

    if (!linkName.empty()) {
        struct stat st {};
        if (lstat(linkName.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                error = linkName + " exists and is not a link; not replacing it";
                return false;
            }
            unlink(linkName.c_str());
        }
        if (symlink(devicePath_.c_str(), linkName.c_str()) != 0) {
            error = lastError("cannot link " + linkName);
            return false;
        }
        linkName_ = linkName;
    }
    return true;
}

bool TtyLink::openDevice(const std::string& path, int baud, std::string& error)
{
    const speed_t speed = speedFor(baud);
    if (speed == B0) {
        error = "unsupported baud rate " + std::to_string(baud);
        return false;
    }
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        error = lastError("cannot open " + path);
        return false;
    }
    termios t{};
    if (tcgetattr(fd_, &t) != 0) {
        error = lastError(path + " is not a terminal");
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    if (tcsetattr(fd_, TCSANOW, &t) != 0) {
        error = lastError("cannot configure " + path);
        return false;
    }
    devicePath_ = path;
    return true;
}

void TtyLink::removeLink()
{
    if (linkName_.empty()) {
        return;
    }
    // Only our own link: another simulator may have taken the name since.
    char target[256] = {};
    const ssize_t n = readlink(linkName_.c_str(), target, sizeof target - 1);
    if (n > 0 && devicePath_ == std::string(target, static_cast<size_t>(n))) {
        unlink(linkName_.c_str());
    }
    linkName_.clear();
}

}  // namespace varno_sim
