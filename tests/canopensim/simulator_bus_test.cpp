// The simulator on the virtual bus: boot-up, answers, records, injected frames, and the
// program.

#include "canopensim/CanopenSimulator.h"
#include "platform/CanSocket.h"
#include "platform/VirtualCanHub.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr auto kTimeout = std::chrono::milliseconds(3000);

class SimulatorBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        socketPath = (std::filesystem::current_path() / "canopen.sock").string();
        ASSERT_EQ(0, hub.Start(socketPath)) << hub.ErrorText();
        master.SetBackend(Platform::CanSocket::Backend::VirtualHub, socketPath);
        ASSERT_EQ(0, master.Open("can0"));
        WaitEndpoints(1);
    }
    void TearDown() override {
        sim.Stop();
        master.Close();
        hub.Stop();
    }
    void WaitEndpoints(int count) {
        const auto end = std::chrono::steady_clock::now() + kTimeout;
        while (hub.EndpointCount() < count && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_EQ(count, hub.EndpointCount());
    }
    void Send(int id, const Bytes& data) {
        can_frame frame{};
        frame.can_id = static_cast<canid_t>(id);
        frame.can_dlc = static_cast<__u8>(data.size());
        std::copy(data.begin(), data.end(), frame.data);
        ASSERT_EQ(0, master.Write(frame));
    }
    // The next frame on `id`, skipping others; false on time-out.
    bool Expect(int id, can_frame* frame) {
        const auto end = std::chrono::steady_clock::now() + kTimeout;
        while (std::chrono::steady_clock::now() < end) {
            if (master.WaitReadable(20) > 0 && master.Read(frame) > 0 && int(frame->can_id) == id) {
                return true;
            }
        }
        return false;
    }

    std::string socketPath;
    Platform::VirtualCanHub hub;
    Platform::CanSocket master;
    CanopenSim::CanopenSimulator sim;
};

TEST_F(SimulatorBusTest, NodesBootAnswerAndEveryWriteIsRecorded) {
    CanopenSim::DriveConfig drive;
    drive.nodeId = 1;
    drive.firmware = "FIR-v1650";
    ASSERT_TRUE(sim.AddDrive(drive));
    CanopenSim::IoConfig io;
    io.nodeId = 0x21;
    ASSERT_TRUE(sim.AddIoModule(io));
    std::string error;
    EXPECT_FALSE(sim.AddIoModule(io, &error));
    EXPECT_NE(std::string::npos, error.find("taken"));
    drive.nodeId = 128;
    EXPECT_FALSE(sim.AddDrive(drive, &error));
    ASSERT_EQ(0, sim.Start(socketPath));

    can_frame frame{};
    ASSERT_TRUE(Expect(0x701, &frame));
    EXPECT_EQ(Bytes({0x00}), Bytes(frame.data, frame.data + frame.can_dlc));
    ASSERT_TRUE(Expect(0x721, &frame));

    Send(0x601, {0x40, 0x0A, 0x10, 0x05, 0, 0, 0, 0});
    ASSERT_TRUE(Expect(0x581, &frame));
    EXPECT_EQ('v', frame.data[4]) << "5th firmware character";

    Send(0x601, {0x2B, 0x17, 0x10, 0x00, 0x32, 0x00, 0, 0});
    ASSERT_TRUE(Expect(0x581, &frame));
    EXPECT_EQ(0x60, frame.data[0]);
    ASSERT_TRUE(Expect(0x701, &frame)) << "heartbeat every 50 ms";
    EXPECT_EQ(0x7F, frame.data[0]);

    Send(0x000, {0x01, 0x00});
    Send(0x221, {0x01, 0x03});
    Send(0x080, {});
    ASSERT_TRUE(sim.WaitUntil(
        [&] { return sim.AcceptedPdoCount(0x21) == 1 && sim.ReceivedOn(0x080).size() == 1; }, kTimeout));
    CanopenSim::IoSnapshot snapshot;
    ASSERT_TRUE(sim.GetIoModule(0x21, &snapshot));
    EXPECT_EQ(0x0301u, snapshot.outputs);

    const auto writes = sim.SdoWrites(1);
    ASSERT_EQ(1u, writes.size());
    EXPECT_EQ(0x1017, writes[0].index);
    EXPECT_EQ(2, writes[0].size);
    EXPECT_EQ(50u, writes[0].value);
    EXPECT_TRUE(sim.SdoWrites(0x21).empty());
    ASSERT_EQ(1u, sim.NmtCommands().size());
    EXPECT_EQ(0x01, sim.NmtCommands()[0][0]);
    EXPECT_EQ(1u, sim.PdoWrites(0x21).size());
}

TEST_F(SimulatorBusTest, InjectedEmergenciesAndForeignFramesReachTheMaster) {
    CanopenSim::DriveConfig drive;
    drive.nodeId = 2;
    ASSERT_TRUE(sim.AddDrive(drive));
    ASSERT_EQ(0, sim.Start(socketPath));
    can_frame frame{};
    ASSERT_TRUE(Expect(0x702, &frame));

    ASSERT_TRUE(sim.InjectEmergency(2, 0x2300, 0x03, {2, 0, 0, 0, 1}));
    ASSERT_TRUE(Expect(0x082, &frame));
    EXPECT_EQ(Bytes({0x00, 0x23, 0x03, 2, 0, 0, 0, 1}), Bytes(frame.data, frame.data + 8));
    CanopenSim::DriveSnapshot snapshot;
    ASSERT_TRUE(sim.GetDrive(2, &snapshot));
    EXPECT_EQ(CanopenSim::DriveState::Fault, snapshot.state);
    std::uint32_t count = 0;
    ASSERT_TRUE(sim.ReadObject(2, 0x1003, 0, &count));
    EXPECT_EQ(1u, count);

    // A second master's SDO request, as a test of the controller's alien check needs it.
    const std::uint8_t request[8] = {0x40, 0x41, 0x60, 0, 0, 0, 0, 0};
    ASSERT_EQ(0, sim.SendFrame(0x601, request, 8));
    ASSERT_TRUE(Expect(0x601, &frame));
    EXPECT_NE(0, sim.SendFrame(0x800, request, 8));
    EXPECT_FALSE(sim.InjectEmergency(9, 0x1000, 1, {}));
}

TEST_F(SimulatorBusTest, ProgramPlaysTheNodesItIsGivenUntilTerminated) {
    int input[2] = {-1, -1};
    ASSERT_EQ(0, pipe(input));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(input[0], 0);
        close(input[1]);
        setenv(Platform::kCanHubEnvironment, socketPath.c_str(), 1);
        execl(BELVANTO_CANOPENSIM_PROGRAM, BELVANTO_CANOPENSIM_PROGRAM, "--drive", "0x0A:FIR-v1650",
              "--io", "11:1:1", "--homing-ms", "10", "--homing-never", "0x0A", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(input[0]);
    can_frame frame{};
    EXPECT_TRUE(Expect(0x70A, &frame));
    Send(0x60A, {0x40, 0x0A, 0x10, 0x01, 0, 0, 0, 0});
    EXPECT_TRUE(Expect(0x58A, &frame));
    EXPECT_EQ('F', frame.data[4]);
    Send(0x60B, {0x40, 0x00, 0x62, 0x00, 0, 0, 0, 0});
    EXPECT_TRUE(Expect(0x58B, &frame));
    EXPECT_EQ(1, frame.data[4]);

    // "silent ID MS" on stdin: the node answers nothing for that long, then again.
    const std::string line = "silent 10 2000\n";
    ASSERT_EQ(static_cast<ssize_t>(line.size()), write(input[1], line.data(), line.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Send(0x60A, {0x40, 0x0A, 0x10, 0x01, 0, 0, 0, 0});
    bool answered = false;
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
         std::chrono::steady_clock::now() < end;) {
        answered = answered || (master.WaitReadable(20) > 0 && master.Read(&frame) > 0 && frame.can_id == 0x58A);
    }
    EXPECT_FALSE(answered);
    const auto until = std::chrono::steady_clock::now() + kTimeout;
    while (!answered && std::chrono::steady_clock::now() < until) {
        Send(0x60A, {0x40, 0x0A, 0x10, 0x01, 0, 0, 0, 0});
        answered = master.WaitReadable(100) > 0 && master.Read(&frame) > 0 && frame.can_id == 0x58A;
    }
    EXPECT_TRUE(answered);
    close(input[1]);
    kill(child, SIGTERM);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));

    // Out of range, and a --homing-never that names no drive of the bus.
    for (const auto& bad : {std::make_pair("--drive", "200"), std::make_pair("--io", "200"),
                            std::make_pair("--homing-never", "6")}) {
        const pid_t usage = fork();
        ASSERT_GE(usage, 0);
        if (usage == 0) {
            setenv(Platform::kCanHubEnvironment, socketPath.c_str(), 1);
            execl(BELVANTO_CANOPENSIM_PROGRAM, BELVANTO_CANOPENSIM_PROGRAM, "--drive", "5", bad.first, bad.second,
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        ASSERT_EQ(usage, waitpid(usage, &status, 0));
        EXPECT_EQ(2, WEXITSTATUS(status)) << bad.first;
    }
}

}  // namespace
