// Homing on simulated drives of both protocols with the master's loop running: a drive that
// never finishes homing is stopped at the robot file's time limit and reference-all ends
// there; an e-stop that opens during homing halts the homing drive in the first cycle that
// reads the open circuit (checked on a recording of the bus).

#include "robot_master_support.h"

#ifdef BELVANTO_HAVE_SIMULATORS

#include "canopensim/CanopenSimulator.h"
#include "control/RobotMaster.h"
#include "drivesim/DriveSimulator.h"
#include "platform/CanSocket.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace ControlTest;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCanopenIo = 0x21;
constexpr int kV2Dio = 0x50;
constexpr int kEStopInput = 20;  // input 0 of the first I/O module

// A third endpoint on the bus that keeps every frame with its arrival time.
class BusRecorder {
public:
    struct Entry {
        Clock::time_point time;
        can_frame frame;
    };
    ~BusRecorder() { Stop(); }
    void Start(const std::string& hubPath) {
        socket.SetBackend(Platform::CanSocket::Backend::VirtualHub, hubPath);
        ASSERT_EQ(0, socket.Open("can0"));
        reader = std::thread([this] {
            while (!stop.load()) {
                can_frame frame{};
                if (socket.WaitReadable(20) > 0 && socket.Read(&frame) > 0) {
                    std::lock_guard<std::mutex> lock(mutex);
                    frames.push_back({Clock::now(), frame});
                }
            }
        });
    }
    void Stop() {
        stop.store(true);
        if (reader.joinable()) reader.join();
        socket.Close();
    }
    std::vector<Entry> Since(Clock::time_point from) const {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Entry> out;
        for (const Entry& e : frames) {
            if (e.time >= from) out.push_back(e);
        }
        return out;
    }

private:
    Platform::CanSocket socket{Platform::CanSocket::Backend::VirtualHub};
    std::thread reader;
    std::atomic<bool> stop{false};
    mutable std::mutex mutex;
    std::vector<Entry> frames;
};

int Id(const can_frame& f) { return static_cast<int>(f.can_id & CAN_SFF_MASK); }

class MasterHomingSimTest : public VirtualBusTest, public ::testing::WithParamInterface<const char*> {
protected:
    void TearDown() override {
        if (master) master->StopMainLoop();
        master.reset();
        PLCInterfaceNumbers none;
        RobotMaster().SetPLCInterfaceSettings(none);
        recorder.Stop();
        canopen.Stop();
        drives.Stop();
        VirtualBusTest::TearDown();
    }

    bool Canopen() const { return std::string(GetParam()) == "CANopen_CSP"; }
    Hardware::HardwareProtocol& Hw() { return *master->GetHardware(); }
    const Hardware::jointData& Joint(int j) { return Hw().GetJointData(j); }

    // The drives (joint `stuck` never finishes homing, the others after a short search), an
    // I/O module with the e-stop circuit closed, and the master's loop, reset and enabled.
    void StartRobot(int stuck) {
        std::string xml = BaseRobotXml(GetParam());
        xml = Edit(xml, "<Referencing Mandatory=\"true\"/>", "<Referencing Mandatory=\"true\" TimeoutS=\"1\"/>");
        xml = Edit(xml, "<EStopMonitoring DInChannel=\"7\"/>", "<EStopMonitoring DInChannel=\"20\"/>");
        if (Canopen()) {
            xml = Edit(Edit(Edit(xml, "ID=\"16\"", "ID=\"1\""), "ID=\"32\"", "ID=\"2\""), "ID=\"48\"", "ID=\"3\"");
        }
        const std::string relative = WriteRobot("Homing", xml);
        if (Canopen()) {
            for (int node = 1; node <= 3; ++node) {
                CanopenSim::DriveConfig d;
                d.nodeId = node;
                if (node - 1 == stuck) d.homingScript = {{CanopenSim::HomingBits::kInProgress, 0}};
                ASSERT_TRUE(canopen.AddDrive(d));
            }
            CanopenSim::IoConfig io;
            io.nodeId = kCanopenIo;
            io.inputBytes = 1;
            io.outputBytes = 1;
            io.inputs = 0x01;
            ASSERT_TRUE(canopen.AddIoModule(io));
            ASSERT_EQ(0, canopen.Start(hubPath));
        } else {
            std::string error;
            ASSERT_TRUE(drives.LoadRobotFile(FullPath(relative), &error)) << error;
            DriveSim::ModuleConfig dio;
            dio.kind = DriveSim::ModuleKind::Dio;
            dio.canId = kV2Dio;
            dio.inputs = 0x01;
            ASSERT_TRUE(drives.AddModule(dio, &error)) << error;
            drives.SetReferenceDelayMsAll(100);
            ASSERT_TRUE(drives.SetReferenceNever(16 * (stuck + 1), true));
            ASSERT_EQ(0, drives.Start(hubPath));
        }
        recorder.Start(hubPath);

        PLCInterfaceNumbers plc;
        for (int k = 0; k < 9; ++k) plc.JointToRef[k] = k < 3 ? k : -1;
        for (int& delay : plc.RefDelay) delay = 0;
        master = std::make_unique<RobotMaster>();
        master->SetPLCInterfaceSettings(plc);
        master->Init("robot", "Homing", relative);
        ASSERT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL)
            << LogSingleton::instance()->get_seriousFailReason();
        master->InitDIOModule(Canopen() ? kCanopenIo : kV2Dio);
        Hw().Connect();
        ASSERT_TRUE(Hw().GetConnectionStatus());
        master->FinishInit();
        ASSERT_TRUE(WaitFor([&] { return master->GetRobotState().DIn[kEStopInput]; }, 10000));
        // The reset releases an e-stop latched before the module's first answer; the loop
        // needs a cycle of its own for it.
        bool ready = false;
        for (int attempt = 0; attempt < 5 && !ready; ++attempt) {
            master->Reset();
            master->EnableMotors(true);
            ready = WaitFor([&] { return !master->IsEStopLatched() && Hw().GetMotorEnabled(); }, 3000);
        }
        ASSERT_TRUE(ready);
    }

    bool HomingRuns(int joint) {
        if (Canopen()) {
            CanopenSim::DriveSnapshot s;
            return canopen.GetDrive(joint + 1, &s) && s.homingRunning;
        }
        DriveSim::ModuleState s;
        return drives.GetModuleState(16 * (joint + 1), &s) && s.referencing;
    }

    // The frame of the I/O module that first reports the circuit open.
    bool ReportsOpen(const can_frame& f) const {
        if (Canopen()) return Id(f) == 0x180 + kCanopenIo && f.can_dlc >= 1 && (f.data[0] & 0x01) == 0;
        return Id(f) == kV2Dio + 1 && f.can_dlc == 8 && (f.data[7] & 0x01) == 0;
    }
    // The halt of joint 0: controlword with the halt bit (CANopen), the disable frame (the
    // maker's modules have no halt).
    bool HaltsJoint0(const can_frame& f) const {
        if (Canopen()) {
            return Id(f) == 0x601 && f.data[1] == 0x40 && f.data[2] == 0x60 && f.data[3] == 0 && (f.data[5] & 0x01) != 0;
        }
        return Id(f) == 16 && f.can_dlc == 2 && f.data[0] == 0x01 && f.data[1] == 0x0A;
    }
    // One per cycle: SYNC, or the I/O module's set-point frame.
    bool StartsACycle(const can_frame& f) const {
        if (Canopen()) return Id(f) == 0x80;
        return Id(f) == kV2Dio && f.data[0] == 0x14;
    }

    std::unique_ptr<RobotMaster> master;
    CanopenSim::CanopenSimulator canopen;
    DriveSim::DriveSimulator drives;
    BusRecorder recorder;
};

TEST_P(MasterHomingSimTest, HomingThatNeverFinishesIsStoppedAtTheLimitAndEndsReferenceAll) {
    StartRobot(1);
    TestSupport::LogCapture log;
    master->ReferenceAllJoints();
    ASSERT_TRUE(WaitFor([&] { return Joint(1).referencing.load() != 0; }, 20000));
    const auto started = Clock::now();
    EXPECT_EQ(Joint(0).referenced.load(), 1);
    ASSERT_TRUE(WaitFor([&] { return Joint(1).referencingFailed.load() != 0; }, 20000));
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(1000));
    ASSERT_TRUE(WaitFor([&] { return !RobotMasterTestAccess::ReferenceAllActive(*master).load(); }));
    ASSERT_TRUE(WaitFor([&] { return log.Contains("Reference all stopped"); }));  // through the loop's outbox
    const std::string id = Canopen() ? "2" : "32";
    const std::string who = Canopen() ? "CANopen" : "ProtocolJXRCANV2";
    EXPECT_EQ(1, log.Count(who + ": Referencing joint 1 (CAN ID " + id + ") failed: "));
    EXPECT_TRUE(log.Contains(" not finished within 1 s"));
    EXPECT_EQ(1, log.Count("Reference all stopped: referencing of joint 1 failed"));
    EXPECT_FALSE(Hw().IsReferencing());

    // The sequence never gets to joint 2; the stopped drive ends disabled.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(0, log.Count("Referencing joint 2"));
    EXPECT_EQ(Joint(2).referencing.load(), 0);
    if (Canopen()) {
        for (const auto& w : canopen.SdoWrites(3)) EXPECT_FALSE(w.index == 0x6040 && w.value == 0x1F);
        EXPECT_TRUE(canopen.WaitUntil(
            [&] {
                CanopenSim::DriveSnapshot s;
                return canopen.GetDrive(2, &s) && s.state == CanopenSim::DriveState::SwitchOnDisabled;
            },
            std::chrono::seconds(5)));
    } else {
        DriveSim::ModuleState s;
        ASSERT_TRUE(drives.GetModuleState(0x20, &s));
        EXPECT_FALSE(s.enabled);
        EXPECT_FALSE(s.referencing);
    }
}

TEST_P(MasterHomingSimTest, OpeningEStopHaltsTheHomingDriveInTheCycleThatReadsIt) {
    StartRobot(0);
    TestSupport::LogCapture log;
    master->ReferenceJoint(0);
    ASSERT_TRUE(WaitFor([&] { return HomingRuns(0); }, 10000));
    const auto opened = Clock::now();
    if (Canopen()) {
        ASSERT_TRUE(canopen.SetInputs(kCanopenIo, 0));
    } else {
        ASSERT_TRUE(drives.SetInputs(kV2Dio, 0));
    }
    ASSERT_TRUE(WaitFor([&] { return master->IsEStopDetected() && Joint(0).referencingFailed.load() != 0; }));
    EXPECT_TRUE(WaitFor([&] { return !HomingRuns(0); }));
    // The loop's line leaves through its outbox, the halt through the hub: both a little later.
    EXPECT_TRUE(WaitFor([&] { return log.Count("failed: e-stop open") == 1; }));
    const auto halted = [&] {
        for (const auto& e : recorder.Since(opened)) {
            if (HaltsJoint0(e.frame)) return true;
        }
        return false;
    };
    EXPECT_TRUE(WaitFor(halted));

    const std::vector<BusRecorder::Entry> frames = recorder.Since(opened);
    int input = -1;
    int halt = -1;
    for (int i = 0; i < static_cast<int>(frames.size()); ++i) {
        if (input < 0 && ReportsOpen(frames[static_cast<size_t>(i)].frame)) input = i;
        if (input >= 0 && halt < 0 && HaltsJoint0(frames[static_cast<size_t>(i)].frame)) halt = i;
    }
    ASSERT_GE(input, 0) << "no frame reports the open circuit";
    ASSERT_GT(halt, input) << "no halt of the homing drive after it";
    int cycles = 0;
    for (int i = input + 1; i < halt; ++i) cycles += StartsACycle(frames[static_cast<size_t>(i)].frame) ? 1 : 0;
    // The cycle that has the reading sends the halt: at most one cycle's frames lie between.
    EXPECT_LE(cycles, 1);
}

INSTANTIATE_TEST_SUITE_P(BothProtocols, MasterHomingSimTest, ::testing::Values("CANopen_CSP", "JXRCANV2"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param) == "CANopen_CSP" ? "CANopen" : "MakersModules";
                         });

}  // namespace

#endif
