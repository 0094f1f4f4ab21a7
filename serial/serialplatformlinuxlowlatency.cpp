// The kernel's own header <linux/serial.h> is kept out of the termios layer:
// kernel and C library headers define some of the same names.

#include <linux/serial.h>
#include <sys/ioctl.h>

#include "serial/serialplatformlinux.h"

namespace mirel_varno {

bool requestLowLatency(int fd)
{
    // USB adapters otherwise hold received bytes back for their latency
    // timer (16 ms on FTDI), longer than the 6 ms inter-byte gap.
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0) {
        return false;
    }
    if ((info.flags & ASYNC_LOW_LATENCY) != 0) {
        return true;
    }
    info.flags |= ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &info) == 0;
}

}  // namespace mirel_varno
