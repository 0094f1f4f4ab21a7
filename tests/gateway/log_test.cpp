// The journal fields read from the gateway's messages, and the log levels.

#include <gtest/gtest.h>

#include <string>

#include "gateway/log.h"

using varno_gateway::fieldsOf;
using varno_gateway::Level;
using varno_gateway::parseLevel;

TEST(GatewayLog, FieldsFromTheMessage)
{
    const struct {
        std::string text;
        std::string line;
        std::string unit;
    } rows[] = {
        {"line boiler: /dev/ttyUSB0 open", "boiler", ""},
        {"line boiler: 1.2.3 online", "boiler", "1.2.3"},
        {"line yard: 255.0.17 reports changed parameters", "yard", "255.0.17"},
        {"line yard: 1.2.3: no answer", "yard", "1.2.3"},
        {"line a:b: 1.2.3 online", "a:b", "1.2.3"},  // the first ": " ends the name
        {"line yard: 1.2.256 online", "yard", ""},    // not an address
        {"line yard: 1.2.3.4 online", "yard", ""},
        {"line yard: 1.2 online", "yard", ""},
        {"line yard: scan found 3 unit(s)", "yard", ""},
        {"line : nothing", "", ""},
        {"line yard", "", ""},
        {"mqtt: connected to localhost:1883", "", ""},
        {"started with /etc/varno/gateway.yaml", "", ""},
        {"", "", ""},
    };
    for (const auto& row : rows) {
        const varno_gateway::LogFields fields = fieldsOf(row.text);
        EXPECT_EQ(fields.line, row.line) << row.text;
        EXPECT_EQ(fields.unitAddress, row.unit) << row.text;
    }
}

TEST(GatewayLog, LevelNames)
{
    EXPECT_EQ(parseLevel("error"), Level::Error);
    EXPECT_EQ(parseLevel("warning"), Level::Warning);
    EXPECT_EQ(parseLevel("info"), Level::Info);
    EXPECT_EQ(parseLevel("debug"), Level::Debug);
    for (const char* bad : {"", "Error", "warn", "debug ", "7", "loud"}) {
        EXPECT_FALSE(parseLevel(bad).has_value()) << bad;
    }
}
