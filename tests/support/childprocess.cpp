#include "support/childprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "base/clock.h"

extern char** environ;

namespace varno_test {

int64_t monotonicMillis()
{
    return static_cast<int64_t>(mirel_varno::monotonicMs());
}

namespace {

void closeFd(int& fd)
{
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

int leftMs(int64_t deadline)
{
    const int64_t left = deadline - monotonicMillis();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

ChildProcess::~ChildProcess()
{
    if (running()) {
        kill(pid_, SIGKILL);
        wait(5000);
    }
    closeFd(pidFd_);
    closeFd(out_);
    closeFd(in_);
}

bool ChildProcess::start(const std::vector<std::string>& argv, const std::string& directory,
                         int stdinFd, bool mergeStderr)
{
    return spawn(argv, directory, stdinFd, mergeStderr, std::string());
}

bool ChildProcess::startOnTerminal(const std::vector<std::string>& argv, const std::string& directory,
                                   const std::string& terminalPath)
{
    return spawn(argv, directory, -1, false, terminalPath);
}

bool ChildProcess::spawn(const std::vector<std::string>& argv, const std::string& directory,
                         int stdinFd, bool mergeStderr, const std::string& terminalPath)
{
    int outPipe[2];
    int inPipe[2] = {-1, -1};
    const bool onTerminal = !terminalPath.empty();
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        return false;
    }
    if (stdinFd < 0 && !onTerminal && pipe2(inPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (onTerminal) {
        // Opened after setsid and without O_NOCTTY: it becomes the
        // controlling terminal of the new session.
        posix_spawn_file_actions_addopen(&actions, 0, terminalPath.c_str(), O_RDWR, 0);
    } else {
        posix_spawn_file_actions_adddup2(&actions, stdinFd >= 0 ? stdinFd : inPipe[0], 0);
    }
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    if (mergeStderr) {
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 2);
    } else if (stderrFd_ >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stderrFd_, 2);
    }
    if (!directory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    }
    // A child of its own process group: a terminal's signals meant for the
    // test do not reach it, and it gets no controlling terminal from us.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (onTerminal) {
        flags |= POSIX_SPAWN_SETSID;
    } else {
        posix_spawnattr_setpgroup(&attr, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attr, flags);

    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    const int rc = posix_spawn(&pid_, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(outPipe[1]);
    if (inPipe[0] >= 0) {
        close(inPipe[0]);
    }
    if (rc != 0) {
        pid_ = -1;
        close(outPipe[0]);
        if (inPipe[1] >= 0) {
            close(inPipe[1]);
        }
        return false;
    }
    out_ = outPipe[0];
    in_ = inPipe[1];
    pidFd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    return true;
}

bool ChildProcess::fill(int timeoutMs)
{
    if (outputEnded_) {
        return false;
    }
    pollfd p{out_, POLLIN, 0};
    const int r = poll(&p, 1, timeoutMs);
    if (r <= 0) {
        return false;
    }
    char chunk[4096];
    const ssize_t n = read(out_, chunk, sizeof chunk);
    if (n <= 0) {
        if (n < 0 && errno == EINTR) {
            return true;
        }
        outputEnded_ = true;
        return false;
    }
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
}

bool ChildProcess::readLine(std::string& line, int timeoutMs)
{
    const int64_t deadline = monotonicMillis() + timeoutMs;
    for (;;) {
        const size_t nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return true;
        }
        if (!fill(leftMs(deadline)) && (outputEnded_ || leftMs(deadline) == 0)) {
            return false;
        }
    }
}

std::string ChildProcess::readRest(int timeoutMs)
{
    const int64_t deadline = monotonicMillis() + timeoutMs;
    while (!outputEnded_ && leftMs(deadline) > 0) {
        fill(leftMs(deadline));
    }
    std::string rest;
    rest.swap(buffer_);
    return rest;
}

bool ChildProcess::writeStdin(const std::string& bytes)
{
    return in_ >= 0 && write(in_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

void ChildProcess::closeStdin()
{
    closeFd(in_);
}

void ChildProcess::signal(int sig)
{
    if (running()) {
        kill(pid_, sig);
    }
}

bool ChildProcess::wait(int timeoutMs)
{
    if (pid_ <= 0) {
        return false;
    }
    const int64_t deadline = monotonicMillis() + timeoutMs;
    while (!exited_) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exited_ = true;
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        const int left = leftMs(deadline);
        if (left == 0) {
            return false;
        }
        // The pid descriptor becomes readable when the child ends.
        pollfd p{pidFd_, POLLIN, 0};
        if (pidFd_ < 0 || poll(&p, 1, left) < 0) {
            if (errno != EINTR) {
                timespec pause{0, 10'000'000};
                nanosleep(&pause, nullptr);
            }
        }
    }
    return true;
}

}  // namespace varno_test
