// The INI description of a line and the control pipe's commands.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "protocol/lsingle.h"
#include "sim/control.h"
#include "sim/simconfig.h"
#include "sim/simulator.h"
#include "simtesthelpers.h"

using namespace mirel_varno;
using namespace varno_sim;

TEST(SimConfig, ReadsUnitsWithTheirValuesFaultsAndUnicodeTexts)
{
    const wxString ini = wxString::FromUTF8(
        "; comment\n"
        "[line]\n"
        "note = groups without an address are not units\n"
        "[first]\n"
        "address = 10.0.5\n"
        "status = 0x00A4\n"
        "measure = -1.25\n"
        "time = 45\n"
        "accuracy = 9\n"
        "version = Ω-unit 3 $HOME\n"
        "date12 = 1 2 3 4 5 6 7 0x08\n"
        "var15 = 70000, -3\n"
        "changed = 113, 117\n"
        "param0.name = Limit\n"
        "param0.type = packed\n"
        "param0.value = 12345\n"
        "param1.name = Mode\n"
        "param1.value = 3\n"
        "algo0.text1 = CH4\n"
        "algo0.value = 2.5\n"
        "statusbit0 = Alarm\n"
        "text254.7 = seven\n"
        "fault = delay 20\n"
        "fault.30 = error 4\n"
        "[second]\n"
        "address = 255.0.7\n");
    std::vector<SimUnit> units;
    std::string error;
    ASSERT_TRUE(parseConfig(ini, units, error)) << error;
    ASSERT_EQ(units.size(), 2u);
    const UnitState& s = units[0].state();
    EXPECT_EQ(s.address, (UnitAddress{10, 0, 5}));
    EXPECT_EQ(s.status, 0x00A4);
    EXPECT_FLOAT_EQ(s.measureValue, -1.25f);
    EXPECT_EQ(s.measureTime, 45);
    EXPECT_EQ(s.measureAccuracy, 9);
    EXPECT_EQ(s.version, wxString::FromUTF8("Ω-unit 3 $HOME"));  // no variable expansion
    EXPECT_EQ(s.date12[7], 8);
    EXPECT_EQ(s.var15Long, 70000);
    EXPECT_EQ(s.var15Short, -3);
    EXPECT_EQ(s.changedParams, (std::vector<uint8_t>{113, 117}));
    ASSERT_EQ(s.params.size(), 2u);
    EXPECT_EQ(s.params[0].type, DataType::Packed);
    EXPECT_EQ(s.params[0].raw, 0x107Bu);  // 12345 packs to 123e4
    EXPECT_EQ(s.params[1].type, DataType::Byte);
    EXPECT_EQ(s.params[1].raw, 3u);
    ASSERT_EQ(s.algorithms.size(), 1u);
    EXPECT_EQ(s.algorithms[0].firstText, "CH4");
    EXPECT_EQ(s.texts254.at(7), "seven");
    EXPECT_EQ(units[0].fault().delayMs, 20u);
    EXPECT_EQ(units[0].variableFaults().at(30).errorCode, 4);
    EXPECT_EQ(units[1].address(), (UnitAddress{255, 0, 7}));
}

TEST(SimConfig, RejectsMistakesNamingGroupAndKey)
{
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"[u]\naddress = 1.2\n", "[u] address"},
        {"[u]\naddress = 1.2.256\n", "[u] address"},
        {"[u]\naddress = 1.2.3\nstatsu = 1\n", "[u] statsu: unknown key"},
        {"[u]\naddress = 1.2.3\nstatus = 0x10000\n", "[u] status"},
        {"[u]\naddress = 1.2.3\nparam1.name = x\n", "[u] param0: missing"},
        {"[u]\naddress = 1.2.3\nparam0.type = double\n", "[u] param0.type"},
        {"[u]\naddress = 1.2.3\nparam0.value = 300\n", "[u] param0.value"},
        {"[u]\naddress = 1.2.3\nfault = flaky\n", "[u] fault: unknown fault"},
        {"[u]\naddress = 1.2.3\nfault.300 = silent\n", "[u] fault.300"},
        {"[u]\naddress = 1.2.3\ndate13 = 1 2 3\n", "[u] date13: expected 8 numbers"},
        {"[u]\naddress = 1.2.3\nvar15 = 1 40000\n", "[u] var15: the second number must fit 16 bits"},
        {"[u]\naddress = 1.2.3\ntext254.70000 = x\n", "[u] text254.70000: expected text254."},
        {"[u]\naddress = 1.2.3\nparam0.colour = x\n", "[u] param0.colour: unknown key"},
        {"[u]\naddress = 1.2.3\nalgo16.text1 = x\n", "[u] algo16.text1: unknown key"},
        {"[u]\naddress = 1.2.3\nstatusbit0.x = x\n", "[u] statusbit0.x: unknown key"},
        {"[u]\naddress = 1.2.3\nfaults = silent\n", "[u] faults: unknown key"},
        {"[u]\naddress = 1.2.3\n[v]\naddress = 1.2.3\n", "[v] address 1.2.3 is used twice"},
    };
    for (const auto& c : cases) {
        std::vector<SimUnit> units;
        std::string error;
        EXPECT_FALSE(parseConfig(c.first, units, error)) << c.first;
        EXPECT_EQ(error.rfind(c.second, 0), 0u) << error;
    }
    std::vector<SimUnit> units;
    std::string error;
    EXPECT_FALSE(loadConfig("/nonexistent/units.ini", units, error));
}

TEST(SimControl, SwitchesFaultsAndStateAtRunTime)
{
    std::vector<SimUnit> units;
    std::string error;
    ASSERT_TRUE(parseConfig("[a]\naddress = 1.2.3\n[b]\naddress = 1.2.4\n", units, error));
    Simulator sim(std::move(units), 0);
    std::string reply;

    ASSERT_TRUE(applyControl(sim, "fault 1.2.3 silent", reply)) << reply;
    ASSERT_TRUE(applyControl(sim, "fault 1.2.4 var 30 error 4 delay 5", reply)) << reply;
    EXPECT_TRUE(sim.find({1, 2, 3})->fault().silent);
    EXPECT_EQ(sim.find({1, 2, 4})->variableFaults().at(30).errorCode, 4);
    EXPECT_EQ(sim.find({1, 2, 4})->variableFaults().at(30).delayMs, 5u);
    ASSERT_TRUE(applyControl(sim, "list", reply));
    EXPECT_NE(reply.find("1.2.3: status 0, fault silent"), std::string::npos) << reply;

    ASSERT_TRUE(applyControl(sim, "clear 1.2.3", reply));
    EXPECT_FALSE(sim.find({1, 2, 3})->fault().any());
    ASSERT_TRUE(applyControl(sim, "clear 1.2.4 var 30", reply));
    EXPECT_TRUE(sim.find({1, 2, 4})->variableFaults().empty());

    ASSERT_TRUE(applyControl(sim, "set 1.2.3 status 0x0020", reply));
    ASSERT_TRUE(applyControl(sim, "set 1.2.3 measure 4.5 60 12", reply));
    ASSERT_TRUE(applyControl(sim, "set 1.2.3 version  v 2  beta", reply));
    ASSERT_TRUE(applyControl(sim, "set 1.2.3 changed 113 117", reply)) << reply;
    const UnitState& s = sim.find({1, 2, 3})->state();
    EXPECT_EQ(s.changedParams, (std::vector<uint8_t>{113, 117}));
    EXPECT_EQ(s.status, 0x20);
    EXPECT_FLOAT_EQ(s.measureValue, 4.5f);
    EXPECT_EQ(s.measureTime, 60);
    EXPECT_EQ(s.measureAccuracy, 12);
    EXPECT_EQ(s.version, "v 2  beta");

    ASSERT_TRUE(applyControl(sim, "fault 1.2.4 corrupt-data", reply));
    ASSERT_TRUE(applyControl(sim, "clear all", reply));
    EXPECT_FALSE(sim.find({1, 2, 4})->fault().any());

    for (const char* bad : {"", "explode 1.2.3", "fault 1.2.9 silent", "fault 1.2.3", "fault 1.2.3 var 256 silent",
                            "fault x silent", "set 1.2.3 status 0x10000", "set 1.2.3 colour red", "clear 1.2.3 extra",
                            "set 1.2.3 changed 256"}) {
        EXPECT_FALSE(applyControl(sim, bad, reply)) << bad;
        EXPECT_FALSE(reply.empty()) << bad;
    }
}

// The README's examples carry comments after their values.
TEST(SimConfig, CommentsAfterValuesAreNotPartOfThem)
{
    const wxString ini = wxString::FromUTF8(
        "[boiler]\n"
        "address = 1.2.3           ; a.b.c\n"
        "status = 0x0021\t# variable 24\n"
        "version = Gas;unit#2 ; the ';' inside a word stays\n"
        "text11 = \"quoted ; kept\"   ; dropped\n"
        "fault.30 = error 4        ; only its version read fails\n"
        "  ; a comment line of its own\n");
    std::vector<SimUnit> units;
    std::string error;
    ASSERT_TRUE(parseConfig(ini, units, error)) << error;
    ASSERT_EQ(units.size(), 1u);
    const UnitState& s = units[0].state();
    EXPECT_EQ(s.address, (UnitAddress{1, 2, 3}));
    EXPECT_EQ(s.status, 0x0021);
    EXPECT_EQ(s.version, "Gas;unit#2");
    EXPECT_EQ(s.text11, "quoted ; kept");
}

// Every INI example in the READMEs loads as printed.
TEST(SimConfig, TheReadmeExamplesLoad)
{
    const std::string source = VARNO_SOURCE_PATH;
    size_t examples = 0;
    for (const char* readme : {"/README.md", "/sim/README.md"}) {
        std::ifstream in(source + readme);
        ASSERT_TRUE(in) << readme;
        std::string line;
        std::string block;
        bool inside = false;
        while (std::getline(in, line)) {
            if (!inside && line == "```ini") {
                inside = true;
                block.clear();
            } else if (inside && line == "```") {
                inside = false;
                std::vector<SimUnit> units;
                std::string error;
                EXPECT_TRUE(parseConfig(wxString::FromUTF8(block.c_str()), units, error))
                    << readme << ": " << error << "\n" << block;
                EXPECT_EQ(units.size(), 1u) << readme;
                ++examples;
            } else if (inside) {
                block += line + "\n";
            }
        }
    }
    EXPECT_EQ(examples, 2u);
}
