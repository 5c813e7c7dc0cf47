// SYSTEM (power off, reboot, temperatures) and CANBridge messages, and the CAN bridge.

#include "core/LogSingleton.h"
#include "core/Shutdown.h"
#include "remote/ClientLog.h"
#include "remote/ComServer.h"

#include <cstdio>
#include <string>

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

}  // namespace

void ComServer::HandleSystem(Remote::HvpArgumentReader& args) {
    int counter = 0;
    const bool counterValid = Remote::HvpArgumentReader::ParseInt(args.Token(0), counter);
    std::string_view keyword;
    args.ReadWord(keyword);
    const bool isPassive = passive.load();
    const std::string frame(args.Frame());

    if (keyword == "Shutdown" && !isPassive) {
        int code = -1;
        if (counterValid && args.ReadInt(code)) {
            if (code == 100) {
                Shutdown::ShutdownSystem(true);
            } else if (code == 101) {
                Shutdown::RestartSystem(true);
            } else {
                Remote::ClientLines::addFormat("HVP-Server: Unknown shutdown code %d", code);
            }
        } else {
            Remote::ClientLines::addError("HVP-Server: Incomplete or incorrect shutdown command");
        }
        return;
    }
    if ((keyword == "GetBoardTemp" || keyword == "GetMotorTemp") && counterValid) {
        if (keyword == "GetBoardTemp") {
            SendToClient(TemperaturePayload("INFO BoardTemp ", true));
        } else {
            const std::string payload = TemperaturePayload("INFO MotorTemp ", false);
            SendToClient(payload);
            Remote::ClientLines::add("HVP-Server: GetMotorTemp - not implemented!");
            Remote::ClientLines::addText("motor temperatures", payload);
        }
        return;
    }
    if (isPassive) return;
    Remote::ClientLines::addFormat("HVP-Server: ERROR Could not parse system command '%s'", frame.c_str());
}

std::string ComServer::TemperaturePayload(const char* head, bool board) {
    std::string payload = head;
    std::lock_guard<std::mutex> lock(stateMutex);
    const float* values = board ? stateCopy.boardTemps : stateCopy.motorTemps;
    for (int i = 0; i < 16; ++i) payload += std::to_string(values[i]) + " ";
    return payload;
}

void ComServer::HandleCanBridge(Remote::HvpArgumentReader& args) {
    int counter = 0;
    const bool counterValid = Remote::HvpArgumentReader::ParseInt(args.Token(0), counter);
    std::string_view keyword;
    args.ReadWord(keyword);
    const bool owner = OwnsCanBridge();
    // Passive clients are ignored, except the bridge's owner, which must be able to end it.
    if (passive.load() && !owner) return;
    if (counterValid && keyword == "SwitchOn") {
        CanBridgeSwitchOn();
    } else if (counterValid && keyword == "SwitchOff") {
        if (owner) CanBridgeSwitchOff();
    } else if (keyword == "Msg") {
        if (Log()->get_opMode() != OPMODE_CAN_BRIDGE) {
            Remote::ClientLines::add("Request to send CAN message: switch to CANBridge mode first!");
        } else if (owner) {
            CanBridgeMessage(args);
        }
    } else {
        Remote::ClientLines::addFormat("HVP-Server: ERROR Could not parse CANBridge command: '%s'",
                                       std::string(args.Frame()).c_str());
    }
}

void ComServer::CanBridgeSwitchOn() {
    const bool taken = bridge->TryTake(this, [this] {
        if (controller != nullptr) {
            // Nothing may drive the joints while the client owns the bus.
            controller->StopProgram();
            controller->StopLogicProgram();
            controller->StopDirectMove();
            controller->EnableMotors(false);
        }
        Remote::ClientLines::add("HVP-Server: Switch on CANBridge");
        Log()->set_opMode(OPMODE_CAN_BRIDGE);
    });
    if (!taken) {
        Remote::ClientLines::addFormat("HVP-Server: CANBridge not switched on (operation mode %d)",
                                       static_cast<int>(Log()->get_opMode()));
    }
}

void ComServer::CanBridgeSwitchOff() {
    bridge->Release(this, [] {
        Remote::ClientLines::add("HVP-Server: Switch off CANBridge");
        Log()->set_opMode(OPMODE_NORMAL);
    });
}

void ComServer::ReleaseCanBridgeAtEnd() { CanBridgeSwitchOff(); }

void ComServer::CanBridgeMessage(Remote::HvpArgumentReader& args) {
    int counter = 0, id = -1, length = -1;
    int values[8] = {};
    bool complete = Remote::HvpArgumentReader::ParseInt(args.Token(0), counter) && args.Expect("ID") &&
                    args.ReadInt(id) && args.Expect("Len") && args.ReadInt(length) && args.Expect("Data");
    for (int i = 0; i < 8 && complete; ++i) complete = args.ReadInt(values[i]);
    if (!complete || length < 0 || length > 8) {
        Remote::ClientLines::addFormat("HVP-Server: ERROR Could not parse CANBridge command: '%s'",
                                       std::string(args.Frame()).c_str());
        return;
    }
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(values[i] & 0xFF);
    if (controller == nullptr || !controller->WriteCanFrame(id, length, bytes)) {
        Remote::ClientLines::add("HVP-Server: CANBridge message dropped, no CAN interface");
    }
}

int ComServer::CANReceiveCallback(int id, int dlc, const unsigned char* data, long value, timespec time,
                                  bool wakeWriter) {
    if (LogSingleton::instance()->get_opMode() != OPMODE_CAN_BRIDGE) return 0;
    SendPayload(CanFramePayload(id, dlc, data, value, time), wakeWriter);
    return 1;
}

ComServer::Payload ComServer::CanFramePayload(int id, int dlc, const unsigned char* data, long value,
                                              timespec time) {
    char buffer[512];
    std::snprintf(buffer, sizeof(buffer),
                  "CANBridge Msg ID %d Len %d Data %d %d %d %d %d %d %d %d Time %ld SystemTime %ld", id, dlc,
                  data[0], data[1], data[2], data[3], data[4], data[5], data[6], data[7], value,
                  static_cast<long>(time.tv_nsec));
    return MakePayload(buffer);
}
