#include "model/pointparam.h"

#include <limits>

#include <gtest/gtest.h>

#include "support/wxprint.h"

#include "base/error.h"
#include "protocol/lsingle.h"

using namespace mirel_varno;

namespace {

void expectResetValues(const PointParams& p)
{
    EXPECT_EQ(p.measuringAlgorithm(), NoMeasuringAlgorithm);
    EXPECT_EQ(p.text27(), "");
    EXPECT_EQ(p.text17(), "");
    EXPECT_EQ(p.text18(), "");
    EXPECT_EQ(p.version(), "");
    EXPECT_EQ(p.byte28(), 0xFF);
    EXPECT_TRUE(p.params().empty());
    EXPECT_EQ(p.address(), (UnitAddress{0xFF, 0xFF, 0xFF}));
    const DateBytes date{0x50, 0x01, 0x01, 0, 0, 0, 0, 0};
    EXPECT_EQ(p.date12(), date);
    EXPECT_EQ(p.date13(), date);
    EXPECT_EQ(p.text11(), "");
    EXPECT_EQ(p.statusTexts().count(), 0);
    EXPECT_TRUE(p.statusTexts().texts().empty());
}

PointParams filledParams()
{
    PointParams p;
    p.setMeasuringAlgorithmFromByte(200);
    p.setText27("Detector");
    p.setText17("Hall 3");
    p.setText18("Serial 42");
    p.setVersion("v2.1");
    p.setByte28(7);
    p.addParam(PointParam(113, 1, "Gain", uint8_t{200}));
    p.addParam(PointParam(115, 25, "Limit", 1234.5f));
    p.addParam(PointParam(117, 13, "Packed", LSingle{0x04FA}));
    p.setAddress(UnitAddress{1, 2, 3});
    p.setDate12(DateBytes{1, 2, 3, 4, 5, 6, 7, 8});
    p.setDate13(DateBytes{8, 7, 6, 5, 4, 3, 2, 1});
    p.setText11("Notes");
    p.setStatusTexts(StatusBitTexts::withDefaults());
    return p;
}

}  // namespace

TEST(PointParams, NewAndResetRecordsHoldTheResetValues)
{
    expectResetValues(PointParams());

    PointParams p = filledParams();
    p.reset();
    expectResetValues(p);
}

TEST(PointParams, CopiesCarryEveryField)
{
    const PointParams original = filledParams();
    PointParams assigned;
    assigned = original;
    for (const PointParams& p : {PointParams(original), assigned}) {
        EXPECT_EQ(p.measuringAlgorithm(), 200);  // zero-extended byte
        EXPECT_EQ(p.text27(), "Detector");
        EXPECT_EQ(p.text17(), "Hall 3");
        EXPECT_EQ(p.text18(), "Serial 42");
        EXPECT_EQ(p.version(), "v2.1");
        EXPECT_EQ(p.byte28(), 7);
        ASSERT_EQ(p.params().size(), 3u);
        EXPECT_EQ(p.params()[0].valueAs<uint8_t>(), 200);
        EXPECT_EQ(p.params()[1].valueAs<float>(), 1234.5f);
        EXPECT_EQ(p.params()[2].valueAs<LSingle>(), LSingle{0x04FA});
        EXPECT_EQ(p.params()[2].name(), "Packed");
        EXPECT_EQ(p.address(), (UnitAddress{1, 2, 3}));
        EXPECT_EQ(p.date12(), (DateBytes{1, 2, 3, 4, 5, 6, 7, 8}));
        EXPECT_EQ(p.date13(), (DateBytes{8, 7, 6, 5, 4, 3, 2, 1}));
        EXPECT_EQ(p.text11(), "Notes");
        EXPECT_EQ(p.statusTexts().count(), 10);
        EXPECT_EQ(p.statusTexts().textFor(10), "Block isn't ready");
    }
}

TEST(PointParam, ValueTexts)
{
    const struct {
        int32_t dataType;
        boost::any value;
        const char* text;
    } rows[] = {
        {1, uint8_t{200}, "200"},
        {1, uint8_t{0}, "0"},
        {1, uint8_t{255}, "255"},
        {25, 1234.5f, "1.23e+03"},
        {25, 12.0f, "12"},
        {25, 0.5f, "0.5"},
        {25, -0.00012345f, "-0.000123"},
    };
    for (const auto& row : rows) {
        const PointParam p(113, row.dataType, "Gain", row.value);
        EXPECT_EQ(p.valueText(), row.text);
        EXPECT_EQ(p.text(), wxString("Gain: ") + row.text);
    }
}

TEST(PointParam, ValuesWithoutTextRaise)
{
    const PointParam packed(117, 13, "Packed", LSingle{0x04FA});
    const PointParam unread;  // data type 0, holding int32_t 0
    const PointParam unknown(119, 11, "Word", uint32_t{5});
    for (const PointParam* p : {&packed, &unread, &unknown}) {
        try {
            p->valueText();
            ADD_FAILURE() << "no exception for data type " << p->dataType();
        } catch (const Exception& e) {
            EXPECT_EQ(e.code(), UnsupportedDataFormat);
            EXPECT_EQ(e.message(), "Unsupported data format");
        }
        EXPECT_THROW(p->text(), Exception);
    }
    EXPECT_EQ(packed.valueAs<LSingle>(), LSingle{0x04FA});
}

TEST(PointParam, HeldTypeMustMatch)
{
    const PointParam unread;
    EXPECT_EQ(unread.valueAs<int32_t>(), 0);
    EXPECT_THROW(unread.valueAs<uint8_t>(), boost::bad_any_cast);

    EXPECT_THROW(PointParam(113, 1, "Gain", 200).valueText(), boost::bad_any_cast);
    EXPECT_THROW(PointParam(113, 25, "Limit", 1.5).valueText(), boost::bad_any_cast);
    EXPECT_THROW(PointParam(113, 25, "Limit", uint8_t{1}).valueText(), boost::bad_any_cast);
}

TEST(PointParam, SetValueFromText)
{
    const struct {
        const char* text;
        uint8_t value;
    } bytes[] = {
        {"300", 44}, {"abc", 0}, {"", 0}, {"  42", 42}, {"+7", 7}, {"12abc", 12},
        {"-1", 255}, {"1.9", 1}, {"255", 255}, {"256", 0},
        // Out of range saturates before the low byte is taken.
        {"99999999999999999999999", 255},
    };
    for (const auto& row : bytes) {
        PointParam p(113, 1, "Gain", uint8_t{99});
        p.setValueFromText(row.text);
        EXPECT_EQ(p.valueAs<uint8_t>(), row.value) << row.text;
    }

    const struct {
        const char* text;
        float value;
    } floats[] = {
        {"1234.5", 1234.5f}, {" -2.5e3x", -2500.0f}, {"abc", 0.0f}, {"0.1", 0.1f}, {"7", 7.0f},
        {"1e300", std::numeric_limits<float>::infinity()},
    };
    for (const auto& row : floats) {
        PointParam p(115, 25, "Limit", 3.0f);
        p.setValueFromText(row.text);
        EXPECT_EQ(p.valueAs<float>(), row.value) << row.text;
    }

    // A fresh entry takes the held type of its data type.
    PointParam fresh;
    fresh.setDataType(1);
    fresh.setValueFromText("5");
    EXPECT_EQ(fresh.valueAs<uint8_t>(), 5);

    PointParam packed(117, 13, "Packed", LSingle{0x04FA});
    packed.setValueFromText("5");
    EXPECT_EQ(packed.valueAs<LSingle>(), LSingle{0x04FA});
}

TEST(StatusBitTexts, BuiltInTexts)
{
    const char* const expected[] = {
        "Shortcut circuit",      "Block is absence",      "Block is broken",
        "Memory is broken",      "Unknown block type",    "Threshold is exceeded",
        "Preliminary threshold is exceeded", "Threshold is reduced",
        "Block sensitivity is exceeded",     "Block isn't ready",
    };
    const StatusBitTexts texts = StatusBitTexts::withDefaults();
    EXPECT_EQ(texts.count(), 10);
    EXPECT_EQ(texts.texts().size(), 10u);
    for (uint8_t key = 1; key <= 10; ++key) {
        EXPECT_EQ(texts.textFor(key), expected[key - 1]) << int(key);
    }
    EXPECT_EQ(texts.textFor(0), "");
    EXPECT_EQ(texts.textFor(11), "");
}

TEST(StatusBitTexts, CountIsCappedButEveryKeyIsKept)
{
    StatusBitTexts::TextMap twenty;
    for (uint8_t key = 1; key <= 20; ++key) {
        twenty[key] = wxString::Format("Bit %d", key - 1);
    }
    const struct {
        StatusBitTexts::TextMap map;
        int32_t count;
    } rows[] = {
        {{}, 0},
        {{{3, "Three"}}, 1},
        {twenty, 16},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(StatusBitTexts(row.map).count(), row.count);
        EXPECT_EQ(StatusBitTexts(row.map).texts().size(), row.map.size());
    }

    StatusBitTexts texts(twenty);
    EXPECT_EQ(StatusBitTexts::maxCount(), 16);
    EXPECT_EQ(texts.textFor(17), "Bit 16");
    EXPECT_EQ(texts.textFor(20), "Bit 19");
    EXPECT_EQ(texts.textFor(21), "");

    StatusBitTexts copy;
    copy = texts;
    EXPECT_EQ(copy.count(), 16);
    EXPECT_EQ(copy.textFor(20), "Bit 19");

    texts.clear();
    EXPECT_EQ(texts.count(), 0);
    EXPECT_EQ(texts.textFor(1), "");
    EXPECT_EQ(copy.textFor(1), "Bit 0");
}
