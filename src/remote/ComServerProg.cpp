// PROG messages (teach-in lines): no keyword is served yet; each one is an unknown command.

#include "remote/ComServer.h"

void ComServer::HandleProg(Remote::HvpArgumentReader& /*args*/) {
    SendToClient("PROGERROR 0 0 unknown_command");
}
