#pragma once

// The object dictionary of one simulated CANopen node: entries addressed by index and
// subindex, each 1..4 bytes wide, with its access and whether it may be mapped into a
// PDO. Values are kept as raw unsigned words; signed objects are stored two's complement
// in their width.
//
// Not thread-safe; the owning node is serialised by the simulator.

#include <cstdint>
#include <map>

namespace CanopenSim {

// SDO abort codes the server answers with.
namespace Abort {
constexpr std::uint32_t kCommandUnknown = 0x05040001;
constexpr std::uint32_t kUnsupportedAccess = 0x06010000;
constexpr std::uint32_t kReadOnly = 0x06010002;
constexpr std::uint32_t kNoObject = 0x06020000;
constexpr std::uint32_t kNotMappable = 0x06040041;
constexpr std::uint32_t kPdoTooLong = 0x06040042;
constexpr std::uint32_t kLengthTooHigh = 0x06070012;
constexpr std::uint32_t kLengthTooLow = 0x06070013;
constexpr std::uint32_t kNoSubindex = 0x06090011;
constexpr std::uint32_t kInvalidValue = 0x06090030;
constexpr std::uint32_t kValueTooHigh = 0x06090031;
constexpr std::uint32_t kWrongState = 0x08000022;
}  // namespace Abort

enum class Access { ReadOnly, ReadWrite };

struct ObjectEntry {
    std::uint16_t index = 0;
    std::uint8_t subindex = 0;
    int size = 1;  // bytes, 1..4
    Access access = Access::ReadOnly;
    bool mappable = false;
    std::uint32_t value = 0;
};

class ObjectDictionary {
public:
    // Adds or replaces an entry; the value is cut to the width.
    void Add(std::uint16_t index, std::uint8_t subindex, int size, Access access, bool mappable,
             std::uint32_t value = 0);

    const ObjectEntry* Find(std::uint16_t index, std::uint8_t subindex) const;
    bool HasIndex(std::uint16_t index) const;

    // Internal access without checks; Get of a missing entry is 0, Set of one does nothing.
    std::uint32_t Get(std::uint16_t index, std::uint8_t subindex) const;
    std::int32_t GetSigned(std::uint16_t index, std::uint8_t subindex) const;
    void Set(std::uint16_t index, std::uint8_t subindex, std::uint32_t value);

    // The checks an SDO transfer makes before any object-specific rule: 0 or an abort code.
    // Size 0 means the client did not indicate it.
    std::uint32_t CheckUpload(std::uint16_t index, std::uint8_t subindex) const;
    std::uint32_t CheckDownload(std::uint16_t index, std::uint8_t subindex, int size) const;

    // Whether a PDO mapping value (index << 16 | subindex << 8 | bits) names an object that
    // may go into a receive (written by the bus) or transmit PDO: 0 or an abort code.
    std::uint32_t CheckMapping(std::uint32_t mapping, bool receive) const;

    // Entries whose index lies in [first, last] take the values of `other`.
    void RestoreRange(const ObjectDictionary& other, std::uint16_t first, std::uint16_t last);

private:
    static std::uint32_t Key(std::uint16_t index, std::uint8_t subindex) {
        return (std::uint32_t(index) << 8) | subindex;
    }
    static std::uint32_t Cut(std::uint32_t value, int size);

    std::map<std::uint32_t, ObjectEntry> entries;
};

}  // namespace CanopenSim
