// The console's stop paths where the process could otherwise hang: a report
// line that nobody reads, and a terminal restored from the background. Each
// runs in a child of its own, with a watchdog that kills it if it hangs.

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include <gtest/gtest.h>

#include "app/console.h"
#include "app/inputfiles.h"
#include "app/pollcycle.h"
#include "app/printline.h"
#include "protocol/serialportvarnoprotocol.h"

using namespace mirel_varno;

namespace {

// Sends `sig` to `target` after 300 ms.
void signalLater(pid_t target, int sig)
{
    if (fork() == 0) {
        usleep(300000);
        kill(target, sig);
        _exit(0);
    }
}

// Makes this process the shell of a new session on a terminal of its own
// (standard input), with two pipes to talk to the job it will start.
void becomeShell(int& master, int toJob[2], int fromJob[2])
{
    int slave = -1;
    if (setsid() < 0 || openpty(&master, &slave, nullptr, nullptr, nullptr) != 0 ||
        ioctl(slave, TIOCSCTTY, 0) != 0 || dup2(slave, STDIN_FILENO) < 0 || pipe(toJob) != 0 ||
        pipe(fromJob) != 0) {
        _exit(2);
    }
    signal(SIGTTOU, SIG_IGN);  // the shell takes the terminal back at will
}

}  // namespace

TEST(ConsoleDeathTest, AStopSignalEndsAWriteThatNobodyReads)
{
    EXPECT_EXIT(
        {
            // Standard output is a pipe that is full and never read.
            int fds[2];
            if (pipe(fds) != 0) {
                _exit(2);
            }
            fcntl(fds[1], F_SETFL, O_NONBLOCK);
            const char block[4096] = {};
            while (write(fds[1], block, sizeof block) > 0) {
            }
            while (write(fds[1], block, 1) > 0) {
            }
            fcntl(fds[1], F_SETFL, 0);
            dup2(fds[1], STDOUT_FILENO);
            alarm(10);  // a hang ends by SIGALRM
            bool stopped = false;
            {
                Console console;
                signalLater(getpid(), SIGTERM);
                const bool written = printLine("a line nobody reads");
                stopped = !written && console.stopRequested();
            }
            // exit flushes standard output: nothing of the line may be left
            // there to block again.
            std::exit(stopped ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(ConsoleDeathTest, RestoringTheTerminalFromTheBackgroundDoesNotStopTheProcess)
{
    EXPECT_EXIT(
        {
            // A session on a terminal of its own, with this process as its
            // shell: it hands the terminal to the job and takes it back,
            // as after Ctrl-Z and bg.
            alarm(10);
            int master = -1;
            int toJob[2];
            int fromJob[2];
            becomeShell(master, toJob, fromJob);
            char c = 0;
            const pid_t job = fork();
            if (job == 0) {
                signal(SIGTTOU, SIG_DFL);
                setpgid(0, 0);
                termios before{};
                tcgetattr(STDIN_FILENO, &before);
                (void)!read(toJob[0], &c, 1);  // in the foreground now
                bool changed = false;
                {
                    Console console;
                    termios during{};
                    tcgetattr(STDIN_FILENO, &during);
                    changed = (during.c_lflag & ICANON) == 0;
                    (void)!write(fromJob[1], "r", 1);
                    (void)!read(toJob[0], &c, 1);  // in the background now
                }
                termios after{};
                tcgetattr(STDIN_FILENO, &after);
                _exit(changed && after.c_lflag == before.c_lflag ? 0 : 1);
            }
            setpgid(job, job);
            tcsetpgrp(STDIN_FILENO, job);
            (void)!write(toJob[1], "f", 1);
            (void)!read(fromJob[0], &c, 1);
            tcsetpgrp(STDIN_FILENO, getpgrp());
            (void)!write(toJob[1], "b", 1);
            int status = 0;
            waitpid(job, &status, WUNTRACED);
            if (WIFSTOPPED(status)) {
                kill(job, SIGKILL);
                _exit(3);
            }
            _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 4);
        },
        testing::ExitedWithCode(0), "");
}

TEST(ConsoleDeathTest, KeysAreLeftToTheShellInTheBackgroundAndReadAgainInTheForeground)
{
    EXPECT_EXIT(
        {
            alarm(10);  // a job stopped by SIGTTIN never answers: the alarm ends it
            int master = -1;
            int toJob[2];
            int fromJob[2];
            becomeShell(master, toJob, fromJob);
            termios shell{};
            tcgetattr(STDIN_FILENO, &shell);
            char c = 0;
            const pid_t job = fork();
            if (job == 0) {
                signal(SIGTTOU, SIG_DFL);
                setpgid(0, 0);
                (void)!read(toJob[0], &c, 1);  // in the foreground
                Console console;
                (void)!write(fromJob[1], "r", 1);
                (void)!read(toJob[0], &c, 1);  // in the background, a line typed to the shell
                const bool leftAlone = !console.keyPressed();
                (void)!write(fromJob[1], "b", 1);
                (void)!read(toJob[0], &c, 1);  // in the foreground again, shell settings back
                const bool key = console.keyPressed();
                termios now{};
                tcgetattr(STDIN_FILENO, &now);
                const bool silent = (now.c_lflag & (ICANON | ECHO)) == 0;
                _exit(leftAlone && key && silent ? 0 : 1);
            }
            setpgid(job, job);
            tcsetpgrp(STDIN_FILENO, job);
            (void)!write(toJob[1], "f", 1);
            (void)!read(fromJob[0], &c, 1);
            // Ctrl-Z and bg: the shell takes the terminal and its settings.
            tcsetpgrp(STDIN_FILENO, getpgrp());
            tcsetattr(STDIN_FILENO, TCSANOW, &shell);
            (void)!write(master, "ls\n", 3);
            (void)!write(toJob[1], "g", 1);
            (void)!read(fromJob[0], &c, 1);
            // fg: the job gets the terminal as the shell left it.
            tcsetpgrp(STDIN_FILENO, job);
            (void)!write(toJob[1], "f", 1);
            int status = 0;
            waitpid(job, &status, 0);
            _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 4);
        },
        testing::ExitedWithCode(0), "");
}

TEST(PollCycle, NothingToSendReturnsAtOnce)
{
    EXPECT_EXIT(
        {
            alarm(10);  // a spinning cycle ends by SIGALRM
            SerialPortVarnoProtocol port("no-such-device");
            Console console;
            runPollCycle(port, {}, {CommandStatus, CommandVersion}, 10, console);
            runPollCycle(port, {UnitAddress{1, 2, 3}}, {}, 10, console);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}
