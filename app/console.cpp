#include "app/console.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <iterator>

#include "base/clock.h"

namespace mirel_varno {

namespace {

// The self-pipe that wakes a pause when a stop signal arrives.
int wakeRead = -1;
int wakeWrite = -1;
volatile std::sig_atomic_t stopFlag = 0;

// The signals that end the run the way SIGTERM does: a hung-up terminal
// and the quit key end it cleanly too, with the terminal restored and the
// port released, instead of killing the process where it stands.
constexpr int StopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction previousStop[std::size(StopSignals)];
struct sigaction previousPipe;

void wake()
{
    if (wakeWrite >= 0) {
        const char byte = 1;
        // A full pipe already holds a wake-up; nothing is lost.
        [[maybe_unused]] ssize_t n = ::write(wakeWrite, &byte, 1);
    }
}

extern "C" void onStopSignal(int)
{
    const int saved = errno;
    stopFlag = 1;
    wake();
    errno = saved;
}

void installHandler(int signalNumber, struct sigaction& previous)
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a write that blocks on a report line nobody reads
    // must fail, so that the cycle stops instead of waiting for ever.
    action.sa_flags = 0;
    sigaction(signalNumber, &action, &previous);
}

bool isForegroundTerminal(int fd)
{
    if (!isatty(fd)) {
        return false;
    }
    const pid_t group = tcgetpgrp(fd);
    return group != -1 && group == getpgrp();
}

}  // namespace

Console::Console()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeRead = fds[0];
        wakeWrite = fds[1];
    }
    stopFlag = 0;
    for (size_t i = 0; i < std::size(StopSignals); ++i) {
        installHandler(StopSignals[i], previousStop[i]);
    }
    // A closed output pipe shows as a failed write, which stops the cycle
    // cleanly, instead of killing the process with the terminal changed.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previousPipe);

    if (isatty(STDIN_FILENO)) {
        terminalInput_ = tcgetattr(STDIN_FILENO, &savedTerminal_) == 0;
        watchInput_ = terminalInput_;
        if (terminalInput_ && isForegroundTerminal(STDIN_FILENO)) {
            keysWithoutEcho();
        }
    } else {
        watchInput_ = fcntl(STDIN_FILENO, F_GETFL) != -1;
    }
}

void Console::keysWithoutEcho()
{
    termios now{};
    if (tcgetattr(STDIN_FILENO, &now) != 0 || (now.c_lflag & (ICANON | ECHO)) == 0) {
        return;
    }
    termios raw = savedTerminal_;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
        terminalChanged_ = true;
    }
}

Console::~Console()
{
    if (terminalChanged_) {
        // Moved to the background meanwhile (Ctrl-Z, bg), the restore would
        // raise SIGTTOU and stop the process instead of letting it end.
        sigset_t ttou;
        sigset_t previousMask;
        sigemptyset(&ttou);
        sigaddset(&ttou, SIGTTOU);
        sigprocmask(SIG_BLOCK, &ttou, &previousMask);
        tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal_);
        sigprocmask(SIG_SETMASK, &previousMask, nullptr);
    }
    for (size_t i = 0; i < std::size(StopSignals); ++i) {
        sigaction(StopSignals[i], &previousStop[i], nullptr);
    }
    sigaction(SIGPIPE, &previousPipe, nullptr);
    if (wakeRead >= 0) {
        ::close(wakeRead);
        ::close(wakeWrite);
        wakeRead = wakeWrite = -1;
    }
}

bool Console::stopRequested() const
{
    return stopFlag != 0;
}

void Console::requestStop()
{
    stopFlag = 1;
    wake();
}

int Console::stopDescriptor() const
{
    return wakeRead;
}

bool Console::keyPressed()
{
    if (stopFlag) {
        return true;
    }
    if (!watchInput_) {
        return false;
    }
    if (terminalInput_) {
        // A background job leaves the keyboard to the shell: reading it
        // would stop the process. Back in the foreground (after Ctrl-Z and
        // fg the shell has put its own settings back), keys are single and
        // silent again.
        if (!isForegroundTerminal(STDIN_FILENO)) {
            return false;
        }
        keysWithoutEcho();
    }
    pollfd p{STDIN_FILENO, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    if (r <= 0) {
        return false;
    }
    if (p.revents & POLLIN) {
        // One key may arrive as several bytes (an arrow key, a pasted word):
        // take what is waiting at once.
        char keys[64];
        ssize_t n;
        do {
            n = ::read(STDIN_FILENO, keys, sizeof keys);
        } while (n < 0 && errno == EINTR);
        if (n > 0) {
            return true;
        }
        if (n < 0 && errno == EAGAIN) {
            return false;
        }
        // End of file (or a terminal that went away) is not a key press,
        // and there will be no more keys.
        watchInput_ = false;
        return false;
    }
    // Hang-up or error without data: nothing more will come.
    watchInput_ = false;
    return false;
}

void Console::pause(int32_t milliseconds)
{
    if (milliseconds <= 0) {
        return;
    }
    const uint64_t deadline = monotonicMs() + static_cast<uint64_t>(milliseconds);
    while (!stopFlag) {
        const uint64_t now = monotonicMs();
        if (now >= deadline) {
            return;
        }
        const uint64_t left = deadline - now;
        // The pipe is never drained: once a stop has come it stays
        // readable, and every later wait, here or in the port, ends at once.
        pollfd p{wakeRead, POLLIN, 0};
        ::poll(&p, wakeRead >= 0 ? 1 : 0, static_cast<int>(left));
    }
}

}  // namespace mirel_varno
