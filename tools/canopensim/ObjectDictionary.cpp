#include "canopensim/ObjectDictionary.h"

namespace CanopenSim {

std::uint32_t ObjectDictionary::Cut(std::uint32_t value, int size) {
    return size >= 4 ? value : value & ((std::uint32_t(1) << (8 * size)) - 1);
}

void ObjectDictionary::Add(std::uint16_t index, std::uint8_t subindex, int size, Access access,
                           bool mappable, std::uint32_t value) {
    if (size < 1 || size > 4) {
        size = 4;
    }
    entries[Key(index, subindex)] = ObjectEntry{index, subindex, size, access, mappable, Cut(value, size)};
}

const ObjectEntry* ObjectDictionary::Find(std::uint16_t index, std::uint8_t subindex) const {
    auto it = entries.find(Key(index, subindex));
    return it == entries.end() ? nullptr : &it->second;
}

bool ObjectDictionary::HasIndex(std::uint16_t index) const {
    auto it = entries.lower_bound(Key(index, 0));
    return it != entries.end() && it->second.index == index;
}

std::uint32_t ObjectDictionary::Get(std::uint16_t index, std::uint8_t subindex) const {
    const ObjectEntry* entry = Find(index, subindex);
    return entry != nullptr ? entry->value : 0;
}

std::int32_t ObjectDictionary::GetSigned(std::uint16_t index, std::uint8_t subindex) const {
    const ObjectEntry* entry = Find(index, subindex);
    if (entry == nullptr) {
        return 0;
    }
    std::uint32_t value = entry->value;
    if (entry->size < 4) {
        const std::uint32_t sign = std::uint32_t(1) << (8 * entry->size - 1);
        if ((value & sign) != 0) {
            value |= ~((sign << 1) - 1);
        }
    }
    return static_cast<std::int32_t>(value);
}

void ObjectDictionary::Set(std::uint16_t index, std::uint8_t subindex, std::uint32_t value) {
    auto it = entries.find(Key(index, subindex));
    if (it != entries.end()) {
        it->second.value = Cut(value, it->second.size);
    }
}

std::uint32_t ObjectDictionary::CheckUpload(std::uint16_t index, std::uint8_t subindex) const {
    if (Find(index, subindex) != nullptr) {
        return 0;
    }
    return HasIndex(index) ? Abort::kNoSubindex : Abort::kNoObject;
}

std::uint32_t ObjectDictionary::CheckDownload(std::uint16_t index, std::uint8_t subindex,
                                              int size) const {
    const ObjectEntry* entry = Find(index, subindex);
    if (entry == nullptr) {
        return HasIndex(index) ? Abort::kNoSubindex : Abort::kNoObject;
    }
    if (entry->access == Access::ReadOnly) {
        return Abort::kReadOnly;
    }
    if (size > entry->size) {
        return Abort::kLengthTooHigh;
    }
    if (size != 0 && size < entry->size) {
        return Abort::kLengthTooLow;
    }
    return 0;
}

std::uint32_t ObjectDictionary::CheckMapping(std::uint32_t mapping, bool receive) const {
    const auto index = static_cast<std::uint16_t>(mapping >> 16);
    const auto subindex = static_cast<std::uint8_t>(mapping >> 8);
    const unsigned bits = mapping & 0xFF;
    const ObjectEntry* entry = Find(index, subindex);
    if (entry == nullptr) {
        return HasIndex(index) ? Abort::kNoSubindex : Abort::kNoObject;
    }
    if (!entry->mappable || (receive && entry->access == Access::ReadOnly) ||
        bits != unsigned(entry->size) * 8) {
        return Abort::kNotMappable;
    }
    return 0;
}

void ObjectDictionary::RestoreRange(const ObjectDictionary& other, std::uint16_t first,
                                    std::uint16_t last) {
    for (auto it = other.entries.lower_bound(Key(first, 0));
         it != other.entries.end() && it->second.index <= last; ++it) {
        entries[it->first] = it->second;
    }
}

}  // namespace CanopenSim
