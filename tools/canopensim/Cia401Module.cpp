#include "canopensim/Cia401Module.h"

#include <algorithm>
#include <vector>

namespace CanopenSim {

namespace {

constexpr std::uint32_t kDeviceTypeDigitalIo = 0x00030191;  // digital inputs and outputs

int Clamp(int bytes) { return std::clamp(bytes, 0, kMaxIoBytes); }

}  // namespace

Cia401Module::Cia401Module(const IoConfig& config)
    : CanopenNode(config.nodeId, kDeviceTypeDigitalIo, config.deviceName, config.firmware),
      inputBytes(Clamp(config.inputBytes)),
      outputBytes(Clamp(config.outputBytes)) {
    dictionary.Add(0x6000, 0, 1, Access::ReadOnly, false, static_cast<std::uint32_t>(inputBytes));
    std::vector<std::uint32_t> inputMapping;
    for (int k = 1; k <= inputBytes; ++k) {
        dictionary.Add(0x6000, static_cast<std::uint8_t>(k), 1, Access::ReadOnly, true,
                       static_cast<std::uint32_t>(config.inputs >> (8 * (k - 1))) & 0xFF);
        inputMapping.push_back(0x60000008u | (std::uint32_t(k) << 8));
    }
    dictionary.Add(0x6200, 0, 1, Access::ReadOnly, false, static_cast<std::uint32_t>(outputBytes));
    std::vector<std::uint32_t> outputMapping;
    for (int k = 1; k <= outputBytes; ++k) {
        dictionary.Add(0x6200, static_cast<std::uint8_t>(k), 1, Access::ReadWrite, true, 0);
        outputMapping.push_back(0x62000008u | (std::uint32_t(k) << 8));
    }
    const auto node = static_cast<std::uint32_t>(config.nodeId);
    AddReceivePdo(1, 0x200 + node, 255, outputMapping);
    AddTransmitPdo(1, 0x180 + node, 255, inputMapping);
    SnapshotDefaults();
}

IoSnapshot Cia401Module::Snapshot() const {
    IoSnapshot s;
    for (int k = 0; k < inputBytes; ++k) {
        s.inputs |= std::uint64_t(dictionary.Get(0x6000, static_cast<std::uint8_t>(k + 1))) << (8 * k);
    }
    for (int k = 0; k < outputBytes; ++k) {
        s.outputs |= std::uint64_t(dictionary.Get(0x6200, static_cast<std::uint8_t>(k + 1))) << (8 * k);
    }
    s.inputBytes = inputBytes;
    s.outputBytes = outputBytes;
    s.nmtState = NmtState();
    return s;
}

void Cia401Module::SetInputs(std::uint64_t mask) {
    for (int k = 0; k < inputBytes; ++k) {
        dictionary.Set(0x6000, static_cast<std::uint8_t>(k + 1),
                       static_cast<std::uint32_t>(mask >> (8 * k)) & 0xFF);
    }
}

}  // namespace CanopenSim
