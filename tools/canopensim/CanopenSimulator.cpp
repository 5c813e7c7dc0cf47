#include "canopensim/CanopenSimulator.h"

#include <cerrno>

namespace CanopenSim {

namespace {

constexpr int kPollMs = 1;
constexpr std::size_t kFrameCapacity = 500000;

}  // namespace

CanopenSimulator::CanopenSimulator()
    : frames(kFrameCapacity),
      bus(
          kPollMs,
          [this](const can_frame& frame, Clock::time_point now, std::vector<can_frame>& out) {
              HandleFrame(frame, now, out);
          },
          [this](Clock::time_point now, std::vector<can_frame>& out) { Tick(now, out); },
          [this] { received.notify_all(); }) {}

CanopenSimulator::~CanopenSimulator() { Stop(); }

CanopenNode* CanopenSimulator::Find(int node) const {
    for (const auto& candidate : nodes) {
        if (candidate->NodeId() == node) {
            return candidate.get();
        }
    }
    return nullptr;
}

bool CanopenSimulator::AddNode(std::unique_ptr<CanopenNode> node, std::string* errorText) {
    const int id = node->NodeId();
    std::vector<can_frame> out;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (id < 1 || id > 127) {
            if (errorText != nullptr) *errorText = "node ID " + std::to_string(id) + " outside 1..127";
            return false;
        }
        if (Find(id) != nullptr) {
            if (errorText != nullptr) *errorText = "node ID " + std::to_string(id) + " already taken";
            return false;
        }
        if (bus.IsRunning()) {
            node->PowerOn(Clock::now(), out);
        }
        nodes.push_back(std::move(node));
    }
    bus.SendAll(out);
    return true;
}

bool CanopenSimulator::AddDrive(const DriveConfig& config, std::string* errorText) {
    return AddNode(std::make_unique<Cia402Drive>(config), errorText);
}

bool CanopenSimulator::AddIoModule(const IoConfig& config, std::string* errorText) {
    return AddNode(std::make_unique<Cia401Module>(config), errorText);
}

std::vector<int> CanopenSimulator::NodeIds() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    std::vector<int> ids;
    for (const auto& node : nodes) {
        ids.push_back(node->NodeId());
    }
    return ids;
}

bool CanopenSimulator::GetDrive(int node, DriveSnapshot* snapshot) const {
    std::lock_guard<std::mutex> lock(stateMutex);
    const auto* drive = dynamic_cast<const Cia402Drive*>(Find(node));
    if (drive == nullptr) {
        return false;
    }
    *snapshot = drive->Snapshot();
    return true;
}

bool CanopenSimulator::GetIoModule(int node, IoSnapshot* snapshot) const {
    std::lock_guard<std::mutex> lock(stateMutex);
    const auto* module = dynamic_cast<const Cia401Module*>(Find(node));
    if (module == nullptr) {
        return false;
    }
    *snapshot = module->Snapshot();
    return true;
}

bool CanopenSimulator::ReadObject(int node, std::uint16_t index, std::uint8_t subindex,
                                  std::uint32_t* value) const {
    std::lock_guard<std::mutex> lock(stateMutex);
    const CanopenNode* found = Find(node);
    if (found == nullptr) {
        return false;
    }
    if (const auto* drive = dynamic_cast<const Cia402Drive*>(found)) {
        if (index == 0x6041 && subindex == 0) {
            *value = drive->Statusword();
            return true;
        }
    }
    const ObjectEntry* entry = found->Dictionary().Find(index, subindex);
    if (entry == nullptr) {
        return false;
    }
    *value = entry->value;
    return true;
}

bool CanopenSimulator::SetObject(int node, std::uint16_t index, std::uint8_t subindex,
                                 std::uint32_t value) {
    std::lock_guard<std::mutex> lock(stateMutex);
    CanopenNode* found = Find(node);
    if (found == nullptr || found->Dictionary().Find(index, subindex) == nullptr) {
        return false;
    }
    found->Dictionary().Set(index, subindex, value);
    return true;
}

bool CanopenSimulator::SetHomingScript(int node, const std::vector<HomingStep>& script) {
    std::lock_guard<std::mutex> lock(stateMutex);
    auto* drive = dynamic_cast<Cia402Drive*>(Find(node));
    if (drive == nullptr) {
        return false;
    }
    drive->SetHomingScript(script);
    return true;
}

bool CanopenSimulator::InjectEmergency(int node, std::uint16_t code, std::uint8_t errorRegister,
                                       const std::array<std::uint8_t, 5>& manufacturer, bool toFault) {
    std::vector<can_frame> out;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        CanopenNode* found = Find(node);
        if (found == nullptr) {
            return false;
        }
        if (auto* drive = dynamic_cast<Cia402Drive*>(found)) {
            drive->InjectError(code, errorRegister, manufacturer, toFault, out);
        } else {
            found->Emergency(code, errorRegister, manufacturer, out);
        }
        if (found->IsSilent()) {
            out.clear();
        }
    }
    bus.SendAll(out);
    return true;
}

bool CanopenSimulator::SetInputs(int node, std::uint64_t mask) {
    std::lock_guard<std::mutex> lock(stateMutex);
    auto* module = dynamic_cast<Cia401Module*>(Find(node));
    if (module == nullptr) {
        return false;
    }
    module->SetInputs(mask);
    return true;
}

bool CanopenSimulator::SetSilent(int node, bool silent) {
    std::lock_guard<std::mutex> lock(stateMutex);
    CanopenNode* found = Find(node);
    if (found == nullptr) {
        return false;
    }
    found->SetSilent(silent);
    return true;
}

bool CanopenSimulator::SilenceFor(int node, std::chrono::milliseconds duration) {
    std::lock_guard<std::mutex> lock(stateMutex);
    CanopenNode* found = Find(node);
    if (found == nullptr) {
        return false;
    }
    found->SetSilentUntil(Clock::now() + duration);
    return true;
}

int CanopenSimulator::SendFrame(int id, const std::uint8_t* data, int dlc) {
    if (id < 0 || id > int(CAN_SFF_MASK) || dlc < 0 || dlc > 8) {
        return EINVAL;
    }
    return bus.SendAll({CanopenNode::MakeFrame(id, data, dlc)});
}

std::vector<ReceivedFrame> CanopenSimulator::Received() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return frames.Frames();
}

std::vector<ReceivedFrame> CanopenSimulator::ReceivedOn(int id) const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return frames.Select([id](const can_frame& frame) { return int(frame.can_id & CAN_SFF_MASK) == id; });
}

std::uint64_t CanopenSimulator::ReceivedCount() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return frames.Count();
}

std::vector<SdoWrite> CanopenSimulator::SdoWrites(int node) const {
    std::lock_guard<std::mutex> lock(stateMutex);
    std::vector<SdoWrite> result;
    for (const SdoWrite& write : sdoWrites) {
        if (node == 0 || write.node == node) {
            result.push_back(write);
        }
    }
    return result;
}

std::vector<PdoWrite> CanopenSimulator::PdoWrites(int node) const {
    std::lock_guard<std::mutex> lock(stateMutex);
    std::vector<PdoWrite> result;
    for (const PdoWrite& write : pdoWrites) {
        if (node == 0 || write.node == node) {
            result.push_back(write);
        }
    }
    return result;
}

std::uint64_t CanopenSimulator::AcceptedPdoCount(int node) const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return node >= 0 && node < 128 ? acceptedPdos[static_cast<std::size_t>(node)] : 0;
}

std::vector<std::array<std::uint8_t, 2>> CanopenSimulator::NmtCommands() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return nmtCommands;
}

void CanopenSimulator::ClearRecords() {
    std::lock_guard<std::mutex> lock(stateMutex);
    frames.Clear();
    sdoWrites.clear();
    pdoWrites.clear();
    nmtCommands.clear();
    acceptedPdos.fill(0);
}

bool CanopenSimulator::WaitUntil(const std::function<bool()>& condition,
                                 std::chrono::milliseconds timeout) const {
    return SimBus::WaitUntil(stateMutex, received, condition, timeout, 5);
}

int CanopenSimulator::Start(const std::string& hubPath) {
    return bus.Start(hubPath, [this] {
        std::vector<can_frame> out;
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            const auto now = Clock::now();
            for (auto& node : nodes) {
                node->PowerOn(now, out);
            }
        }
        bus.SendAll(out);
    });
}

void CanopenSimulator::Stop() { bus.Stop(); }

void CanopenSimulator::HandleFrame(const can_frame& frame, Clock::time_point now,
                                   std::vector<can_frame>& out) {
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        frames.Add(frame, now);
        if ((frame.can_id & CAN_SFF_MASK) == kNmtId && frame.can_dlc >= 2) {
            nmtCommands.push_back({frame.data[0], frame.data[1]});
        }
        for (auto& node : nodes) {
            HandleResult result = node->Handle(frame, now, out);
            if (result.sdoWrite) {
                sdoWrites.push_back(result.write);
            }
            if (result.pdoWrite) {
                if (result.pdo.accepted) {
                    ++acceptedPdos[static_cast<std::size_t>(node->NodeId())];
                }
                pdoWrites.push_back(std::move(result.pdo));
            }
        }
    }
    received.notify_all();
}

void CanopenSimulator::Tick(Clock::time_point now, std::vector<can_frame>& out) {
    std::lock_guard<std::mutex> lock(stateMutex);
    for (auto& node : nodes) {
        node->Tick(now, out);
    }
}

}  // namespace CanopenSim
