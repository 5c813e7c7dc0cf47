#pragma once

// Named program variables shared by the interpreters, the robot loop, the remote-control
// server and the Modbus server: numbers, positions and pallet grids. Names are matched
// without regard to case; the store keeps them lower case.

#include "core/RobotState.h"
#include "core/Vector3.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class RobotKinematic;

namespace Programs {

// Lower-case copy (C library tolower on every byte). Every stored or looked-up name
// passes through it.
std::string ToLowerCase(std::string text);

// What the position handed to SetVariable carries.
enum StoreContentType : int {
    ContentNumber = 0,     // a number
    ContentJoints = 1,     // joints given: the Cartesian pose is recomputed
    ContentCartesian = 2,  // Cartesian pose given: the joints are recomputed
    ContentUnchanged = 3,  // stored as given
};

// One program variable.
class MemoryPosition {
public:
    static constexpr int TypeNone = 0;
    static constexpr int TypePosition = 1;
    static constexpr int TypeNumber = 2;

    std::string name;  // always lower case
    int type = TypeNone;
    // For a position: pose, A, B, C and the nine set-point joints carry the value.
    DataTypes::RobotState state;
    double value = 0.0;  // for a number
    bool isStatic = false;  // a static variable survives ProgramMemory::Clear

    MemoryPosition() = default;
    // A position with a copy of the state and value 0.
    MemoryPosition(const std::string& name, const DataTypes::RobotState& state, bool isStatic);
    // A number with a default state.
    MemoryPosition(const std::string& name, double value, bool isStatic);

    // Same name and type; numbers within 0.01; other types: A, B, C within 0.01 and pose
    // equal within 0.0001. Joint values are not compared.
    bool operator==(const MemoryPosition& other) const;
    bool operator!=(const MemoryPosition& other) const { return !(*this == other); }
};

// A pallet grid spanned by the taught corners A, B and C.
class MatrixDefinition {
public:
    DataTypes::RobotState cornerA;  // the whole state of corner A
    DataTypes::Vector3 deltaAB;     // translation of B minus translation of A (mm)
    DataTypes::Vector3 deltaAC;     // translation of C minus translation of A (mm)
    DataTypes::Vector3 angleDeltaAB;  // A, B, C of corner B minus those of A (degrees)
    DataTypes::Vector3 angleDeltaAC;  // A, B, C of corner C minus those of A (degrees)
    int CntX = 0;  // places along A to B
    int CntY = 0;  // places along A to C
    double stepX = 0.0;  // 1 / (CntX - 1), filled by the definition command
    double stepY = 0.0;  // 1 / (CntY - 1), filled by the definition command

    MatrixDefinition(int cntX, int cntY) : CntX(cntX), CntY(cntY) {}
};

// A stored grid.
class MemoryMatrix {
public:
    bool isStatic = false;
    MatrixDefinition definition{0, 0};

    MemoryMatrix() = default;
    MemoryMatrix(const MatrixDefinition& definition, bool isStatic)
        : isStatic(isStatic), definition(definition) {}
};

// The one store of program variables. Thread-safe: one mutex guards the variables and
// the matrices; the change callback and the parts counters run after it is released.
class ProgramMemory {
public:
    // Gets a copy of the changed variable taken under the lock; the reference is valid for
    // the call only (a receiver that keeps the value copies it).
    using ChangeCallback = std::function<void(const MemoryPosition&)>;

    // Creates the system variables and the 64 Modbus exchange variables.
    ProgramMemory();
    ~ProgramMemory();
    ProgramMemory(const ProgramMemory&) = delete;
    ProgramMemory& operator=(const ProgramMemory&) = delete;

    // Called with every changed variable, on the changing thread, after the lock is
    // released. Install it before other threads use the store.
    ChangeCallback changeCallback;

    // A thread that holds a lock of a layer above (an interpreter's) must not run the
    // callback yet: the hook then keeps the variable and hands it to DeliverChange once
    // that lock is released, in order with its other side effects. It answers false when
    // the callback may run at once. One hook per process; none by default.
    // The hook copies the variable; it must not keep the reference.
    using DeferHook = bool (*)(ProgramMemory& memory, const MemoryPosition& variable);
    static void SetDeferHook(DeferHook hook);
    // Runs the change callback with the variable now.
    void DeliverChange(const MemoryPosition& variable);

    // The private kinematic copy used for joint/Cartesian conversions (the store owns
    // it), and the live robot state whose set-point joints seed inverse kinematics (not
    // owned; it must outlive the store). Until both are set, every conversion throws
    // std::runtime_error.
    void SetKinematic(std::unique_ptr<RobotKinematic> kinematic);
    void SetRobotState(const DataTypes::RobotState* robotState);
    // Seeds inverse kinematics from "#position" instead of a robot state: for a state that
    // another thread changes while clients convert (the robot loop's working copy).
    void SeedFromPosition();

    bool HasVariable(const std::string& name) const;
    // A copy of the variable taken under the lock; empty when absent.
    std::shared_ptr<const MemoryPosition> Get(const std::string& name) const;
    // What a condition reads of a variable, copied in place under the lock without
    // allocating (conditions are read every robot cycle); false when absent.
    struct VariableValue {
        int type = MemoryPosition::TypeNone;
        double value = 0.0;
        DataTypes::Matrix44 pose;
        float A = 0.0f, B = 0.0f, C = 0.0f;
        float joints[9] = {};
    };
    bool ReadValue(std::string_view name, VariableValue& out) const;
    // A copy of the variable; std::runtime_error "Variable <name> is not defined".
    MemoryPosition GetVariable(const std::string& name) const;
    // MemoryPosition::TypePosition, TypeNumber, or TypeNone when absent.
    int GetVariableType(const std::string& name) const;
    // Names of all variables in the order of creation.
    std::vector<std::string> GetVariableNames() const;

    // Replaces or appends the variable; a replaced variable keeps its static flag.
    // Content 1 and 2 convert through the kinematic (integer codes pass out, the lock
    // released, no callback, no counters). "#parts-good"/"#parts-bad" also set the
    // log singleton's parts counters.
    void SetVariable(const MemoryPosition& variable, StoreContentType content);
    // Sets the value of an existing variable (any type) or, with create, appends a number.
    // Returns whether the variable existed. "#parts-good"/"#parts-bad" also set the parts
    // counters.
    bool SetVariableSingle(const std::string& name, double value, bool create);
    // Sets pose, A, B, C and the nine set-point joints of an existing variable or, with
    // create, appends a position with a copy of the state. The robot loop calls it every
    // cycle for "#position" with content 3.
    void SetVariablePos(const std::string& name, const DataTypes::RobotState& state, bool create,
                        StoreContentType content);
    // Sets translation, A, B, C and e1..e3 and recomputes the joints. Returns whether the
    // variable existed.
    bool SetVariablePosCart(const std::string& name, double x, double y, double z, double a,
                            double b, double c, double e1, double e2, double e3, bool create);
    // Sets the nine set-point joints and recomputes the pose. Returns whether the
    // variable existed.
    bool SetVariablePosJoint(const std::string& name, double a1, double a2, double a3, double a4,
                             double a5, double a6, double e1, double e2, double e3, bool create);
    // Sets pose, A, B, C and the nine set-point joints of an existing variable from state,
    // then converts as content says (1 or 2), all or nothing: a conversion that throws
    // leaves the variable as it was and notifies nothing. Returns whether the variable
    // existed. For clients whose refused request must change nothing.
    bool ReplaceVariablePos(const std::string& name, const DataTypes::RobotState& state,
                            StoreContentType content);

    bool HasMatrixDefinition(const std::string& name) const;
    // A copy; std::runtime_error "Matrix <name> is not defined".
    MatrixDefinition GetMatrixDefinition(const std::string& name) const;
    // Stores or replaces the grid with that static flag; no callback.
    void SetMatrixDefinition(const std::string& name, const MatrixDefinition& definition,
                             bool isStatic);

    // Drops every non-static variable and matrix, then re-creates the system and
    // exchange variables that are missing.
    void Clear();

    // Run-state callbacks of the main and the logic interpreter; never throw.
    void OnProgramRunStateChanged(bool running);
    void OnLogicProgramRunStateChanged(bool running);
    // Replaces the whole state of "#position"; no callback.
    void OnPoseChanged(const DataTypes::RobotState& state);

private:
    using VariableList = std::vector<std::shared_ptr<MemoryPosition>>;

    // Lookups run with the mutex held. The name is compared without regard to case and
    // without allocating (the robot loop looks up "#position" every cycle).
    MemoryPosition* FindLocked(std::string_view name) const;
    // Conversions, mutex held. Both throw std::runtime_error before the kinematic (and,
    // for ToJoint, the robot state) is set, and let the kinematic's int codes through.
    bool ToJoint(MemoryPosition& variable);
    bool ToCartesian(MemoryPosition& variable);

    void CreateSystemVariables();
    void CreateModbusVariables();
    void OnRunStateChanged(const char* name, bool running);
    class Snapshot;
    // With a callback installed: a copy of the variable for it, taken into the snapshot
    // under the lock already held by the setter (one lock per call for the robot loop).
    void SnapshotLocked(const MemoryPosition* variable, Snapshot& snapshot) const;
    // Hands a snapshot to the change callback; called after the lock is released.
    void Notify(const Snapshot& snapshot);

    VariableList variables;
    std::map<std::string, MemoryMatrix> matrices;
    mutable std::mutex mutex;
    std::unique_ptr<RobotKinematic> kinematic;
    const DataTypes::RobotState* robotState = nullptr;
    bool seedFromPosition = false;
};

}  // namespace Programs
