// Telegrams the server pushes to a client: the cyclic status with its companions, the
// configuration lines, server messages, interpreter events, variables, cloud state.

#include "control/RobotMaster.h"
#include "core/LogSingleton.h"
#include "core/StringHelper.h"
#include "kinematics/RobotKinematic.h"
#include "program/IPO.h"
#include "program/ProgramMemory.h"
#include "remote/ComServer.h"

#include <cstdio>
#include <stdexcept>

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

const char* ModeText(int mode) {
    switch (mode) {
        case 1: return "cartbase";
        case 2: return "carttool";
        case 3: return "platform";
        case 4: return "fsm";
        default: return "joint";
    }
}

// Bits 0..62 of 64 flags; the last one is not reported.
unsigned long long IoMask(const bool* flags) {
    unsigned long long mask = 0;
    for (int i = 0; i < 63; ++i) {
        if (flags[i]) mask |= 1ULL << i;
    }
    return mask;
}

const char* BoolText(bool value) { return value ? "True" : "False"; }

}  // namespace

void ComServer::SetCurrentPos(const DataTypes::RobotState& state) {
    std::lock_guard<std::mutex> lock(stateMutex);
    stateCopy = state;
}

std::string ComServer::StatusPayload(const DataTypes::RobotState& s) const {
    int mode = 0;
    int opMode = -1;
    if (robot != nullptr) {
        mode = static_cast<int>(robot->GetMotionMode());
        if (robot->IsOperationModesEnabled()) {
            const int m = robot->GetOperationMode();
            opMode = (m >= 0 && m <= 2) ? m : -1;
        }
    }
    const float* j = s.jointSet;
    const float* a = s.jointAct;
    const int* c = s.currents;
    const int* e = s.errorCodes;
    char buffer[2048];
    std::snprintf(
        buffer, sizeof(buffer),
        "STATUS MODE %s POSJOINTSETPOINT %4.2f %4.2f %4.2f %4.2f %4.2f %4.2f %4.2f %4.2f %4.2f 0.0 0.0 0.0 "
        "0.0 0.0 0.0 0.0 POSJOINTCURRENT %4.2f %4.2f %4.2f %4.2f %4.2f %4.2f %4.2f %4.2f %4.2f 0.0 0.0 0.0 "
        "0.0 0.0 0.0 0.0 POSCARTROBOT %1.1f %1.1f %1.1f %1.2f %1.2f %1.2f POSCARTPLATTFORM 0.0 0.0 0.0 "
        "OVERRIDE %1.1f DIN %llu DOUT %llu ESTOP %d SUPPLY %d CURRENTALL %d CURRENTJOINTS %d %d %d %d %d %d "
        "%d %d %d 0 0 0 0 0 0 0 ERROR %s %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d KINSTATE %d "
        "OPMODE %d",
        ModeText(mode), j[0], j[1], j[2], j[3], j[4], j[5], j[6], j[7], j[8], a[0], a[1], a[2], a[3], a[4],
        a[5], a[6], a[7], a[8], s.pose(0, 3), s.pose(1, 3), s.pose(2, 3), s.A, s.B, s.C, s.override,
        IoMask(s.DIn), IoMask(s.DOut), s.eStop, s.supply, s.currentAll, c[0], c[1], c[2], c[3], c[4], c[5],
        c[6], c[7], c[8], s.errorText.c_str(), e[0], e[1], e[2], e[3], e[4], e[5], e[6], e[7], e[8], e[9],
        e[10], e[11], e[12], e[13], e[14], e[15], s.kinState, opMode);
    return buffer;
}

void ComServer::PublishData() {
    if (!connected.load()) return;
    try {
        if (!configurationSent) {
            configurationSent = true;
            PublishConfiguration();
        }
        SendPayload(MakePayload(StatusPayload(stateCopy)));
        switch (statusSubCycle) {
            case 4: PublishRunState(); break;
            case 8: PublishGripperState(); break;
            case 12: PublishGlobalSignals(); break;
            case 16: PublishCameraLines(); break;
            default: break;
        }
        if (infoSubCycle == 0) PublishOperationInfo();
        statusSubCycle = statusSubCycle > 19 ? 0 : statusSubCycle + 1;
        infoSubCycle = infoSubCycle > 99 ? 0 : infoSubCycle + 1;
    } catch (...) {
        Log()->addError("ERROR: HVP-Server Write error");
        jogWatchdog.store(-1);
        connected.store(false);
        Wake();
    }
}

void ComServer::PublishRunState() {
    std::string name = "None";
    int count = 0;
    int point = -1;
    int running = 0;
    int replay = 0;
    if (mainIpo != nullptr) {
        mainIpo->GetProgramInformation(&name, &count, &point);
        running = point < 0 ? 0 : (mainIpo->IsReplayRunning() ? 2 : 1);
        replay = static_cast<int>(mainIpo->GetReplayMode());
    }
    char buffer[1200];
    std::snprintf(buffer, sizeof(buffer), "RUNSTATE %s %i %i %i %i", name.c_str(), count, point, running, replay);
    SendPayload(MakePayload(buffer));
}

void ComServer::PublishGripperState() {
    float percent = 0.0f;
    if (robot != nullptr && robot->GetKinematic() != nullptr) percent = robot->GetKinematic()->tool.GetJoint();
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "GRIPPERSTATE %.1f", percent);
    SendPayload(MakePayload(buffer));
}

void ComServer::PublishGlobalSignals() {
    unsigned long long low = 0, high = 0;
    if (robot != nullptr) {
        const DataTypes::RobotState state = robot->GetRobotState();
        for (int i = 0; i < 64; ++i) {
            if (state.GSig[i]) low |= 1ULL << i;
        }
        for (int i = 64; i < DataTypes::RobotState::maxSignals; ++i) {
            if (state.GSig[i]) high |= 1ULL << (i - 64);
        }
    }
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "GSIG %llu %llu", low, high);
    SendPayload(MakePayload(buffer));
}

void ComServer::PublishCameraLines() {
    for (const Camera::CameraManager::HVPLine& line : Camera::CameraManager::Instance().TakeNewHVPLines(cameraCursor)) {
        if (line && !line->empty() && (*line)[0] != '\0') SendPayload(line);
    }
}

void ComServer::PublishOperationInfo() {
    const long durationMs =
        mainIpo != nullptr ? static_cast<long>(mainIpo->GetLastProgramDuration().count() / 1000000) : 0L;
    char buffer[128];
    std::snprintf(buffer, sizeof(buffer), "OPINFO %i %i %i %i %i %li", Log()->GetSystemVar(SV_ProgramStarts),
                  Log()->GetSystemVar(SV_UpTimeComplete), Log()->GetSystemVar(SV_UpTimeEnabled),
                  Log()->GetSystemVar(SV_UpTimeMotion), Log()->GetSystemVar(SV_UpTimeLast), durationMs);
    SendPayload(MakePayload(buffer));
}

void ComServer::PublishConfiguration() {
    LogSingleton* log = Log();
    SendToClient("MESSAGE Belvanto Version " + log->get_softwareVersion());
    SendToClient("MESSAGE Configuration: \"" + log->get_robotName() + "\" Type: \"" +
                 StringHelper::SplitGetLast(log->get_robotType(), "/") + "\" Gripper: \"" +
                 log->get_robotGripper() + "\"");
    const int velocitySetting = robot != nullptr ? robot->GetVelocitySetting() : 0;
    SendToClient("MESSAGE VelocitySetting: \"" + std::to_string(velocitySetting) + "\"");
    if (log->get_opMode() == OPMODE_SERIOUS_FAILURE) {
        SendToClient("MESSAGE Serious Failure " + log->get_seriousFailReason());
    }
    PublishActiveState();
}

void ComServer::OnServerMessage(const std::string& text) {
    std::lock_guard<std::mutex> lock(serverMessageMutex);
    serverMessages.push_back(text);
    while (serverMessages.size() > kMaxServerMessages) serverMessages.pop_front();
}

void ComServer::SendServerMessage() {
    // Held back until the configuration lines went out, so they come first.
    if (!connected.load() || !configurationSent) return;
    std::deque<std::string> messages;
    {
        std::lock_guard<std::mutex> lock(serverMessageMutex);
        messages.swap(serverMessages);
    }
    for (const std::string& text : messages) SendToClient("MESSAGE " + text);
}

void ComServer::PublishLogMessage() {
    if (!logForwarding.load() || !connected.load()) return;
    std::string line;
    if (Log()->GetLogMessage(&line) > 0) {
        char buffer[1024];
        std::snprintf(buffer, sizeof(buffer), "LOGMSG %s", line.c_str());
        SendToClient(buffer);
    }
}

ComServer::Payload ComServer::CloudInfoPayload(const ProjectLinks::CloudSettings& c) {
    return MakePayload(std::string("CONFIG Cloud ") + BoolText(c.IsEnabled()) + " " +
                       BoolText(c.AreCredentialsSet()) + " " + BoolText(c.IsConnected()) + " \"" +
                       c.GetClientId() + "\" \"" + c.GetRobotName() + "\" \"" + c.GetRobotOwner() + "\" \"" +
                       c.GetCameraEnvironment() + "\" \"" + c.GetCameraWorkarea() + "\"");
}

void ComServer::PublishCloudInfo() {
    if (!connected.load() || cloud == nullptr) return;
    SendPayload(CloudInfoPayload(*cloud));
}

ComServer::Payload ComServer::IpoResultPayload(HVPEventType event, int point, int program,
                                               const std::string& text) {
    char buffer[512];
    switch (event) {
        case HVP_EVENT_ACK:
            std::snprintf(buffer, sizeof(buffer), "EXECACK %d %d", point, program);
            break;
        case HVP_EVENT_PAUSE:
            std::snprintf(buffer, sizeof(buffer), "EXECPAUSE %d %d", point, program);
            break;
        case HVP_EVENT_END:
            std::snprintf(buffer, sizeof(buffer), "EXECEND %d %d %s", point, program, text.c_str());
            break;
        case HVP_EVENT_ERROR:
            std::snprintf(buffer, sizeof(buffer), "EXECERROR %d %d %s", point, program, text.c_str());
            break;
        default:
            return nullptr;
    }
    return MakePayload(buffer);
}

void ComServer::ProcessIPOResults(HVPEventType event, int point, int program, const std::string& text) {
    if (!connected.load()) return;
    SendPayload(IpoResultPayload(event, point, program, text));
}

ComServer::Payload ComServer::VariablePayload(const Programs::MemoryPosition& v) {
    // "%g" writes numbers as a default-formatted stream does (6 significant digits).
    char buffer[512];
    if (v.type == Programs::MemoryPosition::TypePosition) {
        const DataTypes::RobotState& s = v.state;
        const float* j = s.jointSet;
        std::snprintf(buffer, sizeof(buffer),
                      "VARINFO ValuePosVariable %s %g %g %g %g %g %g %g %g %g %g %g %g %g %g %g", v.name.c_str(),
                      s.pose(0, 3), s.pose(1, 3), s.pose(2, 3), s.A, s.B, s.C, j[0], j[1], j[2], j[3], j[4], j[5],
                      j[6], j[7], j[8]);
    } else if (v.type == Programs::MemoryPosition::TypeNumber) {
        std::snprintf(buffer, sizeof(buffer), "VARINFO ValueNrVariable %s %g", v.name.c_str(), v.value);
    } else {
        return nullptr;
    }
    return MakePayload(buffer);
}

void ComServer::SendVariable(const Programs::MemoryPosition& variable) {
    if (!connected.load()) return;
    SendPayload(VariablePayload(variable));
}
