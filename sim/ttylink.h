#ifndef VARNO_SIM_TTYLINK_H
#define VARNO_SIM_TTYLINK_H

#include <string>

namespace varno_sim {

// The simulator's end of the line: the master of a new pseudo-terminal
// (whose slave the host opens, through a link in the working directory),
// or an existing terminal device given by path.
class TtyLink {
public:
    TtyLink() = default;
    ~TtyLink();
    TtyLink(const TtyLink&) = delete;
    TtyLink& operator=(const TtyLink&) = delete;

    // Creates a pseudo-terminal with its slave raw; when `linkName` is not
    // empty, makes a symbolic link of that name to the slave (replacing a
    // stale link, never a regular file). False with a message on failure.
    bool openPseudoTerminal(const std::string& linkName, std::string& error);

    // Opens a terminal device, raw, at the given baud rate.
    bool openDevice(const std::string& path, int baud, std::string& error);

    int fd() const { return fd_; }
    // The path the host opens: the slave's path, or the device.
    const std::string& devicePath() const { return devicePath_; }
    const std::string& linkName() const { return linkName_; }

    // Removes the link (also done by the destructor).
    void removeLink();

private:
    int fd_ = -1;
    int slaveKeeper_ = -1;
    std::string devicePath_;
    std::string linkName_;
};

}  // namespace varno_sim

#endif
