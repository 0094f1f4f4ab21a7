#ifndef VARNO_TESTS_SIM_SIMLINE_H
#define VARNO_TESTS_SIM_SIMLINE_H

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/childprocess.h"

namespace varno_test {

// A temporary working directory with a simulator serving COM<port> in it.
class SimLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "varno-e2e-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        // Its own number, so that a stray link elsewhere never answers for it.
        static int serial = 0;
        port_ = 100 + (getpid() % 9000) * 10 + (serial++ % 10);
    }

    void TearDown() override
    {
        if (sim_ && sim_->running()) {
            sim_->signal(SIGTERM);
            EXPECT_TRUE(sim_->wait(5000));
        }
        sim_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string path(const std::string& name) const { return (std::filesystem::path(dir_) / name).string(); }

    void writeFile(const std::string& name, const std::string& text) const
    {
        std::ofstream(path(name), std::ios::binary) << text;
    }

    std::string comName() const { return "COM" + std::to_string(port_); }

    // Starts the simulator on the given units and waits until it listens.
    void startSim(const std::string& ini, std::vector<std::string> options = {"--no-pacing"})
    {
        writeFile("units.ini", ini);
        std::vector<std::string> argv = {VARNO_UNITSIM_PATH, "-p", std::to_string(port_)};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back("units.ini");
        sim_ = std::make_unique<varno_sim::ChildProcess>();
        ASSERT_TRUE(sim_->start(argv, dir_));
        std::string line;
        ASSERT_TRUE(sim_->readLine(line, 10000)) << "simulator did not start";
        ASSERT_NE(line.find("listening on"), std::string::npos) << line;
    }

    std::string dir_;
    int port_ = 0;
    std::unique_ptr<varno_sim::ChildProcess> sim_;
};

}  // namespace varno_test

#endif
