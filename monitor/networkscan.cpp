// Discovery of the units on the line.

#include "monitor/point.h"
#include "monitor/pointlist.h"
#include "protocol/serialportvarnoprotocol.h"
#include "base/clock.h"

namespace mirel_varno {

namespace {

// Long enough for the slowest address-derived reply delay of a unit.
constexpr uint32_t ScanWindowMs = 9216;

}  // namespace

void SerialPortVarnoProtocol::scanNetwork(PointList& points)
{
    wxCriticalSectionLocker hold(lock_);
    const FrameHeader header =
        makeHeader(BroadcastAddress, HostAddress, FunctionCode::Identify, DataType::None, 0);
    sendFrame(header, nullptr, 0);

    const uint32_t start = tickCount();
    uint32_t now;
    do {
        now = tickCount();
        try {
            receiveReply();
            points.add(new Point(replyHeader().source()));
        } catch (const Exception&) {
            // Silence, a collision or a garbled reply: listen on, unless
            // the user wants to stop (every receive would fail at once).
            if (stopRequested()) {
                break;
            }
        }
    } while (now - start <= ScanWindowMs);
}

}  // namespace mirel_varno
