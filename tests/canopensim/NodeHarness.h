#pragma once

// Talks to one simulated node directly, without a bus: the test plays the master and
// gets back every frame the node sends.

#include "canopensim/CanopenNode.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace CanopenSimTest {

using Bytes = std::vector<std::uint8_t>;
using CanopenSim::Clock;

inline can_frame Frame(int id, const Bytes& bytes) {
    return CanopenSim::CanopenNode::MakeFrame(id, bytes.data(), static_cast<int>(bytes.size()));
}

inline Bytes Data(const can_frame& frame) { return Bytes(frame.data, frame.data + frame.can_dlc); }

inline std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

struct NodeHarness {
    explicit NodeHarness(CanopenSim::CanopenNode& node) : node(node) {}

    std::vector<can_frame> Send(int id, const Bytes& bytes) {
        std::vector<can_frame> out;
        last = node.Handle(Frame(id, bytes), now, out);
        return out;
    }
    std::vector<can_frame> PowerOn() {
        std::vector<can_frame> out;
        node.PowerOn(now, out);
        return out;
    }
    std::vector<can_frame> Nmt(std::uint8_t command) { return Send(0x000, {command, 0}); }
    std::vector<can_frame> Sync() { return Send(0x080, {}); }
    std::vector<can_frame> Advance(int ms) {
        now += std::chrono::milliseconds(ms);
        std::vector<can_frame> out;
        node.Tick(now, out);
        return out;
    }

    // Expedited download; returns the answer frame (0x60 or an abort).
    can_frame Download(std::uint16_t index, std::uint8_t sub, std::uint32_t value, int size = 4) {
        const std::uint8_t command = static_cast<std::uint8_t>(0x23 | ((4 - size) << 2));
        return Answer(Send(0x600 + node.NodeId(),
                           {command, std::uint8_t(index), std::uint8_t(index >> 8), sub,
                            std::uint8_t(value), std::uint8_t(value >> 8), std::uint8_t(value >> 16),
                            std::uint8_t(value >> 24)}));
    }
    can_frame Upload(std::uint16_t index, std::uint8_t sub) {
        return Answer(Send(0x600 + node.NodeId(),
                           {0x40, std::uint8_t(index), std::uint8_t(index >> 8), sub, 0, 0, 0, 0}));
    }
    // The uploaded value, failing the test on an abort.
    std::uint32_t Read(std::uint16_t index, std::uint8_t sub) {
        const can_frame answer = Upload(index, sub);
        EXPECT_NE(0x80, answer.data[0]) << std::hex << "abort 0x" << Le32(answer.data + 4)
                                        << " reading 0x" << index << ":" << int(sub);
        return Le32(answer.data + 4);
    }
    // Downloads with the width of the object, failing the test on an abort.
    void Write(std::uint16_t index, std::uint8_t sub, std::uint32_t value) {
        const CanopenSim::ObjectEntry* entry = node.Dictionary().Find(index, sub);
        ASSERT_NE(nullptr, entry) << std::hex << index << ":" << int(sub);
        const can_frame answer = Download(index, sub, value, entry->size);
        EXPECT_EQ(0x60, answer.data[0]) << std::hex << "abort 0x" << Le32(answer.data + 4)
                                        << " writing 0x" << index << ":" << int(sub);
    }

    can_frame Answer(const std::vector<can_frame>& out) {
        for (const can_frame& frame : out) {
            if (int(frame.can_id) == 0x580 + node.NodeId()) {
                return frame;
            }
        }
        ADD_FAILURE() << "no SDO answer";
        return can_frame{};
    }

    CanopenSim::CanopenNode& node;
    Clock::time_point now = Clock::time_point{} + std::chrono::hours(1);
    CanopenSim::HandleResult last;
};

// Frames of one COB-ID among those a node sent.
inline std::vector<can_frame> On(const std::vector<can_frame>& frames, int id) {
    std::vector<can_frame> result;
    for (const can_frame& frame : frames) {
        if (int(frame.can_id) == id) {
            result.push_back(frame);
        }
    }
    return result;
}

}  // namespace CanopenSimTest
