#pragma once

// Shared by the run-cycle tests: interpreters on the six-axis fixture robot, a camera and
// a plug-in manager that deliver at once, commands that fail on purpose, and a way to hand
// an interpreter a program built in the test.

#include "IpoStandInLoop.h"
#include "IpoTestSupport.h"

#include "kinematics/RobotKinematicSixAxis.h"
#include "program/Command.h"
#include "program/CommandPause.h"
#include "program/CommandStop.h"
#include "vision/CameraInterface.h"
#include "vision/CameraManager.h"
#include "vision/PluginManager.h"
#include "testsupport/IpoTestAccess.h"

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace IpoTest {

inline std::unique_ptr<RobotKinematic> SixAxisArm() {
    auto arm = std::make_unique<RobotKinematicSixAxis>();
    arm->Init("arm", "StandardSixAxisPlus", std::string(BELVANTO_FIXTURES_DIR) + "/kinematics/sixaxis/robot_default.xml",
              0);
    return arm;
}

// Memory whose conversions run through the six-axis arm.
struct ArmMemory {
    DataTypes::RobotState state;
    Programs::ProgramMemory memory;
    ArmMemory() {
        memory.SetKinematic(SixAxisArm());
        memory.SetRobotState(&state);
    }
};

// An interpreter on the six-axis arm with the given planner; events go to EventLog.
inline std::unique_ptr<IPO> MakeArmIpo(Programs::ProgramMemory* memory, PathGenType generator,
                                       IPO::IpoType type = IPO::IPO_MAIN,
                                       std::unique_ptr<RobotKinematic> kinematic = SixAxisArm()) {
    auto ipo = std::make_unique<IPO>(type);
    ipo->SetMemory(memory);
    ipo->InitPathGen(generator, 5.0f, 2.0f, 5);
    ipo->GetPathGenerator()->SetKinematic(std::move(kinematic));
    float vel[9], acc[9], jerk[9];
    for (int j = 0; j < 9; ++j) {
        vel[j] = 90.0f;
        acc[j] = 300.0f;
        jerk[j] = 1000.0f;
    }
    ipo->InitJointMaxValues(vel, acc, jerk, 250.0f, 1000.0f, 3000.0f, 180.0, 1000.0, 3000.0);
    ipo->SetVelocitySetting(1);
    ipo->SetResultCallback(&EventLog::Record);
    if (type == IPO::IPO_MOVETO) ipo->SetReplayMode(IPO::REPLAY_SINGLE);
    return ipo;
}

// Always sees the same target.
class InstantCamera : public Camera::CameraInterface {
public:
    explicit InstantCamera(const std::string& name) : CameraInterface("Sim", name) {}
    void Start() override {}
    void Stop() override {}
    bool GetTargetPos(DataTypes::Vector3& pos, DataTypes::Vector3& ori, int& model) const override {
        pos = DataTypes::Vector3(400.0f, 50.0f, 300.0f);
        ori = DataTypes::Vector3(180.0f, 20.0f, 180.0f);
        model = 2;
        return true;
    }
    int Read(tinyxml2::XMLElement&) override { return 0; }
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument&) override { return nullptr; }
    std::string GetHVPConfigString(int) const override { return ""; }
    int GetStatus() const override { return 0; }
};

// Registers the camera for the lifetime of the object.
class CameraRegistration {
public:
    explicit CameraRegistration(const std::string& name) : name_(name) {
        Camera::CameraManager::Instance().Add(std::make_unique<InstantCamera>(name));
    }
    ~CameraRegistration() { Camera::CameraManager::Instance().Remove(name_); }
    CameraRegistration(const CameraRegistration&) = delete;
    CameraRegistration& operator=(const CameraRegistration&) = delete;

private:
    std::string name_;
};

// Delivers a target at the first call; starting the plug-ins does nothing.
class InstantPlugins : public PluginFramework::PluginManager {
public:
    int ExecutePluginCmdTarget(const std::string&, int* modelClass, float*, float* pose, float* orientation, bool*,
                               bool*) override {
        pose[3] = 410.0f;
        pose[7] = 40.0f;
        pose[11] = 310.0f;
        orientation[0] = 180.0f;
        orientation[1] = 20.0f;
        orientation[2] = 180.0f;
        *modelClass = 4;
        return 1;
    }
    void StartPlugins() override { ++starts; }
    int starts = 0;
};

// A logic or motion command that returns a given result, or throws.
class ScriptedCommand : public Command {
public:
    enum class Fault { None, Int, Exception };
    explicit ScriptedCommand(CommandType kind = CMD_LOGIC, bool canCombine = true) {
        commandType = kind;
        combinable = canCombine;
        className = kind == CMD_LOGIC ? "ScriptedLogic" : "CommandJoint";
    }
    void ReadXML(tinyxml2::XMLElement*, bool) override {}
    int Interpolate(int, float, DataTypes::RobotState*) override {
        ++calls;
        if (plannerFault) Raise();
        return result == kNext ? nextSuccessor : result;
    }
    int InterpolateLogic(int, float, DataTypes::RobotState*) override {
        ++calls;
        Raise();
        return logicResult == kNext ? nextSuccessor : logicResult;
    }
    bool IsCombinable() const override { return commandType == CMD_LOGIC && combinable; }

    static constexpr int kNext = 1000000;  // result: the next successor
    int result = kNext;       // of Interpolate (logic commands; the planner for motions)
    int logicResult = -1;     // of InterpolateLogic (the abort condition of a motion)
    Fault fault = Fault::None;
    bool plannerFault = true;  // the fault also hits the planner's calls
    int code = 5;
    std::string text = "x";
    std::atomic<int> calls{0};  // the cycle and the planner both call

private:
    void Raise() const {
        if (fault == Fault::Int) throw code;
        if (fault == Fault::Exception) throw std::invalid_argument(text);
    }
};

// Programs built in a test: each a list of commands linked in order (the last one -2).
inline void Install(IPO& ipo, std::vector<std::vector<std::shared_ptr<Command>>> lists) {
    std::vector<RobotProgram> programs;
    for (std::size_t p = 0; p < lists.size(); ++p) {
        RobotProgram program("prog" + std::to_string(p) + ".xml");
        for (std::size_t i = 0; i < lists[p].size(); ++i) {
            lists[p][i]->predecessor = static_cast<int>(i) - 1;
            lists[p][i]->nextSuccessor = i + 1 < lists[p].size() ? static_cast<int>(i + 1) : -2;
            if (lists[p][i]->interpreter == nullptr) lists[p][i]->interpreter = &ipo;
            program.commands.push_back(lists[p][i]);
        }
        programs.push_back(std::move(program));
    }
    std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(ipo));
    IpoTestAccess::Programs(ipo) = std::move(programs);
}

template <typename T = ScriptedCommand, typename... Args>
std::shared_ptr<T> Cmd(Args&&... args) {
    return std::make_shared<T>(std::forward<Args>(args)...);
}

}  // namespace IpoTest
