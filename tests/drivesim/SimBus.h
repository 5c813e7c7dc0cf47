#pragma once

// A virtual bus with the simulator on one end and the test, acting as the controller, on
// the other. Sockets live in the test's own temporary working folder.

#include "drivesim/DriveSimulator.h"
#include "platform/CanSocket.h"
#include "platform/VirtualCanHub.h"
#include "testsupport/CanFrames.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace DriveSimTest {

using Bytes = std::vector<std::uint8_t>;
constexpr auto kFrameTimeout = std::chrono::milliseconds(2000);

using TestSupport::MakeFrame;

inline Bytes Data(const can_frame& frame) { return Bytes(frame.data, frame.data + frame.can_dlc); }

inline Bytes BigEndian32(std::int32_t value) {
    auto v = static_cast<std::uint32_t>(value);
    return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

// 0x14 set-point frame as the controller builds it.
inline Bytes PositionSetPoint(std::int32_t position, std::uint8_t counter, std::uint8_t outputs = 0,
                              std::uint8_t velocity = 128) {
    Bytes p = BigEndian32(position);
    return {0x14, velocity, p[0], p[1], p[2], p[3], counter, outputs};
}

inline std::int32_t AnswerPosition(const can_frame& answer) {
    return static_cast<std::int32_t>((std::uint32_t(answer.data[1]) << 24) |
                                     (std::uint32_t(answer.data[2]) << 16) |
                                     (std::uint32_t(answer.data[3]) << 8) | answer.data[4]);
}

class SimBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        socketPath = (std::filesystem::current_path() / "bus.sock").string();
        ASSERT_EQ(0, hub.Start(socketPath)) << hub.ErrorText();
        controller.SetBackend(Platform::CanSocket::Backend::VirtualHub, socketPath);
        ASSERT_EQ(0, controller.Open("can0"));
    }

    void TearDown() override {
        sim.Stop();
        controller.Close();
        hub.Stop();
    }

    // Starts the simulator and waits until the hub serves both ends.
    void StartSim() {
        ASSERT_EQ(0, sim.Start(socketPath));
        auto end = std::chrono::steady_clock::now() + kFrameTimeout;
        while (hub.EndpointCount() < 2 && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_EQ(2, hub.EndpointCount());
    }

    void AddJoint(int id, std::int32_t position = 0, bool enabled = true) {
        DriveSim::ModuleConfig config;
        config.canId = id;
        config.position = position;
        config.enabled = enabled;
        ASSERT_TRUE(sim.AddModule(config));
    }

    void Send(int id, const Bytes& bytes) { ASSERT_EQ(0, controller.Write(MakeFrame(id, bytes))); }

    // The next frame on the given ID; frames on other IDs are passed over.
    std::optional<can_frame> Next(int id, std::chrono::milliseconds timeout = kFrameTimeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (true) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || controller.WaitReadable(static_cast<int>(left.count())) <= 0) {
                return std::nullopt;
            }
            can_frame frame{};
            if (controller.Read(&frame) > 0 && static_cast<int>(frame.can_id) == id) {
                return frame;
            }
        }
    }

    // Sends a frame to a module and returns its answer (ID + 1).
    can_frame Exchange(int id, const Bytes& bytes) {
        Send(id, bytes);
        auto answer = Next(id + 1);
        EXPECT_TRUE(answer.has_value()) << "no answer from module " << id;
        return answer.value_or(can_frame{});
    }

    DriveSim::ModuleState State(int id) {
        DriveSim::ModuleState state;
        EXPECT_TRUE(sim.GetModuleState(id, &state));
        return state;
    }

    std::string socketPath;
    Platform::VirtualCanHub hub;
    Platform::CanSocket controller{Platform::CanSocket::Backend::VirtualHub};
    DriveSim::DriveSimulator sim;
};

}  // namespace DriveSimTest
