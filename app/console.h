#ifndef VARNO_APP_CONSOLE_H
#define VARNO_APP_CONSOLE_H

#include <termios.h>

#include <cstdint>

namespace mirel_varno {

// The console side of the poll tool: key presses on standard input, the
// stop signals (SIGINT, SIGTERM) and the pause between exchanges.
//
// A key press is any byte that arrives on standard input; end of file is
// not one. When standard input is the controlling terminal and the tool is
// in the foreground, the terminal is switched to non-canonical, no-echo
// mode for the life of the object and restored by its destructor. A stop
// signal is noticed at once: it cuts the current pause short.
class Console {
public:
    Console();
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // True when a key was waiting (it is consumed) or a stop was requested.
    bool keyPressed();
    // True once a stop signal has arrived or requestStop was called.
    bool stopRequested() const;
    // Ends the cycle at the next check, as a stop signal would.
    void requestStop();
    // Sleeps for the given time on the monotonic clock; returns early when
    // a stop is requested.
    void pause(int32_t milliseconds);

private:
    bool watchInput_ = false;
    bool terminalChanged_ = false;
    termios savedTerminal_{};
};

}  // namespace mirel_varno

#endif
