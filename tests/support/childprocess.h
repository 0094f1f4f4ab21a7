#ifndef VARNO_TESTS_CHILDPROCESS_H
#define VARNO_TESTS_CHILDPROCESS_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace varno_test {

// A child process started with posix_spawn in a directory of our choice,
// with its standard output on a pipe that we read line by line, and its
// standard input either a pipe that we write or a descriptor that we give.
// Every wait is bounded and sleeps in poll(); the destructor kills a child
// that is still running.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // stdinFd: -1 for a pipe (see writeStdin), otherwise a descriptor the
    // child gets as its standard input. Standard error stays ours unless
    // mergeStderr puts it on the output pipe too.
    bool start(const std::vector<std::string>& argv, const std::string& directory,
               int stdinFd = -1, bool mergeStderr = false);

    // Gives the next child this descriptor as its standard error (unless
    // start merges it into the output pipe).
    void redirectStderr(int fd) { stderrFd_ = fd; }

    // Starts the child as a session of its own whose controlling terminal,
    // opened as its standard input, is the given terminal: it is then the
    // terminal's foreground, as a program started from a shell is.
    bool startOnTerminal(const std::vector<std::string>& argv, const std::string& directory,
                         const std::string& terminalPath);

    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0 && !exited_; }

    // The next line of output, without its newline; false when none came
    // within the time or the output ended.
    bool readLine(std::string& line, int timeoutMs);
    // All output until it ends (the child exits) or the time runs out.
    std::string readRest(int timeoutMs);

    bool writeStdin(const std::string& bytes);
    void closeStdin();

    void signal(int sig);
    // Waits for the child to end; false when it is still running after the
    // time. exitCode() is its exit status, or 128 + signal.
    bool wait(int timeoutMs);
    int exitCode() const { return exitCode_; }

private:
    bool spawn(const std::vector<std::string>& argv, const std::string& directory, int stdinFd,
               bool mergeStderr, const std::string& terminalPath);
    bool fill(int timeoutMs);

    pid_t pid_ = -1;
    int pidFd_ = -1;
    int out_ = -1;
    int in_ = -1;
    int stderrFd_ = -1;
    bool exited_ = false;
    bool outputEnded_ = false;
    int exitCode_ = -1;
    std::string buffer_;
};

// Milliseconds on the monotonic clock.
int64_t monotonicMillis();

}  // namespace varno_test

#endif
