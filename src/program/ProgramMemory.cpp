#include "program/ProgramMemory.h"

#include <string_view>

#include "core/LogSingleton.h"
#include "kinematics/RobotKinematic.h"

#include <atomic>
#include <cctype>
#include <deque>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

namespace Programs {

namespace {

constexpr double kValueTolerance = 0.01;
constexpr float kPoseTolerance = 0.0001f;
constexpr int kJoints = 9;
constexpr int kModbusVariableSets = 16;

const char* const kPosition = "#position";
const char* const kProgramRunning = "#programrunning";
const char* const kLogicProgramRunning = "#logicprogramrunning";
const char* const kPartsGood = "#parts-good";
const char* const kPartsBad = "#parts-bad";

std::atomic<ProgramMemory::DeferHook> deferHook{nullptr};

// Stored names are lower case already; only the argument needs folding.
bool EqualsLowerCase(std::string_view stored, std::string_view name) {
    if (stored.size() != name.size()) {
        return false;
    }
    for (std::size_t i = 0; i < stored.size(); ++i) {
        const int c = std::tolower(static_cast<unsigned char>(name[i]));
        if (static_cast<unsigned char>(stored[i]) != c) {
            return false;
        }
    }
    return true;
}

bool Differs(double a, double b) { return std::fabs(a - b) > kValueTolerance; }
// Not simply !Differs: a NaN is neither within nor beyond the tolerance.
bool Within(double a, double b) { return std::fabs(a - b) <= kValueTolerance; }

// Truncation toward zero that stays defined for NaN and out-of-range values (a program
// may store any double in the counters).
int TruncateToInt(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= static_cast<double>(std::numeric_limits<int>::max())) {
        return std::numeric_limits<int>::max();
    }
    if (value <= static_cast<double>(std::numeric_limits<int>::min())) {
        return std::numeric_limits<int>::min();
    }
    return static_cast<int>(value);
}

// Outside the lock: the counters are written on every call with these names.
void CopyToPartsCounters(std::string_view name, double value) {
    if (EqualsLowerCase(kPartsGood, name)) {
        LogSingleton::instance()->PartsGood.store(TruncateToInt(value));
    } else if (EqualsLowerCase(kPartsBad, name)) {
        LogSingleton::instance()->PartsBad.store(TruncateToInt(value));
    }
}

bool PoseOrABCMoved(const DataTypes::RobotState& a, const DataTypes::RobotState& b) {
    return !a.pose.Equals(b.pose, kPoseTolerance) || Differs(a.A, b.A) || Differs(a.B, b.B) ||
           Differs(a.C, b.C);
}

// The fields that carry a position's value: pose, A, B, C and the nine set-point joints.
bool PositionMoved(const DataTypes::RobotState& a, const DataTypes::RobotState& b) {
    bool moved = PoseOrABCMoved(a, b);
    for (int j = 0; j < kJoints && !moved; ++j) {
        moved = Differs(a.jointSet[j], b.jointSet[j]);
    }
    return moved;
}

// Only those fields: the robot loop stores "#position" every cycle.
void CopyPosition(DataTypes::RobotState& to, const DataTypes::RobotState& from) {
    to.pose = from.pose;
    to.A = from.A;
    to.B = from.B;
    to.C = from.C;
    for (int j = 0; j < kJoints; ++j) {
        to.jointSet[j] = from.jointSet[j];
    }
}

// Per-thread copies for the change callback, one per nesting level (a callback may write
// variables again). They keep their storage, so a steady writer allocates nothing.
class SnapshotSlots {
public:
    static SnapshotSlots& Get() {
        thread_local SnapshotSlots slots;
        return slots;
    }
    MemoryPosition& Push() {
        if (depth == slots.size()) slots.emplace_back();
        return slots[depth++];
    }
    void Pop() { --depth; }

private:
    std::deque<MemoryPosition> slots;
    std::size_t depth = 0;
};

}  // namespace

// A setter's copy of the changed variable; empty unless someone listens.
class ProgramMemory::Snapshot {
public:
    Snapshot() = default;
    ~Snapshot() {
        if (copy != nullptr) SnapshotSlots::Get().Pop();
    }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    void Take(const MemoryPosition& variable) {
        if (copy == nullptr) copy = &SnapshotSlots::Get().Push();
        *copy = variable;
    }
    const MemoryPosition* Get() const { return copy; }

private:
    MemoryPosition* copy = nullptr;
};

std::string ToLowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// --- MemoryPosition ---

MemoryPosition::MemoryPosition(const std::string& name, const DataTypes::RobotState& state,
                               bool isStatic)
    : name(ToLowerCase(name)), type(TypePosition), state(state), isStatic(isStatic) {}

MemoryPosition::MemoryPosition(const std::string& name, double value, bool isStatic)
    : name(ToLowerCase(name)), type(TypeNumber), value(value), isStatic(isStatic) {}

bool MemoryPosition::operator==(const MemoryPosition& other) const {
    if (name != other.name || type != other.type) {
        return false;
    }
    if (type == TypeNumber) {
        return Within(value, other.value);
    }
    return Within(state.A, other.state.A) && Within(state.B, other.state.B) &&
           Within(state.C, other.state.C) && state.pose.Equals(other.state.pose, kPoseTolerance);
}

// --- ProgramMemory ---

ProgramMemory::ProgramMemory() {
    CreateSystemVariables();
    CreateModbusVariables();
}

ProgramMemory::~ProgramMemory() {
    std::lock_guard<std::mutex> lock(mutex);
    variables.clear();
    matrices.clear();
}

void ProgramMemory::SetKinematic(std::unique_ptr<RobotKinematic> newKinematic) {
    std::lock_guard<std::mutex> lock(mutex);
    kinematic = std::move(newKinematic);
}

void ProgramMemory::SetRobotState(const DataTypes::RobotState* newRobotState) {
    std::lock_guard<std::mutex> lock(mutex);
    robotState = newRobotState;
}

void ProgramMemory::SeedFromPosition() {
    std::lock_guard<std::mutex> lock(mutex);
    robotState = nullptr;
    seedFromPosition = true;
}

MemoryPosition* ProgramMemory::FindLocked(std::string_view name) const {
    for (const auto& variable : variables) {
        if (EqualsLowerCase(variable->name, name)) {
            return variable.get();
        }
    }
    return nullptr;
}

bool ProgramMemory::HasVariable(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex);
    return FindLocked(name) != nullptr;
}

std::shared_ptr<const MemoryPosition> ProgramMemory::Get(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex);
    const MemoryPosition* found = FindLocked(name);
    if (found == nullptr) {
        return nullptr;
    }
    return std::make_shared<const MemoryPosition>(*found);
}

bool ProgramMemory::ReadValue(std::string_view name, VariableValue& out) const {
    std::lock_guard<std::mutex> lock(mutex);
    const MemoryPosition* found = FindLocked(name);
    if (found == nullptr) {
        return false;
    }
    out.type = found->type;
    out.value = found->value;
    out.pose = found->state.pose;
    out.A = found->state.A;
    out.B = found->state.B;
    out.C = found->state.C;
    for (int j = 0; j < kJoints; ++j) {
        out.joints[j] = found->state.jointSet[j];
    }
    return true;
}

MemoryPosition ProgramMemory::GetVariable(const std::string& name) const {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (const MemoryPosition* found = FindLocked(name)) {
            return *found;
        }
    }
    throw std::runtime_error("Variable " + name + " is not defined");
}

int ProgramMemory::GetVariableType(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex);
    const MemoryPosition* found = FindLocked(name);
    return found == nullptr ? MemoryPosition::TypeNone : found->type;
}

std::vector<std::string> ProgramMemory::GetVariableNames() const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> names;
    names.reserve(variables.size());
    for (const auto& variable : variables) {
        names.push_back(variable->name);
    }
    return names;
}

void ProgramMemory::SetVariable(const MemoryPosition& record, StoreContentType content) {
    bool changed = false;
    Snapshot snapshot;
    {
        std::lock_guard<std::mutex> lock(mutex);
        MemoryPosition* variable = FindLocked(record.name);
        if (variable != nullptr) {
            // Written in place: no reader holds the stored object outside the lock.
            changed = variable->type != record.type ||
                      (record.type == MemoryPosition::TypeNumber ? !Within(variable->value, record.value)
                                                                 : !Within(variable->state.A, record.state.A) ||
                                                                       !Within(variable->state.B, record.state.B) ||
                                                                       !Within(variable->state.C, record.state.C) ||
                                                                       !variable->state.pose.Equals(record.state.pose,
                                                                                                    kPoseTolerance));
            variable->type = record.type;
            variable->state = record.state;
            variable->value = record.value;
            // The record's static flag counts only when the variable is new.
        } else {
            auto created = std::make_shared<MemoryPosition>(record);
            created->name = ToLowerCase(record.name);
            variables.push_back(created);
            variable = created.get();
            changed = true;
        }
        if (content == ContentJoints) {
            changed |= ToCartesian(*variable);
        } else if (content == ContentCartesian) {
            changed |= ToJoint(*variable);
        }
        if (changed) {
            SnapshotLocked(variable, snapshot);
        }
    }
    CopyToPartsCounters(record.name, record.value);
    Notify(snapshot);
}

bool ProgramMemory::SetVariableSingle(const std::string& name, double value, bool create) {
    bool found = false;
    Snapshot snapshot;
    {
        std::lock_guard<std::mutex> lock(mutex);
        bool changed = false;
        MemoryPosition* variable = FindLocked(name);
        if (variable != nullptr) {
            found = true;
            changed = Differs(variable->value, value);
            variable->value = value;
        } else if (create) {
            variables.push_back(std::make_shared<MemoryPosition>(name, value, false));
            variable = variables.back().get();
        }
        if (changed || create) {
            SnapshotLocked(variable, snapshot);
        }
    }
    // Whoever sets them (a program, a client, the PLC), the stored counters follow.
    if (found || create) CopyToPartsCounters(name, value);
    Notify(snapshot);
    return found;
}

void ProgramMemory::SetVariablePos(const std::string& name, const DataTypes::RobotState& state,
                                   bool create, StoreContentType content) {
    Snapshot snapshot;
    {
        bool changed = false;
        std::lock_guard<std::mutex> lock(mutex);
        MemoryPosition* variable = FindLocked(name);
        if (variable != nullptr) {
            changed = PositionMoved(variable->state, state);
            CopyPosition(variable->state, state);
        } else if (create) {
            variables.push_back(std::make_shared<MemoryPosition>(name, state, false));
            variable = variables.back().get();
        }
        if (variable != nullptr && content == ContentJoints) {
            changed |= ToCartesian(*variable);
        } else if (variable != nullptr && content == ContentCartesian) {
            changed |= ToJoint(*variable);
        }
        // Taken under the same lock: the robot loop comes here every cycle.
        if (changed || create) {
            SnapshotLocked(variable, snapshot);
        }
    }
    Notify(snapshot);
}

bool ProgramMemory::SetVariablePosCart(const std::string& name, double x, double y, double z,
                                       double a, double b, double c, double e1, double e2,
                                       double e3, bool create) {
    const double given[9] = {x, y, z, a, b, c, e1, e2, e3};
    auto store = [&given](DataTypes::RobotState& s) {
        s.pose.SetTranslation(static_cast<float>(given[0]), static_cast<float>(given[1]),
                              static_cast<float>(given[2]));
        s.A = static_cast<float>(given[3]);
        s.B = static_cast<float>(given[4]);
        s.C = static_cast<float>(given[5]);
        for (int e = 0; e < 3; ++e) {
            s.jointSet[6 + e] = static_cast<float>(given[6 + e]);
        }
    };
    bool found = false;
    Snapshot snapshot;
    {
        std::lock_guard<std::mutex> lock(mutex);
        bool changed = false;
        MemoryPosition* variable = FindLocked(name);
        if (variable != nullptr) {
            found = true;
            const DataTypes::RobotState& s = variable->state;
            const double current[9] = {s.pose.m[3], s.pose.m[7], s.pose.m[11],
                                       s.A,         s.B,         s.C,
                                       s.jointSet[6], s.jointSet[7], s.jointSet[8]};
            for (int i = 0; i < 9 && !changed; ++i) {
                changed = Differs(current[i], given[i]);
            }
            store(variable->state);
            changed |= ToJoint(*variable);
        } else if (create) {
            DataTypes::RobotState state;
            store(state);
            variables.push_back(std::make_shared<MemoryPosition>(name, state, false));
            variable = variables.back().get();
            ToJoint(*variable);
        }
        if (changed || create) {
            SnapshotLocked(variable, snapshot);
        }
    }
    Notify(snapshot);
    return found;
}

bool ProgramMemory::SetVariablePosJoint(const std::string& name, double a1, double a2, double a3,
                                        double a4, double a5, double a6, double e1, double e2,
                                        double e3, bool create) {
    const double given[kJoints] = {a1, a2, a3, a4, a5, a6, e1, e2, e3};
    bool found = false;
    Snapshot snapshot;
    {
        std::lock_guard<std::mutex> lock(mutex);
        bool changed = false;
        MemoryPosition* variable = FindLocked(name);
        if (variable != nullptr) {
            found = true;
            for (int j = 0; j < kJoints; ++j) {
                changed |= Differs(variable->state.jointSet[j], given[j]);
                variable->state.jointSet[j] = static_cast<float>(given[j]);
            }
            changed |= ToCartesian(*variable);
        } else if (create) {
            DataTypes::RobotState state;
            for (int j = 0; j < kJoints; ++j) {
                state.jointSet[j] = static_cast<float>(given[j]);
            }
            variables.push_back(std::make_shared<MemoryPosition>(name, state, false));
            variable = variables.back().get();
            ToCartesian(*variable);
        }
        if (changed || create) {
            SnapshotLocked(variable, snapshot);
        }
    }
    Notify(snapshot);
    return found;
}

bool ProgramMemory::ReplaceVariablePos(const std::string& name, const DataTypes::RobotState& state,
                                       StoreContentType content) {
    Snapshot snapshot;
    {
        std::lock_guard<std::mutex> lock(mutex);
        MemoryPosition* variable = FindLocked(name);
        if (variable == nullptr) {
            return false;
        }
        // Converted on a copy: the stored variable is written only once the solve succeeded.
        MemoryPosition candidate = *variable;
        CopyPosition(candidate.state, state);
        if (content == ContentJoints) {
            ToCartesian(candidate);
        } else if (content == ContentCartesian) {
            ToJoint(candidate);
        }
        const bool changed = PositionMoved(variable->state, candidate.state);
        CopyPosition(variable->state, candidate.state);
        if (changed) {
            SnapshotLocked(variable, snapshot);
        }
    }
    Notify(snapshot);
    return true;
}

bool ProgramMemory::ToJoint(MemoryPosition& variable) {
    // The seed of the inverse solution: the robot state when one is set, else (when asked
    // for) the last "#position", written under this lock and so never torn.
    const MemoryPosition* position =
        robotState == nullptr && seedFromPosition ? FindLocked(kPosition) : nullptr;
    if (!kinematic || (robotState == nullptr && position == nullptr)) {
        throw std::runtime_error("ProgramMemory: cannot compute the joints of variable " +
                                 variable.name + ": no kinematic or robot state set yet");
    }
    const float* seed = robotState != nullptr ? robotState->jointSet : position->state.jointSet;
    float kept[kJoints];
    for (int j = 0; j < kJoints; ++j) {
        kept[j] = variable.state.jointSet[j];
    }
    // Start the inverse solution from the robot's present configuration. The solver
    // works on a scratch array so that a failure leaves the variable's joints alone.
    float solution[kJoints];
    for (int j = 0; j < kJoints; ++j) {
        solution[j] = kept[j];
    }
    // The limits and the box the robot uses now.
    kinematic->RefreshLimitsAndBox();
    kinematic->SetJoints(seed, false);
    kinematic->SetPosition(variable.state.pose, solution);
    kinematic->GetJoints(variable.state.jointSet);
    bool changed = false;
    for (int j = 0; j < kJoints; ++j) {
        changed |= Differs(kept[j], variable.state.jointSet[j]);
    }
    return changed;
}

bool ProgramMemory::ToCartesian(MemoryPosition& variable) {
    if (!kinematic) {
        throw std::runtime_error("ProgramMemory: cannot compute the pose of variable " +
                                 variable.name + ": no kinematic set yet");
    }
    const DataTypes::Matrix44 keptPose = variable.state.pose;
    const float keptA = variable.state.A;
    const float keptB = variable.state.B;
    const float keptC = variable.state.C;
    kinematic->SetJoints(variable.state.jointSet, false);
    kinematic->GetPosition(&variable.state);
    variable.state.UpdateABC();
    return Differs(keptA, variable.state.A) || Differs(keptB, variable.state.B) ||
           Differs(keptC, variable.state.C) ||
           !keptPose.Equals(variable.state.pose, kPoseTolerance);
}

bool ProgramMemory::HasMatrixDefinition(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex);
    return matrices.count(ToLowerCase(name)) > 0;
}

MatrixDefinition ProgramMemory::GetMatrixDefinition(const std::string& name) const {
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = matrices.find(ToLowerCase(name));
        if (it != matrices.end()) {
            return it->second.definition;
        }
    }
    throw std::runtime_error("Matrix " + name + " is not defined");
}

void ProgramMemory::SetMatrixDefinition(const std::string& name,
                                        const MatrixDefinition& definition, bool isStatic) {
    std::lock_guard<std::mutex> lock(mutex);
    matrices[ToLowerCase(name)] = MemoryMatrix(definition, isStatic);
}

void ProgramMemory::Clear() {
    LogSingleton::instance()->add("Clearing variables...");
    std::size_t remaining = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        VariableList kept;
        for (auto& variable : variables) {
            if (variable->isStatic) {
                kept.push_back(std::move(variable));
            }
        }
        variables.swap(kept);
        for (auto it = matrices.begin(); it != matrices.end();) {
            it = it->second.isStatic ? std::next(it) : matrices.erase(it);
        }
        remaining = variables.size();
    }
    LogSingleton::instance()->addFormat("ProgramMemory: %d static variables remained",
                                        static_cast<int>(remaining));
    CreateSystemVariables();
    CreateModbusVariables();
}

void ProgramMemory::CreateSystemVariables() {
    auto createNumber = [this](const char* name, double value) {
        if (!HasVariable(name)) {
            SetVariable(MemoryPosition(name, value, true), ContentNumber);
        }
    };
    if (!HasVariable(kPosition)) {
        SetVariable(MemoryPosition(kPosition, DataTypes::RobotState(), true), ContentUnchanged);
    }
    createNumber(kProgramRunning, 0.0);
    createNumber(kLogicProgramRunning, 0.0);
    createNumber(kPartsGood, LogSingleton::instance()->PartsGood.load());
    createNumber(kPartsBad, LogSingleton::instance()->PartsBad.load());
}

void ProgramMemory::CreateModbusVariables() {
    static const char* const kFormats[4] = {"mb_num_w%d", "mb_pos_w%d", "mb_num_r%d",
                                            "mb_pos_r%d"};
    for (int n = 1; n <= kModbusVariableSets; ++n) {
        for (int f = 0; f < 4; ++f) {
            char name[16];
            std::snprintf(name, sizeof(name), kFormats[f], n);
            if (HasVariable(name)) {
                continue;
            }
            const bool isNumber = (f % 2) == 0;
            if (isNumber) {
                SetVariable(MemoryPosition(name, 0.0, true), ContentNumber);
            } else {
                SetVariable(MemoryPosition(name, DataTypes::RobotState(), true), ContentUnchanged);
            }
        }
    }
}

void ProgramMemory::OnRunStateChanged(const char* name, bool running) {
    try {
        const double value = running ? 1.0 : 0.0;
        {
            // Read in place: the interpreters report their run state every cycle.
            std::lock_guard<std::mutex> lock(mutex);
            const MemoryPosition* found = FindLocked(name);
            if (found != nullptr && found->value == value) {
                return;
            }
        }
        SetVariable(MemoryPosition(name, value, true), ContentNumber);
    } catch (...) {
        // A run-state notification must never disturb the interpreter that sends it.
    }
}

void ProgramMemory::OnProgramRunStateChanged(bool running) {
    OnRunStateChanged(kProgramRunning, running);
}

void ProgramMemory::OnLogicProgramRunStateChanged(bool running) {
    OnRunStateChanged(kLogicProgramRunning, running);
}

void ProgramMemory::OnPoseChanged(const DataTypes::RobotState& state) {
    std::lock_guard<std::mutex> lock(mutex);
    if (MemoryPosition* variable = FindLocked(kPosition)) {
        variable->state = state;
    }
}

void ProgramMemory::SnapshotLocked(const MemoryPosition* variable, Snapshot& snapshot) const {
    // The copy is only worth making when someone listens.
    if (variable != nullptr && changeCallback) {
        snapshot.Take(*variable);
    }
}

void ProgramMemory::Notify(const Snapshot& snapshot) {
    const MemoryPosition* variable = snapshot.Get();
    if (variable == nullptr) {
        return;
    }
    const DeferHook hook = deferHook.load(std::memory_order_acquire);
    if (hook != nullptr && hook(*this, *variable)) {
        return;
    }
    DeliverChange(*variable);
}

void ProgramMemory::SetDeferHook(DeferHook hook) { deferHook.store(hook, std::memory_order_release); }

void ProgramMemory::DeliverChange(const MemoryPosition& variable) {
    if (changeCallback) {
        changeCallback(variable);
    }
}

}  // namespace Programs
