// CONFIG messages: no keyword is served yet; an unknown keyword gets no reply and changes
// nothing.

#include "remote/ComServer.h"

void ComServer::HandleConfig(Remote::HvpArgumentReader& /*args*/) {}
