#include "remote/CanBridgeOwner.h"

#include "core/LogSingleton.h"

namespace Remote {

bool CanBridgeOwner::ModeIsNormal() {
    return LogSingleton::instance()->get_opMode() == OPMODE_NORMAL;
}

bool CanBridgeOwner::ModeIsBridge() {
    return LogSingleton::instance()->get_opMode() == OPMODE_CAN_BRIDGE;
}

}  // namespace Remote
