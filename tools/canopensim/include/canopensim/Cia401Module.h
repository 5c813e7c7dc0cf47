#pragma once

// A simulated CiA 401 digital I/O module: input bytes in 0x6000:1..n, output bytes in
// 0x6200:1..m, their counts in subindex 0. By default receive PDO 1 carries the outputs
// and transmit PDO 1 the inputs (sent on change); the controller may map them anew.
//
// Not thread-safe; the simulator serialises all access.

#include "canopensim/CanopenNode.h"

#include <cstdint>
#include <string>

namespace CanopenSim {

constexpr int kMaxIoBytes = 8;

struct IoConfig {
    int nodeId = 1;
    std::string deviceName = "Belvanto IO 401";
    std::string firmware = "IO-v1.2";
    int inputBytes = 2;   // 0..8
    int outputBytes = 2;  // 0..8
    std::uint64_t inputs = 0;
};

struct IoSnapshot {
    std::uint64_t inputs = 0;   // bit 8k+b = bit b of input byte k
    std::uint64_t outputs = 0;  // same layout
    int inputBytes = 0;
    int outputBytes = 0;
    std::uint8_t nmtState = 0;
};

class Cia401Module : public CanopenNode {
public:
    explicit Cia401Module(const IoConfig& config);

    IoSnapshot Snapshot() const;
    void SetInputs(std::uint64_t mask);

private:
    int inputBytes;
    int outputBytes;
};

}  // namespace CanopenSim
