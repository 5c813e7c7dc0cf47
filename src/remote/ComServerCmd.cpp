// The CMD keyword chain: one table row per keyword. Rows are tried in order; a keyword
// marked active-only is unknown to a passive client.

#include "core/LogSingleton.h"
#include "remote/ClientLog.h"
#include "remote/ComServer.h"
#include "remote/ComServerHandlers.h"

#include <algorithm>
#include <cctype>
#include <string>

const std::vector<ComServer::CmdKeyword>& ComServer::CmdKeywords() {
    static const std::vector<CmdKeyword> keywords = {
        {"GetVersion", false, &ComServer::CmdGetVersion},
        {"GetActive", false, &ComServer::CmdGetActive},
        {"SetActive", false, &ComServer::CmdSetActive},
    };
    return keywords;
}

void ComServer::HandleCmd(Remote::HvpArgumentReader& args) {
    int counter = 0;
    const bool counterValid = Remote::HvpArgumentReader::ParseInt(args.Token(0), counter);
    if (!counterValid) counter = 0;
    std::string_view keyword;
    const bool hasKeyword = args.ReadWord(keyword);
    const bool isPassive = passive.load();
    if (hasKeyword) {
        for (const CmdKeyword& row : CmdKeywords()) {
            if (keyword != row.keyword || (row.activeOnly && isPassive)) continue;
            CmdRequest request{args, counter, counterValid, keyword};
            (this->*row.handler)(request);
            return;
        }
        CmdRequest request{args, counter, counterValid, keyword};
        Remote::HvpHandlerContext context{*this, controller, project, upload};
        if (Remote::HandleCmdKeyword(context, request)) return;
    }
    // End of the chain: silent for a passive client.
    if (isPassive) return;
    const std::string text(keyword);
    Remote::ClientLines::addFormat("HVP-Server: ERROR Could not parse robot command '%s'!", text.c_str());
    SendCmdError(counter, "could not parse command");
}

void ComServer::CmdMalformed(CmdRequest& request) {
    const std::string text(request.keyword);
    Remote::ClientLines::addFormat("HVP-Server: ERROR Could not parse robot command '%s'!", text.c_str());
    SendCmdError(request.counterValid ? request.counter : 0, "could not parse command");
}

void ComServer::CmdGetVersion(CmdRequest& request) {
    if (!request.counterValid) return CmdMalformed(request);
    // The reply first: a front end polls this to time its link, and writing the log line
    // may wait for the log's lock and its files.
    SendToClient("INFO Version Belvanto 16");
    Remote::ClientLines::add("HVP-Server: Protocol version requested from client (Belvanto 16)");
}

void ComServer::CmdGetActive(CmdRequest& request) {
    if (!request.counterValid) return CmdMalformed(request);
    PublishActiveState();
}

void ComServer::CmdSetActive(CmdRequest& request) {
    if (!request.counterValid) return CmdMalformed(request);
    std::string state;
    // Without a state nothing changes; the client learns its current one.
    if (request.args.ReadWord(state)) {
        std::transform(state.begin(), state.end(), state.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        RequestActivate(state == "true");
    }
    PublishActiveState();
}
