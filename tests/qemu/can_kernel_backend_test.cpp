// The CAN interface on the kernel's own SocketCAN stack. Runs inside the qemu guest that
// run_qemu_can_test.sh boots, where "can0" is a vcan interface; a second raw socket on
// can0 plays the drives, since vcan hands every frame to the other sockets on the link.
#include "hardware/CANInterfaceSocketCAN.h"

#include "platform/CanSocket.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using Platform::CanSocket;

namespace {

can_frame MakeFrame(canid_t id, std::vector<unsigned char> bytes) {
    can_frame frame{};
    frame.can_id = id;
    frame.can_dlc = static_cast<__u8>(bytes.size());
    if (!bytes.empty()) {
        std::memcpy(frame.data, bytes.data(), bytes.size());
    }
    return frame;
}

long long AgeInTenthsOfAMillisecond(const timespec& since) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 10000LL + (now.tv_nsec - since.tv_nsec) / 100000;
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
    bool WaitForCall(char who, int id) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] {
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
    void Reset() {
        std::lock_guard<std::mutex> lock(mutex);
        calls.clear();
        bridgeResult.store(0);
        bridgeId.store(-1);
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

class KernelCanTest : public ::testing::Test {
protected:
    void SetUp() override {
        callbackLog.Reset();
        ::unsetenv(Platform::kCanHubEnvironment);  // the kernel backend, not the hub
        peer = std::make_unique<CanSocket>(CanSocket::Backend::Kernel);
        ASSERT_EQ(0, peer->Open("can0")) << "no can0 in this kernel";
        iface = std::make_unique<CANInterfaceSocketCAN>();
    }

    void TearDown() override {
        iface.reset();
        peer.reset();
    }

    void ConnectInterface() {
        ASSERT_TRUE(iface->Connect());
        can_frame greeting{};
        ASSERT_TRUE(PeerReceive(&greeting));
        ASSERT_EQ(0x10u, greeting.can_id);
    }

    bool PeerReceive(can_frame* frame, int timeoutMs = 5000) {
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

    std::unique_ptr<CanSocket> peer;
    std::unique_ptr<CANInterfaceSocketCAN> iface;
};

TEST_F(KernelCanTest, ConnectGreetsOnCan0AndDoesNotHearItself) {
    ASSERT_EQ(CanSocket::Backend::Kernel, CanSocket::BackendFromEnvironment(nullptr));
    iface->bridgeCallback = BridgeCallback;
    iface->protocolCallback = ProtocolCallback;
    TestSupport::LogCapture log;
    ASSERT_TRUE(iface->Connect());
    EXPECT_TRUE(iface->IsConnected());
    EXPECT_TRUE(log.Contains("....... SocketCAN connect ......"));
    EXPECT_TRUE(log.Contains("Connected to CAN module via SocketCAN..."));

    can_frame greeting{};
    ASSERT_TRUE(PeerReceive(&greeting));
    EXPECT_EQ(0x10u, greeting.can_id);
    ASSERT_EQ(8, greeting.can_dlc);
    const unsigned char expected[8] = {0x42, 0x43, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(expected, greeting.data, 8));

    // The kernel does not loop a socket's own frames back to it: the greeting reaches
    // neither the table nor the callbacks of the sender.
    PeerSendAndWait(MakeFrame(0x11, {1}));
    for (const auto& call : callbackLog.Snapshot()) {
        EXPECT_NE(0x10, call.id);
    }
    EXPECT_EQ(0, iface->GetLastMessageEntry(0x10).dlc);

    EXPECT_FALSE(iface->Disconnect());
    EXPECT_FALSE(iface->IsConnected());
    EXPECT_TRUE(log.Contains("SocketCAN ReadLoop has stopped..."));
    EXPECT_TRUE(log.Contains("CAN interface SocketCAN disconnected."));
    // A new Connect opens a fresh socket and greets again.
    ConnectInterface();
}

TEST_F(KernelCanTest, WrittenFramesCrossTheBusIntact) {
    ConnectInterface();
    const unsigned char data[8] = {0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7};
    struct Case {
        int id;
        int dlc;
    };
    const Case cases[] = {
        {0x7FF, 8},
        {0x001, 0},
        {0x234, 3},
        {static_cast<int>(0x1ABCDEF | CAN_EFF_FLAG), 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        iface->WriteMessage(c.id, c.dlc, data);
        can_frame frame{};
        ASSERT_TRUE(PeerReceive(&frame));
        EXPECT_EQ(static_cast<canid_t>(c.id), frame.can_id);
        EXPECT_EQ(c.dlc, frame.can_dlc);
        EXPECT_EQ(0, std::memcmp(data, frame.data, frame.can_dlc));
    }
}

TEST_F(KernelCanTest, UnansweredSlotsAreNeutralAndTenSecondsOld) {
    ConnectInterface();
    int dlc = -1;
    unsigned char data[8] = {};
    EXPECT_GE(iface->GetLastMessage(0x11, &dlc, data, nullptr), 100000);
    EXPECT_EQ(0, dlc);
    for (unsigned char b : data) {
        EXPECT_EQ(0x80, b);
    }
}

// Every frame with data reaches the bridge and then the protocol, with the identifier
// word as the kernel delivered it; only standard identifiers are stored in the table.
TEST_F(KernelCanTest, ReceivedFramesFillTheTableAndReachBothCallbacks) {
    iface->bridgeCallback = BridgeCallback;
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
        {"extended flag, small id", MakeFrame(0x124 | CAN_EFF_FLAG, {5, 5}), false},
        {"extended id", MakeFrame(0x1ABCDEF | CAN_EFF_FLAG, {6}), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        callbackLog.Reset();
        const int slot = static_cast<int>(c.frame.can_id & CAN_SFF_MASK);
        const CANMessageEntry before = iface->GetLastMessageEntry(slot);
        PeerSendAndWait(c.frame);

        const auto calls = callbackLog.Snapshot();
        ASSERT_EQ(2u, calls.size());
        EXPECT_EQ('B', calls[0].who);
        EXPECT_EQ('P', calls[1].who);
        for (const auto& call : calls) {
            EXPECT_EQ(static_cast<int>(c.frame.can_id), call.id) << "full identifier word";
            EXPECT_EQ(c.frame.can_dlc, call.dlc);
            EXPECT_EQ(0, std::memcmp(c.frame.data, call.data, c.frame.can_dlc));
        }

        int dlc = -1;
        unsigned char data[8] = {};
        const int age = iface->GetLastMessage(slot, &dlc, data);
        const CANMessageEntry after = iface->GetLastMessageEntry(slot);
        if (c.stored) {
            EXPECT_EQ(slot, after.id);
            EXPECT_EQ(c.frame.can_dlc, dlc);
            EXPECT_EQ(0, std::memcmp(c.frame.data, data, 8));
            EXPECT_LT(age, 50000) << "fresh frame";
        } else {
            EXPECT_EQ(0, std::memcmp(&before, &after, sizeof(before))) << "slot changed";
        }
    }
}

TEST_F(KernelCanTest, AgeCountsTenthsOfAMillisecondSinceReception) {
    iface->protocolCallback = ProtocolCallback;
    ConnectInterface();
    PeerSendAndWait(MakeFrame(0x42, {1}));
    const CANMessageEntry entry = iface->GetLastMessageEntry(0x42);
    int dlc = 0;
    unsigned char data[8];
    const int first = iface->GetLastMessage(0x42, &dlc, data);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    // The age lies between the slot's age taken just before and just after the call.
    const long long lower = AgeInTenthsOfAMillisecond(entry.time);
    const int second = iface->GetLastMessage(0x42, &dlc, data);
    const long long upper = AgeInTenthsOfAMillisecond(entry.time);
    EXPECT_GE(second - first, 600);
    // Both sides truncate to 0.1 ms on their own, so either may differ by one unit.
    EXPECT_GE(second + 1, lower);
    EXPECT_LE(second, upper + 1);
}

TEST_F(KernelCanTest, FrameWithoutDataIsDropped) {
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
TEST_F(KernelCanTest, BridgeCallbackComesFirstAndMayConsume) {
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
        callbackLog.Reset();
        callbackLog.bridgeResult.store(c.bridgeResult);
        callbackLog.bridgeId.store(++id);
        iface->bridgeCallback = c.bridgeInstalled ? BridgeCallback : nullptr;
        ASSERT_EQ(0, peer->Write(MakeFrame(id, {1, 2})));
        // A frame that the protocol certainly sees marks the end of this case.
        PeerSendAndWait(MakeFrame(0x700, {0}));

        std::string order;
        for (const auto& call : callbackLog.Snapshot()) {
            if (call.id == id) {
                order += call.who;
            }
        }
        const std::string expected = std::string(c.bridgeInstalled ? "B" : "") +
                                     (c.protocolCalled ? "P" : "");
        EXPECT_EQ(expected, order);
        // The table is filled whatever the callbacks do.
        EXPECT_EQ(2, iface->GetLastMessageEntry(id).dlc);
    }
}

}  // namespace
