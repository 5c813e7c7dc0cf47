// The I/O module ids change while the master's loop runs on simulated CANopen drives and
// I/O modules: the record table changes under the command lock and a hold, the CAN reader
// keeps dispatching the bus's traffic around it, and (under ThreadSanitizer) no data race
// is reported. The modules of the new ids are set up on the live bus.

#include "robot_master_support.h"

#ifdef BELVANTO_HAVE_SIMULATORS

#include "canopensim/CanopenSimulator.h"
#include "control/RobotMaster.h"
#include "hardware/HardwareProtocolCANopen.h"

#include <array>
#include <atomic>
#include <thread>
#include <vector>

using namespace ControlTest;

namespace {

using Ids = std::array<int, 3>;

// Input masks that tell the modules apart on the rail.
constexpr int kModules[] = {0x21, 0x22, 0x23};
std::uint64_t InputsOf(int node) { return std::uint64_t{1} << (node - 0x21); }

class MasterDIOModulesConcurrent : public VirtualBusTest {
protected:
    void TearDown() override {
        sim.Stop();
        VirtualBusTest::TearDown();
    }

    CanopenSim::CanopenSimulator sim;
};

Ids IdsOf(RobotMaster& master) {
    unsigned char a = 0, b = 0, c = 0;
    master.GetHardware()->GetDIOModuleIDs(a, b, c);
    return {a, b, c};
}

// The rail inputs of modules 0..2 (bits 0..6 each), as the loop reads them.
std::array<std::uint64_t, 3> Rail(Hardware::HardwareProtocol& hw) {
    bool inputs[64] = {};
    hw.GetDigitalIORail(inputs);
    std::array<std::uint64_t, 3> modules{};
    for (int m = 0; m < 3; ++m) {
        for (int k = 0; k < 7; ++k) {
            if (inputs[20 + 10 * m + k]) modules[static_cast<size_t>(m)] |= std::uint64_t{1} << k;
        }
    }
    return modules;
}

}  // namespace

TEST_F(MasterDIOModulesConcurrent, ModuleIdsChangeWhileTheLoopAndTheBusRun) {
    std::string xml = BaseRobotXml("CANopen_CSP");
    xml = Edit(Edit(Edit(xml, "ID=\"16\"", "ID=\"1\""), "ID=\"32\"", "ID=\"2\""), "ID=\"48\"", "ID=\"3\"");
    const std::string relative = WriteRobot("Bus_DIO", xml);
    for (int node = 1; node <= 3; ++node) {
        CanopenSim::DriveConfig d;
        d.nodeId = node;
        ASSERT_TRUE(sim.AddDrive(d));
    }
    for (int node : kModules) {
        CanopenSim::IoConfig io;
        io.nodeId = node;
        io.inputBytes = 1;
        io.outputBytes = 1;
        io.inputs = InputsOf(node);
        ASSERT_TRUE(sim.AddIoModule(io));
    }
    ASSERT_EQ(0, sim.Start(hubPath));

    RobotMaster master;
    master.Init("robot", "Bus_DIO", relative);
    ASSERT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL)
        << LogSingleton::instance()->get_seriousFailReason();
    Hardware::HardwareProtocol& hw = *master.GetHardware();
    ASSERT_NE(dynamic_cast<Hardware::HardwareProtocolCANopen*>(&hw), nullptr);
    master.InitDIOModule(0x21);  // as the project gives it, before the bus is up
    hw.Connect();
    ASSERT_TRUE(hw.GetConnectionStatus());
    master.FinishInit();
    ASSERT_TRUE(master.IsMainLoopRunning());

    // Grows, swaps, shrinks to none and grows again; the last set stays.
    const std::vector<Ids> sets = {
        {0x21, 0x22, 0}, {0x23, 0x21, 0x22}, {0x22, 0, 0}, {0, 0, 0}, {0x22, 0x21, 0},
    };
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {  // the HVP thread's configuration command
        for (const Ids& ids : sets) {
            EXPECT_TRUE(master.SetDIOModuleIDs(static_cast<unsigned char>(ids[0]), static_cast<unsigned char>(ids[1]),
                                               static_cast<unsigned char>(ids[2])));
            EXPECT_EQ(IdsOf(master), ids);
            int count = 0;
            while (count < 3 && ids[static_cast<size_t>(count)] != 0) ++count;
            EXPECT_EQ(hw.GetDIOModuleCount(), count);
            EXPECT_EQ(hw.GetModuleTotal(), 3 + count);
        }
        done.store(true);
    });
    threads.emplace_back([&] {  // the project write-back and the status readers
        while (!done.load()) {
            const Ids ids = IdsOf(master);
            EXPECT_TRUE(ids[0] == 0 || ids[0] >= 0x21) << ids[0];
            const DataTypes::RobotState state = master.GetRobotState();
            EXPECT_GE(state.errorText.size(), 0u);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    threads.emplace_back([&] {  // outputs the loop hands to the modules
        for (int i = 0; !done.load(); ++i) {
            master.SetManualDOut(i % 8, i % 2 == 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    threads.emplace_back([&] {  // a drive command competing for the lock and the hold
        for (int i = 0; i < 3 && !done.load(); ++i) master.EnableMotors(i % 2 == 0);
    });
    for (auto& t : threads) t.join();

    // The traffic kept flowing, and the modules of the last set, one of them new on the
    // bus, answer in their new places.
    const std::uint64_t received = sim.ReceivedCount();
    EXPECT_TRUE(WaitFor([&] { return sim.ReceivedCount() > received + 20; }, 10000));
    const std::array<std::uint64_t, 3> expected = {InputsOf(0x22), InputsOf(0x21), 0};
    EXPECT_TRUE(WaitFor([&] { return Rail(hw) == expected; }, 10000))
        << Rail(hw)[0] << " " << Rail(hw)[1] << " " << Rail(hw)[2];

    master.StopMainLoop();
    EXPECT_EQ(master.GetHoldAcknowledged(), master.GetHoldRequests());
    EXPECT_FALSE(master.IsHeld());
}

#endif  // BELVANTO_HAVE_SIMULATORS
