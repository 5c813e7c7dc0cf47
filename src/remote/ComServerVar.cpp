// VAR messages: read and write program variables (ComServerVarMessages.cpp).

#include "core/LogSingleton.h"
#include "remote/ComServer.h"
#include "remote/ComServerHandlers.h"

void ComServer::HandleVar(Remote::HvpArgumentReader& args) {
    Remote::HvpHandlerContext context{*this, controller, project, upload};
    Remote::HandleVarMessage(context, args);
}
