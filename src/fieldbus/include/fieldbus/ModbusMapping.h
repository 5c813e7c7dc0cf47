#pragma once

// The register map's shared pieces: table sizes, count limits, the callback table, the
// register encodings and the code maps between internal values and Modbus values.

#include <cstdint>
#include <string>

namespace Modbus {

constexpr int MODBUS_MAPPING_VERSION = 1;
constexpr int IOS_CNT = 64;
constexpr int SIGNALS_CNT = 100;

constexpr int kCoilCount = 428;
constexpr int kDiscreteInputCount = 428;
constexpr int kHoldingRegisterCount = 750;
constexpr int kInputRegisterCount = 750;
// Holding register 180 (move speed) is preset to this value.
constexpr int kMoveSpeedRegister = 180;
constexpr std::uint16_t kMoveSpeedPreset = 500;

// Count limits, inclusive.
inline bool validCoilCntRead(int count) { return count >= 1 && count <= 2000; }
inline bool validCoilCntWrite(int count) { return count >= 1 && count <= 1968; }
inline bool validRegisterCntRead(int count) { return count >= 1 && count <= 125; }
inline bool validRegisterCntWrite(int count) { return count >= 1 && count <= 123; }

using Callback = void (*)(std::uint16_t address, int count);

class Callbacks {
public:
    void SetupCallbacks(Callback readDiscreteInputs, Callback readCoils, Callback readInputRegisters,
                        Callback readHoldingRegisters, Callback writeCoils, Callback writeHoldingRegisters);
    void CallOnReadDiscreteInputs(std::uint16_t address, int count) const { Call(readDiscreteInputs, address, count); }
    void CallOnReadCoils(std::uint16_t address, int count) const { Call(readCoils, address, count); }
    void CallOnReadInputRegisters(std::uint16_t address, int count) const { Call(readInputRegisters, address, count); }
    void CallOnReadHoldingRegisters(std::uint16_t address, int count) const {
        Call(readHoldingRegisters, address, count);
    }
    void CallOnWriteCoils(std::uint16_t address, int count) const { Call(writeCoils, address, count); }
    void CallOnWriteHoldingRegisters(std::uint16_t address, int count) const {
        Call(writeHoldingRegisters, address, count);
    }

private:
    static void Call(Callback callback, std::uint16_t address, int count) {
        if (callback != nullptr) callback(address, count);
    }
    Callback readDiscreteInputs = nullptr;
    Callback readCoils = nullptr;
    Callback readInputRegisters = nullptr;
    Callback readHoldingRegisters = nullptr;
    Callback writeCoils = nullptr;
    Callback writeHoldingRegisters = nullptr;
};

// The server's callbacks: each forwards to the member of the same name of Instance().
void onReadDiscreteInputs(std::uint16_t address, int count);
void onReadCoils(std::uint16_t address, int count);
void onReadInputRegisters(std::uint16_t address, int count);
void onReadHoldingRegisters(std::uint16_t address, int count);
void onWriteCoils(std::uint16_t address, int count);
void onWriteHoldingRegisters(std::uint16_t address, int count);

// --- Encodings: 32-bit values in two registers, low word at the lower address ---
inline std::int32_t ToInt(std::uint16_t low, std::uint16_t high) {
    return static_cast<std::int32_t>((static_cast<std::uint32_t>(high) << 16) | low);
}
inline float ToFloat(std::uint16_t low, std::uint16_t high) { return static_cast<float>(ToInt(low, high)); }
// Float to int32 truncating toward zero; out of range saturates and NaN gives 0 (the bare
// conversion is undefined there).
std::int32_t SaturateToInt32(double value);
inline std::uint16_t Lower16(std::int32_t value) { return static_cast<std::uint16_t>(static_cast<std::uint32_t>(value) & 0xFFFFu); }
inline std::uint16_t Upper16(std::int32_t value) { return static_cast<std::uint16_t>(static_cast<std::uint32_t>(value) >> 16); }
inline std::uint16_t Lower16(float value) { return Lower16(SaturateToInt32(value)); }
inline std::uint16_t Upper16(float value) { return Upper16(SaturateToInt32(value)); }
inline std::uint16_t Lower16(double value) { return Lower16(static_cast<float>(value)); }
inline std::uint16_t Upper16(double value) { return Upper16(static_cast<float>(value)); }
// Single registers: "signed" is the low 16 bits of the truncated value, "unsigned" cuts a
// negative value to 0 first.
inline std::uint16_t SignedRegister(double value) { return Lower16(SaturateToInt32(static_cast<float>(value))); }
inline std::uint16_t UnsignedRegister(double value) {
    const std::int32_t v = SaturateToInt32(static_cast<float>(value));
    return v < 0 ? 0 : Lower16(v);
}
inline std::uint16_t UnsignedRegister(int value) { return value < 0 ? 0 : Lower16(static_cast<std::int32_t>(value)); }
// Register k holds character 2k (low byte) and 2k+1 (high byte); the rest is 0.
void StringToRegisters(const std::string& text, std::uint16_t* registers, int n);
// Low byte then high byte, up to the first zero byte or n registers.
std::string StringFromRegisters(const std::uint16_t* registers, int n);

// --- Code maps ---
std::uint16_t FromMotionType(int motionType);
int ToMotionType(std::uint16_t value);
std::uint16_t FromReplayMode(int replayMode);
int ToReplayMode(std::uint16_t value);
std::uint16_t FromRunState(int runState);
int ToRunState(std::uint16_t value);
std::uint16_t FromKinematicState(int kinState);
std::uint16_t FromIPOStopReason(int stopReason);
std::uint16_t FromOperationMode(int mode);

}  // namespace Modbus
