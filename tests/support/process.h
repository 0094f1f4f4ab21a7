#ifndef VARNO_TESTS_PROCESS_H
#define VARNO_TESTS_PROCESS_H

#include <string>
#include <sys/types.h>
#include <vector>

namespace varno_test {

struct ProcessResult {
    int exitCode = -1;     // the exit status, or 128 + signal number
    bool timedOut = false;  // killed after the time limit
    std::string out;        // standard output
    std::string err;        // standard error
};

// Runs a program to its end in `directory` (empty: the current one) with
// standard input from /dev/null, collecting its output. Killed with SIGKILL
// after timeoutMs.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& directory,
                         int timeoutMs);

// A child process whose standard input is a pipe held by the test and
// whose standard output and error are read as they come.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& directory);
    ~ChildProcess();  // kills a child that still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Writes to the child's standard input.
    void sendInput(const std::string& bytes);
    void closeInput();
    // Reads output until it holds `lines` complete lines or timeoutMs
    // passes; returns everything read so far.
    const std::string& waitForLines(size_t lines, int timeoutMs);
    // Waits for the child to end; -1 when it did not within timeoutMs.
    int wait(int timeoutMs);
    const std::string& output() const { return out_; }

private:
    void pump(int timeoutMs);
    pid_t pid_ = -1;
    int in_ = -1;
    int out_fd_ = -1;
    std::string out_;
    int status_ = -1;
};

// A fresh empty directory under the system's temporary folder, removed
// with its contents by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Writes a file in the directory and returns its path.
    std::string write(const std::string& name, const std::string& content) const;

private:
    std::string path_;
};

}  // namespace varno_test

#endif
