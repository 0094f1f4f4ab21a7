#ifndef VARNO_TESTS_PROTOCOL_UNITRESPONDER_H
#define VARNO_TESTS_PROTOCOL_UNITRESPONDER_H

#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "protocol/frame.h"
#include "support/pseudoterminal.h"

namespace varno_test {

// One request frame as the unit received it.
struct Request {
    mirel_varno::FrameHeader header;
    std::vector<uint8_t> data;  // data bytes and their checksum; empty for length 0
    std::vector<uint8_t> wire;  // every byte of the frame, in order

    uint8_t variable() const { return data.empty() ? 0 : data[0]; }
};

// A unit played on the master side of a pseudo-terminal by a thread of its
// own: it cuts the incoming bytes into request frames, records them and
// writes whatever bytes the handler returns for each (nothing: silence).
// Bytes written by the test through the terminal itself go out unasked.
class UnitResponder {
public:
    using Handler = std::function<std::vector<uint8_t>(const Request&)>;

    explicit UnitResponder(PseudoTerminal& terminal, Handler handler = {});
    ~UnitResponder();
    UnitResponder(const UnitResponder&) = delete;
    UnitResponder& operator=(const UnitResponder&) = delete;

    void setHandler(Handler handler);
    // Answers the requests in turn with these byte strings; silence after.
    void script(std::vector<std::vector<uint8_t>> answers);

    std::vector<Request> requests() const;
    void clearRequests();

private:
    void run();
    void serve(const Request& request);

    PseudoTerminal& terminal_;
    int wake_[2] = {-1, -1};
    mutable std::mutex mutex_;
    Handler handler_;
    std::vector<Request> requests_;
    std::thread thread_;
};

// A frame to the host from `source`, with its data block when `data` is
// not empty; both checksums correct.
std::vector<uint8_t> replyFrame(mirel_varno::UnitAddress source, mirel_varno::FunctionCode function,
                                uint8_t dataType, const std::vector<uint8_t>& data);
// A reply to a read: the variable number, then the value bytes.
std::vector<uint8_t> valueReply(mirel_varno::UnitAddress source, uint8_t dataType,
                                uint8_t variable, const std::vector<uint8_t>& value);
// An error reply carrying `code` in its second data byte.
std::vector<uint8_t> errorReply(mirel_varno::UnitAddress source, uint8_t code);

}  // namespace varno_test

#endif
