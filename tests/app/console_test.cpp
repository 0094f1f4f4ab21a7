// The console's stop paths where the process could otherwise hang. Each
// runs in a child of its own, with a watchdog that kills it if it hangs.

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include <gtest/gtest.h>

#include "app/console.h"
#include "app/printline.h"

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
