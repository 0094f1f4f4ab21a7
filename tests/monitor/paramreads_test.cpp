// The composite reads against the unit simulator on a pseudo-terminal.

#include <functional>

#include <gtest/gtest.h>

#include "model/pointparam.h"
#include "protocol/lsingle.h"
#include "protocol/serialportvarnoprotocol.h"
#include "support/simline.h"
#include "support/wxprint.h"

using namespace mirel_varno;
using varno_test::Exchange;
using varno_test::reads;
using varno_test::SimLine;
using varno_test::writeOf;

namespace {

const UnitAddress Unit{1, 2, 3};

// A unit with one parameter of each value type, two algorithms and three
// status-bit texts. Extra lines (faults) go at the end of its group.
std::string fullUnit(const std::string& extra = "")
{
    return "[unit]\n"
           "address = 1.2.3\n"
           "version = Gas 2.4\n"
           "text11 = Eleven\n"
           "text17 = Seventeen\n"
           "text18 = Eighteen\n"
           "text27 = Boiler room\n"
           "byte28 = 42\n"
           "algorithm = 1\n"
           "date12 = 1 2 3 4 5 6 7 8\n"
           "date13 = 9 10 11 12 13 14 15 16\n"
           "param0.name = Relay mode\n"
           "param0.type = byte\n"
           "param0.value = 200\n"
           "param1.name = Threshold 1\n"
           "param1.type = packed\n"
           "param1.value = 25\n"
           "param2.name = Threshold 2\n"
           "param2.type = float\n"
           "param2.value = 50.5\n"
           "algo0.text1 = Methane\n"
           "algo0.text2 = %LEL\n"
           "algo0.value = 12.5\n"
           "algo0.time = 30\n"
           "algo0.accuracy = 7\n"
           "algo1.text1 = Propane\n"
           "algo1.text2 = ppm\n"
           "algo1.value = 0.25\n"
           "algo1.time = 60\n"
           "algo1.accuracy = 9\n"
           "statusbit0 = Measuring\n"
           "statusbit1 = Warming up\n"
           "statusbit2 = Sensor fault\n" +
           extra;
}

// The requests of a whole parameter read of fullUnit.
std::vector<Exchange> pointParamsExchanges()
{
    std::vector<Exchange> e = {{4, -1}};
    for (int v : {27, 30, 12, 13, 11, 17, 18, 21, 28, 23, 113, 112, 115, 114, 117, 116, 250}) {
        e.push_back({6, v});
    }
    for (int k = 0; k < 3; ++k) {
        e.push_back(writeOf(251));
        e.push_back({6, 251});
    }
    return e;
}

class ParamReads : public ::testing::Test {
protected:
    void open(const std::string& ini)
    {
        line_ = std::make_unique<SimLine>(ini);
        ASSERT_TRUE(line_->started());
        protocol_ = std::make_unique<SerialPortVarnoProtocol>(line_->device().c_str());
        ASSERT_TRUE(protocol_->isOpen());
    }

    std::unique_ptr<SimLine> line_;
    std::unique_ptr<SerialPortVarnoProtocol> protocol_;
};

}  // namespace

TEST_F(ParamReads, WholeRecordOfAUnit)
{
    open(fullUnit());
    PointParams params;
    params.setText11("stale");
    protocol_->readPointParams(Unit, params);

    EXPECT_EQ(params.address(), Unit);
    EXPECT_EQ(params.text27(), "Boiler room");
    EXPECT_EQ(params.version(), "Gas 2.4");
    EXPECT_EQ(params.date12(), (DateBytes{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(params.date13(), (DateBytes{9, 10, 11, 12, 13, 14, 15, 16}));
    EXPECT_EQ(params.text11(), "Eleven");
    EXPECT_EQ(params.text17(), "Seventeen");
    EXPECT_EQ(params.text18(), "Eighteen");
    EXPECT_EQ(params.measuringAlgorithm(), 1);
    EXPECT_EQ(params.byte28(), 42);

    const auto& p = params.params();
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[0].number(), 113);
    EXPECT_EQ(p[0].dataType(), 1);
    EXPECT_EQ(p[0].valueAs<uint8_t>(), 200);
    EXPECT_EQ(p[0].name(), "Relay mode");
    EXPECT_EQ(p[1].number(), 115);
    EXPECT_EQ(p[1].dataType(), 13);
    EXPECT_EQ(p[1].valueAs<LSingle>(), LSingle::fromFloat(25.0f));
    EXPECT_EQ(p[1].name(), "Threshold 1");
    EXPECT_EQ(p[2].number(), 117);
    EXPECT_EQ(p[2].dataType(), 25);
    EXPECT_EQ(p[2].valueAs<float>(), 50.5f);
    EXPECT_EQ(p[2].name(), "Threshold 2");

    EXPECT_EQ(params.statusTexts().count(), 3);
    EXPECT_EQ(params.statusTexts().textFor(1), "Measuring");
    EXPECT_EQ(params.statusTexts().textFor(3), "Sensor fault");

    // 11 + 2n + 1 + 2m exchanges, in the order of the record's fields.
    EXPECT_EQ(line_->takeExchanges(), pointParamsExchanges());

    AlgorithmList algorithms{Algorithm{}};
    protocol_->readAlgorithms(Unit, algorithms);
    ASSERT_EQ(algorithms.size(), 2u);
    EXPECT_EQ(algorithms[1].number, 1);
    EXPECT_EQ(algorithms[1].firstText, "Propane");
    EXPECT_EQ(algorithms[1].secondText, "ppm");
    EXPECT_EQ(algorithms[1].value, 0.25f);
    EXPECT_EQ(algorithms[1].time, 60u);
    EXPECT_EQ(algorithms[1].accuracy, 9);
    EXPECT_EQ(algorithms[0].firstText, "Methane");
    EXPECT_EQ(line_->takeExchanges(),
              reads({22, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41}));
}

TEST_F(ParamReads, FailingVariablesFallBackOrEndTheRead)
{
    // One simulator serves every case: each unit rejects one variable.
    open("[a]\naddress = 1.2.10\ntext27 = A\nversion = V\nfault.30 = error 4\n"
         "[b]\naddress = 1.2.11\ntext27 = B\nversion = V\nfault.27 = error 4\n"
         "[c]\naddress = 1.2.12\ntext27 = C\nversion = V\nfault.250 = error 4\n"
         "[d]\naddress = 1.2.13\ntext27 = D\nversion = V\ntext11 = X\n"
         "date13 = 1 1 1 1 1 1 1 1\nfault.12 = silent\nfault.11 = error 4\n");
    const struct {
        UnitAddress address;
        int raised;  // the error code that ends the read, or 0
        std::function<void(const PointParams&)> check;
    } cases[] = {
        {{1, 2, 10}, 0,
         [](const PointParams& p) {
             EXPECT_EQ(p.version(), "Unknown version");
             EXPECT_EQ(p.text27(), "A");
             EXPECT_EQ(p.text18(), "");
             EXPECT_EQ(p.statusTexts().count(), 0);
         }},
        {{1, 2, 11}, UnknownVariable,
         [](const PointParams& p) {
             EXPECT_EQ(p.address(), (UnitAddress{1, 2, 11}));
             EXPECT_EQ(p.text27(), "");
             EXPECT_EQ(p.version(), "");
         }},
        {{1, 2, 12}, 0,
         [](const PointParams& p) {
             EXPECT_EQ(p.text27(), "C");
             EXPECT_EQ(p.statusTexts().count(), 10);
             EXPECT_EQ(p.statusTexts().textFor(1), StatusBitTexts::withDefaults().textFor(1));
         }},
        {{1, 2, 13}, 0,
         [](const PointParams& p) {
             EXPECT_EQ(p.date12(), DefaultDate);
             EXPECT_EQ(p.date13(), (DateBytes{1, 1, 1, 1, 1, 1, 1, 1}));
             EXPECT_EQ(p.text11(), "");
             EXPECT_EQ(p.version(), "V");
         }},
    };
    for (const auto& c : cases) {
        PointParams params;
        params.setText11("stale");
        if (c.raised != 0) {
            try {
                protocol_->readPointParams(c.address, params);
                ADD_FAILURE() << "no exception";
            } catch (const Exception& e) {
                EXPECT_EQ(e.code(), c.raised);
            }
        } else {
            EXPECT_NO_THROW(protocol_->readPointParams(c.address, params));
        }
        c.check(params);
    }
}

TEST_F(ParamReads, NoAlgorithmsCostsOneExchange)
{
    open("[unit]\naddress = 1.2.3\n");
    AlgorithmList algorithms(3);
    protocol_->readAlgorithms(Unit, algorithms);
    EXPECT_TRUE(algorithms.empty());
    EXPECT_EQ(line_->takeExchanges(), reads({22}));
}

TEST_F(ParamReads, ChangedParamsAreKeyedByIndex)
{
    open(fullUnit("changed = 113 117\n") +
         "[again]\naddress = 1.2.4\nparam0.type = byte\nparam1.type = byte\n"
         "param2.type = byte\nparam2.value = 9\nchanged = 117 117\n"
         "[packed]\naddress = 1.2.5\nparam0.type = packed\nparam0.value = 1\nchanged = 113\n");
    ChangedParams changed{{7, "old"}};
    protocol_->readChangedParams(Unit, changed);
    EXPECT_EQ(changed, (ChangedParams{{0, "200"}, {2, "50.5"}}));
    EXPECT_EQ(line_->takeExchanges(), reads({8, 113, 117}));

    protocol_->readChangedParams(UnitAddress{1, 2, 4}, changed);
    EXPECT_EQ(changed, (ChangedParams{{2, "9"}}));
    EXPECT_EQ(line_->takeExchanges(), reads({8, 117, 117}));

    // A packed value has no value text: the read ends and the output stays.
    try {
        protocol_->readChangedParams(UnitAddress{1, 2, 5}, changed);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.code(), UnsupportedDataFormat);
    }
    EXPECT_EQ(changed, (ChangedParams{{2, "9"}}));
}

TEST_F(ParamReads, WriteStopsAtTheFirstUnwritableType)
{
    open(fullUnit());
    PointParams params;
    params.addParam(PointParam(113, 1, "Relay mode", uint8_t{17}));
    params.addParam(PointParam(115, 13, "Threshold 1", LSingle::fromFloat(3.0f)));
    params.addParam(PointParam(117, 25, "Threshold 2", 8.5f));
    try {
        protocol_->writePointParams(Unit, params);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.code(), UnsupportedDataType);
    }
    EXPECT_EQ(protocol_->lastError(), NoError);
    EXPECT_EQ(line_->takeExchanges(), std::vector<Exchange>{writeOf(113)});

    PointParam readBack;
    protocol_->readParamValue(Unit, 0, readBack);
    EXPECT_EQ(readBack.valueAs<uint8_t>(), 17);
    protocol_->readParamValue(Unit, 2, readBack);
    EXPECT_EQ(readBack.valueAs<float>(), 50.5f);

    // A value held as another type than its data type names.
    PointParams mismatched;
    mismatched.addParam(PointParam(117, 25, "Threshold 2", 8.5));
    EXPECT_THROW(protocol_->writePointParams(Unit, mismatched), boost::bad_any_cast);
}

TEST_F(ParamReads, RepliesOfTheWrongTypeForAParameter)
{
    open(fullUnit("fault.112 = wrong-type 1\nfault.115 = wrong-type 5\n"));
    PointParam param(1, 1, "kept?", uint8_t{0});
    protocol_->readParamName(Unit, 0, param);
    EXPECT_EQ(param.name(), "");
    EXPECT_EQ(protocol_->lastError(), UnsupportedDataFormat);

    try {
        protocol_->readParamValue(Unit, 1, param);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.code(), UnsupportedDataFormat);
    }
    EXPECT_EQ(protocol_->lastError(), UnsupportedDataFormat);
    EXPECT_EQ(param.number(), 1);
}
