#ifndef VARNO_TESTS_LINESERVER_H
#define VARNO_TESTS_LINESERVER_H

// Device servers on the loopback for network-line tests: a listening
// socket on a free port, and a server thread that misbehaves in one of a
// few ways that real servers have been seen to.

#include <sched.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace varno_test {

// A listening socket on a free loopback port ("127.0.0.1" or "::1").
class LoopbackListener {
public:
    explicit LoopbackListener(const std::string& address, int backlog = 4);
    ~LoopbackListener() { close(); }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    bool ok() const { return fd_ >= 0; }
    int port() const { return port_; }
    int fd() const { return fd_; }
    void close();
    // The next connection, or -1 after the time.
    int accept(int ms) const;
    // Connects to itself until the kernel's queue is full and never accepts:
    // further connection attempts then go unanswered, as to a host that
    // drops packets. False when the queue would not fill.
    bool fillQueue();

private:
    int fd_ = -1;
    int port_ = 0;
    int fillers_[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
};

// Serves one connection after the other until destroyed.
class LineServer {
public:
    enum class Behaviour {
        // Raw: holds each connection, reading and discarding, until the
        // client goes.
        Silent,
        // Raw: holds each connection silent for 300 ms, then hangs up.
        HangUpSoon,
        // Raw: writes a device server's complaint and hangs up at once.
        ComplainAndHangUp,
        // Raw: holds the first connection silent for 800 ms and hangs up;
        // complains and hangs up on every later one.
        WorkThenComplain,
        // Telnet: offers its options, complains and hangs up, as ser2net
        // does when it cannot open its port.
        TelnetComplainAndHangUp,
        // Telnet: agrees to COM port control and confirms every setting
        // except SET-CONTROL, as ser2net does; then stays silent.
        TelnetNoControlAnswers,
        // Telnet: a settled session, then IAC NOP for ever.
        TelnetNopFlood,
        // Telnet: a settled session, then IAC SB and data for ever.
        TelnetEndlessSubnegotiation,
        // Telnet: agrees, then IAC SB and data for ever, before settling.
        TelnetEndlessSubnegotiationAtOpen,
        // Raw: a unit on a 9600 baud line behind the server, answering
        // each request as answerWith() last said, a TCP segment a byte.
        PacedUnit,
        // Telnet: the same behind a settled session; 0xFF goes doubled.
        TelnetPacedUnit,
    };

    static constexpr int64_t ByteNs = 1'041'667;  // ten bits at 9600 baud

    // What a paced unit sends for each request.
    struct Answer {
        std::vector<uint8_t> bytes;     // each at its time on the line
        int64_t spacingNs = ByteNs;     // from one byte to the next: slower than the line if longer
        size_t requestBytes = 1;        // data bytes that make one request
        int64_t lateUs = 30000;         // from the request to the first byte
        size_t pauseBefore = SIZE_MAX;  // this byte comes late by
        int64_t pauseUs = 0;            //   this much more than its own time
        bool nopsInPause = false;       // Telnet: IAC NOP a byte time apart in the pause
        bool hangUp = false;            // hang up once the bytes are out
        // Small segments wait for the last one's acknowledgement (Nagle), as
        // from a server without TCP_NODELAY; taken at the connection.
        bool holdForAcks = false;
    };
    explicit LineServer(Behaviour behaviour);
    ~LineServer();
    LineServer(const LineServer&) = delete;
    LineServer& operator=(const LineServer&) = delete;

    bool ok() const { return listener_.ok(); }
    int port() const { return listener_.port(); }
    // Connections accepted so far.
    int connections() const { return connections_; }
    // For the requests from now on.
    void answerWith(const Answer& answer);

    static constexpr const char* Complaint = "Device open failure: No such file or directory\r\n";

private:
    void run();
    void serve(int fd, int index);
    bool telnetOpening(int fd, bool answerControl);
    bool sendAll(int fd, const void* data, size_t size);
    // Reads and drops what the client sends for `ms` (-1: until it goes);
    // false when it went or the server is stopping.
    bool drain(int fd, int ms);
    void servePaced(int fd, bool telnet);
    bool sendPaced(int fd, const Answer& answer, bool telnet);

    Behaviour behaviour_;
    LoopbackListener listener_;
    int stop_[2] = {-1, -1};
    std::atomic<int> connections_{0};
    std::mutex answerLock_;
    Answer answer_;
    std::thread thread_;
};

// While it lives, the calling thread runs before ordinary ones where the
// system lets it: a busy machine then makes no pause on a paced line that a
// test did not ask for, nor hides one it did behind a late reader.
class RunFirst {
public:
    RunFirst();
    ~RunFirst();
    RunFirst(const RunFirst&) = delete;
    RunFirst& operator=(const RunFirst&) = delete;

private:
    int policy_;
    sched_param param_;
};

}  // namespace varno_test

#endif
