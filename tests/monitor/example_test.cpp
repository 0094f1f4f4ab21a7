// The example monitor, run as a program against the unit simulator.

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/simline.h"
#include "support/process.h"

namespace {

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

TEST(ExampleMonitor, ScansReadsAndPollsThePoints)
{
    varno_test::SimLine line(
        "[boiler]\naddress = 1.2.3\nmeasure = 12.5\nalgorithm = 0\ntext27 = Boiler room\n"
        "algo0.text1 = Methane\nalgo0.text2 = %LEL\n"
        "[store]\naddress = 1.2.4\nstatus = 0x0021\nmeasure = 63.2\ntext27 = Store\n"
        "[cellar]\naddress = 1.2.6\ntext27 = Cellar\nfault.16 = silent\n",
        false);
    ASSERT_TRUE(line.started());
    const char* build = std::getenv("VARNO_BUILD_DIR");
    const std::string program = std::string(build != nullptr ? build : ".") +
                                "/examples/varno_monitor";
    const varno_test::ProcessResult result =
        varno_test::runProcess({program, line.device(), "2", "0"}, "", 60000);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    const std::vector<std::string> lines = linesOf(result.out);
    ASSERT_FALSE(lines.empty());

    // Every line begins with a time stamp.
    for (const std::string& l : lines) {
        EXPECT_TRUE(l.size() > 9 && l[2] == ':' && l[5] == ':' && l[8] == ' ') << l;
    }
    EXPECT_NE(result.out.find("found 3 point(s)"), std::string::npos) << result.out;

    // Each point goes through its course in order; the silent measure
    // starts a no-answer series that the point does not report at once.
    const struct {
        const char* address;
        std::vector<std::vector<const char*>> course;
    } points[] = {
        {"001.002.003",
         {{"Point plugged", "| Reading parameters..."},
          {"Params have been read", "| Reading algorithms..."},
          {"Algorithms have been read", "| Measure"},
          {" 12.5 %LEL", "|  12.5 %LEL"},
          {"\"Boiler room\"  12.5 %LEL"}}},
        {"001.002.004",
         {{"Point plugged"},
          {"Params have been read"},
          {"Algorithms have been read"},
          {" 63.2  Threshold exceeded", "| Threshold exceeded 63.2"},
          {"\"Store\" Threshold exceeded"}}},
        {"001.002.006",
         {{"Point plugged"},
          {"Params have been read"},
          {"Algorithms have been read"},
          {"No answer", "| No answer (no change)"},
          {"Params have been read"}}},
    };
    for (const auto& point : points) {
        size_t at = 0;
        for (const auto& step : point.course) {
            std::vector<const char*> parts(step);
            parts.push_back(point.address);
            size_t found = std::string::npos;
            for (size_t i = at; i < lines.size() && found == std::string::npos; ++i) {
                bool all = true;
                for (const char* part : parts) {
                    all = all && lines[i].find(part) != std::string::npos;
                }
                if (all) {
                    found = i;
                }
            }
            ASSERT_NE(found, std::string::npos)
                << point.address << ": no \"" << step.front() << "\" after line " << at << "\n"
                << result.out;
            at = found + 1;
        }
    }
}
