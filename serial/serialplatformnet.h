#ifndef MIREL_VARNO_SERIAL_SERIALPLATFORMNET_H
#define MIREL_VARNO_SERIAL_SERIALPLATFORMNET_H

// Serial lines reached over TCP: a device server or ser2net passing bytes
// unchanged (tcp://HOST:PORT), or speaking Telnet with COM port control
// (rfc2217://HOST:PORT). Internal to the library.

#include <cstdint>
#include <memory>
#include <string>

#include "serial/serialplatform.h"

namespace mirel_varno {

// The inter-byte gap that a network line gets unless its name says
// otherwise. A device server sends a reply on in pieces: ser2net with its
// defaults holds what the line delivers for up to 20 ms (chardelay-max)
// before sending it on; on the loopback the pieces of a 21-byte reply at
// 9600 baud came up to 20.4 ms apart (bench/netlinebench.sh). A gap that
// ends a read between two pieces can also end the exchange (its limit is
// checked between reads), so the gap leaves room for a loaded machine or
// a real network; it costs time only when a reply really stops short.
constexpr uint32_t DefaultNetworkGapMs = 100;
// The largest gap a name may ask for.
constexpr uint32_t MaxNetworkGapMs = 10000;

struct NetworkName {
    enum class Kind : uint8_t { Raw, Telnet };
    Kind kind = Kind::Raw;
    std::string host;  // a name or address; an IPv6 address without brackets
    std::string port;  // decimal, 1 to 65535
    uint32_t gapMs = DefaultNetworkGapMs;
};

// The device name in a mode text "NAME: baud=9600 ...", or the whole text.
std::string deviceName(const char* modeText);

// Whether the name is one of a network line (holds "://").
bool isNetworkName(const std::string& name);

// Splits "tcp://HOST:PORT" or "rfc2217://HOST:PORT", with an optional
// "?gap=MS" (the widened inter-byte gap in milliseconds). HOST may be
// "[IPv6 address]". False with the reason in `error` when it is not such
// a name.
bool parseNetworkName(const std::string& name, NetworkName& out, std::string& error);

// Connects to the line within 3 s (and, for Telnet, waits for the server
// to agree to COM port control and to confirm the line's settings). Null,
// with the reason in `reason`, when the name does not parse, the host does
// not resolve in time, no address accepts the connection, the server
// refuses COM port control or hangs up at once (its words in the reason).
std::unique_ptr<SerialDevice> openNetworkDevice(const std::string& name, std::string& reason);

}  // namespace mirel_varno

#endif
