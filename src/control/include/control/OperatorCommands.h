#pragma once

// The operator command codes: the one contract between the command sources (remote
// clients, console, panel) and the robot. A source only picks a code and its arguments;
// the main loop executes at most one per pass here.

#include "control/RobotMaster.h"
#include "core/RobotState.h"
#include "program/IPO.h"

#include <functional>
#include <string>

struct OperatorCommand {
    int code = 0;  // 0 = none; valid codes 2..99
    int argument = 0;
    float value = 0.0f;
};

// What the codes do to the robot, one member per operation they call. The robot master
// implements it below; tests record the calls.
class OperatorRobot {
public:
    virtual ~OperatorRobot() = default;

    virtual void StartProgram() = 0;
    virtual void PauseProgram(IPO::StopReason reason) = 0;
    virtual void StopProgram(IPO::StopReason reason) = 0;
    virtual void DeleteProgram() = 0;
    virtual void SetReplayMode(IPO::ReplayMode mode) = 0;  // main interpreter
    virtual void Reset() = 0;
    virtual void EnableMotors(bool enable) = 0;
    virtual void ResetAllJointsToZero() = 0;
    virtual void ToggleMotionMode() = 0;
    virtual void ReferenceJointAlt(int joint) = 0;
    virtual std::string GetFunctionButtonRefAll() const = 0;
    virtual void AlignMotors() = 0;
    virtual void ReferenceAllJoints() = 0;
    virtual void SetMotionMode(MotionType mode) = 0;
    virtual bool IsValidIONum(int channel) const = 0;
    virtual void SetManualDOut(int channel, bool on) = 0;
    virtual void SetOverride(float percent) = 0;
    virtual float GetOverride() const = 0;
    virtual void StartStopEM67FSM() = 0;
    virtual void SetEM67ManualOperation() = 0;
    virtual void RestartModules() = 0;  // the hardware protocol's

    // Teach-in and program browser on the main interpreter.
    virtual void AddCommandLinear(int number, float x, float y, float z, float a, float b, float c,
                                  float e1, float e2, float e3, float velocity) = 0;
    virtual void AddCommandJoint(int number, int count, const float* joints, float velocity) = 0;
    virtual void AddCommandWait(int number, long milliseconds) = 0;
    virtual void AddCommandGripper(int number, const float* gripper) = 0;
    virtual void AddCommandDIO(int number, int channel, bool state) = 0;
    virtual void TouchUpLastCommand() = 0;
    virtual void ProgShowCntIncrease() = 0;
    virtual void ProgShowCntDecrease() = 0;
    virtual void SendCurrentProgShowName() = 0;
    virtual int LoadCurrentDirectoryOrProgram() = 0;
    virtual void WriteXMLFile(int program, const std::string& name) = 0;
};

class RobotMasterOperatorRobot : public OperatorRobot {
public:
    explicit RobotMasterOperatorRobot(RobotMaster& master) : rm(master) {}

    void StartProgram() override { rm.StartProgram(); }
    void PauseProgram(IPO::StopReason reason) override { rm.PauseProgram(reason); }
    void StopProgram(IPO::StopReason reason) override { rm.StopProgram(reason); }
    void DeleteProgram() override { rm.DeleteProgram(); }
    void SetReplayMode(IPO::ReplayMode mode) override;
    void Reset() override { rm.Reset(); }
    void EnableMotors(bool enable) override { rm.EnableMotors(enable); }
    void ResetAllJointsToZero() override { rm.ResetAllJointsToZero(); }
    void ToggleMotionMode() override { rm.ToggleMotionMode(); }
    void ReferenceJointAlt(int joint) override { rm.ReferenceJointAlt(joint); }
    std::string GetFunctionButtonRefAll() const override { return rm.GetFunctionButtonRefAll(); }
    void AlignMotors() override { rm.AlignMotors(); }
    void ReferenceAllJoints() override { rm.ReferenceAllJoints(); }
    void SetMotionMode(MotionType mode) override { rm.SetMotionMode(mode); }
    bool IsValidIONum(int channel) const override { return rm.IsValidIONum(channel); }
    void SetManualDOut(int channel, bool on) override { rm.SetManualDOut(channel, on); }
    void SetOverride(float percent) override { rm.SetOverride(percent); }
    float GetOverride() const override { return rm.GetOverride(); }
    void StartStopEM67FSM() override { rm.StartStopEM67FSM(); }
    void SetEM67ManualOperation() override { rm.SetEM67ManualOperation(); }
    void RestartModules() override;

    void AddCommandLinear(int number, float x, float y, float z, float a, float b, float c, float e1,
                          float e2, float e3, float velocity) override;
    void AddCommandJoint(int number, int count, const float* joints, float velocity) override;
    void AddCommandWait(int number, long milliseconds) override;
    void AddCommandGripper(int number, const float* gripper) override;
    void AddCommandDIO(int number, int channel, bool state) override;
    void TouchUpLastCommand() override;
    void ProgShowCntIncrease() override;
    void ProgShowCntDecrease() override;
    void SendCurrentProgShowName() override;
    int LoadCurrentDirectoryOrProgram() override;
    void WriteXMLFile(int program, const std::string& name) override;

private:
    RobotMaster& rm;
};

// The application's side of the codes. Empty hooks are skipped.
struct OperatorCommandHooks {
    std::function<void()> resetJogValues;       // every source's and the merged jog values
    std::function<void()> shutdownApplication;  // code 99/99: stop, reset, end the process
    std::function<void()> queueProjectWrite;    // debounced project write-back
    // Code 99/100: orderly power-off; the default goes through Shutdown::ShutdownSystem(true)
    // once the shut-down hooks are installed, and is refused before that.
    std::function<void()> shutdownSystem;
};

class OperatorCommands {
public:
    // Executes one code; codes without an entry do nothing. rs: the main loop's copy of
    // the robot state (teach-in reads it). Exceptions of the called operations pass on.
    static void Execute(OperatorRobot& robot, const OperatorCommandHooks& hooks,
                        const DataTypes::RobotState& rs, const OperatorCommand& command);
    // True for codes that zero every jog value before acting.
    static bool ResetsJog(int code);
};

// The main loop's call: the table on the robot master.
void ExecuteOperatorCommand(RobotMaster& rm, const OperatorCommandHooks& hooks,
                            const DataTypes::RobotState& rs, const OperatorCommand& command);
