#include "hardware/CANInterfaceSocketCAN.h"

#include "platform/CanSocket.h"
#include "platform/VirtualCanHub.h"
#include "testsupport/SilentCanHub.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using Platform::CanSocket;

namespace {

bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

can_frame MakeFrame(canid_t id, std::vector<unsigned char> bytes) {
    can_frame frame{};
    frame.can_id = id;
    frame.can_dlc = static_cast<__u8>(bytes.size());
    if (!bytes.empty()) {
        std::memcpy(frame.data, bytes.data(), bytes.size());
    }
    return frame;
}

// What the receive callbacks saw; the callbacks are plain functions, so they report here.
struct CallbackLog {
    struct Call {
        char who;  // 'B' bridge, 'P' protocol
        int id;
        int dlc;
        unsigned char data[8];
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Call> calls;
    // The bridge answers bridgeResult for frames of bridgeId and 0 for all others.
    std::atomic<int> bridgeResult{0};
    std::atomic<int> bridgeId{-1};

    void Add(char who, int id, int dlc, const unsigned char* data) {
        std::lock_guard<std::mutex> lock(mutex);
        Call call{who, id, dlc, {}};
        std::memcpy(call.data, data, 8);
        calls.push_back(call);
        changed.notify_all();
    }
    // Waits until a call of `who` with identifier word id has been recorded.
    bool WaitForCall(char who, int id) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [&] {
            for (const Call& c : calls) {
                if (c.who == who && c.id == id) {
                    return true;
                }
            }
            return false;
        });
    }
    std::vector<Call> Snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex);
        calls.clear();
    }
};

CallbackLog callbackLog;

int BridgeCallback(int id, int dlc, const unsigned char* data, long extra, timespec) {
    EXPECT_EQ(0, extra);
    callbackLog.Add('B', id, dlc, data);
    return id == callbackLog.bridgeId.load() ? callbackLog.bridgeResult.load() : 0;
}

int ProtocolCallback(int id, int dlc, const unsigned char* data, long extra, timespec) {
    EXPECT_EQ(0, extra);
    callbackLog.Add('P', id, dlc, data);
    return 0;
}

// A virtual bus in the test's temporary folder, the interface under test on it, and a
// peer endpoint standing in for the drives.
class CanInterfaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        callbackLog.Clear();
        callbackLog.bridgeResult.store(0);
        callbackLog.bridgeId.store(-1);
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        socketPath = (std::filesystem::current_path() / (std::string(info->name()) + ".sock")).string();
        StartHub();
        ::setenv(Platform::kCanHubEnvironment, socketPath.c_str(), 1);
        peer = std::make_unique<CanSocket>(CanSocket::Backend::VirtualHub, socketPath);
        ASSERT_EQ(0, peer->Open("can0"));
        ASSERT_TRUE(WaitFor([&] { return hub.EndpointCount() == 1; }));
        iface = std::make_unique<CANInterfaceSocketCAN>();
    }

    void TearDown() override {
        iface.reset();
        peer.reset();
        hub.Stop();
        ::unsetenv(Platform::kCanHubEnvironment);
    }

    void StartHub() { ASSERT_EQ(0, hub.Start(socketPath)) << hub.ErrorText(); }

    // Connects and takes the greeting frame off the peer's queue.
    void ConnectInterface() {
        ASSERT_TRUE(iface->Connect());
        can_frame greeting{};
        ASSERT_TRUE(PeerReceive(&greeting));
        ASSERT_EQ(0x10u, greeting.can_id);
    }

    bool PeerReceive(can_frame* frame, int timeoutMs = 2000) {
        if (peer->WaitReadable(timeoutMs) != 1) {
            return false;
        }
        return peer->Read(frame) == static_cast<int>(Platform::kCanFrameSize);
    }

    // Sends from the peer and waits until the reader has handed the frame to the
    // protocol callback (which must be installed).
    void PeerSendAndWait(const can_frame& frame) {
        ASSERT_EQ(0, peer->Write(frame));
        ASSERT_TRUE(callbackLog.WaitForCall('P', static_cast<int>(frame.can_id)));
    }

    Platform::VirtualCanHub hub;
    std::string socketPath;
    std::unique_ptr<CanSocket> peer;
    std::unique_ptr<CANInterfaceSocketCAN> iface;
};

TEST_F(CanInterfaceTest, ConnectSendsTheGreetingFrameAndLogsTheSequence) {
    TestSupport::LogCapture log;
    ASSERT_TRUE(iface->Connect());
    EXPECT_TRUE(iface->IsConnected());
    can_frame greeting{};
    ASSERT_TRUE(PeerReceive(&greeting));
    EXPECT_EQ(0x10u, greeting.can_id);
    ASSERT_EQ(8, greeting.can_dlc);
    const unsigned char expected[8] = {0x42, 0x43, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(expected, greeting.data, 8));
    ASSERT_TRUE(WaitFor([&] { return log.Contains("Starting SocketCAN ReadLoop.."); }));
    EXPECT_TRUE(log.Contains("....... SocketCAN connect ......"));
    EXPECT_TRUE(log.Contains("Connected to CAN module via SocketCAN..."));

    EXPECT_FALSE(iface->Disconnect());
    EXPECT_FALSE(iface->IsConnected());
    EXPECT_TRUE(log.Contains("SocketCAN ReadLoop has stopped..."));
    EXPECT_TRUE(log.Contains("CAN interface SocketCAN disconnected."));
    EXPECT_TRUE(WaitFor([&] { return hub.EndpointCount() == 1; }));

    // A new Connect works on a fresh socket and greets again.
    ConnectInterface();
}

TEST_F(CanInterfaceTest, ConnectWithoutABusFailsWithItsLogLines) {
    TestSupport::LogCapture log;
    ::setenv(Platform::kCanHubEnvironment, (socketPath + ".missing").c_str(), 1);
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

TEST_F(CanInterfaceTest, UnansweredSlotsAreNeutralAndTenSecondsOld) {
    ConnectInterface();
    int dlc = -1;
    unsigned char data[8] = {};
    EXPECT_GE(iface->GetLastMessage(0x11, &dlc, data, nullptr), 100000);
    EXPECT_EQ(0, dlc);
    for (unsigned char b : data) {
        EXPECT_EQ(0x80, b);
    }
    // Slots above 255 start zeroed, their age saturates instead of wrapping.
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

// Which received frames reach the table and the callbacks.
TEST_F(CanInterfaceTest, ReceivedFramesFillTheTableAndReachTheCallbacks) {
    iface->protocolCallback = ProtocolCallback;
    ConnectInterface();
    struct Case {
        const char* name;
        can_frame frame;
        bool stored;
    };
    const Case cases[] = {
        {"standard", MakeFrame(0x123, {1, 2, 3, 4, 5, 6, 7, 8}), true},
        {"highest standard id", MakeFrame(0x7FF, {0xAA, 0xBB, 0xCC}), true},
        {"id 0", MakeFrame(0, {9}), true},
        {"extended flag, small id", MakeFrame(0x123 | CAN_EFF_FLAG, {5, 5}), false},
        {"extended id", MakeFrame(0x1ABCDEF | CAN_EFF_FLAG, {6}), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        callbackLog.Clear();
        const int slot = static_cast<int>(c.frame.can_id & CAN_SFF_MASK);
        const CANMessageEntry before = iface->GetLastMessageEntry(slot);
        PeerSendAndWait(c.frame);

        auto calls = callbackLog.Snapshot();
        ASSERT_EQ(1u, calls.size());
        EXPECT_EQ(static_cast<int>(c.frame.can_id), calls[0].id) << "full identifier word";
        EXPECT_EQ(c.frame.can_dlc, calls[0].dlc);
        EXPECT_EQ(0, std::memcmp(c.frame.data, calls[0].data, c.frame.can_dlc));

        int dlc = -1;
        unsigned char data[8] = {};
        int age = iface->GetLastMessage(slot, &dlc, data);
        const CANMessageEntry after = iface->GetLastMessageEntry(slot);
        if (c.stored) {
            EXPECT_EQ(slot, after.id);
            EXPECT_EQ(c.frame.can_dlc, dlc);
            EXPECT_EQ(0, std::memcmp(c.frame.data, data, 8));
            EXPECT_LT(age, 20000) << "fresh frame";
        } else {
            EXPECT_EQ(0, std::memcmp(&before, &after, sizeof(before))) << "slot changed";
        }
    }
}

TEST_F(CanInterfaceTest, AgeGrowsInTenthsOfAMillisecond) {
    iface->protocolCallback = ProtocolCallback;
    ConnectInterface();
    PeerSendAndWait(MakeFrame(0x42, {1}));
    int dlc = 0;
    unsigned char data[8];
    const int first = iface->GetLastMessage(0x42, &dlc, data);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    const int second = iface->GetLastMessage(0x42, &dlc, data);
    EXPECT_GE(second - first, 600);
    // Matches the slot's own time stamp: the age lies between the ages taken just before
    // and just after the call (each side truncates to 0.1 ms on its own).
    const CANMessageEntry entry = iface->GetLastMessageEntry(0x42);
    const auto ageNow = [&] {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return (now.tv_sec - entry.time.tv_sec) * 10000LL + (now.tv_nsec - entry.time.tv_nsec) / 100000;
    };
    const long long lower = ageNow();
    const int age = iface->GetLastMessage(0x42, &dlc, data);
    const long long upper = ageNow();
    EXPECT_GE(age + 1, lower);
    EXPECT_LE(age, upper + 1);
}

TEST_F(CanInterfaceTest, FrameWithoutDataChangesNothing) {
    iface->bridgeCallback = BridgeCallback;
    iface->protocolCallback = ProtocolCallback;
    ConnectInterface();
    iface->SetCanDumpSize(8);
    const CANMessageEntry before = iface->GetLastMessageEntry(0x21);
    ASSERT_EQ(0, peer->Write(MakeFrame(0x21, {})));
    // A later frame proves the empty one has been read.
    PeerSendAndWait(MakeFrame(0x22, {1}));

    for (const auto& call : callbackLog.Snapshot()) {
        EXPECT_NE(0x21, call.id);
    }
    const CANMessageEntry after = iface->GetLastMessageEntry(0x21);
    EXPECT_EQ(0, std::memcmp(&before, &after, sizeof(before)));
    TestSupport::LogCapture log;
    iface->WriteCanDump();
    EXPECT_EQ(1, log.Count("I --> "));
    EXPECT_EQ(0, log.Count("ID: 0x21"));
}

// The bridge sees every frame first; only a frame it did not consume reaches the protocol.
TEST_F(CanInterfaceTest, BridgeCallbackComesFirstAndMayConsume) {
    struct Case {
        const char* name;
        bool bridgeInstalled;
        int bridgeResult;
        bool protocolCalled;
    };
    const Case cases[] = {
        {"no bridge", false, 0, true},
        {"bridge passes", true, 0, true},
        {"bridge consumes", true, 1, false},
        {"bridge answers other than 1", true, 2, true},
    };
    iface->protocolCallback = ProtocolCallback;
    ConnectInterface();
    int id = 0x60;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        callbackLog.Clear();
        callbackLog.bridgeResult.store(c.bridgeResult);
        callbackLog.bridgeId.store(++id);
        iface->bridgeCallback = c.bridgeInstalled ? BridgeCallback : nullptr;
        const can_frame frame = MakeFrame(id, {1, 2});
        ASSERT_EQ(0, peer->Write(frame));
        // A frame that the protocol certainly sees marks the end of this case.
        const can_frame marker = MakeFrame(0x700, {0});
        ASSERT_EQ(0, peer->Write(marker));
        ASSERT_TRUE(callbackLog.WaitForCall('P', 0x700));

        std::string order;
        for (const auto& call : callbackLog.Snapshot()) {
            if (call.id == id) {
                order += call.who;
            }
        }
        std::string expected = std::string(c.bridgeInstalled ? "B" : "") +
                               (c.protocolCalled ? "P" : "");
        EXPECT_EQ(expected, order);
        // The table is filled whatever the callbacks do.
        EXPECT_EQ(2, iface->GetLastMessageEntry(id).dlc);
    }
}

TEST_F(CanInterfaceTest, WriteSendsOnlyValidFrames) {
    ConnectInterface();
    TestSupport::LogCapture log;
    const unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    struct Case {
        int id;
        int dlc;
        bool sent;
    };
    const Case cases[] = {
        {0x7FF, 8, true},
        {0x001, 0, true},
        {0x100, 3, true},
        {static_cast<int>(0x1FFFFFFF | CAN_EFF_FLAG), 8, true},
        {0x100, -1, false},  // the CAN bridge's unread length
        {0x100, 9, false},
        {0x800, 1, false},
        {-1, 1, false},  // the CAN bridge's unread identifier
        {0x1FFFFFFF, 1, false},
        {static_cast<int>(CAN_RTR_FLAG | 0x100), 1, false},
    };
    for (const Case& c : cases) {
        iface->WriteMessage(c.id, c.dlc, data);
    }
    iface->WriteMessage(0x3A, 1, data);  // marks the end

    std::vector<can_frame> received;
    can_frame frame{};
    while (PeerReceive(&frame) && frame.can_id != 0x3A) {
        received.push_back(frame);
    }
    ASSERT_EQ(0x3Au, frame.can_id);
    std::vector<const Case*> expected;
    for (const Case& c : cases) {
        if (c.sent) {
            expected.push_back(&c);
        }
    }
    ASSERT_EQ(expected.size(), received.size());
    for (std::size_t i = 0; i < received.size(); ++i) {
        EXPECT_EQ(static_cast<canid_t>(expected[i]->id), received[i].can_id);
        EXPECT_EQ(expected[i]->dlc, received[i].can_dlc);
        EXPECT_EQ(0, std::memcmp(data, received[i].data, received[i].can_dlc));
        for (int b = received[i].can_dlc; b < 8; ++b) {
            EXPECT_EQ(0, received[i].data[b]) << "bytes past the length are zero";
        }
    }
    EXPECT_EQ(6, log.Count("CAN write refused"));
    EXPECT_TRUE(log.Contains("CAN write refused on ID 256: DLC -1 outside 0..8"));
    EXPECT_TRUE(log.Contains("CAN write refused: ID 2048 outside 0..0x7FF"));
}

// Sixty failures with one errno log four lines; a good write starts the count afresh.
TEST_F(CanInterfaceTest, WriteFailuresAreThrottled) {
    ConnectInterface();
    iface->SetCanDumpSize(100);
    hub.Stop();  // every write now fails with a broken link
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
    StartHub();
    iface->Disconnect();
    ASSERT_TRUE(iface->Connect());
    ASSERT_TRUE(WaitFor([&] { return hub.EndpointCount() == 1; }));  // the peer left with the old hub
    hub.Stop();
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
    const std::string silentPath = socketPath + ".silent";
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
    hub.Stop();
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
    ASSERT_TRUE(WaitFor([&] { return hub.EndpointCount() == 2; }));
    TestSupport::LogCapture log;
    iface.reset();  // no Disconnect first
    EXPECT_TRUE(log.Contains("SocketCAN ReadLoop has stopped..."));
    EXPECT_TRUE(WaitFor([&] { return hub.EndpointCount() == 1; }));
    // Frames after destruction reach no callback.
    callbackLog.Clear();
    ASSERT_EQ(0, peer->Write(MakeFrame(0x44, {1})));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(callbackLog.Snapshot().empty());
}

}  // namespace
