#include "control/OperatorCommands.h"

#include "control/ShutdownInit.h"
#include "core/LogSingleton.h"
#include "core/Shutdown.h"
#include "hardware/HardwareProtocol.h"

#include <algorithm>
#include <cmath>

// ---------------------------------------------------------------- robot master side

void RobotMasterOperatorRobot::SetReplayMode(IPO::ReplayMode mode) {
    rm.GetMainInterpreter().SetReplayMode(mode);
}

void RobotMasterOperatorRobot::RestartModules() {
    if (Hardware::HardwareProtocol* hw = rm.GetHardware()) hw->RestartModules();
}

void RobotMasterOperatorRobot::AddCommandLinear(int number, float x, float y, float z, float a, float b,
                                                float c, float e1, float e2, float e3, float velocity) {
    rm.GetMainInterpreter().AddCommandLinear(number, x, y, z, a, b, c, e1, e2, e3, velocity);
}

void RobotMasterOperatorRobot::AddCommandJoint(int number, int count, const float* joints, float velocity) {
    rm.GetMainInterpreter().AddCommandJoint(number, count, joints, velocity);
}

void RobotMasterOperatorRobot::AddCommandWait(int number, long milliseconds) {
    rm.GetMainInterpreter().AddCommandWait(number, milliseconds);
}

void RobotMasterOperatorRobot::AddCommandGripper(int number, const float* gripper) {
    rm.GetMainInterpreter().AddCommandGripper(number, gripper);
}

void RobotMasterOperatorRobot::AddCommandDIO(int number, int channel, bool state) {
    rm.GetMainInterpreter().AddCommandDIO(number, channel, state);
}

void RobotMasterOperatorRobot::TouchUpLastCommand() { rm.GetMainInterpreter().TouchUpLastCommand(); }

void RobotMasterOperatorRobot::ProgShowCntIncrease() { rm.GetMainInterpreter().ProgShowCntIncrease(); }

void RobotMasterOperatorRobot::ProgShowCntDecrease() { rm.GetMainInterpreter().ProgShowCntDecrease(); }

void RobotMasterOperatorRobot::SendCurrentProgShowName() {
    rm.GetMainInterpreter().SendCurrentProgShowName();
}

int RobotMasterOperatorRobot::LoadCurrentDirectoryOrProgram() {
    return rm.GetMainInterpreter().LoadCurrentDirectoryOrProgram();
}

void RobotMasterOperatorRobot::WriteXMLFile(int program, const std::string& name) {
    rm.GetMainInterpreter().WriteXMLFile(program, name.c_str());
}

// ---------------------------------------------------------------- the table

namespace {

void Call(const std::function<void()>& hook) {
    if (hook) hook();
}

void ShutdownSystemDefault() {
    // Before a successful start-up the hooks that stop, reset and save are missing; a
    // power-off then would skip them, so it is refused.
    if (!ShutdownInit::IsInitialised()) {
        LogSingleton::instance()->addError("System shutdown refused: shut-down not initialised");
        return;
    }
    Shutdown::ShutdownSystem(true);
}

}  // namespace

bool OperatorCommands::ResetsJog(int code) {
    switch (code) {
        case 2: case 3: case 4: case 5: case 7: case 8: case 9: case 10: case 11: case 12:
        case 13: case 14: case 15: case 16: case 17: case 21: case 22: case 23: case 24:
        case 50: case 51: case 52: case 53: case 54: case 55: case 56: case 57: case 61:
        case 62: case 70: case 71: case 80: case 81: case 82: case 83: case 84: case 99:
            return true;
        default:
            return false;
    }
}

void OperatorCommands::Execute(OperatorRobot& robot, const OperatorCommandHooks& hooks,
                               const DataTypes::RobotState& rs, const OperatorCommand& command) {
    const int code = command.code;
    if (ResetsJog(code)) Call(hooks.resetJogValues);
    LogSingleton* log = LogSingleton::instance();

    switch (code) {
        case 2: robot.StartProgram(); break;
        case 3: robot.PauseProgram(IPO::STOP_USER); break;
        case 4: robot.StopProgram(IPO::STOP_USER); break;
        case 5:
            robot.DeleteProgram();
            Call(hooks.queueProjectWrite);
            break;
        case 7:
        case 8:
        case 9: {
            static const IPO::ReplayMode modes[] = {IPO::REPLAY_SINGLE, IPO::REPLAY_REPEAT, IPO::REPLAY_STEP};
            robot.SetReplayMode(modes[code - 7]);
            Call(hooks.queueProjectWrite);
            break;
        }
        case 10: robot.Reset(); break;
        case 11:
            robot.Reset();
            robot.EnableMotors(true);
            break;
        case 12: robot.EnableMotors(false); break;
        case 13:
            robot.ResetAllJointsToZero();
            robot.Reset();
            break;
        case 14: robot.ToggleMotionMode(); break;
        case 15: robot.ReferenceJointAlt(command.argument); break;
        case 16: {
            const std::string action = robot.GetFunctionButtonRefAll();
            if (action == "settozero") {
                robot.ResetAllJointsToZero();
            } else if (action == "alignmotors") {
                robot.AlignMotors();
            } else {
                robot.ReferenceAllJoints();
            }
            break;
        }
        case 17: robot.AlignMotors(); break;
        case 21: robot.SetMotionMode(MOTION_ROBOT_JOINT); break;
        case 22: robot.SetMotionMode(MOTION_ROBOT_CART_BASE); break;
        case 23: robot.SetMotionMode(MOTION_ROBOT_CART_TOOL); break;
        case 24: robot.SetMotionMode(MOTION_PLATFORM); break;
        case 31:
        case 32:
            if (!robot.IsValidIONum(command.argument)) {
                log->addFormat("Operator command %d: digital output %d out of range, ignored", code,
                               command.argument);
                break;
            }
            robot.SetManualDOut(command.argument, code == 31);
            break;
        case 33: {
            // A value that is not a number would otherwise slip through the clamp.
            const float value = std::isnan(command.value) ? 0.0f : command.value;
            robot.SetOverride(std::max(0.0f, std::min(100.0f, value)));
            Call(hooks.queueProjectWrite);
            break;
        }
        case 50:
            robot.AddCommandLinear(4, rs.pose(0, 3), rs.pose(1, 3), rs.pose(2, 3), rs.A, rs.B, rs.C,
                                   rs.jointSet[6], rs.jointSet[7], rs.jointSet[8], rs.override);
            break;
        case 52: robot.AddCommandJoint(5, 6, rs.jointSet, robot.GetOverride() * 0.5f); break;
        case 54: robot.AddCommandWait(7, 1000); break;
        case 55: robot.AddCommandGripper(8, rs.gripper); break;
        case 56: robot.AddCommandDIO(9, 0, rs.DOut[0]); break;
        case 57: robot.TouchUpLastCommand(); break;
        case 61:
        case 62:
            robot.SetReplayMode(code == 61 ? IPO::REPLAY_SINGLE : IPO::REPLAY_REPEAT);
            robot.StartProgram();
            break;
        case 70: robot.StartStopEM67FSM(); break;
        case 71: robot.SetEM67ManualOperation(); break;
        case 80:
            robot.ProgShowCntIncrease();
            robot.SendCurrentProgShowName();
            break;
        case 81:
            robot.ProgShowCntDecrease();
            robot.SendCurrentProgShowName();
            break;
        case 82:
            if (robot.LoadCurrentDirectoryOrProgram() == 0) {
                robot.StopProgram(IPO::STOP_USER);
                Call(hooks.queueProjectWrite);
            }
            break;
        case 83: robot.WriteXMLFile(0, IPO::kStoredProgramFile); break;
        case 84: robot.SendCurrentProgShowName(); break;
        case 99:
            switch (command.argument) {
                case 99:
                    log->add("Shutdown requested");
                    Call(hooks.shutdownApplication);
                    break;
                case 100:
                    log->add("System shutdown requested");
                    if (hooks.shutdownSystem) {
                        hooks.shutdownSystem();
                    } else {
                        ShutdownSystemDefault();
                    }
                    break;
                case 101:
                    log->add("Module restart requested");
                    robot.Reset();
                    robot.RestartModules();
                    break;
                default:
                    break;
            }
            break;
        default:
            break;  // 51, 53 only reset the jog values; unknown codes do nothing
    }
}

void ExecuteOperatorCommand(RobotMaster& rm, const OperatorCommandHooks& hooks,
                            const DataTypes::RobotState& rs, const OperatorCommand& command) {
    RobotMasterOperatorRobot robot(rm);
    OperatorCommands::Execute(robot, hooks, rs, command);
}
