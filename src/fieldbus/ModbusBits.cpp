// Coils and discrete inputs: status bits before a read, commands after a coil write.
#include "kinematics/KinematicErrorTexts.h"
#include "core/LogSingleton.h"
#include "ModbusHandlers.h"
#include "fieldbus/ModbusServer.h"

#include <algorithm>
#include <exception>

namespace Modbus {

using Detail::RecordOf;
using Detail::Snapshot;
using Detail::Walk;

namespace Detail {
void LogWatchdog(const char* format, int address) { LogSingleton::instance()->addFormat(format, address); }
}  // namespace Detail

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

const char* const kReadBitsWatchdog =
    "ERROR: Modbus Watchdog overflow detected: possible infinite loop while reading coil/discrete input %d. "
    "Leaving loop.";
const char* const kWriteCoilsWatchdog =
    "ERROR: Modbus Watchdog overflow detected: possible infinite loop while writing coil %d. Leaving loop.";

// Fills the block from..to with value(address); returns to.
template <typename Value>
int FillBits(std::uint8_t* bits, int from, int to, Value value) {
    for (int a = from; a <= to; ++a) bits[a] = value(a) ? 1 : 0;
    return to;
}

}  // namespace

bool ModbusServer::CoilChanged(int address) const {
    if (address < 0 || address >= kCoilCount) return false;
    return table.coils[address] != previousCoils[static_cast<size_t>(address)];
}

bool ModbusServer::CoilRisingEdge(int address) const { return CoilChanged(address) && table.coils[address] != 0; }

bool ModbusServer::CoilFallingEdge(int address) const { return CoilChanged(address) && table.coils[address] == 0; }

void ModbusServer::OnReadCoils(std::uint16_t address, int count) { OnReadBits(table.coils, kCoilCount, address, count); }

void ModbusServer::OnReadDiscreteInputs(std::uint16_t address, int count) {
    OnReadBits(table.discreteInputs, kDiscreteInputCount, address, count);
}

void ModbusServer::OnReadBits(std::uint8_t* bits, int size, std::uint16_t start, int count) {
    try {
        ControllerPort& port = Port();
        Snapshot snap(port);
        Walk(size, start, count, kReadBitsWatchdog, [&](int a) -> int {
            if (a >= 10 && a <= 14) {
                const ModuleLayout& m = snap.Modules();
                static const int roleOf[5] = {ModuleLayout::RobotJoint, ModuleLayout::ExternalAxis,
                                              ModuleLayout::Gripper, ModuleLayout::Platform, ModuleLayout::DIO};
                bits[a] = m.count[roleOf[a - 10]] > 0 ? 1 : 0;
                return a;
            }
            if (a >= 20 && a <= 30) {
                int all = 0;
                for (int code : snap.State().errorCodes) all |= code;
                return FillBits(bits, 20, 30, [&](int b) { return b == 20 ? all == 0 : ((all >> (b - 21)) & 1) != 0; });
            }
            if (a >= 37 && a <= 44) {
                const int k = snap.State().kinState;
                return FillBits(bits, 37, 44, [&](int b) {
                    switch (b) {
                        case 37: return k == 0;
                        case 38: return k == 13;
                        case 39: return k == 14;
                        case 40: return k == 21;
                        case 41: return k == 22;
                        case 42: return k == 23;
                        case 43: return k >= 30 && k <= 35;
                        default: return k == 99;
                    }
                });
            }
            if (a >= 61 && a <= 72) {
                const ModuleLayout& m = snap.Modules();
                std::fill(bits + 61, bits + 73, 0);
                auto put = [&](int role, int firstBit, int slots) {
                    for (int k = 0; k < slots; ++k) {
                        const int record = RecordOf(m, role, k);
                        if (record >= 0) bits[firstBit + k] = m.referenced[record] ? 1 : 0;
                    }
                };
                put(ModuleLayout::RobotJoint, 61, 6);
                put(ModuleLayout::ExternalAxis, 67, 3);
                put(ModuleLayout::Gripper, 70, 3);
                return 72;
            }
            if (a >= 200 && a <= 299) {
                const DataTypes::RobotState& s = snap.State();
                return FillBits(bits, 200, 299, [&](int b) { return s.GSig[b - 200]; });
            }
            if (a >= 300 && a <= 363) {
                const DataTypes::RobotState& s = snap.State();
                return FillBits(bits, 300, 363, [&](int b) { return s.DOut[b - 300]; });
            }
            if (a >= 364 && a <= 427) {
                const DataTypes::RobotState& s = snap.State();
                return FillBits(bits, 364, 427, [&](int b) { return s.DIn[b - 364]; });
            }
            switch (a) {
                case 50: bits[a] = snap.Modules().connected ? 1 : 0; break;
                case 53: bits[a] = snap.Modules().motorsEnabled ? 1 : 0; break;
                case 54: bits[a] = port.GetOperationMode() == 0 ? 1 : 0; break;
                case 60: bits[a] = snap.Modules().allReferenced ? 1 : 0; break;
                case 110: bits[a] = port.IsZeroTorqueAllowed() ? 1 : 0; break;
                case 111: bits[a] = port.IsZeroTorqueEnabled() ? 1 : 0; break;
                case 112: bits[a] = port.IsMoving() ? 1 : 0; break;
                case 120: bits[a] = snap.Main().loaded ? 1 : 0; break;
                case 121: bits[a] = snap.Logic().loaded ? 1 : 0; break;
                case 122: bits[a] = snap.Main().runState == 2 ? 1 : 0; break;
                case 123: bits[a] = snap.Main().runState == 0 ? 1 : 0; break;
                case 124: bits[a] = snap.Main().runState == 1 ? 1 : 0; break;
                case 132: bits[a] = port.IsSelectedEntryAFile() ? 1 : 0; break;
                default: break;
            }
            return a;
        });
    } catch (const std::exception& e) {
        Log()->addFormat("Exception in Modbus::OnReadBits (address %d, num %d): %s", start, count, e.what());
    } catch (int code) {
        Log()->addFormat("Exception in Modbus::OnReadBits (address %d, num %d): %s", start, count,
                         KinematicErrorText(code).c_str());
    } catch (...) {
        Log()->addFormat("Exception in Modbus::OnReadBits (address %d, num %d): %s", start, count, "unknown exception");
    }
}

void ModbusServer::OnWriteCoils(std::uint16_t start, int count) {
    try {
        ControllerPort& port = Port();
        const int end = static_cast<int>(start) + count - 1;  // last written address
        Walk(kCoilCount, start, count, kWriteCoilsWatchdog, [&](int a) -> int {
            if (a >= 100 && a <= 102) {
                if (CoilRisingEdge(a)) {
                    const std::uint16_t* h = table.holding;
                    const DataTypes::Vector3 position(ToInt(h[130], h[131]) * 0.01f, ToInt(h[132], h[133]) * 0.01f,
                                                      ToInt(h[134], h[135]) * 0.01f);
                    const DataTypes::Vector3 orientation(ToInt(h[136], h[137]) * 0.01f,
                                                         ToInt(h[138], h[139]) * 0.01f,
                                                         ToInt(h[140], h[141]) * 0.01f);
                    const DataTypes::Vector3 external(ToInt(h[154], h[155]) * 0.01f, ToInt(h[156], h[157]) * 0.01f,
                                                      ToInt(h[158], h[159]) * 0.01f);
                    const float speed = static_cast<float>(h[kMoveSpeedRegister]) * 0.1f;
                    port.MoveCartesian(static_cast<CartesianMove>(a), position, orientation, external, speed);
                }
                return 102;
            }
            if (a >= 103 && a <= 104) {
                if (CoilRisingEdge(a)) {
                    const std::uint16_t* h = table.holding;
                    float joints[9];
                    for (int j = 0; j < 6; ++j) joints[j] = ToInt(h[142 + 2 * j], h[143 + 2 * j]) * 0.01f;
                    for (int e = 0; e < 3; ++e) joints[6 + e] = ToInt(h[154 + 2 * e], h[155 + 2 * e]) * 0.01f;
                    const float speed = static_cast<float>(h[kMoveSpeedRegister]) * 0.1f;
                    port.MoveJoints(static_cast<JointMove>(a), joints, speed);
                }
                return 104;
            }
            if (a >= 200 && a <= 299) {
                const int last = std::min(end, 299);
                for (int b = a; b <= last; ++b) port.SetGlobalSignal(b - 200, table.coils[b] != 0);
                return last;
            }
            if (a >= 300 && a <= 363) {
                const int last = std::min(end, 363);
                for (int b = a; b <= last; ++b) port.SetManualDOut(b - 300, table.coils[b] != 0);
                return last;
            }
            if (a == 111) {
                port.SetZeroTorqueMode(table.coils[a] != 0);
                return a;
            }
            if (!CoilRisingEdge(a)) return a;
            if (a >= 61 && a <= 69) {
                port.ReferenceJointAlt(a - 61);
                return a;
            }
            if (a >= 70 && a <= 72) {
                port.ReferenceJoint(port.GetModules().count[ModuleLayout::RobotJoint] + a - 70);
                return a;
            }
            switch (a) {
                case 51: port.ShutdownSystem(); break;
                case 52: port.Reset(); break;
                case 53:
                    if (!port.GetModules().motorsEnabled) {
                        port.Reset();
                        port.EnableMotors(true);
                    } else {
                        port.EnableMotors(false);
                    }
                    break;
                case 60: port.ReferenceAllJoints(); break;
                case 73: port.ResetAllJointsToZero(); break;
                case 122: port.StartProgram(); break;
                case 123: port.PauseProgram(); break;
                case 124: port.StopProgram(); break;
                case 130: port.BrowserNext(); break;
                case 131: port.BrowserPrevious(); break;
                case 133: port.LoadCurrentDirectoryOrProgram(); break;
                case 134: port.GotoBasedir(); break;
                case 135:
                    port.DeleteAll(Interpreter::Main);
                    port.SaveProject();
                    break;
                case 136:
                    port.DeleteAll(Interpreter::Logic);
                    port.SaveProject();
                    break;
                default: break;
            }
            return a;
        });
        // What the PLC wrote becomes the reference for the next edges.
        for (int offset = 0; offset < count; ++offset) {
            const int a = static_cast<std::uint16_t>(start + offset);
            if (a >= kCoilCount) break;
            previousCoils[static_cast<size_t>(a)] = table.coils[a];
        }
    } catch (const std::exception& e) {
        Log()->addFormat("Exception in Modbus::OnWriteCoils (address %d, num %d): %s", start, count, e.what());
    } catch (int code) {
        Log()->addFormat("Exception in Modbus::OnWriteCoils (address %d, num %d): %s", start, count,
                         KinematicErrorText(code).c_str());
    } catch (...) {
        Log()->addFormat("Exception in Modbus::OnWriteCoils (address %d, num %d): %s", start, count,
                         "unknown exception");
    }
}

}  // namespace Modbus
