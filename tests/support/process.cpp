#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace varno_test {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

int decodeStatus(int status)
{
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

// Starts argv with the given descriptors as its standard streams.
pid_t spawn(const std::vector<std::string>& argv, const std::string& directory, int in, int out,
            int err)
{
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);

    // posix_spawn cannot change the directory before glibc 2.29's
    // addchdir_np, which Debian 12 has; fork keeps it simple and portable.
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        if (!directory.empty() && chdir(directory.c_str()) != 0) {
            _exit(126);
        }
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

void readAvailable(int fd, std::string& into, bool& open)
{
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
        into.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        open = false;
    }
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& directory,
                         int timeoutMs)
{
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = spawn(argv, directory, devNull, outPipe[1], errPipe[1]);
    close(devNull);
    close(outPipe[1]);
    close(errPipe[1]);

    ProcessResult result;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool outOpen = true;
    bool errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[2] = {{outOpen ? outPipe[0] : -1, POLLIN, 0}, {errOpen ? errPipe[0] : -1, POLLIN, 0}};
        const int left = msLeft(deadline);
        if (left == 0) {
            kill(pid, SIGKILL);
            result.timedOut = true;
            break;
        }
        const int r = poll(fds, 2, left);
        if (r < 0 && errno != EINTR) {
            break;
        }
        if (fds[0].revents) {
            readAvailable(outPipe[0], result.out, outOpen);
        }
        if (fds[1].revents) {
            readAvailable(errPipe[0], result.err, errOpen);
        }
    }
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = decodeStatus(status);
    return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& directory)
{
    int inPipe[2];
    int outPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_ = spawn(argv, directory, inPipe[0], outPipe[1], outPipe[1]);
    close(inPipe[0]);
    close(outPipe[1]);
    in_ = inPipe[1];
    out_fd_ = outPipe[0];
}

ChildProcess::~ChildProcess()
{
    if (status_ == -1 && pid_ > 0) {
        kill(pid_, SIGKILL);
        wait(5000);
    }
    if (in_ >= 0) {
        close(in_);
    }
    if (out_fd_ >= 0) {
        close(out_fd_);
    }
}

void ChildProcess::sendInput(const std::string& bytes)
{
    if (in_ >= 0 && ::write(in_, bytes.data(), bytes.size()) < 0) {
        throw std::runtime_error("write to child failed");
    }
}

void ChildProcess::closeInput()
{
    if (in_ >= 0) {
        close(in_);
        in_ = -1;
    }
}

void ChildProcess::pump(int timeoutMs)
{
    if (out_fd_ < 0) {
        return;
    }
    pollfd p{out_fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) > 0) {
        bool open = true;
        readAvailable(out_fd_, out_, open);
        if (!open) {
            close(out_fd_);
            out_fd_ = -1;
        }
    }
}

const std::string& ChildProcess::waitForLines(size_t lines, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (static_cast<size_t>(std::count(out_.begin(), out_.end(), '\n')) < lines &&
           out_fd_ >= 0) {
        const int left = msLeft(deadline);
        if (left == 0) {
            break;
        }
        pump(left);
    }
    return out_;
}

int ChildProcess::wait(int timeoutMs)
{
    if (status_ != -1) {
        return status_;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            status_ = decodeStatus(status);
            while (out_fd_ >= 0) {
                pump(100);
            }
            return status_;
        }
        const int left = msLeft(deadline);
        if (left == 0) {
            return -1;
        }
        // Keep draining output so that the child never blocks on a full pipe.
        if (out_fd_ >= 0) {
            pump(std::min(left, 20));
        } else {
            usleep(static_cast<useconds_t>(std::min(left, 20)) * 1000u);
        }
    }
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "varno-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& content) const
{
    const std::string path = file(name);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
        throw std::runtime_error("cannot write " + path);
    }
    close(fd);
    return path;
}

}  // namespace varno_test
