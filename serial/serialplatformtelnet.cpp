#include "serial/serialplatformtelnet.h"

namespace mirel_varno {

using namespace telnet;

namespace {

constexpr uint8_t CR = 0x0D;
constexpr uint8_t NUL = 0x00;

// What we do on our side, and what we let the server do on its side.
// Echo is refused: a server echoing the requests would hand them back
// to the protocol as replies.
bool acceptLocal(uint8_t option)
{
    return option == Binary || option == SuppressGoAhead || option == ComPort;
}

bool acceptRemote(uint8_t option)
{
    return option == Binary || option == SuppressGoAhead;
}

void command(std::vector<uint8_t>& out, uint8_t verb, uint8_t option)
{
    out.insert(out.end(), {IAC, verb, option});
}

void subnegotiation(std::vector<uint8_t>& out, uint8_t code, const uint8_t* value, size_t length)
{
    out.insert(out.end(), {IAC, SB, ComPort, code});
    for (size_t i = 0; i < length; ++i) {
        out.push_back(value[i]);
        if (value[i] == IAC) {
            out.push_back(IAC);
        }
    }
    out.insert(out.end(), {IAC, SE});
}

uint8_t parityCode(LineParity parity)
{
    switch (parity) {
    case LineParity::Odd: return ParityOdd;
    case LineParity::Even: return ParityEven;
    case LineParity::Mark: return ParityMark;
    case LineParity::Space: return ParitySpace;
    case LineParity::None: break;
    }
    return ParityNone;
}

uint8_t stopSizeCode(LineStopBits stopBits)
{
    switch (stopBits) {
    case LineStopBits::Two: return StopTwo;
    case LineStopBits::OneAndHalf: return StopOneAndHalf;
    case LineStopBits::One: break;
    }
    return StopOne;
}

}  // namespace

void TelnetSession::comPortCommand(uint8_t code, const uint8_t* value, size_t length,
                                   std::vector<uint8_t>& out)
{
    subnegotiation(out, code, value, length);
    if (awaiting_[code] < UINT8_MAX) {
        ++awaiting_[code];
    }
}

void TelnetSession::purgeReceived(std::vector<uint8_t>& out)
{
    if (comPort() == OptionState::Yes) {
        const uint8_t what = PurgeReceived;
        comPortCommand(PurgeData, &what, 1, out);
    }
}

bool TelnetSession::comPortSettled() const
{
    for (const uint8_t code : {SetBaudRate, SetDataSize, SetParity, SetStopSize, PurgeData}) {
        if (awaiting_[code] != 0) {
            return false;
        }
    }
    return true;
}

void TelnetSession::ask(uint8_t verb, uint8_t option, std::vector<uint8_t>& out)
{
    OptionState& state = verb == WILL ? local_[option] : remote_[option];
    if (state == OptionState::No) {
        state = OptionState::WantYes;
        command(out, verb, option);
    }
}

void TelnetSession::start(std::vector<uint8_t>& out)
{
    ask(WILL, Binary, out);
    ask(DO, Binary, out);
    ask(WILL, SuppressGoAhead, out);
    ask(DO, SuppressGoAhead, out);
    ask(WILL, ComPort, out);
}

size_t TelnetSession::receive(const uint8_t* bytes, size_t length, uint8_t* data,
                              std::vector<uint8_t>& out)
{
    size_t count = 0;
    for (size_t i = 0; i < length; ++i) {
        const uint8_t b = bytes[i];
        switch (step_) {
        case Step::Cr:
            // Outside binary mode a lone CR travels as CR NUL.
            step_ = Step::Data;
            if (b == NUL) {
                break;
            }
            [[fallthrough]];
        case Step::Data:
            if (b == IAC) {
                step_ = Step::Iac;
            } else {
                data[count++] = b;
                if (b == CR && remote_[Binary] != OptionState::Yes) {
                    step_ = Step::Cr;
                }
            }
            break;
        case Step::Iac:
            switch (b) {
            case IAC:
                data[count++] = IAC;
                step_ = Step::Data;
                break;
            case WILL:
            case WONT:
            case DO:
            case DONT:
                verb_ = b;
                step_ = Step::Option;
                break;
            case SB:
                subLength_ = 0;
                subRun_ = 0;
                step_ = Step::Sub;
                break;
            default:
                // NOP, go-ahead, data mark and the like carry nothing here.
                step_ = Step::Data;
                break;
            }
            break;
        case Step::Option:
            onOption(verb_, b, out);
            step_ = Step::Data;
            break;
        case Step::Sub:
            if (++subRun_ > MaxSubRun) {
                broken_ = true;
            }
            if (b == IAC) {
                step_ = Step::SubIac;
            } else if (subLength_ < MaxSub) {
                sub_[subLength_++] = b;
            }
            break;
        case Step::SubIac:
            if (b == IAC) {
                if (subLength_ < MaxSub) {
                    sub_[subLength_++] = IAC;
                }
                step_ = Step::Sub;
            } else {
                // SE ends it; anything else is a broken one, dropped whole.
                if (b == SE) {
                    onSubnegotiation();
                }
                step_ = Step::Data;
            }
            break;
        }
    }
    return count;
}

void TelnetSession::onOption(uint8_t verb, uint8_t option, std::vector<uint8_t>& out)
{
    const bool mine = verb == DO || verb == DONT;
    const bool enable = verb == WILL || verb == DO;
    OptionState& state = mine ? local_[option] : remote_[option];
    // Answers only change a state; a request is acknowledged once, so that
    // two sides never loop on the same option.
    switch (state) {
    case OptionState::No:
        if (enable) {
            if (mine ? acceptLocal(option) : acceptRemote(option)) {
                state = OptionState::Yes;
                command(out, mine ? WILL : DO, option);
            } else {
                command(out, mine ? WONT : DONT, option);
            }
        }
        break;
    case OptionState::Yes:
        if (!enable) {
            state = OptionState::No;
            command(out, mine ? WONT : DONT, option);
        }
        break;
    case OptionState::WantYes:
        state = enable ? OptionState::Yes : OptionState::No;
        break;
    case OptionState::WantNo:
        state = OptionState::No;
        break;
    }
}

void TelnetSession::onSubnegotiation()
{
    if (subLength_ < 3 || sub_[0] != ComPort) {
        return;
    }
    const uint8_t* value = sub_ + 2;
    if (sub_[1] >= ServerOffset && static_cast<size_t>(sub_[1] - ServerOffset) < ServerOffsetLimit) {
        uint8_t& awaiting = awaiting_[sub_[1] - ServerOffset];
        awaiting = awaiting > 0 ? awaiting - 1 : 0;
    }
    switch (sub_[1]) {
    case ServerOffset + SetBaudRate:
        if (subLength_ >= 6) {
            farPort_.baudRate = uint32_t{value[0]} << 24 | uint32_t{value[1]} << 16 |
                                uint32_t{value[2]} << 8 | value[3];
        }
        break;
    case ServerOffset + SetDataSize: farPort_.dataSize = value[0]; break;
    case ServerOffset + SetParity: farPort_.parity = value[0]; break;
    case ServerOffset + SetStopSize: farPort_.stopSize = value[0]; break;
    case ServerOffset + SetControl:
        if (value[0] >= FlowNoneOut && value[0] <= FlowHardwareOut) {
            farPort_.flowOut = value[0];
        } else if (value[0] == DtrOn || value[0] == DtrOff) {
            farPort_.dtr = value[0];
        }
        break;
    default:
        break;  // signature, line and modem state notices: nothing to keep
    }
}

void TelnetSession::encode(const uint8_t* bytes, size_t length, std::vector<uint8_t>& out) const
{
    const bool binary = local_[Binary] == OptionState::Yes;
    for (size_t i = 0; i < length; ++i) {
        out.push_back(bytes[i]);
        if (bytes[i] == IAC) {
            out.push_back(IAC);
        } else if (bytes[i] == CR && !binary) {
            out.push_back(NUL);
        }
    }
}

void TelnetSession::comPortSettings(const LineSettings& line, bool all, std::vector<uint8_t>& out)
{
    if (comPort() != OptionState::Yes) {
        return;
    }
    FarPortSettings want;
    want.baudRate = line.baudRate;
    want.dataSize = line.byteSize;
    want.parity = parityCode(line.parity);
    want.stopSize = stopSizeCode(line.stopBits);
    want.flowOut = line.ctsOutputFlow ? FlowHardwareOut
                   : line.xonXoffOutput ? FlowXonXoffOut
                                        : FlowNoneOut;
    want.dtr = line.dtr == DtrControl::Disabled ? DtrOff : DtrOn;

    const bool every = all || !anySent_;
    if (every || want.baudRate != sent_.baudRate) {
        const uint8_t rate[4] = {static_cast<uint8_t>(want.baudRate >> 24),
                                 static_cast<uint8_t>(want.baudRate >> 16),
                                 static_cast<uint8_t>(want.baudRate >> 8),
                                 static_cast<uint8_t>(want.baudRate)};
        comPortCommand(SetBaudRate, rate, sizeof rate, out);
    }
    // Data size before parity: some ports refuse even parity on 8 bits.
    const struct {
        uint8_t code;
        uint8_t value;
        uint8_t sent;
    } fields[] = {
        {SetDataSize, want.dataSize, sent_.dataSize},
        {SetParity, want.parity, sent_.parity},
        {SetStopSize, want.stopSize, sent_.stopSize},
        {SetControl, want.flowOut, sent_.flowOut},
        {SetControl, want.dtr, sent_.dtr},
    };
    for (const auto& f : fields) {
        if (every || f.value != f.sent) {
            comPortCommand(f.code, &f.value, 1, out);
        }
    }
    sent_ = want;
    anySent_ = true;
}

}  // namespace mirel_varno
