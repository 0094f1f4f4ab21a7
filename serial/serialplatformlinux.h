#ifndef MIREL_VARNO_SERIAL_SERIALPLATFORMLINUX_H
#define MIREL_VARNO_SERIAL_SERIALPLATFORMLINUX_H

// Pieces of the Linux serial layer that are worth testing on their own.

#include <termios.h>

#include <string>

#include "serial/serialplatform.h"

namespace mirel_varno {

// The path opened for a mode text such as "COM3: baud=9600 ...": the part
// before the settings. An entry of exactly that name in the current
// directory is used as it is (normally a link to a tty); otherwise COMn
// (any case, n from 1) stands for /dev/ttyS(n-1); any other name is a path.
std::string devicePath(const char* modeText);

// The termios speed constant for a rate in bits per second; false when
// termios has none.
bool speedFor(uint32_t baudRate, speed_t& speed);

// What one character takes on a line of these settings, in nanoseconds:
// start bit, data bits, parity bit and stop bits at the input speed; 0 when
// the speed has no rate.
int64_t byteTimeNs(const termios& tio);

// Line settings as termios shows them. DTR, abort-on-error and null
// discarding have no termios flags and are left as they are.
void lineSettingsFrom(const termios& tio, LineSettings& settings);

// Changes tio to carry the settings, leaving every other flag as it was.
// False, with tio unchanged, when the baud rate has no termios speed.
bool applyLineSettings(const LineSettings& settings, termios& tio);

// Asks the driver to pass received bytes on at once (ASYNC_LOW_LATENCY).
// False when the driver has no such mode (ENOTTY, EINVAL) or refuses it.
bool requestLowLatency(int fd);

}  // namespace mirel_varno

#endif
