#pragma once

// The CAN interface's cases that hold on every bus backend, written once as a typed test
// suite over the backend. A test binary defines its backend and instantiates the suite:
//
//   INSTANTIATE_TYPED_TEST_SUITE_P(VirtualHub, CanInterfaceCases, HubBus);
//
// A backend (Bus) has
//   void SetUp(std::unique_ptr<Platform::CanSocket>& peer);  // the bus, the environment
//       // and a peer endpoint on it standing in for the drives (may fail an ASSERT)
//   void TearDown();
//   bool OnlyPeerLeft();          // waits until the interface has left the bus (true where
//                                 // the bus cannot tell)
//   static constexpr Platform::CanSocket::Backend kBackend;  // what the environment selects
//   static constexpr int kWaitMs;  // how long a frame may take to come through
//   static constexpr int kFreshAge;  // the age (0.1 ms) a frame just received stays below

#include "hardware/CANInterfaceSocketCAN.h"

#include "platform/CanSocket.h"
#include "testsupport/CanFrames.h"
#include "testsupport/TestSupport.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace CanInterfaceTesting {

using Platform::CanSocket;
using TestSupport::MakeFrame;

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
    bool WaitForCall(char who, int id, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
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
    void Reset() {
        Clear();
        bridgeResult.store(0);
        bridgeId.store(-1);
    }
};

inline CallbackLog callbackLog;

inline int BridgeCallback(int id, int dlc, const unsigned char* data, long extra, timespec) {
    EXPECT_EQ(0, extra);
    callbackLog.Add('B', id, dlc, data);
    return id == callbackLog.bridgeId.load() ? callbackLog.bridgeResult.load() : 0;
}

inline int ProtocolCallback(int id, int dlc, const unsigned char* data, long extra, timespec) {
    EXPECT_EQ(0, extra);
    callbackLog.Add('P', id, dlc, data);
    return 0;
}

// Age in 0.1 ms of a monotonic time stamp, truncated as the interface truncates it.
inline long long AgeInTenthsOfAMillisecond(const timespec& since) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 10000LL + (now.tv_nsec - since.tv_nsec) / 100000;
}

// The interface under test on the bus of Bus, and a peer endpoint standing in for the drives.
template <class Bus>
class CanInterfaceFixture : public ::testing::Test {
protected:
    void SetUp() override {
        callbackLog.Reset();
        bus.SetUp(peer);
        if (HasFatalFailure()) {
            return;
        }
        iface = std::make_unique<CANInterfaceSocketCAN>();
    }

    void TearDown() override {
        iface.reset();
        peer.reset();
        bus.TearDown();
    }

    static bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000) {
        return TestSupport::WaitUntil(condition, timeoutMs);
    }

    // Connects and takes the greeting frame off the peer's queue.
    void ConnectInterface() {
        ASSERT_TRUE(iface->Connect());
        can_frame greeting{};
        ASSERT_TRUE(PeerReceive(&greeting));
        ASSERT_EQ(0x10u, greeting.can_id);
    }

    bool PeerReceive(can_frame* frame, int timeoutMs = Bus::kWaitMs) {
        if (peer->WaitReadable(timeoutMs) != 1) {
            return false;
        }
        return peer->Read(frame) == static_cast<int>(Platform::kCanFrameSize);
    }

    // Waits until the reader has handed a frame of identifier word id to the protocol
    // callback (which must be installed).
    bool WaitForProtocolCall(int id) { return callbackLog.WaitForCall('P', id, 2 * Bus::kWaitMs); }

    // Sends from the peer and waits until the reader has handed the frame on to the
    // protocol callback.
    void PeerSendAndWait(const can_frame& frame) {
        ASSERT_EQ(0, peer->Write(frame));
        ASSERT_TRUE(WaitForProtocolCall(static_cast<int>(frame.can_id)));
    }

    Bus bus;
    std::unique_ptr<CanSocket> peer;
    std::unique_ptr<CANInterfaceSocketCAN> iface;
};

template <class Bus>
class CanInterfaceCases : public CanInterfaceFixture<Bus> {};

TYPED_TEST_SUITE_P(CanInterfaceCases);

// Connect greets on the bus and logs the sequence; the interface does not hear its own
// frames; Disconnect stops the reader, and a new Connect greets again on a fresh socket.
TYPED_TEST_P(CanInterfaceCases, ConnectGreetsLogsAndDoesNotHearItself) {
    ASSERT_EQ(TypeParam::kBackend, CanSocket::BackendFromEnvironment(nullptr));
    auto& iface = this->iface;
    iface->bridgeCallback = BridgeCallback;
    iface->protocolCallback = ProtocolCallback;
    TestSupport::LogCapture log;
    ASSERT_TRUE(iface->Connect());
    EXPECT_TRUE(iface->IsConnected());
    can_frame greeting{};
    ASSERT_TRUE(this->PeerReceive(&greeting));
    EXPECT_EQ(0x10u, greeting.can_id);
    ASSERT_EQ(8, greeting.can_dlc);
    const unsigned char expected[8] = {0x42, 0x43, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(expected, greeting.data, 8));
    ASSERT_TRUE(this->WaitFor([&] { return log.Contains("Starting SocketCAN ReadLoop.."); }));
    EXPECT_TRUE(log.Contains("....... SocketCAN connect ......"));
    EXPECT_TRUE(log.Contains("Connected to CAN module via SocketCAN..."));

    // A socket's own frames do not come back to it: the greeting reaches neither the
    // table nor the callbacks of the sender.
    this->PeerSendAndWait(MakeFrame(0x11, {1}));
    for (const auto& call : callbackLog.Snapshot()) {
        EXPECT_NE(0x10, call.id);
    }
    EXPECT_EQ(0, iface->GetLastMessageEntry(0x10).dlc);

    EXPECT_FALSE(iface->Disconnect());
    EXPECT_FALSE(iface->IsConnected());
    EXPECT_TRUE(log.Contains("SocketCAN ReadLoop has stopped..."));
    EXPECT_TRUE(log.Contains("CAN interface SocketCAN disconnected."));
    EXPECT_TRUE(this->bus.OnlyPeerLeft());

    // A new Connect works on a fresh socket and greets again.
    this->ConnectInterface();
}

TYPED_TEST_P(CanInterfaceCases, UnansweredSlotsAreNeutralAndTenSecondsOld) {
    this->ConnectInterface();
    auto& iface = this->iface;
    int dlc = -1;
    unsigned char data[8] = {};
    EXPECT_GE(iface->GetLastMessage(0x11, &dlc, data, nullptr), 100000);
    EXPECT_EQ(0, dlc);
    for (unsigned char b : data) {
        EXPECT_EQ(0x80, b);
    }
}

// Every frame with data reaches the bridge and then the protocol, with the identifier
// word as the bus delivered it; only standard identifiers are stored in the table.
TYPED_TEST_P(CanInterfaceCases, ReceivedFramesFillTheTableAndReachBothCallbacks) {
    auto& iface = this->iface;
    iface->bridgeCallback = BridgeCallback;
    iface->protocolCallback = ProtocolCallback;
    this->ConnectInterface();
    struct Case {
        const char* name;
        can_frame frame;
        bool stored;
    };
    const Case cases[] = {
        {"standard", MakeFrame(0x123, {1, 2, 3, 4, 5, 6, 7, 8}), true},
        {"highest standard id", MakeFrame(0x7FF, {0xAA, 0xBB, 0xCC}), true},
        {"id 0", MakeFrame(0, {9}), true},
        {"extended flag, id of a filled slot", MakeFrame(0x123 | CAN_EFF_FLAG, {5, 5}), false},
        {"extended flag, id of an empty slot", MakeFrame(0x124 | CAN_EFF_FLAG, {5, 5}), false},
        {"extended id", MakeFrame(0x1ABCDEF | CAN_EFF_FLAG, {6}), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        callbackLog.Clear();
        const int slot = static_cast<int>(c.frame.can_id & CAN_SFF_MASK);
        const CANMessageEntry before = iface->GetLastMessageEntry(slot);
        this->PeerSendAndWait(c.frame);

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
            EXPECT_LT(age, TypeParam::kFreshAge) << "fresh frame";
        } else {
            EXPECT_EQ(0, std::memcmp(&before, &after, sizeof(before))) << "slot changed";
        }
    }
}

TYPED_TEST_P(CanInterfaceCases, AgeGrowsInTenthsOfAMillisecond) {
    auto& iface = this->iface;
    iface->protocolCallback = ProtocolCallback;
    this->ConnectInterface();
    this->PeerSendAndWait(MakeFrame(0x42, {1}));
    int dlc = 0;
    unsigned char data[8];
    const int first = iface->GetLastMessage(0x42, &dlc, data);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    const int second = iface->GetLastMessage(0x42, &dlc, data);
    EXPECT_GE(second - first, 600);
    // Matches the slot's own time stamp: the age lies between the ages taken just before
    // and just after the call (each side truncates to 0.1 ms on its own).
    const CANMessageEntry entry = iface->GetLastMessageEntry(0x42);
    const long long lower = AgeInTenthsOfAMillisecond(entry.time);
    const int age = iface->GetLastMessage(0x42, &dlc, data);
    const long long upper = AgeInTenthsOfAMillisecond(entry.time);
    EXPECT_GE(age + 1, lower);
    EXPECT_LE(age, upper + 1);
}

TYPED_TEST_P(CanInterfaceCases, FrameWithoutDataChangesNothing) {
    auto& iface = this->iface;
    iface->bridgeCallback = BridgeCallback;
    iface->protocolCallback = ProtocolCallback;
    this->ConnectInterface();
    iface->SetCanDumpSize(8);
    const CANMessageEntry before = iface->GetLastMessageEntry(0x21);
    ASSERT_EQ(0, this->peer->Write(MakeFrame(0x21, {})));
    // A later frame proves the empty one has been read.
    this->PeerSendAndWait(MakeFrame(0x22, {1}));

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
TYPED_TEST_P(CanInterfaceCases, BridgeCallbackComesFirstAndMayConsume) {
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
    auto& iface = this->iface;
    iface->protocolCallback = ProtocolCallback;
    this->ConnectInterface();
    int id = 0x60;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        callbackLog.Clear();
        callbackLog.bridgeResult.store(c.bridgeResult);
        callbackLog.bridgeId.store(++id);
        iface->bridgeCallback = c.bridgeInstalled ? BridgeCallback : nullptr;
        ASSERT_EQ(0, this->peer->Write(MakeFrame(id, {1, 2})));
        // A frame that the protocol certainly sees marks the end of this case.
        this->PeerSendAndWait(MakeFrame(0x700, {0}));

        std::string order;
        for (const auto& call : callbackLog.Snapshot()) {
            if (call.id == id) {
                order += call.who;
            }
        }
        const std::string expected = std::string(c.bridgeInstalled ? "B" : "") + (c.protocolCalled ? "P" : "");
        EXPECT_EQ(expected, order);
        // The table is filled whatever the callbacks do.
        EXPECT_EQ(2, iface->GetLastMessageEntry(id).dlc);
    }
}

// Valid frames cross the bus intact, in order and zero-padded; invalid ones are refused
// with a log line and never sent.
TYPED_TEST_P(CanInterfaceCases, WriteSendsOnlyValidFrames) {
    this->ConnectInterface();
    auto& iface = this->iface;
    TestSupport::LogCapture log;
    const unsigned char data[8] = {0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7};
    struct Case {
        int id;
        int dlc;
        bool sent;
    };
    const Case cases[] = {
        {0x7FF, 8, true},
        {0x001, 0, true},
        {0x100, 3, true},
        {0x234, 3, true},
        {static_cast<int>(0x1ABCDEF | CAN_EFF_FLAG), 5, true},
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
    while (this->PeerReceive(&frame) && frame.can_id != 0x3A) {
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
        SCOPED_TRACE(expected[i]->id);
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

REGISTER_TYPED_TEST_SUITE_P(CanInterfaceCases, ConnectGreetsLogsAndDoesNotHearItself,
                            UnansweredSlotsAreNeutralAndTenSecondsOld, ReceivedFramesFillTheTableAndReachBothCallbacks,
                            AgeGrowsInTenthsOfAMillisecond, FrameWithoutDataChangesNothing,
                            BridgeCallbackComesFirstAndMayConsume, WriteSendsOnlyValidFrames);

}  // namespace CanInterfaceTesting
