// VAR messages: no keyword is served yet; every one reaches the end of the chain.

#include "core/LogSingleton.h"
#include "remote/ComServer.h"

void ComServer::HandleVar(Remote::HvpArgumentReader& /*args*/) {
    // End of the chain: no reply; logged for an active client only.
    if (passive.load()) return;
    LogSingleton::instance()->add("HVP-Server: ERROR Could not parse VAR command!");
}
