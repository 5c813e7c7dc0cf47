// The CAN interface on the virtual bus hub: the cases every backend shares
// (can_interface_cases.h), and those only the hub can play (a missing or silent bus, a
// bus that goes away, the frame dump, concurrent pollers).
#include "can_interface_cases.h"

#include "platform/CanSocket.h"
#include "platform/VirtualCanHub.h"
#include "testsupport/SilentCanHub.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace CanInterfaceTesting;

// A virtual bus in the test's temporary folder, named by the environment.
struct HubBus {
    static constexpr CanSocket::Backend kBackend = CanSocket::Backend::VirtualHub;
    static constexpr int kWaitMs = 2500;
    static constexpr int kFreshAge = 20000;

    void SetUp(std::unique_ptr<CanSocket>& peer) {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        socketPath = (std::filesystem::current_path() / (std::string(info->name()) + ".sock")).string();
        StartHub();
        ::setenv(Platform::kCanHubEnvironment, socketPath.c_str(), 1);
        peer = std::make_unique<CanSocket>(CanSocket::Backend::VirtualHub, socketPath);
        ASSERT_EQ(0, peer->Open("can0"));
        ASSERT_TRUE(OnlyPeerLeft());
    }
    void TearDown() {
        hub.Stop();
        ::unsetenv(Platform::kCanHubEnvironment);
    }
    void StartHub() { ASSERT_EQ(0, hub.Start(socketPath)) << hub.ErrorText(); }
    bool OnlyPeerLeft() {
        return TestSupport::WaitUntil([&] { return hub.EndpointCount() == 1; }, 5000);
    }

    Platform::VirtualCanHub hub;
    std::string socketPath;
};

INSTANTIATE_TYPED_TEST_SUITE_P(VirtualHub, CanInterfaceCases, HubBus);

namespace {

class CanInterfaceTest : public CanInterfaceFixture<HubBus> {};

TEST_F(CanInterfaceTest, ConnectWithoutABusFailsWithItsLogLines) {
    TestSupport::LogCapture log;
    ::setenv(Platform::kCanHubEnvironment, (bus.socketPath + ".missing").c_str(), 1);
    EXPECT_FALSE(iface->Connect());
    EXPECT_FALSE(iface->IsConnected());
    EXPECT_TRUE(log.Contains(
        "Could not connect to CAN module via SocketCAN! (1): Could not bind CAN socket: "
        "No such file or directory"));
    // Nothing is sent, logged or dumped while not connected.
    iface->SetCanDumpSize(4);
    const unsigned char data[1] = {1};
    iface->WriteMessage(0x20, 1, data);
    EXPECT_EQ(0, peer->WaitReadable(50));
    EXPECT_FALSE(log.Contains("CAN write"));
    EXPECT_FALSE(iface->Disconnect());
}

// Slots above 255 start zeroed, their age saturates instead of wrapping. Their time stamp is
// the monotonic clock's zero, so this needs a machine up for more than 10 s, which the
// freshly booted qemu guest is not.
TEST_F(CanInterfaceTest, UpperSlotsStartZeroedAndTenSecondsOld) {
    ConnectInterface();
    int dlc = -1;
    unsigned char data[8] = {};
    EXPECT_GT(iface->GetLastMessage(0x300, &dlc, data), 100000);
    EXPECT_EQ(0, dlc);
    EXPECT_EQ(0, data[0]);
}

TEST_F(CanInterfaceTest, BadIdentifierThrowsOnlyWhileConnected) {
    int dlc = 7;
    unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    // Not connected: 0, outputs untouched, whatever the identifier.
    EXPECT_EQ(0, iface->GetLastMessage(2048, &dlc, data));
    EXPECT_EQ(0, iface->GetLastMessage(0x11, &dlc, data));
    EXPECT_EQ(7, dlc);
    EXPECT_EQ(1, data[0]);

    ConnectInterface();
    for (int id : {2048, -1, 100000}) {
        SCOPED_TRACE(id);
        try {
            iface->GetLastMessage(id, &dlc, data);
            ADD_FAILURE() << "no exception";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ("invalid message id!", e.what());
        }
    }
    EXPECT_NO_THROW(iface->GetLastMessage(2047, &dlc, data));
}

// Sixty failures with one errno log four lines; a good write starts the count afresh.
TEST_F(CanInterfaceTest, WriteFailuresAreThrottled) {
    ConnectInterface();
    iface->SetCanDumpSize(100);
    bus.hub.Stop();  // every write now fails with a broken link
    TestSupport::LogCapture log;
    const unsigned char data[1] = {7};
    for (int i = 0; i < 60; ++i) {
        iface->WriteMessage(0x33, 1, data);
    }
    // A write to a link the hub dropped fails with EPIPE or ECONNRESET, depending on when
    // the kernel noticed; the throttling is the same for either.
    const std::string failure = "CAN write failed on ID 51 (first byte 7): ";
    EXPECT_EQ(4, log.Count(failure));
    for (const char* repeat : {"(10)", "(25)", "(50)"}) {
        EXPECT_EQ(1, log.Count(repeat)) << repeat;
    }
    iface->WriteCanDump();
    EXPECT_EQ(60, log.Count("ID: 0x33 DLC: 1 MSG: 07 ERROR: "));

    // Back on a bus: the greeting is a good write, so the next failure counts as a first.
    bus.StartHub();
    iface->Disconnect();
    ASSERT_TRUE(iface->Connect());
    ASSERT_TRUE(WaitFor([&] { return bus.hub.EndpointCount() == 1; }));  // the peer left with the old hub
    bus.hub.Stop();
    TestSupport::LogCapture later;
    iface->WriteMessage(0x33, 1, data);
    EXPECT_EQ(1, later.Count(failure));
    for (const char* repeat : {"(10)", "(25)", "(50)"}) {
        EXPECT_EQ(0, later.Count(repeat)) << repeat;
    }
}

// A hub that takes nothing: the frames beyond its queue are refused at once, not waited
// for, and logged as a lasting write error: once, then at the 10th, 25th, 50th, 100th ...
TEST_F(CanInterfaceTest, FramesAHubDoesNotTakeAreRefusedAtOnceAndLoggedThrottled) {
    const std::string silentPath = bus.socketPath + ".silent";
    TestSupport::SilentCanHub silent(silentPath);
    ::setenv(Platform::kCanHubEnvironment, silentPath.c_str(), 1);
    ASSERT_TRUE(iface->Connect());
    ASSERT_EQ(1, silent.AcceptWaiting());
    TestSupport::LogCapture log;
    const unsigned char data[1] = {7};
    constexpr int kFrames = 2000;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kFrames; ++i) {
        iface->WriteMessage(0x33, 1, data);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    const int refused = kFrames - (silent.Drain() - 1);  // the greeting came first
    ASSERT_GT(refused, 100);
    ASSERT_LT(refused, kFrames);
    int expectedLines = 0;
    for (int k = 0; k < refused; ++k) {
        if (k == 0 || k == 10 || k == 25 || k % 50 == 0) ++expectedLines;
    }
    const std::string line = "CAN write failed on ID 51 (first byte 7): No buffer space available";
    EXPECT_EQ(expectedLines, log.Count(line));
    EXPECT_EQ(1, log.Count(line + " (10)"));
    EXPECT_EQ(1, log.Count(line + " (100)"));
}

// When the bus goes away the reader backs off instead of spinning, and logs once.
TEST_F(CanInterfaceTest, ReadFailuresBackOffAndAreThrottled) {
    ConnectInterface();
    iface->SetCanDumpSize(200);
    TestSupport::LogCapture log;
    bus.hub.Stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(1, log.Count("SocketCAN ReadLoop: failed to read: Connection reset by peer"));
    TestSupport::LogCapture dump;
    iface->WriteCanDump();
    const int failures = dump.Count("ERROR: Connection reset by peer");
    EXPECT_GE(failures, 2);
    EXPECT_LE(failures, 20) << "the reader spins on a dead link";
    // A stop request is still honoured quickly.
    auto start = std::chrono::steady_clock::now();
    iface->Disconnect();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(CanInterfaceTest, DumpKeepsTheNewestFramesOldestFirst) {
    iface->protocolCallback = ProtocolCallback;
    ConnectInterface();
    iface->SetCanDumpSize(4);
    const unsigned char data[8] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
    for (int i = 1; i <= 6; ++i) {
        iface->WriteMessage(0x10 + i, i, data);
    }
    TestSupport::LogCapture log;
    iface->WriteCanDump();
    std::vector<std::string> lines;
    for (const std::string& line : log.Lines()) {
        if (line.find("O <-- ") != std::string::npos) {
            lines.push_back(line.substr(line.find("O <-- ")));
        }
    }
    ASSERT_EQ(4u, lines.size());
    const char* expected[] = {
        R"(O <--   0 +\d{2,}\.\d{6} ID: 0x13 DLC: 3 MSG: A0 A1 A2)",
        R"(O <--   1 +\d{2,}\.\d{6} ID: 0x14 DLC: 4 MSG: A0 A1 A2 A3)",
        R"(O <--   2 +\d{2,}\.\d{6} ID: 0x15 DLC: 5 MSG: A0 A1 A2 A3 A4)",
        R"(O <--   3 +\d{2,}\.\d{6} ID: 0x16 DLC: 6 MSG: A0 A1 A2 A3 A4 A5)",
    };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(expected[i]))) << lines[i];
    }
    TestSupport::LogCapture second;
    iface->WriteCanDump();
    EXPECT_EQ(0, second.Count("O <-- "));

    // Received frames are dumped too, and only what came after the last dump.
    PeerSendAndWait(MakeFrame(0x5, {0x01, 0xFF}));
    TestSupport::LogCapture third;
    iface->WriteCanDump();
    ASSERT_EQ(1, third.Count("I --> "));
    EXPECT_TRUE(third.Contains("ID: 0x05 DLC: 2 MSG: 01 FF"));
}

TEST_F(CanInterfaceTest, ResizingTheDumpLogsAndEmptiesItButTheSameSizeKeepsIt) {
    ConnectInterface();
    TestSupport::LogCapture log;
    iface->SetCanDumpSize(4);
    EXPECT_EQ(1, log.Count("Setting CAN Dump size to 4 messages"));
    EXPECT_EQ(4u, iface->GetCanDumpSize());
    const unsigned char data[1] = {1};
    iface->WriteMessage(0x31, 1, data);
    iface->WriteMessage(0x32, 1, data);

    iface->SetCanDumpSize(4);
    EXPECT_EQ(1, log.Count("Setting CAN Dump size"));
    iface->WriteCanDump();
    EXPECT_EQ(2, log.Count("O <-- "));

    iface->WriteMessage(0x33, 1, data);
    iface->SetCanDumpSize(8);
    EXPECT_TRUE(log.Contains("Setting CAN Dump size to 8 messages"));
    iface->WriteCanDump();
    EXPECT_EQ(2, log.Count("O <-- ")) << "a new size starts empty";

    iface->SetCanDumpSize(0);
    iface->WriteMessage(0x34, 1, data);
    iface->WriteCanDump();
    EXPECT_EQ(2, log.Count("O <-- ")) << "size 0 turns the dump off";
}

// Pollers copy whole entries while the reader rewrites them.
TEST_F(CanInterfaceTest, PollersNeverSeeAHalfWrittenEntry) {
    iface->protocolCallback = ProtocolCallback;
    ConnectInterface();
    std::atomic<bool> done{false};
    std::atomic<long> torn{0};
    std::atomic<long> reads{0};
    std::thread poller([&] {
        while (!done.load()) {
            int dlc = 0;
            unsigned char data[8];
            iface->GetLastMessage(0x101, &dlc, data);
            // Every frame sent has length k and all eight bytes k.
            if (dlc != 0 || data[0] != 0x80) {
                for (int b = 0; b < 8; ++b) {
                    if (data[b] != dlc) {
                        ++torn;
                    }
                }
            }
            ++reads;
        }
    });
    // On a loaded machine the poller may not be scheduled at once: let it start before the
    // writes, so its reads overlap them.
    EXPECT_TRUE(WaitFor([&] { return reads.load() > 0; }));
    for (int round = 0; round < 40; ++round) {
        for (int k = 1; k <= 8; ++k) {
            can_frame frame = MakeFrame(0x101, std::vector<unsigned char>(8, static_cast<unsigned char>(k)));
            frame.can_dlc = static_cast<__u8>(k);
            ASSERT_EQ(0, peer->Write(frame));
        }
        // Paced, so the hub never has to drop frames for the reader.
        PeerSendAndWait(MakeFrame(0x102 + round, {0}));
    }
    done.store(true);
    poller.join();
    EXPECT_EQ(0, torn.load());
    EXPECT_GT(reads.load(), 0);
}

TEST_F(CanInterfaceTest, DestructionStopsTheReaderAndClosesTheSocket) {
    iface->protocolCallback = ProtocolCallback;
    ConnectInterface();
    ASSERT_TRUE(WaitFor([&] { return bus.hub.EndpointCount() == 2; }));
    TestSupport::LogCapture log;
    iface.reset();  // no Disconnect first
    EXPECT_TRUE(log.Contains("SocketCAN ReadLoop has stopped..."));
    EXPECT_TRUE(WaitFor([&] { return bus.hub.EndpointCount() == 1; }));
    // Frames after destruction reach no callback.
    callbackLog.Clear();
    ASSERT_EQ(0, peer->Write(MakeFrame(0x44, {1})));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(callbackLog.Snapshot().empty());
}

}  // namespace
