#ifndef VARNO_APP_CONSOLE_H
#define VARNO_APP_CONSOLE_H

#include <termios.h>

#include <cstdint>

namespace mirel_varno {

// The console side of the poll tool: key presses on standard input, the
// stop signals (SIGINT, SIGTERM, SIGHUP, SIGQUIT) and the pause between
// exchanges.
//
// A key press is any byte that arrives on standard input; end of file is
// not one. When standard input is a terminal, keys are read only while the
// tool is its foreground job, with the terminal in non-canonical, no-echo
// mode (switched again after the job returns to the foreground); the
// destructor restores the settings it found. A stop signal is noticed at
// once: it cuts the current pause short and makes stopDescriptor readable
// for good, so that a port given that descriptor ends its waits too.
// One Console at a time per process: the signals are the process's.
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
    // Readable from the first stop on (-1 if no pipe could be made).
    int stopDescriptor() const;
    // Sleeps for the given time on the monotonic clock; returns early when
    // a stop is requested.
    void pause(int32_t milliseconds);

private:
    // Switches the terminal to single, silent keys unless it already is.
    void keysWithoutEcho();

    bool terminalInput_ = false;
    bool watchInput_ = false;
    bool terminalChanged_ = false;
    termios savedTerminal_{};
};

}  // namespace mirel_varno

#endif
