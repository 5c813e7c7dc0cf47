// Register encodings and code maps of the Modbus map.
#include "fieldbus/ModbusMapping.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using namespace Modbus;

TEST(ModbusEncoding, ScaledValuesBecomeTwoComplementPairsLowWordFirst) {
    struct Case {
        float value;
        std::uint16_t low, high;
    };
    const Case cases[] = {
        {-12.34f * 100.0f, 0xFB2E, 0xFFFF},
        {1234.56f * 100.0f, Lower16(123456), Upper16(123456)},
        {0.999f, 0, 0},       // truncated toward zero
        {-0.999f, 0, 0},
        {70000.0f, 0x1170, 0x0001},
        {std::nanf(""), 0, 0},  // a division by zero stored in a variable: 0, not undefined
        {std::numeric_limits<float>::infinity(), 0xFFFF, 0x7FFF},
        {-std::numeric_limits<float>::infinity(), 0x0000, 0x8000},
        {1e20f, 0xFFFF, 0x7FFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(Lower16(c.value), c.low);
        EXPECT_EQ(Upper16(c.value), c.high);
    }
    EXPECT_EQ(ToInt(0xFB2E, 0xFFFF), -1234);
    EXPECT_FLOAT_EQ(ToFloat(0xFB2E, 0xFFFF) * 0.01f, -12.34f);
    EXPECT_EQ(ToInt(0xFFFF, 0x7FFF), std::numeric_limits<std::int32_t>::max());
}

TEST(ModbusEncoding, SingleRegistersSignedAndUnsigned) {
    EXPECT_EQ(SignedRegister(-25.0), 0xFFE7);
    EXPECT_EQ(UnsignedRegister(-25.0), 0);
    EXPECT_EQ(UnsignedRegister(70000), 4464);
    // 1000 Hz times 100 wraps in 16 bits, as the unsigned rule says.
    EXPECT_EQ(UnsignedRegister(1000.0 * 100.0), 34464);
    EXPECT_EQ(UnsignedRegister(std::nan("")), 0);
}

TEST(ModbusEncoding, StringsTwoCharactersPerRegisterLowByteFirst) {
    std::uint16_t r[6];
    std::fill(std::begin(r), std::end(r), 0xAAAA);
    StringToRegisters("prog.xml", r, 6);
    const std::uint16_t expected[6] = {0x7270, 0x676F, 0x782E, 0x6C6D, 0, 0};
    for (int k = 0; k < 6; ++k) EXPECT_EQ(r[k], expected[k]) << k;
    EXPECT_EQ(StringFromRegisters(r, 6), "prog.xml");

    // Odd length: the last register's high byte is 0. Too long: cut.
    StringToRegisters("abc", r, 2);
    EXPECT_EQ(r[0], 0x6261);
    EXPECT_EQ(r[1], 0x0063);
    EXPECT_EQ(StringFromRegisters(r, 2), "abc");
    StringToRegisters("abcdefgh", r, 2);
    EXPECT_EQ(StringFromRegisters(r, 2), "abcd");
    // Reading stops after n registers when no zero byte comes.
    const std::uint16_t full[2] = {0x6261, 0x6463};
    EXPECT_EQ(StringFromRegisters(full, 2), "abcd");
}

TEST(ModbusCodeMaps, InternalValuesToModbusAndBack) {
    struct Case {
        const char* map;
        std::uint16_t (*from)(int);
        int internal;
        std::uint16_t modbus;
    };
    const Case reads[] = {
        {"motion", FromMotionType, 0, 0},      {"motion", FromMotionType, 3, 3},
        {"motion", FromMotionType, 4, 65535},  {"replay", FromReplayMode, 2, 2},
        {"replay", FromReplayMode, -1, 65535}, {"run", FromRunState, 1, 0},
        {"run", FromRunState, 2, 1},           {"run", FromRunState, 0, 2},
        {"run", FromRunState, 7, 65535},       {"kin", FromKinematicState, 35, 35},
        {"kin", FromKinematicState, 50, 50},   {"kin", FromKinematicState, 99, 1},
        {"kin", FromKinematicState, 36, 65535}, {"kin", FromKinematicState, -1, 65535},
        {"stop", FromIPOStopReason, 5, 5},     {"stop", FromIPOStopReason, 6, 100},
        {"stop", FromIPOStopReason, 7, 101},   {"stop", FromIPOStopReason, 9, 103},
        {"stop", FromIPOStopReason, 10, 100},  {"opmode", FromOperationMode, 1, 1},
        {"opmode", FromOperationMode, 3, 65535},
    };
    for (const Case& c : reads) EXPECT_EQ(c.from(c.internal), c.modbus) << c.map << " " << c.internal;

    struct Back {
        const char* map;
        int (*to)(std::uint16_t);
        std::uint16_t modbus;
        int internal;
    };
    const Back writes[] = {
        {"motion", ToMotionType, 2, 2}, {"motion", ToMotionType, 4, 0},   {"motion", ToMotionType, 65535, 0},
        {"replay", ToReplayMode, 1, 1}, {"replay", ToReplayMode, 2, 2},   {"replay", ToReplayMode, 3, 0},
        {"run", ToRunState, 1, 2},      {"run", ToRunState, 2, 0},        {"run", ToRunState, 0, 1},
        {"run", ToRunState, 9, 1},
    };
    for (const Back& c : writes) EXPECT_EQ(c.to(c.modbus), c.internal) << c.map << " " << c.modbus;
}

TEST(ModbusCountLimits, InclusiveBounds) {
    EXPECT_TRUE(validCoilCntRead(2000));
    EXPECT_FALSE(validCoilCntRead(2001));
    EXPECT_FALSE(validCoilCntRead(0));
    EXPECT_TRUE(validCoilCntWrite(1968));
    EXPECT_FALSE(validCoilCntWrite(1969));
    EXPECT_TRUE(validRegisterCntRead(125));
    EXPECT_FALSE(validRegisterCntRead(126));
    EXPECT_TRUE(validRegisterCntWrite(123));
    EXPECT_FALSE(validRegisterCntWrite(124));
}

}  // namespace
