#pragma once

// Test helpers for the joint protocols: a virtual CAN bus hub in a temporary folder that
// the protocol's interface finds through the environment, and a scripted peer on that bus
// that records every frame and can answer from its reader thread.

#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "hardware/HardwareProtocolJXRCANV2.h"
#include "platform/CanSocket.h"
#include "platform/VirtualCanHub.h"
#include "testsupport/TestSupport.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>
#include <linux/can.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace ProtocolTest {

inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000) {
    return TestSupport::WaitUntil(condition, timeoutMs, 1);
}

// A running hub; endpoints opened while it lives (the protocol's Connect among them)
// attach to it.
class TestBus {
public:
    TestBus() {
        path_ = root_.Path() + "/bus.sock";
        if (hub_.Start(path_) != 0) throw std::runtime_error("hub: " + hub_.ErrorText());
        setenv(Platform::kCanHubEnvironment, path_.c_str(), 1);
    }
    ~TestBus() {
        hub_.Stop();
        unsetenv(Platform::kCanHubEnvironment);
    }
    const std::string& Path() const { return path_; }
    TestSupport::TempDataRoot& Root() { return root_; }
    int Endpoints() const { return hub_.EndpointCount(); }

private:
    TestSupport::TempDataRoot root_;
    Platform::VirtualCanHub hub_;
    std::string path_;
};

// One endpoint on the bus standing in for the drives.
class ScriptedPeer {
public:
    using Responder = std::function<void(const can_frame&, ScriptedPeer&)>;

    explicit ScriptedPeer(const std::string& hubPath)
        : socket_(Platform::CanSocket::Backend::VirtualHub, hubPath) {
        if (socket_.Open("can0") != 0) throw std::runtime_error("peer cannot attach to the hub");
        reader_ = std::thread([this] { ReadLoop(); });
    }
    ~ScriptedPeer() {
        stop_.store(true);
        reader_.join();
        socket_.Close();
    }

    void Send(int id, const std::vector<std::uint8_t>& bytes) {
        can_frame frame{};
        frame.can_id = static_cast<canid_t>(id);
        frame.can_dlc = static_cast<__u8>(bytes.size());
        std::memcpy(frame.data, bytes.data(), bytes.size());
        socket_.Write(frame);
    }
    // Answer of a module of the maker's protocol versions 2/3 on canId + 1.
    void SendAnswer(int canId, std::uint8_t error, std::int32_t position, std::uint8_t byte5,
                    std::uint8_t byte6, std::uint8_t inputs) {
        const std::uint32_t p = static_cast<std::uint32_t>(position);
        Send(canId + 1, {error, static_cast<std::uint8_t>(p >> 24), static_cast<std::uint8_t>(p >> 16),
                         static_cast<std::uint8_t>(p >> 8), static_cast<std::uint8_t>(p), byte5, byte6,
                         inputs});
    }

    // Returns once a responder call in progress has finished, so the old responder's
    // state may go away afterwards.
    void SetResponder(Responder responder) {
        std::lock_guard<std::mutex> lock(responderMutex_);
        responder_ = std::move(responder);
    }
    std::vector<can_frame> Frames() {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }
    std::vector<can_frame> FramesOn(int id) {
        std::vector<can_frame> out;
        for (const can_frame& f : Frames()) {
            if (static_cast<int>(f.can_id) == id) out.push_back(f);
        }
        return out;
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_.size();
    }
    // Forgets the frames so far, once the bus has been quiet for a moment: frames of
    // earlier cycles still on their way must not count as new ones.
    void Clear() {
        std::size_t seen = Count();
        for (int i = 0; i < 200; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
            const std::size_t now = Count();
            if (now == seen) break;
            seen = now;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.clear();
    }
    bool WaitForCount(std::size_t n, int timeoutMs = 5000) {
        return WaitFor([&] { return Count() >= n; }, timeoutMs);
    }

private:
    void ReadLoop() {
        while (!stop_.load()) {
            if (socket_.WaitReadable(20) <= 0) continue;
            can_frame frame{};
            if (socket_.Read(&frame) != static_cast<int>(Platform::kCanFrameSize)) continue;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                frames_.push_back(frame);
            }
            std::lock_guard<std::mutex> lock(responderMutex_);
            if (responder_) responder_(frame, *this);
        }
    }

    Platform::CanSocket socket_;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;  // frames_
    std::vector<can_frame> frames_;
    std::mutex responderMutex_;  // held while the responder runs
    Responder responder_;
};

inline std::vector<std::uint8_t> Bytes(const can_frame& f) {
    return std::vector<std::uint8_t>(f.data, f.data + f.can_dlc);
}

// Puts the process-wide operation mode and failure reason back after a test changed them.
class ScopedOperationMode {
public:
    ScopedOperationMode() {
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        LogSingleton::instance()->set_seriousFailReason("na");
    }
    ~ScopedOperationMode() {
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        LogSingleton::instance()->set_seriousFailReason("na");
    }
};

inline std::string FixturePath(const std::string& name) {
    return std::string(BELVANTO_FIXTURES_DIR) + "/hardware/" + name;
}

// The fixture's text with the first maxCount occurrences (all for -1) of from replaced.
inline std::string FixtureWithEdit(const std::string& name, const std::string& from, const std::string& to,
                                   int maxCount = -1) {
    std::string text = TestSupport::ReadWholeFile(FixturePath(name));
    int done = 0;
    for (size_t at = text.find(from); at != std::string::npos && done != maxCount;
         at = text.find(from, at + to.size()), ++done) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// Answers every position set-point (command 0x14, DLC 8) of the listed modules like an
// ideal drive: the position comes back at once, with the module's error bits and inputs.
class IdealDrives {
public:
    IdealDrives(ScriptedPeer& peer, std::vector<int> ids) : peer_(peer), ids_(std::move(ids)) {
        errors_.assign(ids_.size(), 0);
        inputs_.assign(ids_.size(), 0x80);
        peer_.SetResponder([this](const can_frame& f, ScriptedPeer& p) { Answer(f, p); });
    }
    ~IdealDrives() { peer_.SetResponder(nullptr); }
    IdealDrives(const IdealDrives&) = delete;
    IdealDrives& operator=(const IdealDrives&) = delete;
    void SetError(int id, std::uint8_t bits) {
        std::lock_guard<std::mutex> lock(mutex_);
        errors_[Slot(id)] = bits;
    }
    void SetInputs(int id, std::uint8_t inputs) {
        std::lock_guard<std::mutex> lock(mutex_);
        inputs_[Slot(id)] = inputs;
    }
    void Silence(bool silent) { silent_.store(silent); }
    int Answers() const { return answers_.load(); }

private:
    std::size_t Slot(int id) const {
        for (std::size_t i = 0; i < ids_.size(); ++i) {
            if (ids_[i] == id) return i;
        }
        throw std::out_of_range("no such drive");
    }
    void Answer(const can_frame& f, ScriptedPeer& peer) {
        if (silent_.load() || f.can_dlc != 8 || f.data[0] != 0x14) return;
        const int id = static_cast<int>(f.can_id);
        std::uint8_t error = 0;
        std::uint8_t inputs = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            bool known = false;
            for (std::size_t i = 0; i < ids_.size(); ++i) {
                if (ids_[i] == id) {
                    error = errors_[i];
                    inputs = inputs_[i];
                    known = true;
                }
            }
            if (!known) return;
        }
        peer.Send(id + 1, {error, f.data[2], f.data[3], f.data[4], f.data[5], 0, 0, inputs});
        answers_.fetch_add(1);
    }

    ScriptedPeer& peer_;
    std::vector<int> ids_;
    std::mutex mutex_;
    std::vector<std::uint8_t> errors_;
    std::vector<std::uint8_t> inputs_;
    std::atomic<bool> silent_{false};
    std::atomic<int> answers_{0};
};

// A version-2 protocol on a fresh virtual bus with a scripted peer beside it.
class V2Fixture : public ::testing::Test {
protected:
    void SetUp() override {
        peer = std::make_unique<ScriptedPeer>(bus.Path());
        protocol = std::make_unique<Hardware::HardwareProtocolJXRCANV2>(nullptr);
        protocol->SetVersion(2);
    }
    void TearDown() override {
        protocol.reset();
        peer.reset();
    }
    void Init(const std::string& file = FixturePath("robot_jxrcanv2.xml")) {
        protocol->Init("Robot", "JXRPivra4", file);
    }
    // Connects and waits for the greeting, so the peer's record starts with the
    // protocol's own frames.
    void Connect() {
        protocol->Connect();
        ASSERT_TRUE(protocol->GetConnectionStatus());
        ASSERT_TRUE(WaitFor([&] { return !peer->FramesOn(0x10).empty(); }));
        peer->Clear();
    }
    void Cycle(int n = 1) {
        for (int i = 0; i < n; ++i) {
            protocol->SetJoints(target);
            protocol->GetJoints(&measured);
        }
    }
    // Sends a frame from the peer and waits until the interface's table holds it.
    void Deliver(int id, const std::vector<std::uint8_t>& bytes) {
        CANInterfaceSocketCAN& can = protocol->GetCANInterface();
        const timespec before = can.GetLastMessageEntry(id).time;
        peer->Send(id, bytes);
        ASSERT_TRUE(WaitFor([&] {
            const timespec t = can.GetLastMessageEntry(id).time;
            return t.tv_sec != before.tv_sec || t.tv_nsec != before.tv_nsec;
        }));
    }
    // Waits until the reader thread has passed every frame sent so far to the protocol:
    // a known event sent last shows up in the log once the ones before it are handled.
    void FlushReceiveCallback(TestSupport::LogCapture& capture) {
        static const char kMarker[] = "ComWDT on ID 0x7EE02! 0: 4660 - 0: 22136";
        const int before = capture.Count(kMarker);
        peer->Send(0x7EE, {0x07, 0x00, 0x00, 0x76, 0x12, 0x34, 0x56, 0x78});
        ASSERT_TRUE(WaitFor([&] { return capture.Count(kMarker) > before; }));
    }

    ScopedOperationMode mode;
    TestBus bus;
    std::unique_ptr<ScriptedPeer> peer;
    std::unique_ptr<Hardware::HardwareProtocolJXRCANV2> protocol;
    DataTypes::RobotState target;
    DataTypes::RobotState measured;
};

}  // namespace ProtocolTest
