#ifndef VARNO_TESTS_SIM_SIMFIXTURE_H
#define VARNO_TESTS_SIM_SIMFIXTURE_H

#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/simline.h"

namespace varno_test {

// A test with a simulator serving COM<port> in the directory of its
// SimLine, where the programs under test run.
class SimLineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = line_.dir().path();
        // Its own number, so that a stray link elsewhere never answers for it.
        static int serial = 0;
        port_ = 100 + (getpid() % 9000) * 10 + (serial++ % 10);
    }

    void TearDown() override { EXPECT_TRUE(line_.stop()); }

    std::string path(const std::string& name) const { return line_.dir().file(name); }

    void writeFile(const std::string& name, const std::string& text) const
    {
        line_.dir().write(name, text);
    }

    std::string comName() const { return "COM" + std::to_string(port_); }

    // Starts the simulator on the given units and waits until it listens.
    void startSim(const std::string& ini, std::vector<std::string> options = {"--no-pacing"})
    {
        options.insert(options.begin(), {"-p", std::to_string(port_)});
        ASSERT_TRUE(line_.start(ini, options)) << line_.startError();
        sim_ = &line_.process();
    }

    SimLine line_;
    std::string dir_;
    int port_ = 0;
    ChildProcess* sim_ = nullptr;  // the simulator, once started
};

}  // namespace varno_test

#endif
