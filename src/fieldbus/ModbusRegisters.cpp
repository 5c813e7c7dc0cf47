// Input and holding registers: refreshed before a read; holding registers act after a write.
#include "kinematics/KinematicErrorTexts.h"
#include "core/LogSingleton.h"
#include "ModbusHandlers.h"
#include "fieldbus/ModbusServer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <string>

namespace Modbus {

using Detail::RecordOf;
using Detail::Snapshot;
using Detail::Walk;

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

const char* const kReadInputWatchdog =
    "ERROR: Modbus Watchdog overflow detected: possible infinite loop while reading input register %d. Leaving loop.";
const char* const kReadHoldingWatchdog =
    "ERROR: Modbus Watchdog overflow detected: possible infinite loop while reading holding register %d. Leaving "
    "loop.";
const char* const kWriteHoldingWatchdog =
    "ERROR: Modbus Watchdog overflow detected: possible infinite loop while writing holding register %d. Leaving "
    "loop.";

constexpr int kNumberFirst = 440;
constexpr int kNumberLast = 455;
constexpr int kPositionFirst = 456;
constexpr int kPositionLast = 711;
constexpr int kPositionSize = 16;

std::string ExchangeName(const char* format, int n) {
    char name[16];
    std::snprintf(name, sizeof(name), format, n);
    return name;
}

void PutPair(std::uint16_t* r, int at, double scaled) {
    const std::int32_t v = SaturateToInt32(static_cast<float>(scaled));
    r[at] = Lower16(v);
    r[at + 1] = Upper16(v);
}

// Per-module blocks: the role groups in register order, each with its first register and size.
struct Group {
    int role;
    int first;
    int slots;
};

template <typename Value>
void FillModules(std::uint16_t* r, const ModuleLayout& m, const Group* groups, int groupCount, int from, int to,
                 Value value) {
    std::fill(r + from, r + to + 1, 0);
    for (int g = 0; g < groupCount; ++g) {
        for (int k = 0; k < groups[g].slots; ++k) {
            const int record = RecordOf(m, groups[g].role, k);
            if (record >= 0) r[groups[g].first + k] = value(record);
        }
    }
}

// The number register n of a "mb_num_" variable: nearest integer, negative reads 0. A
// missing variable leaves the register as it is.
void ReadNumber(const ControllerPort& port, std::uint16_t* r, int a, const char* format) {
    const auto variable = port.GetVariable(ExchangeName(format, a - kNumberFirst + 1));
    if (variable) r[a] = UnsignedRegister(static_cast<double>(SaturateToInt32(std::round(variable->value))));
}

// The 16 registers of a position block from its variable; returns the block's last address.
int ReadPosition(const ControllerPort& port, std::uint16_t* r, int a, const char* format) {
    const int n = (a - kPositionFirst) / kPositionSize + 1;
    const int base = kPositionFirst + (n - 1) * kPositionSize;
    const auto variable = port.GetVariable(ExchangeName(format, n));
    if (variable) {
        const DataTypes::RobotState& s = variable->state;
        for (int j = 0; j < 9; ++j) r[base + j] = SignedRegister(s.jointSet[j] * 10.0f);
        r[base + 9] = SignedRegister(s.pose(0, 3) * 10.0f);
        r[base + 10] = SignedRegister(s.pose(1, 3) * 10.0f);
        r[base + 11] = SignedRegister(s.pose(2, 3) * 10.0f);
        r[base + 12] = SignedRegister(s.A * 10.0f);
        r[base + 13] = SignedRegister(s.B * 10.0f);
        r[base + 14] = SignedRegister(s.C * 10.0f);
    }
    return base + kPositionSize - 1;
}

std::string ShownEntryName(const std::string& name) {
    if (name.size() <= 2) return name;
    const size_t slash = name.rfind('/', name.size() - 3);
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

template <typename Body>
void Guarded(const char* handler, std::uint16_t start, int count, Body body) {
    try {
        body();
    } catch (const std::exception& e) {
        Log()->addFormat("Exception in Modbus::%s (address %d, num %d): %s", handler, start, count, e.what());
    } catch (int code) {
        // The kinematic reports by int codes.
        Log()->addFormat("Exception in Modbus::%s (address %d, num %d): %s", handler, start, count,
                         KinematicErrorText(code).c_str());
    } catch (...) {
        Log()->addFormat("Exception in Modbus::%s (address %d, num %d): %s", handler, start, count,
                         "unknown exception");
    }
}

}  // namespace

// ------------------------------------------------------------------------------ input registers

void ModbusServer::OnReadInputRegisters(std::uint16_t start, int count) {
    Guarded("OnReadInputRegisters", start, count, [&] {
        ControllerPort& port = Port();
        Snapshot snap(port);
        std::uint16_t* r = table.input;
        Walk(kInputRegisterCount, start, count, kReadInputWatchdog, [&](int a) -> int {
            if (a >= 25 && a <= 43) {
                static const Group groups[] = {{ModuleLayout::RobotJoint, 25, 6}, {ModuleLayout::ExternalAxis, 31, 3},
                                               {ModuleLayout::Gripper, 34, 3},    {ModuleLayout::Platform, 37, 4},
                                               {ModuleLayout::DIO, 41, 3}};
                const ModuleLayout& m = snap.Modules();
                FillModules(r, m, groups, 5, 25, 43, [&](int rec) { return Lower16(m.errorCodes[rec]); });
                return 43;
            }
            if (a >= 44 && a <= 91) {
                const int from = a < 60 ? 44 : (a < 76 ? 60 : 76);
                const Group groups[] = {{ModuleLayout::RobotJoint, from, 6}, {ModuleLayout::ExternalAxis, from + 6, 3},
                                        {ModuleLayout::Gripper, from + 9, 3}, {ModuleLayout::Platform, from + 12, 4}};
                const ModuleLayout& m = snap.Modules();
                const DataTypes::RobotState& s = snap.State();
                if (from == 44) {
                    FillModules(r, m, groups, 4, 44, 59, [&](int rec) { return SignedRegister(s.boardTemps[rec] * 10.0f); });
                } else if (from == 60) {
                    FillModules(r, m, groups, 4, 60, 75, [&](int rec) { return SignedRegister(s.motorTemps[rec] * 10.0f); });
                } else {
                    FillModules(r, m, groups, 4, 76, 91, [&](int rec) { return Lower16(s.currents[rec]); });
                }
                return from + 15;
            }
            if (a >= 130 && a <= 141) {
                const DataTypes::RobotState& s = snap.State();
                PutPair(r, 130, s.pose(0, 3) * 100.0f);
                PutPair(r, 132, s.pose(1, 3) * 100.0f);
                PutPair(r, 134, s.pose(2, 3) * 100.0f);
                PutPair(r, 136, s.A * 100.0f);
                PutPair(r, 138, s.B * 100.0f);
                PutPair(r, 140, s.C * 100.0f);
                return 141;
            }
            if (a >= 142 && a <= 165) {
                const DataTypes::RobotState& s = snap.State();
                for (int j = 0; j < 9; ++j) PutPair(r, 142 + 2 * j, s.jointSet[j] * 100.0f);
                for (int g = 0; g < 3; ++g) PutPair(r, 160 + 2 * g, s.gripper[g] * 100.0f);
                return 165;
            }
            if (a >= 207 && a <= 210) {
                const DataTypes::RobotState& s = snap.State();
                for (int w = 0; w < 4; ++w) {
                    unsigned mask = 0;
                    for (int b = 0; b < 16; ++b) mask |= s.DIn[16 * w + b] ? (1u << b) : 0u;
                    r[207 + w] = static_cast<std::uint16_t>(mask);
                }
                return 210;
            }
            if (a >= 333 && a <= 364) {
                StringToRegisters(ShownEntryName(port.GetSelectedEntryName()), r + 333, 32);
                return 364;
            }
            if (a >= 365 && a <= 396) {
                StringToRegisters(port.GetBrowserDirectory(), r + 365, 32);
                return 396;
            }
            if (a >= 400 && a <= 431) {
                std::string message;
                port.GetDisplayMessage(message);
                StringToRegisters(message, r + 400, 32);
                return 431;
            }
            if (a >= kNumberFirst && a <= kNumberLast) {
                ReadNumber(port, r, a, "mb_num_r%d");
                return a;
            }
            if (a >= kPositionFirst && a <= kPositionLast) return ReadPosition(port, r, a, "mb_pos_r%d");
            switch (a) {
                case 0: r[a] = Lower16(versionMajor); break;
                case 1: r[a] = Lower16(versionMinor); break;
                case 2: r[a] = Lower16(versionBuild); break;
                case 3: r[a] = MODBUS_MAPPING_VERSION; break;
                case 4: case 6: case 8: case 10: case 12:
                    r[a] = Lower16(port.GetSystemVar((a - 4) / 2));
                    break;
                case 5: case 7: case 9: case 11: r[a] = 0; break;
                case 13: r[a] = UnsignedRegister(snap.Loop().cycleTimeMs * 10.0); break;
                case 14: r[a] = UnsignedRegister(snap.Loop().maxCycleTimeUs * 0.01); break;
                case 15: r[a] = UnsignedRegister(snap.Loop().frequencyHz * 100.0); break;
                case 16: r[a] = UnsignedRegister(snap.Loop().workload * 100.0); break;
                case 20: r[a] = UnsignedRegister(snap.Modules().count[ModuleLayout::RobotJoint]); break;
                case 21: r[a] = UnsignedRegister(snap.Modules().count[ModuleLayout::ExternalAxis]); break;
                case 22: r[a] = UnsignedRegister(snap.Modules().count[ModuleLayout::Gripper]); break;
                case 23: r[a] = UnsignedRegister(snap.Modules().count[ModuleLayout::Platform]); break;
                case 24: r[a] = UnsignedRegister(snap.Modules().count[ModuleLayout::DIO]); break;
                case 92: r[a] = UnsignedRegister(snap.Modules().supplyVoltage * 0.1); break;
                case 93: r[a] = Lower16(snap.State().currentAll); break;
                case 95: r[a] = FromKinematicState(snap.State().kinState); break;
                case 96: r[a] = FromOperationMode(port.GetOperationMode()); break;
                case 262: r[a] = UnsignedRegister(snap.Main().programCount); break;
                case 263: r[a] = Lower16(snap.Main().activeProgram); break;
                case 264: r[a] = UnsignedRegister(snap.Main().activeCommandCount); break;
                case 265: r[a] = Lower16(snap.Main().currentPoint); break;
                case 266: r[a] = FromIPOStopReason(snap.Main().stopReason); break;
                case 331: r[a] = UnsignedRegister(port.GetBrowserEntryCount()); break;
                case 332: r[a] = UnsignedRegister(port.GetBrowserSelection()); break;
                default: break;
            }
            return a;
        });
    });
}

// ------------------------------------------------------------------------------ holding registers

void ModbusServer::OnReadHoldingRegisters(std::uint16_t start, int count) {
    Guarded("OnReadHoldingRegisters", start, count, [&] {
        ControllerPort& port = Port();
        Snapshot snap(port);
        std::uint16_t* r = table.holding;
        Walk(kHoldingRegisterCount, start, count, kReadHoldingWatchdog, [&](int a) -> int {
            if (a >= 181 && a <= 186) {
                float v[3] = {};
                port.GetVelocities(v[0], v[1], v[2]);
                for (int e = 0; e < 3; ++e) PutPair(r, 181 + 2 * e, v[e] * 10.0f);
                return 186;
            }
            if (a >= 200 && a <= 206) {
                const DataTypes::RobotState& s = snap.State();
                for (int w = 0; w < 7; ++w) {
                    unsigned mask = 0;
                    for (int b = 0; b < 16 && 16 * w + b < SIGNALS_CNT; ++b) mask |= s.GSig[16 * w + b] ? (1u << b) : 0u;
                    r[200 + w] = static_cast<std::uint16_t>(mask);
                }
                return 206;
            }
            if (a >= 207 && a <= 210) {
                const DataTypes::RobotState& s = snap.State();
                for (int w = 0; w < 4; ++w) {
                    unsigned mask = 0;
                    for (int b = 0; b < 16; ++b) mask |= s.DOut[16 * w + b] ? (1u << b) : 0u;
                    r[207 + w] = static_cast<std::uint16_t>(mask);
                }
                return 210;
            }
            if (a >= 267 && a <= 298) {
                StringToRegisters(snap.Main().loadedName, r + 267, 32);
                return 298;
            }
            if (a >= 299 && a <= 330) {
                StringToRegisters(snap.Logic().loadedName, r + 299, 32);
                return 330;
            }
            if (a >= kNumberFirst && a <= kNumberLast) {
                ReadNumber(port, r, a, "mb_num_w%d");
                return a;
            }
            if (a >= kPositionFirst && a <= kPositionLast) return ReadPosition(port, r, a, "mb_pos_w%d");
            switch (a) {
                case 187: r[a] = UnsignedRegister(port.GetOverride() * 100.0); break;
                case 188: r[a] = FromMotionType(port.GetMotionType()); break;
                case 260: r[a] = FromRunState(snap.Main().runState); break;
                case 261: r[a] = FromReplayMode(snap.Main().replayMode); break;
                case 332: r[a] = UnsignedRegister(port.GetBrowserSelection()); break;
                default: break;
            }
            return a;
        });
    });
}

void ModbusServer::OnWriteHoldingRegisters(std::uint16_t start, int count) {
    Guarded("OnWriteHoldingRegisters", start, count, [&] {
        ControllerPort& port = Port();
        std::uint16_t* r = table.holding;
        const int end = static_cast<int>(start) + count - 1;
        Walk(kHoldingRegisterCount, start, count, kWriteHoldingWatchdog, [&](int a) -> int {
            if (a >= 181 && a <= 186) {
                // Only the pairs this request wrote become the PLC's velocities.
                for (int e = 0; e < 3; ++e) {
                    const int low = 181 + 2 * e;
                    if (low + 1 >= static_cast<int>(start) && low <= end) {
                        plcVelocity[e].store(ToInt(r[low], r[low + 1]));
                    }
                }
                port.SetVelocities(plcVelocity[0].load() * 0.1f, plcVelocity[1].load() * 0.1f,
                                   plcVelocity[2].load() * 0.1f);
                return 186;
            }
            if (a >= 200 && a <= 206) {
                const int w = a - 200;
                for (int b = 0; b < 16 && 16 * w + b < SIGNALS_CNT; ++b) {
                    port.SetGlobalSignal(16 * w + b, ((r[a] >> b) & 1) != 0);
                }
                return a;
            }
            if (a >= 207 && a <= 210) {
                const int w = a - 207;
                for (int b = 0; b < 16; ++b) port.SetManualDOut(16 * w + b, ((r[a] >> b) & 1) != 0);
                return a;
            }
            // A refused name leaves the block reading the loaded name at the next read.
            if (a >= 267 && a <= 298) {
                if (port.LoadProgram(Interpreter::Main, StringFromRegisters(r + 267, 32))) port.SaveProject();
                return 298;
            }
            if (a >= 299 && a <= 330) {
                if (port.LoadProgram(Interpreter::Logic, StringFromRegisters(r + 299, 32))) port.SaveProject();
                return 330;
            }
            if (a >= kNumberFirst && a <= kNumberLast) {
                port.SetNumber(ExchangeName("mb_num_w%d", a - kNumberFirst + 1), static_cast<std::int16_t>(r[a]));
                return a;
            }
            if (a >= kPositionFirst && a <= kPositionLast) {
                const int n = (a - kPositionFirst) / kPositionSize + 1;
                const int base = kPositionFirst + (n - 1) * kPositionSize;
                const auto stored = port.GetVariable(ExchangeName("mb_pos_w%d", n));
                if (stored) {
                    Programs::MemoryPosition variable = *stored;
                    auto value = [&](int offset) { return static_cast<std::int16_t>(r[base + offset]) * 0.1f; };
                    DataTypes::RobotState& s = variable.state;
                    for (int j = 0; j < 9; ++j) s.jointSet[j] = value(j);
                    s.pose.SetTranslation(value(9), value(10), value(11));
                    s.A = value(12);
                    s.B = value(13);
                    s.C = value(14);
                    s.pose.SetRotationABCDeg(s.A, s.B, s.C);
                    switch (r[base + 15]) {
                        case 0: port.StoreVariable(variable, Programs::ContentUnchanged); break;
                        case 1: port.StoreVariable(variable, Programs::ContentJoints); break;
                        case 2: port.StoreVariable(variable, Programs::ContentCartesian); break;
                        default: break;
                    }
                }
                return base + kPositionSize - 1;
            }
            switch (a) {
                case 187: {
                    const float wanted = std::clamp(static_cast<float>(r[a]) * 0.01f, 0.0f, 100.0f);
                    if (std::fabs(wanted - port.GetOverride()) > 0.1f) {
                        port.SetOverride(wanted);
                        port.SaveProject();
                    }
                    break;
                }
                case 188: port.SetMotionType(ToMotionType(r[a])); break;
                case 260:
                    switch (ToRunState(r[a])) {
                        case 2: port.StartProgram(); break;
                        case 0: port.PauseProgram(); break;
                        default: port.StopProgram(); break;
                    }
                    break;
                case 261: {
                    const int mode = ToReplayMode(r[a]);
                    if (mode != port.GetInterpreterInfo(Interpreter::Main).replayMode) {
                        port.SetReplayMode(mode);
                        port.SaveProject();
                    }
                    break;
                }
                case 332: port.SetBrowserSelection(r[a]); break;
                default: break;
            }
            return a;
        });
    });
}

}  // namespace Modbus
