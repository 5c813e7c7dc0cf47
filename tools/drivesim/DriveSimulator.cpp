#include "drivesim/DriveSimulator.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace DriveSim {

namespace {

// Longest wait for a frame before the timers are looked at again.
constexpr int kPollMs = 5;

bool IsStandardDataFrame(const can_frame& frame) {
    return (frame.can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG)) == 0;
}

can_frame MakeFrame(int id, std::initializer_list<std::uint8_t> bytes) {
    can_frame frame{};
    frame.can_id = static_cast<canid_t>(id);
    frame.can_dlc = static_cast<__u8>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), frame.data);
    return frame;
}

std::uint8_t High(std::uint16_t value) { return static_cast<std::uint8_t>(value >> 8); }
std::uint8_t Low(std::uint16_t value) { return static_cast<std::uint8_t>(value); }

}  // namespace

DriveSimulator::DriveSimulator()
    : bus(
          kPollMs,
          [this](const can_frame& frame, Clock::time_point now, std::vector<can_frame>& out) {
              HandleFrame(frame, now, out);
          },
          [this](Clock::time_point now, std::vector<can_frame>& out) { Tick(now, out); },
          [this] { received.notify_all(); }) {}

DriveSimulator::~DriveSimulator() { Stop(); }

// --- Modules ---------------------------------------------------------------------------

bool DriveSimulator::LoadRobotFile(const std::string& path, std::string* errorText) {
    RobotFileModules file;
    if (!ReadRobotFile(path, &file, errorText)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(stateMutex);
    for (const ModuleConfig& config : file.joints) {
        if (Find(config.canId) != nullptr) {
            if (errorText != nullptr) {
                *errorText = "CAN ID " + std::to_string(config.canId) + " of " + path +
                             " is already taken by another module";
            }
            return false;
        }
    }
    for (const ModuleConfig& config : file.joints) {
        modules.push_back(std::make_unique<SimModule>(config));
        modules.back()->SetEStop(eStop);
    }
    return true;
}

bool DriveSimulator::AddModule(const ModuleConfig& config, std::string* errorText) {
    std::lock_guard<std::mutex> lock(stateMutex);
    std::string problem;
    if (config.canId < 0 || config.canId > SimModule::kHighestId) {
        problem = "CAN ID " + std::to_string(config.canId) + " outside 0.." +
                  std::to_string(SimModule::kHighestId);
    } else if (Find(config.canId) != nullptr) {
        problem = "CAN ID " + std::to_string(config.canId) + " is already taken by another module";
    }
    if (!problem.empty()) {
        if (errorText != nullptr) {
            *errorText = problem;
        }
        return false;
    }
    modules.push_back(std::make_unique<SimModule>(config));
    modules.back()->SetEStop(eStop);
    return true;
}

std::vector<int> DriveSimulator::ModuleIds() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    std::vector<int> ids;
    for (const auto& module : modules) {
        ids.push_back(module->CanId());
    }
    return ids;
}

bool DriveSimulator::GetModuleState(int canId, ModuleState* state) const {
    std::lock_guard<std::mutex> lock(stateMutex);
    const SimModule* module = Find(canId);
    if (module == nullptr) {
        return false;
    }
    *state = module->State();
    return true;
}

SimModule* DriveSimulator::Find(int canId) {
    for (auto& module : modules) {
        if (module->CanId() == canId) {
            return module.get();
        }
    }
    return nullptr;
}

const SimModule* DriveSimulator::Find(int canId) const {
    return const_cast<DriveSimulator*>(this)->Find(canId);
}

// --- Periodic frames ---------------------------------------------------------------------

void DriveSimulator::SetMainDio(const MainDio& settings) {
    std::lock_guard<std::mutex> lock(stateMutex);
    mainDio = settings;
    mainDio.periodMs = std::max(1, mainDio.periodMs);
    nextMainDio = Clock::now();
}

void DriveSimulator::SetTemperaturePeriodMs(int ms) {
    std::lock_guard<std::mutex> lock(stateMutex);
    temperaturePeriodMs = std::max(0, ms);
    nextTemperature = Clock::now() + std::chrono::milliseconds(temperaturePeriodMs);
}

void DriveSimulator::AppendMainDio(std::vector<can_frame>& out) const {
    // A cut supply shows as both status bits clear.
    const bool low = mainDio.statusLow && !eStop;
    const bool high = mainDio.statusHigh && !eStop;
    out.push_back(MakeFrame(kMainDioId, {0x00, 0x00, High(mainDio.supplyRaw), Low(mainDio.supplyRaw),
                                         High(mainDio.secondRaw), Low(mainDio.secondRaw),
                                         static_cast<std::uint8_t>(low ? 0x80 : 0x00),
                                         static_cast<std::uint8_t>(high ? 0x80 : 0x00)}));
}

// --- Recording -----------------------------------------------------------------------------

void DriveSimulator::SetRecordCapacity(std::size_t frames) {
    std::lock_guard<std::mutex> lock(stateMutex);
    recorded.SetCapacity(frames);
}

std::vector<ReceivedFrame> DriveSimulator::Received() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return recorded.Frames();
}

std::vector<ReceivedFrame> DriveSimulator::ReceivedOn(int canId) const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return recorded.Select([canId](const can_frame& frame) {
        return IsStandardDataFrame(frame) && static_cast<int>(frame.can_id) == canId;
    });
}

std::uint64_t DriveSimulator::ReceivedCount() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return recorded.Count();
}

void DriveSimulator::ClearReceived() {
    std::lock_guard<std::mutex> lock(stateMutex);
    recorded.Clear();
}

bool DriveSimulator::WaitForReceived(std::uint64_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(stateMutex);
    return received.wait_for(lock, timeout, [&] { return recorded.Count() >= count; });
}

bool DriveSimulator::WaitUntil(const std::function<bool()>& condition,
                               std::chrono::milliseconds timeout) const {
    return SimBus::WaitUntil(stateMutex, received, condition, timeout, kPollMs);
}

// --- Running ---------------------------------------------------------------------------------

int DriveSimulator::Start(const std::string& hubPath) {
    return bus.Start(hubPath, [this] {
        std::lock_guard<std::mutex> lock(stateMutex);
        recorded.Clear();
        const auto now = Clock::now();
        nextMainDio = now;
        nextTemperature = now;
    });
}

void DriveSimulator::Stop() { bus.Stop(); }

void DriveSimulator::HandleFrame(const can_frame& frame, Clock::time_point now,
                                 std::vector<can_frame>& out) {
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        recorded.Add(frame, now);
        if (IsStandardDataFrame(frame)) {
            if (SimModule* module = Find(static_cast<int>(frame.can_id))) {
                module->Handle(frame, now, out);
            }
        }
    }
    received.notify_all();
}

void DriveSimulator::Tick(Clock::time_point now, std::vector<can_frame>& out) {
    std::lock_guard<std::mutex> lock(stateMutex);
    for (auto& module : modules) {
        module->Tick(now);
    }
    if (mainDio.active && now >= nextMainDio) {
        AppendMainDio(out);
        nextMainDio = now + std::chrono::milliseconds(mainDio.periodMs);
    }
    if (temperaturePeriodMs > 0 && now >= nextTemperature) {
        for (const auto& module : modules) {
            module->AppendTemperature(out);
        }
        nextTemperature = now + std::chrono::milliseconds(temperaturePeriodMs);
    }
}

// --- Faults and module behaviour -------------------------------------------------------------

bool DriveSimulator::InjectError(int canId, int bits) {
    std::lock_guard<std::mutex> lock(stateMutex);
    SimModule* module = Find(canId);
    if (module == nullptr) {
        return false;
    }
    module->InjectError(bits);
    return true;
}

bool DriveSimulator::InjectPositionLag(int canId) { return InjectError(canId, ErrorBit::kPositionLag); }

void DriveSimulator::SetEStop(bool active) {
    std::lock_guard<std::mutex> lock(stateMutex);
    eStop = active;
    for (auto& module : modules) {
        module->SetEStop(active);
    }
    nextMainDio = Clock::now();  // the board reports the change at once
}

bool DriveSimulator::SetSilent(int canId, bool silent) {
    std::lock_guard<std::mutex> lock(stateMutex);
    SimModule* module = Find(canId);
    if (module == nullptr) {
        return false;
    }
    module->SetSilent(silent);
    return true;
}

bool DriveSimulator::SilenceFor(int canId, std::chrono::milliseconds duration) {
    std::lock_guard<std::mutex> lock(stateMutex);
    SimModule* module = Find(canId);
    if (module == nullptr) {
        return false;
    }
    module->SetSilentUntil(Clock::now() + duration);
    return true;
}

bool DriveSimulator::SetInputs(int canId, std::uint8_t inputs) {
    std::lock_guard<std::mutex> lock(stateMutex);
    SimModule* module = Find(canId);
    if (module == nullptr) {
        return false;
    }
    module->SetInputs(inputs);
    return true;
}

bool DriveSimulator::SetCurrent(int canId, int raw, bool shortFormat) {
    std::lock_guard<std::mutex> lock(stateMutex);
    SimModule* module = Find(canId);
    if (module == nullptr) {
        return false;
    }
    module->SetCurrent(raw, shortFormat);
    return true;
}

bool DriveSimulator::SetTemperature(int canId, int raw) {
    std::lock_guard<std::mutex> lock(stateMutex);
    SimModule* module = Find(canId);
    if (module == nullptr) {
        return false;
    }
    module->SetTemperature(raw);
    return true;
}

bool DriveSimulator::SetReferenceDelayMs(int canId, int ms) {
    std::lock_guard<std::mutex> lock(stateMutex);
    SimModule* module = Find(canId);
    if (module == nullptr) {
        return false;
    }
    module->SetReferenceDelayMs(ms);
    return true;
}

bool DriveSimulator::SetReferenceNever(int canId, bool never) {
    std::lock_guard<std::mutex> lock(stateMutex);
    SimModule* module = Find(canId);
    if (module == nullptr) {
        return false;
    }
    module->SetReferenceNever(never);
    return true;
}

void DriveSimulator::SetReferenceDelayMsAll(int ms) {
    std::lock_guard<std::mutex> lock(stateMutex);
    for (auto& module : modules) {
        module->SetReferenceDelayMs(ms);
    }
}

// --- Frames of its own -------------------------------------------------------------------------

int DriveSimulator::SendFrame(int id, const std::uint8_t* data, int dlc) {
    if (id < 0 || id > static_cast<int>(CAN_SFF_MASK) || dlc < 0 || dlc > CAN_MAX_DLEN ||
        (dlc > 0 && data == nullptr)) {
        return EINVAL;
    }
    can_frame frame{};
    frame.can_id = static_cast<canid_t>(id);
    frame.can_dlc = static_cast<__u8>(dlc);
    if (dlc > 0) {
        std::memcpy(frame.data, data, static_cast<std::size_t>(dlc));
    }
    return bus.SendAll({frame});
}

int DriveSimulator::SendShutdownRequest(std::uint8_t stage) {
    return bus.SendAll({MakeFrame(kShutdownRequestId, {0x01, stage, 0x71, 0, 0, 0, 0, 0})});
}

int DriveSimulator::SendEvent(int canId, std::uint8_t event, std::uint16_t value1,
                              std::uint16_t value2, std::uint8_t byte2) {
    if (canId < 0 || canId > static_cast<int>(CAN_SFF_MASK)) {
        return EINVAL;
    }
    return bus.SendAll({MakeFrame(canId, {0x07, 0x00, byte2, event, High(value1), Low(value1),
                                      High(value2), Low(value2)})});
}

int DriveSimulator::SendForeignSetPoint(int canId, std::int32_t position, std::uint8_t counter) {
    if (canId < 0 || canId > static_cast<int>(CAN_SFF_MASK)) {
        return EINVAL;
    }
    const auto p = static_cast<std::uint32_t>(position);
    return bus.SendAll({MakeFrame(canId, {0x14, 128, static_cast<std::uint8_t>(p >> 24),
                                      static_cast<std::uint8_t>(p >> 16),
                                      static_cast<std::uint8_t>(p >> 8), static_cast<std::uint8_t>(p),
                                      counter, 0x00})});
}

int DriveSimulator::SendTemperatures() {
    std::vector<can_frame> out;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        for (const auto& module : modules) {
            module->AppendTemperature(out);
        }
    }
    return bus.SendAll(out);
}

}  // namespace DriveSim
