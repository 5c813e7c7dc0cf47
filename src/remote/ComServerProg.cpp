// PROG messages (teach-in lines): one command appended per message (ComServerProgLines.cpp).

#include "remote/ComServer.h"
#include "remote/ComServerHandlers.h"

void ComServer::HandleProg(Remote::HvpArgumentReader& args) {
    Remote::HvpHandlerContext context{*this, controller, project, upload};
    Remote::HandleProgMessage(context, args);
}
