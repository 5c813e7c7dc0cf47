#include "canopensim/CanopenNode.h"

#include <algorithm>
#include <cstring>

namespace CanopenSim {

namespace {

constexpr std::uint16_t kReceiveCommunication = 0x1400;
constexpr std::uint16_t kReceiveMapping = 0x1600;
constexpr std::uint16_t kTransmitCommunication = 0x1800;
constexpr std::uint16_t kTransmitMapping = 0x1A00;
constexpr int kMaxMappedObjects = 8;

std::uint32_t LittleEndian(const std::uint8_t* data, int size) {
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = (value << 8) | data[i];
    }
    return value;
}

void PutLittleEndian(std::uint8_t* data, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) {
        data[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

bool IsValid(std::uint32_t cobId) { return (cobId & kPdoInvalid) == 0; }

}  // namespace

can_frame CanopenNode::MakeFrame(int id, const std::uint8_t* data, int dlc) {
    can_frame frame{};
    frame.can_id = static_cast<canid_t>(id);
    frame.can_dlc = static_cast<__u8>(dlc);
    if (dlc > 0) {
        std::memcpy(frame.data, data, static_cast<std::size_t>(dlc));
    }
    return frame;
}

CanopenNode::CanopenNode(int nodeId, std::uint32_t deviceType, const std::string& deviceName,
                         const std::string& firmware)
    : nodeId(nodeId) {
    dictionary.Add(0x1000, 0, 4, Access::ReadOnly, false, deviceType);
    dictionary.Add(0x1001, 0, 1, Access::ReadOnly, true, 0);
    dictionary.Add(0x1003, 0, 1, Access::ReadWrite, false, 0);
    for (int k = 1; k <= 8; ++k) {
        dictionary.Add(0x1003, static_cast<std::uint8_t>(k), 4, Access::ReadOnly, false, 0);
    }
    AddText(0x1008, deviceName);
    AddText(0x100A, firmware);
    dictionary.Add(0x1014, 0, 4, Access::ReadOnly, false, std::uint32_t(kEmcyBase + nodeId));
    dictionary.Add(0x1017, 0, 2, Access::ReadWrite, false, 0);
}

void CanopenNode::AddText(std::uint16_t index, const std::string& text) {
    const std::size_t length = std::min(text.size(), kMaxTextLength);
    dictionary.Add(index, 0, 1, Access::ReadOnly, false, static_cast<std::uint32_t>(length));
    for (std::size_t k = 1; k <= kMaxTextLength; ++k) {
        const std::uint32_t c = k <= length ? static_cast<unsigned char>(text[k - 1]) : 0;
        dictionary.Add(index, static_cast<std::uint8_t>(k), 1, Access::ReadOnly, false, c);
    }
}

void CanopenNode::AddReceivePdo(int n, std::uint32_t cobId, std::uint8_t type,
                                const std::vector<std::uint32_t>& mapping) {
    const auto comm = static_cast<std::uint16_t>(kReceiveCommunication + n - 1);
    const auto map = static_cast<std::uint16_t>(kReceiveMapping + n - 1);
    dictionary.Add(comm, 0, 1, Access::ReadOnly, false, 2);
    dictionary.Add(comm, 1, 4, Access::ReadWrite, false, cobId);
    dictionary.Add(comm, 2, 1, Access::ReadWrite, false, type);
    dictionary.Add(map, 0, 1, Access::ReadWrite, false, static_cast<std::uint32_t>(mapping.size()));
    for (int k = 1; k <= kMaxMappedObjects; ++k) {
        const std::size_t i = static_cast<std::size_t>(k - 1);
        dictionary.Add(map, static_cast<std::uint8_t>(k), 4, Access::ReadWrite, false,
                       i < mapping.size() ? mapping[i] : 0);
    }
}

void CanopenNode::AddTransmitPdo(int n, std::uint32_t cobId, std::uint8_t type,
                                 const std::vector<std::uint32_t>& mapping) {
    const auto comm = static_cast<std::uint16_t>(kTransmitCommunication + n - 1);
    const auto map = static_cast<std::uint16_t>(kTransmitMapping + n - 1);
    dictionary.Add(comm, 0, 1, Access::ReadOnly, false, 5);
    dictionary.Add(comm, 1, 4, Access::ReadWrite, false, cobId);
    dictionary.Add(comm, 2, 1, Access::ReadWrite, false, type);
    dictionary.Add(comm, 3, 2, Access::ReadWrite, false, 0);  // inhibit time, 100 us
    dictionary.Add(comm, 5, 2, Access::ReadWrite, false, 0);  // event timer, ms
    dictionary.Add(map, 0, 1, Access::ReadWrite, false, static_cast<std::uint32_t>(mapping.size()));
    for (int k = 1; k <= kMaxMappedObjects; ++k) {
        const std::size_t i = static_cast<std::size_t>(k - 1);
        dictionary.Add(map, static_cast<std::uint8_t>(k), 4, Access::ReadWrite, false,
                       i < mapping.size() ? mapping[i] : 0);
    }
}

void CanopenNode::PowerOn(Clock::time_point now, std::vector<can_frame>& out) {
    BootUp(now, out);
}

void CanopenNode::BootUp(Clock::time_point now, std::vector<can_frame>& out) {
    nmtState = Nmt::kPreOperational;
    receive = {};
    transmit = {};
    const std::uint8_t data[1] = {Nmt::kBootUp};
    out.push_back(MakeFrame(kHeartbeatBase + nodeId, data, 1));
    nextHeartbeat = now + std::chrono::milliseconds(dictionary.Get(0x1017, 0));
}

HandleResult CanopenNode::Handle(const can_frame& frame, Clock::time_point now,
                                 std::vector<can_frame>& out) {
    HandleResult result;
    if ((frame.can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG)) != 0) {
        return result;
    }
    const std::size_t before = out.size();
    const int id = static_cast<int>(frame.can_id & CAN_SFF_MASK);
    if (id == kNmtId) {
        HandleNmt(frame, now, out);
    } else if (id == kSyncId) {
        HandleSync(now, out);
    } else if (id == kSdoRequestBase + nodeId) {
        if (nmtState != Nmt::kStopped) {
            HandleSdo(frame, now, out, result);
        }
    } else {
        for (int n = 0; n < kPdoCount; ++n) {
            const auto comm = static_cast<std::uint16_t>(kReceiveCommunication + n);
            if (dictionary.Find(comm, 1) == nullptr) {
                continue;
            }
            const std::uint32_t cobId = dictionary.Get(comm, 1);
            if (IsValid(cobId) && int(cobId & CAN_SFF_MASK) == id) {
                HandleReceivePdo(n, frame, now, out, result);
                break;
            }
        }
    }
    if (silent) {
        out.resize(before);
    }
    return result;
}

void CanopenNode::HandleNmt(const can_frame& frame, Clock::time_point now,
                            std::vector<can_frame>& out) {
    if (frame.can_dlc < 2 || (frame.data[1] != 0 && frame.data[1] != nodeId)) {
        return;
    }
    switch (frame.data[0]) {
        case 0x01:
            if (nmtState != Nmt::kOperational) {
                nmtState = Nmt::kOperational;
                for (PdoRuntime& runtime : transmit) {
                    runtime = PdoRuntime{};
                }
            }
            break;
        case 0x02:
            nmtState = Nmt::kStopped;
            break;
        case 0x80:
            nmtState = Nmt::kPreOperational;
            break;
        case 0x81:
            dictionary = defaults;
            OnResetApplication();
            BootUp(now, out);
            break;
        case 0x82:
            dictionary.RestoreRange(defaults, 0x1000, 0x1FFF);
            BootUp(now, out);
            break;
        default:
            break;
    }
}

void CanopenNode::SendAbort(std::uint16_t index, std::uint8_t subindex, std::uint32_t code,
                            std::vector<can_frame>& out) const {
    std::uint8_t data[8] = {0x80, static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(index >> 8),
                            subindex, 0, 0, 0, 0};
    PutLittleEndian(data + 4, code, 4);
    out.push_back(MakeFrame(kSdoAnswerBase + nodeId, data, 8));
}

void CanopenNode::HandleSdo(const can_frame& frame, Clock::time_point now,
                            std::vector<can_frame>& out, HandleResult& result) {
    if (frame.can_dlc != 8) {
        return;  // not an SDO frame of this protocol
    }
    const std::uint8_t command = frame.data[0];
    const auto index = static_cast<std::uint16_t>(frame.data[1] | (frame.data[2] << 8));
    const std::uint8_t subindex = frame.data[3];
    const int specifier = command >> 5;
    if (specifier == 4) {
        return;  // the client aborts; nothing is pending on an expedited server
    }
    if (specifier == 2) {
        const std::uint32_t abort = dictionary.CheckUpload(index, subindex);
        if (abort != 0) {
            SendAbort(index, subindex, abort, out);
            return;
        }
        RefreshFeedback();
        const ObjectEntry* entry = dictionary.Find(index, subindex);
        std::uint8_t data[8] = {static_cast<std::uint8_t>(0x43 | ((4 - entry->size) << 2)),
                                frame.data[1], frame.data[2], subindex, 0, 0, 0, 0};
        PutLittleEndian(data + 4, entry->value, entry->size);
        out.push_back(MakeFrame(kSdoAnswerBase + nodeId, data, 8));
        return;
    }
    if (specifier != 1) {
        SendAbort(index, subindex, Abort::kCommandUnknown, out);
        return;
    }
    result.sdoWrite = true;
    SdoWrite& write = result.write;
    write.node = nodeId;
    write.index = index;
    write.subindex = subindex;
    write.size = (command & 0x01) != 0 ? 4 - ((command >> 2) & 0x03) : 0;
    write.value = LittleEndian(frame.data + 4, write.size == 0 ? 4 : write.size);
    if ((command & 0x02) == 0) {
        write.abortCode = Abort::kCommandUnknown;  // segmented transfers are not served
    } else {
        write.abortCode = dictionary.CheckDownload(index, subindex, write.size);
    }
    if (write.abortCode == 0) {
        write.abortCode = CheckCommunicationWrite(index, subindex, write.value);
    }
    if (write.abortCode == 0) {
        write.abortCode = CheckWrite(index, subindex, write.value);
    }
    if (write.abortCode != 0) {
        SendAbort(index, subindex, write.abortCode, out);
        return;
    }
    dictionary.Set(index, subindex, write.value);
    const std::uint8_t data[8] = {0x60, frame.data[1], frame.data[2], subindex, 0, 0, 0, 0};
    out.push_back(MakeFrame(kSdoAnswerBase + nodeId, data, 8));
    OnWritten(index, subindex, dictionary.Get(index, subindex), now, out);
}

int CanopenNode::MappedBytes(std::uint16_t mappingIndex) const {
    const std::uint32_t count = dictionary.Get(mappingIndex, 0);
    unsigned bits = 0;
    for (std::uint32_t k = 1; k <= count; ++k) {
        bits += dictionary.Get(mappingIndex, static_cast<std::uint8_t>(k)) & 0xFF;
    }
    return static_cast<int>(bits / 8);
}

std::uint32_t CanopenNode::CheckCommunicationWrite(std::uint16_t index, std::uint8_t subindex,
                                                   std::uint32_t value) const {
    if (index == 0x1003 && subindex == 0) {
        return value == 0 ? 0 : Abort::kInvalidValue;  // only clearing the history is allowed
    }
    const bool receiveComm = index >= kReceiveCommunication && index < kReceiveCommunication + kPdoCount;
    const bool transmitComm = index >= kTransmitCommunication && index < kTransmitCommunication + kPdoCount;
    if ((receiveComm || transmitComm) && subindex == 1) {
        const std::uint32_t current = dictionary.Get(index, 1);
        // A valid PDO keeps its identifier; it must be disabled first.
        if (IsValid(current) && IsValid(value) && (current & CAN_SFF_MASK) != (value & CAN_SFF_MASK)) {
            return Abort::kInvalidValue;
        }
        return 0;
    }
    const bool receiveMap = index >= kReceiveMapping && index < kReceiveMapping + kPdoCount;
    const bool transmitMap = index >= kTransmitMapping && index < kTransmitMapping + kPdoCount;
    if (!receiveMap && !transmitMap) {
        return 0;
    }
    const auto comm = static_cast<std::uint16_t>(index - 0x200);
    if (IsValid(dictionary.Get(comm, 1))) {
        return Abort::kWrongState;
    }
    if (subindex == 0) {
        if (value > kMaxMappedObjects) {
            return Abort::kValueTooHigh;
        }
        unsigned bits = 0;
        for (std::uint32_t k = 1; k <= value; ++k) {
            const std::uint32_t mapping = dictionary.Get(index, static_cast<std::uint8_t>(k));
            if (mapping == 0) {
                return Abort::kInvalidValue;
            }
            bits += mapping & 0xFF;
        }
        return bits > 64 ? Abort::kPdoTooLong : 0;
    }
    if (dictionary.Get(index, 0) != 0) {
        return Abort::kWrongState;  // entries change only while the count is 0
    }
    return value == 0 ? 0 : dictionary.CheckMapping(value, receiveMap);
}

std::uint32_t CanopenNode::CheckWrite(std::uint16_t, std::uint8_t, std::uint32_t) { return 0; }

void CanopenNode::OnWritten(std::uint16_t index, std::uint8_t subindex, std::uint32_t value,
                            Clock::time_point now, std::vector<can_frame>&) {
    if (index == 0x1017 && subindex == 0) {
        nextHeartbeat = now + std::chrono::milliseconds(value);
    } else if (index == 0x1003 && subindex == 0) {
        for (int k = 1; k <= 8; ++k) {
            dictionary.Set(0x1003, static_cast<std::uint8_t>(k), 0);
        }
    }
}

void CanopenNode::OnSync(Clock::time_point, std::vector<can_frame>&) {}
void CanopenNode::OnTick(Clock::time_point, std::vector<can_frame>&) {}

void CanopenNode::HandleReceivePdo(int n, const can_frame& frame, Clock::time_point now,
                                   std::vector<can_frame>& out, HandleResult& result) {
    result.pdoWrite = true;
    result.pdo.node = nodeId;
    result.pdo.pdo = n + 1;
    result.pdo.data.assign(frame.data, frame.data + frame.can_dlc);
    if (nmtState != Nmt::kOperational) {
        return;
    }
    const int length = MappedBytes(static_cast<std::uint16_t>(kReceiveMapping + n));
    if (frame.can_dlc < length) {
        Emergency(0x8210, 0x11, {19, 0, 0, 0, 0}, out);
        return;
    }
    if (frame.can_dlc > length) {
        Emergency(0x8220, 0x11, {20, 0, 0, 0, 0}, out);  // the first bytes are still used
    }
    result.pdo.accepted = true;
    const std::uint32_t type = dictionary.Get(static_cast<std::uint16_t>(kReceiveCommunication + n), 2);
    if (type <= 240) {
        receive[static_cast<std::size_t>(n)].pending = true;
        std::memcpy(receive[static_cast<std::size_t>(n)].data.data(), frame.data, 8);
    } else {
        ApplyReceivePdo(n, frame.data, now, out);
    }
}

void CanopenNode::ApplyReceivePdo(int n, const std::uint8_t* data, Clock::time_point now,
                                  std::vector<can_frame>& out) {
    const auto map = static_cast<std::uint16_t>(kReceiveMapping + n);
    const std::uint32_t count = dictionary.Get(map, 0);
    int offset = 0;
    for (std::uint32_t k = 1; k <= count; ++k) {
        const std::uint32_t mapping = dictionary.Get(map, static_cast<std::uint8_t>(k));
        const auto index = static_cast<std::uint16_t>(mapping >> 16);
        const auto subindex = static_cast<std::uint8_t>(mapping >> 8);
        const int size = static_cast<int>((mapping & 0xFF) / 8);
        if (offset + size > 8) {
            break;
        }
        dictionary.Set(index, subindex, LittleEndian(data + offset, size));
        offset += size;
        OnWritten(index, subindex, dictionary.Get(index, subindex), now, out);
    }
}

int CanopenNode::PackTransmitPdo(int n, std::uint8_t* data) {
    const auto map = static_cast<std::uint16_t>(kTransmitMapping + n);
    const std::uint32_t count = dictionary.Get(map, 0);
    int offset = 0;
    for (std::uint32_t k = 1; k <= count; ++k) {
        const std::uint32_t mapping = dictionary.Get(map, static_cast<std::uint8_t>(k));
        const int size = static_cast<int>((mapping & 0xFF) / 8);
        if (offset + size > 8) {
            break;
        }
        PutLittleEndian(data + offset,
                        dictionary.Get(static_cast<std::uint16_t>(mapping >> 16),
                                       static_cast<std::uint8_t>(mapping >> 8)),
                        size);
        offset += size;
    }
    return offset;
}

void CanopenNode::SendTransmitPdo(int n, Clock::time_point now, std::vector<can_frame>& out) {
    PdoRuntime& runtime = transmit[static_cast<std::size_t>(n)];
    std::uint8_t data[8] = {};
    const int length = PackTransmitPdo(n, data);
    const std::uint32_t cobId = dictionary.Get(static_cast<std::uint16_t>(kTransmitCommunication + n), 1);
    out.push_back(MakeFrame(static_cast<int>(cobId & CAN_SFF_MASK), data, length));
    runtime.sentOnce = true;
    std::memcpy(runtime.lastSent.data(), data, 8);
    runtime.lastSentLength = length;
    runtime.lastEvent = now;
}

void CanopenNode::HandleSync(Clock::time_point now, std::vector<can_frame>& out) {
    if (nmtState != Nmt::kOperational) {
        return;
    }
    for (int n = 0; n < kPdoCount; ++n) {
        PdoRuntime& runtime = receive[static_cast<std::size_t>(n)];
        if (runtime.pending) {
            runtime.pending = false;
            ApplyReceivePdo(n, runtime.data.data(), now, out);
        }
    }
    OnSync(now, out);
    RefreshFeedback();
    for (int n = 0; n < kPdoCount; ++n) {
        const auto comm = static_cast<std::uint16_t>(kTransmitCommunication + n);
        if (dictionary.Find(comm, 1) == nullptr || !IsValid(dictionary.Get(comm, 1))) {
            continue;
        }
        PdoRuntime& runtime = transmit[static_cast<std::size_t>(n)];
        const std::uint32_t type = dictionary.Get(comm, 2);
        if (type == 0) {
            std::uint8_t data[8] = {};
            const int length = PackTransmitPdo(n, data);
            if (!runtime.sentOnce || length != runtime.lastSentLength ||
                std::memcmp(data, runtime.lastSent.data(), 8) != 0) {
                SendTransmitPdo(n, now, out);
            }
        } else if (type <= 240) {
            if (++runtime.syncCount >= static_cast<int>(type)) {
                runtime.syncCount = 0;
                SendTransmitPdo(n, now, out);
            }
        }
    }
}

void CanopenNode::Tick(Clock::time_point now, std::vector<can_frame>& out) {
    if (silent && silentUntil != Clock::time_point{} && now >= silentUntil) {
        SetSilent(false);
    }
    const std::size_t before = out.size();
    const std::uint32_t period = dictionary.Get(0x1017, 0);
    if (period > 0 && now >= nextHeartbeat) {
        out.push_back(MakeFrame(kHeartbeatBase + nodeId, &nmtState, 1));
        nextHeartbeat = now + std::chrono::milliseconds(period);
    }
    OnTick(now, out);
    if (nmtState == Nmt::kOperational) {
        RefreshFeedback();
        for (int n = 0; n < kPdoCount; ++n) {
            const auto comm = static_cast<std::uint16_t>(kTransmitCommunication + n);
            if (dictionary.Find(comm, 1) == nullptr || !IsValid(dictionary.Get(comm, 1)) ||
                dictionary.Get(comm, 2) < 254) {
                continue;
            }
            PdoRuntime& runtime = transmit[static_cast<std::size_t>(n)];
            std::uint8_t data[8] = {};
            const int length = PackTransmitPdo(n, data);
            const std::uint32_t timer = dictionary.Get(comm, 5);
            const bool changed = !runtime.sentOnce || length != runtime.lastSentLength ||
                                 std::memcmp(data, runtime.lastSent.data(), 8) != 0;
            const bool timerDue = timer > 0 && now - runtime.lastEvent >= std::chrono::milliseconds(timer);
            if (changed || timerDue) {
                SendTransmitPdo(n, now, out);
            }
        }
    }
    if (silent) {
        out.resize(before);
    }
}

void CanopenNode::Emergency(std::uint16_t code, std::uint8_t errorRegister,
                            const std::array<std::uint8_t, 5>& manufacturer,
                            std::vector<can_frame>& out) {
    dictionary.Set(0x1001, 0, errorRegister);
    for (int k = 8; k > 1; --k) {
        dictionary.Set(0x1003, static_cast<std::uint8_t>(k),
                       dictionary.Get(0x1003, static_cast<std::uint8_t>(k - 1)));
    }
    dictionary.Set(0x1003, 1,
                   code | (std::uint32_t(errorRegister) << 16) | (std::uint32_t(manufacturer[0]) << 24));
    dictionary.Set(0x1003, 0, std::min<std::uint32_t>(dictionary.Get(0x1003, 0) + 1, 8));
    if (nmtState == Nmt::kPreOperational || nmtState == Nmt::kOperational) {
        const std::uint8_t data[8] = {static_cast<std::uint8_t>(code), static_cast<std::uint8_t>(code >> 8),
                                      errorRegister, manufacturer[0], manufacturer[1],
                                      manufacturer[2], manufacturer[3], manufacturer[4]};
        out.push_back(MakeFrame(static_cast<int>(dictionary.Get(0x1014, 0) & CAN_SFF_MASK), data, 8));
    }
}

void CanopenNode::ClearErrors(std::vector<can_frame>& out) {
    if (dictionary.Get(0x1001, 0) == 0) {
        return;
    }
    dictionary.Set(0x1001, 0, 0);
    if (nmtState == Nmt::kPreOperational || nmtState == Nmt::kOperational) {
        const std::uint8_t data[8] = {};
        out.push_back(MakeFrame(static_cast<int>(dictionary.Get(0x1014, 0) & CAN_SFF_MASK), data, 8));
    }
}

}  // namespace CanopenSim
