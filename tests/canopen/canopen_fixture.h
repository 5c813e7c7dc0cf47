#pragma once

// A virtual CAN bus with the CANopen simulator on it, a robot file in a temporary folder
// and helpers to build, connect and cycle the CANopen protocol.

#include "canopensim/CanopenSimulator.h"
#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "hardware/HardwareProtocolCANopen.h"
#include "kinematics/ExternalAxis.h"
#include "platform/CanSocket.h"
#include "platform/VirtualCanHub.h"
#include "testsupport/TestSupport.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace CanopenTest {

constexpr auto kTimeout = std::chrono::milliseconds(5000);

inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000) {
    return TestSupport::WaitUntil(condition, timeoutMs, 1);
}

struct BusOptions {
    int joints = 2;
    bool usePDOs = true;
    std::string extraBusAttributes;
};

inline std::string RobotFile(const BusOptions& o) {
    std::string xml = "<Robot><BusConfiguration CycleTimeMS=\"20\" GapMS=\"0\" SyncGapMS=\"0\" UsePDOs=\"";
    xml += o.usePDOs ? "true" : "false";
    xml += "\" " + o.extraBusAttributes + "><Joints NrOfJoints=\"" + std::to_string(o.joints) + "\"/>";
    for (int i = 0; i < o.joints; ++i) {
        xml += "<Joint" + std::to_string(i) + " ID=\"" + std::to_string(i + 1) +
               "\" GearScale=\"100\" GearZero=\"0\" GearPlay=\"0\" GearPlayInc=\"0\"/>";
    }
    xml += "</BusConfiguration><Referencing Mandatory=\"true\"/></Robot>";
    return xml;
}

// One SDO download as a device receives it: index, subindex, value.
using SdoWrite = std::tuple<int, int, std::uint32_t>;

// Disable, clear the count, the entries, the count, enable.
inline void AddMapping(std::vector<SdoWrite>& out, int comm, std::uint32_t cob, std::uint32_t type, int map,
                       const std::vector<std::uint32_t>& entries) {
    out.emplace_back(comm, 1, 0x80000000u | cob);
    out.emplace_back(comm, 2, type);
    out.emplace_back(map, 0, 0);
    for (size_t k = 0; k < entries.size(); ++k) out.emplace_back(map, static_cast<int>(k + 1), entries[k]);
    out.emplace_back(map, 0, static_cast<std::uint32_t>(entries.size()));
    out.emplace_back(comm, 1, cob);
}

// What a drive receives from Connect in the CSP profile with PDOs.
inline std::vector<SdoWrite> GoldenCspDrive(int node, bool fir1650) {
    std::vector<SdoWrite> out;
    // Switched off first (from switch_on_disabled: ready_to_switch_on); the profile set-up
    // then finds the drive there and leaves it.
    out.emplace_back(0x6040, 0, 0x06);
    out.emplace_back(0x1017, 0, 1000);
    const std::uint32_t n = static_cast<std::uint32_t>(node);
    AddMapping(out, 0x1800, 0x180 + n, 1, 0x1A00, {0x60410010, 0x60640020, 0x10010008, 0x60610008});
    AddMapping(out, 0x1801, 0x280 + n, 20, 0x1A01, {0x40140120, 0x40140320});
    AddMapping(out, 0x1802, 0x380 + n, 20, 0x1A02, {0x20390320, 0x20390420});
    AddMapping(out, 0x1400, 0x200 + n, 0, 0x1600, {0x607A0020});
    if (!fir1650) {
        out.emplace_back(0x3701, 0, 0);
        out.emplace_back(0x3243, 1, 0);
    }
    out.emplace_back(0x6060, 0, 8);
    out.emplace_back(0x60C2, 1, 20);
    out.emplace_back(0x60C2, 2, 0xFD);  // time index -3, one byte
    return out;
}

// What the I/O module on node 0x21 (two output and two input bytes) receives from Connect.
inline std::vector<SdoWrite> GoldenIoModule() {
    std::vector<SdoWrite> out;
    AddMapping(out, 0x1400, 0x221, 0, 0x1600, {0x62000108, 0x62000208});
    AddMapping(out, 0x1800, 0x1A1, 1, 0x1A00, {0x60000108, 0x60000208});
    return out;
}

class CanopenBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        hubPath = root.Path() + "/bus.sock";
        ASSERT_EQ(0, hub.Start(hubPath)) << hub.ErrorText();
        setenv(Platform::kCanHubEnvironment, hubPath.c_str(), 1);
    }
    void TearDown() override {
        protocol.reset();
        sim.Stop();
        hub.Stop();
        unsetenv(Platform::kCanHubEnvironment);
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
    }

    // Drive 1 (standard firmware), drive 2 ("FIR-v1650"), external axis drive 3 and an I/O
    // module on node 0x21.
    void StartStandardBus() {
        CanopenSim::DriveConfig d1;
        d1.nodeId = 1;
        ASSERT_TRUE(sim.AddDrive(d1));
        CanopenSim::DriveConfig d2;
        d2.nodeId = 2;
        d2.firmware = "FIR-v1650";
        ASSERT_TRUE(sim.AddDrive(d2));
        CanopenSim::DriveConfig d3;
        d3.nodeId = 3;
        ASSERT_TRUE(sim.AddDrive(d3));
        CanopenSim::IoConfig io;
        io.nodeId = 0x21;
        io.inputBytes = 2;
        io.outputBytes = 2;
        ASSERT_TRUE(sim.AddIoModule(io));
        ASSERT_EQ(0, sim.Start(hubPath));
    }

    void Build(Hardware::CANopenProfile profile, const BusOptions& options, bool withPeripherals = true,
               const std::string& robotType = "") {
        const std::string file = root.WriteFile("robot.xml", RobotFile(options));
        protocol = std::make_unique<Hardware::HardwareProtocolCANopen>(nullptr, profile);
        protocol->Init("robot", robotType, file);
        if (withPeripherals) {
            ExternalAxis axis(0, "Linear", ExternalAxis::Position);
            axis.ID = 3;
            axis.GearScale = 50.0;
            axis.VelMax = 100.0;
            protocol->InitExternalJoint(axis);
            protocol->InitDIOModules(0x21);
        }
    }

    // One robot cycle as the control core runs it.
    void Cycle(DataTypes::RobotState& target, DataTypes::RobotState* actual) {
        protocol->SendSync();
        protocol->SetJoints(target);
        protocol->GetJoints(actual);
    }

    // Runs cycles of 5 ms until the condition holds.
    bool CycleUntil(DataTypes::RobotState& target, const std::function<bool()>& condition, int maxCycles = 600) {
        DataTypes::RobotState actual;
        for (int i = 0; i < maxCycles; ++i) {
            Cycle(target, &actual);
            if (condition()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    // Forgets the simulator's records once the bus has been quiet for a moment, so that
    // frames still on their way do not count as new ones.
    void QuietClear() {
        std::uint64_t seen = sim.ReceivedCount();
        for (int i = 0; i < 200; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            const std::uint64_t now = sim.ReceivedCount();
            if (now == seen) break;
            seen = now;
        }
        sim.ClearRecords();
    }

    std::vector<std::uint32_t> Controlwords(int node) {
        std::vector<std::uint32_t> out;
        for (const auto& w : sim.SdoWrites(node)) {
            if (w.index == 0x6040 && w.subindex == 0) out.push_back(w.value);
        }
        return out;
    }

    CanopenSim::DriveState DriveState(int node) {
        CanopenSim::DriveSnapshot s;
        sim.GetDrive(node, &s);
        return s.state;
    }

    TestSupport::TempDataRoot root;
    std::string hubPath;
    Platform::VirtualCanHub hub;
    CanopenSim::CanopenSimulator sim;
    std::unique_ptr<Hardware::HardwareProtocolCANopen> protocol;
};

// True when wanted appears in seq in order (other items may lie between).
template <typename T>
bool InOrder(const std::vector<T>& seq, const std::vector<T>& wanted) {
    size_t k = 0;
    for (const T& v : seq) {
        if (k < wanted.size() && v == wanted[k]) ++k;
    }
    return k == wanted.size();
}

}  // namespace CanopenTest
