// Programs built in memory: teach-in appends single commands to program 0, direct moves
// replace everything by one move, and the program information query.

#include "program/IPO.h"

#include "IPOInternals.h"
#include "core/Filesystem.h"
#include "core/LogSingleton.h"
#include "core/PathCheck.h"
#include "program/CommandDIO.h"
#include "program/CommandGripper.h"
#include "program/CommandJoint.h"
#include "program/CommandLinear.h"
#include "program/CommandRelative.h"
#include "program/CommandWait.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <string>

namespace {

constexpr float kTeachAcc = 40.0f;     // percent
constexpr float kTeachSmooth = 20.0f;  // percent
constexpr double kTeachLinearFullSpeed = 150.0;  // mm/s at 100 % for a taught Linear
constexpr float kMaxJointPercent = 100.0f;
constexpr float kMinMoveVelocity = 0.001f;  // at or below: a direct move only deletes
constexpr int kNrOutputs = 64;

bool Finite(std::initializer_list<float> values) {
    return std::all_of(values.begin(), values.end(), [](float v) { return std::isfinite(v); });
}

bool FiniteArray(const float* values, int count) {
    return std::all_of(values, values + count, [](float v) { return std::isfinite(v); });
}

void TeachRefused(const std::string& why) { LogSingleton::instance()->add("IPO:     Teach-in refused: " + why); }

void MoveRefused(const IPO& ipo, const std::string& why) {
    LogSingleton::instance()->add(ipo.GetName() + ": Move refused: " + why);
}

// Number, memory and the robot's joint counts; false (logged by the caller) without a
// kinematic to count them.
bool PrepareCommand(IPO& ipo, Command& command, int number, std::string* error) {
    try {
        command.nrRobotJoints = ipo.GetNrRobotJoints();
        command.nrExternalJoints = ipo.GetNrExternalJoints();
    } catch (const std::exception& e) {
        *error = e.what();
        return false;
    }
    command.number = number;
    command.memory = ipo.GetMemory();
    return true;
}

// The motion defaults of commands that no file supplied.
template <typename T>
void PrepareMotion(IPO& ipo, T& command) {
    command.InitJointMaxVelocities(IpoInternals::JointMaxVelocities(ipo));
    command.accPercent = kTeachAcc;
    command.smoothPercent = kTeachSmooth;
    command.abortCondition = "false";
    command.jointOffsets = IpoInternals::JointOffset(ipo);
    command.cartesianOffsets = IpoInternals::CartesianOffset(ipo);
}

float CapJointPercent(float percent) { return std::min(percent, kMaxJointPercent); }

float CapCartesian(const IPO& ipo, double velocity) {
    return static_cast<float>(std::min(velocity, IpoInternals::CartesianMaxVelocity(ipo)));
}

std::shared_ptr<CommandRelative> MakeRelative(int frameMode) {
    auto command = std::make_shared<CommandRelative>();
    command->frameMode = frameMode;
    command->commandType = frameMode == CommandRelative::FrameJoint ? CMD_JOINT : CMD_CARTESIAN;
    return command;
}

// The command numbered and counted, or null once `refuse` logged why not.
template <typename T, typename Refuse>
std::shared_ptr<T> Prepared(IPO& ipo, std::shared_ptr<T> command, int number, Refuse refuse) {
    std::string error;
    if (!PrepareCommand(ipo, *command, number, &error)) {
        refuse(error);
        return nullptr;
    }
    return command;
}

template <typename T>
std::shared_ptr<T> Taught(IPO& ipo, std::shared_ptr<T> command, int number) {
    return Prepared(ipo, std::move(command), number, TeachRefused);
}

template <typename T>
std::shared_ptr<T> TaughtMotion(IPO& ipo, std::shared_ptr<T> command, int number) {
    command = Taught(ipo, std::move(command), number);
    if (command) {
        PrepareMotion(ipo, *command);
    }
    return command;
}

// A direct move is always command 0 of the single program it installs.
template <typename T>
std::shared_ptr<T> MoveMotion(IPO& ipo, std::shared_ptr<T> command) {
    command = Prepared(ipo, std::move(command), 0, [&ipo](const std::string& why) { MoveRefused(ipo, why); });
    if (command) {
        PrepareMotion(ipo, *command);
    }
    return command;
}

// Joint teach-in: a count within the command and finite, non-negative values.
bool JointTeachAccepted(int count, const float* values, float velPercent, const char* what) {
    if (count < 0 || count > Command::maxJoints) {
        TeachRefused("joint count " + std::to_string(count) + " outside 0..9");
        return false;
    }
    if ((count > 0 && values == nullptr) || (values != nullptr && !FiniteArray(values, count)) ||
        !Finite({velPercent}) || velPercent < 0.0f) {
        TeachRefused(std::string(what) + " with a missing, non-finite or negative value");
        return false;
    }
    return true;
}

// Position, ABC orientation and external axes of a Cartesian move.
void SetCartesian(DataTypes::RobotState& state, const DataTypes::Vector3& position,
                  const DataTypes::Vector3& orientation, const DataTypes::Vector3& external) {
    state.pose.SetTranslation(position);
    state.A = orientation.x;
    state.B = orientation.y;
    state.C = orientation.z;
    state.pose.SetRotationABCDeg2(orientation.x, orientation.y, orientation.z);
    state.pose(3, 3) = 1.0f;
    state.jointSet[6] = external.x;
    state.jointSet[7] = external.y;
    state.jointSet[8] = external.z;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Teach-in

void IPO::AppendTaughtCommand(std::shared_ptr<Command> command) {
    // Built before the lock: the robot loop only try-locks, so the lock stays short.
    RobotProgram fresh("new.xml");
    ProgramSummary freshSummary{fresh.name, 0};
    std::string freshName = fresh.name;
    bool refused = false;
    {
        std::lock_guard<std::mutex> lock(programMutex);
        // Program 0 under execution (or a plan still reading it) keeps its links: the
        // planner follows them on its own thread.
        if (replayRunning.load() || currentPoint.load() != -1 ||
            (pathGenerator && pathGenerator->IsThreadRunning())) {
            refused = true;
        } else {
            const bool created = programs.empty();
            if (created) {
                programs.push_back(std::move(fresh));
            }
            RobotProgram& program = programs[0];
            const int n = static_cast<int>(program.commands.size());
            if (n == 0) {
                command->predecessor = 0;  // as the loader links a first command
            } else {
                // Linked where the program ends (the one command whose next is the end),
                // as the loader links what follows a file's last element: behind a closing
                // block that is the block's opener, while the block's last command keeps
                // leading back to it.
                int tail = n - 1;
                for (int i = n - 1; i >= 0; --i) {
                    if (program.commands[static_cast<size_t>(i)]->nextSuccessor == Command::ResultEndOfProgram) {
                        tail = i;
                        break;
                    }
                }
                program.commands[static_cast<size_t>(tail)]->nextSuccessor = n;
                command->predecessor = tail;
            }
            program.commands.push_back(std::move(command));
            const int count = n + 1;
            programCount.store(static_cast<int>(programs.size()));
            loadedPointCount.store(count);
            std::lock_guard<std::mutex> info(infoMutex);
            if (summaries.empty()) {
                summaries.push_back(std::move(freshSummary));
            }
            summaries[0].commandCount = count;
            if (created) {
                loadedProgramName.swap(freshName);
            }
            infoGeneration.fetch_add(1);
        }
    }
    if (refused) {
        TeachRefused("a program is running or paused");
        // The command is released here, outside the lock.
    }
}

void IPO::AddCommandJoint(int number, int count, const float* joints, float velPercent) {
    if (!JointTeachAccepted(count, joints, velPercent, "joint motion")) {
        return;
    }
    auto command = TaughtMotion(*this, std::make_shared<CommandJoint>(), number);
    if (!command) {
        return;
    }
    command->velJointPercent = CapJointPercent(velPercent);
    for (int j = 0; j < count; ++j) {
        command->target.jointSet[j] = joints[j];
    }
    AppendTaughtCommand(command);
    LogSingleton::instance()->add("IPO:     Added joint motion");
}

void IPO::AddCommandRelativeJoint(int number, int count, const float* deltas, float velPercent) {
    if (!JointTeachAccepted(count, deltas, velPercent, "relative joint motion")) {
        return;
    }
    auto command = TaughtMotion(*this, MakeRelative(CommandRelative::FrameJoint), number);
    if (!command) {
        return;
    }
    command->velJointPercent = CapJointPercent(velPercent);
    for (int j = 0; j < count; ++j) {
        command->delta.jointSet[j] = deltas[j];
    }
    const float* d = command->delta.jointSet;
    const double first[3] = {d[0], d[1], d[2]};
    AppendTaughtCommand(command);
    LogSingleton::instance()->addFormat("IPO:     Added relative joint motion %.1lf %.1lf %.1lf", first[0], first[1],
                                        first[2]);
}

namespace {

// Relative linear teach-in in the base or the tool frame.
std::shared_ptr<CommandRelative> TaughtRelativeLinear(IPO& ipo, int frameMode, int number, float x, float y,
                                                      float z, float velocity) {
    if (!Finite({x, y, z, velocity}) || velocity < 0.0f) {
        TeachRefused("relative linear motion with a non-finite or negative value");
        return nullptr;
    }
    auto command = TaughtMotion(ipo, MakeRelative(frameMode), number);
    if (!command) {
        return nullptr;
    }
    command->delta.pose.SetTranslation(x, y, z);
    command->velCartesian = CapCartesian(ipo, velocity);
    return command;
}

void LogRelativeLinear(float x, float y, float z) {
    LogSingleton::instance()->addFormat("IPO:     Added relative linear motion %.1lf %.1lf %.1lf",
                                        static_cast<double>(x), static_cast<double>(y), static_cast<double>(z));
}

}  // namespace

void IPO::AddCommandRelativeLinear(int number, float x, float y, float z, float velocity) {
    auto command = TaughtRelativeLinear(*this, CommandRelative::FrameBase, number, x, y, z, velocity);
    if (command) {
        AppendTaughtCommand(command);
        LogRelativeLinear(x, y, z);
    }
}

void IPO::AddCommandRelativeTool(int number, float x, float y, float z, float velocity) {
    auto command = TaughtRelativeLinear(*this, CommandRelative::FrameTool, number, x, y, z, velocity);
    if (command) {
        AppendTaughtCommand(command);
        LogRelativeLinear(x, y, z);
    }
}

void IPO::AddCommandLinear(int number, float x, float y, float z, float a, float b, float c, float e1, float e2,
                           float e3, float velPercent) {
    if (!Finite({x, y, z, a, b, c, e1, e2, e3, velPercent}) || velPercent < 0.0f) {
        TeachRefused("linear motion with a non-finite or negative value");
        return;
    }
    auto command = TaughtMotion(*this, std::make_shared<CommandLinear>(), number);
    if (!command) {
        return;
    }
    command->target.pose.SetTranslation(x, y, z);
    command->target.A = a;
    command->target.B = b;
    command->target.C = c;
    command->target.UpdateMatrixFromABC();
    command->target.jointSet[6] = e1;
    command->target.jointSet[7] = e2;
    command->target.jointSet[8] = e3;
    command->velCartesian = CapCartesian(*this, static_cast<double>(velPercent) / 100.0 * kTeachLinearFullSpeed);
    const double velocity = command->velCartesian;
    AppendTaughtCommand(command);
    LogSingleton::instance()->addFormat(
        "IPO:     Added Command Linear: %.1lf %.1lf %.1lf --  %.1lf %.1lf %.1lf  with %.1lf mm/s", static_cast<double>(x),
        static_cast<double>(y), static_cast<double>(z), static_cast<double>(a), static_cast<double>(b),
        static_cast<double>(c), velocity);
}

void IPO::AddCommandDIO(int number, int channel, bool state) {
    if (channel < 0 || channel >= kNrOutputs) {
        TeachRefused("output channel " + std::to_string(channel) + " outside 0..63");
        return;
    }
    auto command = Taught(*this, std::make_shared<CommandDIO>(), number);
    if (!command) {
        return;
    }
    command->channel = channel;
    command->state = state;
    command->isDOut = true;
    AppendTaughtCommand(command);
    LogSingleton::instance()->addFormat("IPO:     Added CommandDIO ch: %d state: %d", channel, state ? 1 : 0);
}

void IPO::AddCommandGripper(int number, const float* gripper) {
    if (gripper == nullptr || !FiniteArray(gripper, 3)) {
        TeachRefused("gripper values missing or not finite");
        return;
    }
    auto command = Taught(*this, std::make_shared<CommandGripper>(), number);
    if (!command) {
        return;
    }
    // Percent, as a program file's gripper position is held.
    for (int i = 0; i < 3; ++i) {
        command->position[i] = std::min(std::max(gripper[i], 0.0f), 100.0f);
    }
    const double first = command->position[0];
    AppendTaughtCommand(command);
    LogSingleton::instance()->addFormat("IPO:     Added CommandGripper %.1lf", first);
}

void IPO::AddCommandWait(int number, long milliseconds) {
    auto command = Taught(*this, std::make_shared<CommandWait>(), number);
    if (!command) {
        return;
    }
    // The range a file's wait can hold.
    const long clamped =
        std::min(std::max(milliseconds, 0L), static_cast<long>(std::numeric_limits<std::int32_t>::max()));
    command->waitType = CommandWait::WaitTime;
    command->waitTime = static_cast<std::int32_t>(clamped);
    AppendTaughtCommand(command);
    LogSingleton::instance()->addFormat("IPO:     Added CommandWait %ld ms", clamped);
}

void IPO::TouchUpLastCommand() { LogSingleton::instance()->add("IPO:     TouchUp - not implemented yet"); }

// ---------------------------------------------------------------------------------------
// Direct moves

void IPO::InstallMove(std::shared_ptr<Command> command) {
    command->predecessor = 0;
    command->nextSuccessor = Command::ResultEndOfProgram;
    std::vector<RobotProgram> list(1);
    list[0].commands.push_back(std::move(command));
    Install(std::move(list), 0);
}

namespace {

// What every direct move checks after the deletion: a velocity worth moving at.
bool MoveVelocityAccepted(const IPO& ipo, float velocity) {
    if (!std::isfinite(velocity)) {
        MoveRefused(ipo, "velocity is not finite");
        return false;
    }
    return velocity > kMinMoveVelocity;
}

// Every direct move first deletes what is loaded, even when it then does not move.
bool ClearedForMove(IPO& ipo, float velocity) {
    ipo.DeleteAll();
    return MoveVelocityAccepted(ipo, velocity);
}

}  // namespace

void IPO::MoveJoint(const float* joints, float velPercent) {
    if (!ClearedForMove(*this, velPercent)) {
        return;
    }
    if (joints == nullptr || !FiniteArray(joints, Command::maxJoints)) {
        MoveRefused(*this, "joint target missing or not finite");
        return;
    }
    auto command = MoveMotion(*this, std::make_shared<CommandJoint>());
    if (!command) {
        return;
    }
    command->velJointPercent = CapJointPercent(velPercent);
    std::copy(joints, joints + Command::maxJoints, command->target.jointSet);
    InstallMove(command);
}

void IPO::MoveLinear(DataTypes::Vector3 position, DataTypes::Vector3 orientation, DataTypes::Vector3 external,
                     float velocity) {
    if (!ClearedForMove(*this, velocity)) {
        return;
    }
    if (!Finite({position.x, position.y, position.z, orientation.x, orientation.y, orientation.z, external.x,
                 external.y, external.z})) {
        MoveRefused(*this, "linear target not finite");
        return;
    }
    auto command = MoveMotion(*this, std::make_shared<CommandLinear>());
    if (!command) {
        return;
    }
    SetCartesian(command->target, position, orientation, external);
    command->velCartesian = CapCartesian(*this, velocity);
    InstallMove(command);
}

void IPO::MoveRelativeJoint(const float* deltas, float velPercent) {
    if (!ClearedForMove(*this, velPercent)) {
        return;
    }
    if (deltas == nullptr || !FiniteArray(deltas, Command::maxJoints)) {
        MoveRefused(*this, "joint distances missing or not finite");
        return;
    }
    auto command = MoveMotion(*this, MakeRelative(CommandRelative::FrameJoint));
    if (!command) {
        return;
    }
    command->velJointPercent = CapJointPercent(velPercent);
    std::copy(deltas, deltas + Command::maxJoints, command->delta.jointSet);
    InstallMove(command);
}

namespace {

std::shared_ptr<CommandRelative> RelativeCartesianMove(IPO& ipo, int frameMode, const DataTypes::Vector3& translation,
                                                       const DataTypes::Vector3& rotation,
                                                       const DataTypes::Vector3& external, float velocity) {
    if (!Finite({translation.x, translation.y, translation.z, rotation.x, rotation.y, rotation.z, external.x,
                 external.y, external.z})) {
        MoveRefused(ipo, "relative distance not finite");
        return nullptr;
    }
    auto command = MoveMotion(ipo, MakeRelative(frameMode));
    if (!command) {
        return nullptr;
    }
    // The rotation is kept with the move; the relative move itself never turns the tool.
    SetCartesian(command->delta, translation, rotation, external);
    command->velCartesian = CapCartesian(ipo, velocity);
    return command;
}

}  // namespace

void IPO::MoveRelativeBase(DataTypes::Vector3 translation, DataTypes::Vector3 rotation, DataTypes::Vector3 external,
                           float velocity) {
    if (!ClearedForMove(*this, velocity)) {
        return;
    }
    auto command = RelativeCartesianMove(*this, CommandRelative::FrameBase, translation, rotation, external, velocity);
    if (command) {
        InstallMove(command);
    }
}

void IPO::MoveRelativeTool(DataTypes::Vector3 translation, DataTypes::Vector3 rotation, DataTypes::Vector3 external,
                           float velocity) {
    if (!ClearedForMove(*this, velocity)) {
        return;
    }
    auto command = RelativeCartesianMove(*this, CommandRelative::FrameTool, translation, rotation, external, velocity);
    if (command) {
        InstallMove(command);
    }
}

// ---------------------------------------------------------------------------------------
// Program information and files

void IPO::GetProgramInformation(std::string* programName, int* count, int* point) const {
    const int active = activeProgram.load();
    std::lock_guard<std::mutex> lock(infoMutex);
    if (summaries.empty()) {
        return;
    }
    // The summaries are replaced together with the list, so the active index lies
    // inside them unless the list changed since it was read.
    const ProgramSummary& summary =
        summaries[static_cast<size_t>(active >= 0 && active < static_cast<int>(summaries.size()) ? active : 0)];
    if (programName != nullptr) *programName = summary.name;
    if (count != nullptr) *count = summary.commandCount;
    if (point != nullptr) *point = currentPoint.load();
}

void IPO::ReadProgramInformation(ProgramInfoSeen& seen, std::string* programName, int* count, int* point) const {
    const int active = activeProgram.load();
    if (infoGeneration.load() != seen.generation || active != seen.activeProgram) {
        std::unique_lock<std::mutex> lock(infoMutex, std::try_to_lock);
        if (lock.owns_lock()) {
            seen.generation = infoGeneration.load();
            seen.activeProgram = active;
            seen.loaded = !summaries.empty();
            if (seen.loaded) {
                const ProgramSummary& summary =
                    summaries[static_cast<size_t>(active >= 0 && active < static_cast<int>(summaries.size()) ? active
                                                                                                          : 0)];
                if (programName != nullptr) programName->assign(summary.name);
                if (count != nullptr) *count = summary.commandCount;
            }
        }
    }
    if (seen.loaded && point != nullptr) *point = currentPoint.load();
}

void IPO::DeleteProgramFile(const char* fileName) {
    LogSingleton* log = LogSingleton::instance();
    const std::string target = fileName != nullptr ? fileName : "";
    const std::string path = log->get_rootPath() + "Data/Programs/" + target;
    // Only program files below the programs folder: never a folder, never outside.
    if (Filesystem::IsSafeRelativePath(target) && Filesystem::IsFile(path) && Filesystem::Delete(path)) {
        log->add("Deleted file " + target);
        log->DisplayAndServerSetMessage("Deleted file " + target);
        return;
    }
    log->add("Error: Could not delete file " + target);
    log->DisplayAndServerSetMessage("Error: Could not delete file " + target);
}
