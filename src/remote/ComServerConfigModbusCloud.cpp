// CONFIG keywords that switch and configure the Modbus server and the cloud link. The
// cloud values travel in double quotes; a quote inside a value is escaped with a
// backslash, and a doubled backslash stands for one.

#include "ComServerConfig.h"

#include "control/ProjectManager.h"
#include "core/LogSingleton.h"
#include "core/StringHelper.h"
#include "remote/ClientLog.h"

#include <exception>
#include <string>
#include <vector>

namespace Remote {
namespace {

constexpr int kMaxModbusConnections = 1023;

bool ModbusEnabled(const ConfigContext& context) {
    return context.project != nullptr && context.project->modbusEnabled.load();
}

void GetModbus(ConfigContext& context, HvpArgumentReader& /*args*/) {
    int port = 502;
    unsigned limit = 5;
    if (context.modbusSettings != nullptr) {
        port = context.modbusSettings->GetPort();
        limit = context.modbusSettings->GetMaxConnections();
    }
    context.server.SendToClient(std::string("CONFIG Modbus ") + (ModbusEnabled(context) ? "True" : "False") + " " +
                                std::to_string(port) + " " + std::to_string(limit));
}

void SetModbus(ConfigContext& context, HvpArgumentReader& args) {
    std::string word;
    int port = 502;
    int limit = 5;
    if (!context.counterValid || !args.ReadWord(word) || !args.ReadInt(port) || !args.ReadInt(limit) || port < 1 ||
        port > 65535 || limit < 1 || limit > kMaxModbusConnections) {
        ClientLines::add("HVP-Server: Error: Incomplete or invalid SetModbus message");
        return;
    }
    if (context.modbusServer == nullptr || context.modbusSettings == nullptr) {
        ClientLines::add("HVP-Server: Error: No Modbus server to configure");
        return;
    }
    const bool enabled = StringHelper::ToLower(word) == "true";
    ProjectLinks::ModbusSettings& settings = *context.modbusSettings;
    if (enabled == ModbusEnabled(context) && port == settings.GetPort() &&
        static_cast<unsigned>(limit) == settings.GetMaxConnections()) {
        return;
    }
    ClientLines::addFormat("HVP-Server: Changing Modbus server configuration: enabled=%s, port=%d, max connections=%d",
                           enabled ? "true" : "false", port, limit);
    settings.SetPort(port);
    settings.SetMaxConnections(static_cast<unsigned>(limit));
    if (enabled) {
        context.modbusServer->Restart();
    } else {
        context.modbusServer->Stop();
    }
    if (context.project != nullptr) context.project->modbusEnabled.store(enabled);
    QueueProject(context);
}

// The quoted values of a frame: the pieces between quote pairs, when the text around them
// is blank (the frame head before the first, "HVPEND" after the last). Empty when the
// quotes do not pair up that way.
bool QuotedValues(std::string_view frame, std::string& head, std::vector<std::string>& values) {
    const std::vector<std::string> parts = ComServer::SplitIgnoreEscaped(std::string(frame), '"');
    values.clear();
    head = parts.empty() ? std::string() : parts[0];
    if (parts.size() < 3) return parts.size() == 1;
    for (std::size_t i = 2; i + 1 < parts.size(); i += 2) {
        if (parts[i].find_first_not_of(" \t") != std::string::npos) return false;
    }
    // An odd count leaves a last value without its closing quote.
    if (parts.size() % 2 == 0) return false;
    const std::string& tail = parts.back();
    const std::size_t end = tail.find_first_not_of(" \t");
    if (end == std::string::npos || tail.compare(end, std::string::npos, "HVPEND") != 0) return false;
    for (std::size_t i = 1; i < parts.size(); i += 2) values.push_back(parts[i]);
    return true;
}

// A request whose values are quoted: the values, and a reader over the words between the
// keyword and the first quote, at the request's position.
struct QuotedRequest {
    explicit QuotedRequest(const HvpArgumentReader& args)
        : paired(QuotedValues(args.Frame(), head, values)), headFrame(head + " HVPEND"), words(headFrame) {
        words.SetPosition(args.Position());
    }
    QuotedRequest(const QuotedRequest&) = delete;
    QuotedRequest& operator=(const QuotedRequest&) = delete;

    std::string head;
    std::vector<std::string> values;
    const bool paired;
    const std::string headFrame;  // the reader keeps a view of it
    HvpArgumentReader words;
};

void SetCloudConnection(ConfigContext& context, HvpArgumentReader& args) {
    if (context.cloud == nullptr) return;
    QuotedRequest request(args);
    const std::vector<std::string>& values = request.values;
    // The enabled word is the one word between the keyword and the first quote.
    std::string word;
    const bool hasWord = request.words.ReadWord(word) && request.words.AtEnd();
    if (!context.counterValid || !request.paired || !hasWord || (!values.empty() && values.size() < 3)) {
        ClientLines::add("HVP-Server: Could not parse CONFIG SetCloudConnection: Incomplete parameters");
        return;
    }
    const bool enabled = StringHelper::ToLower(word) == "true";
    try {
        ProjectLinks::CloudSettings& cloud = *context.cloud;
        if (values.empty()) {
            ClientLines::addFormat("HVP-Server: Received SetCloudConnection: enabled=%s", enabled ? "true" : "false");
            cloud.SetEnabled(enabled);
        } else {
            const std::string& id = values[0];
            const std::string& user = values[1];
            const std::string& password = values[2];
            ClientLines::addFormat("HVP-Server: Received SetCloudConnection: enabled=%s, client ID='%s', user name='%s', "
                                   "has password=%s",
                                   enabled ? "true" : "false", id.c_str(), user.c_str(), password.empty() ? "no" : "yes");
            cloud.SetEnabled(false);
            cloud.SetClientId(id);
            if (!user.empty() && !password.empty()) {
                cloud.SetCredentials(user, password);
                // Refused credentials are cleared by the client: the link then stays down.
                if (cloud.AreCredentialsSet()) cloud.SetEnabled(enabled);
            } else {
                cloud.ClearCredentials();
            }
            QueueProject(context);
        }
    } catch (const std::exception& e) {
        ClientLines::addFormat("HVP-Server: Could not parse CONFIG SetCloudConnection: %s", e.what());
    }
    if (context.cloudChanged) context.cloudChanged();
}

void SetCloudInfo(ConfigContext& context, HvpArgumentReader& args) {
    if (context.cloud == nullptr) return;
    QuotedRequest request(args);
    const std::vector<std::string>& values = request.values;
    if (!context.counterValid || !request.paired || values.size() < 2 || !request.words.AtEnd()) {
        ClientLines::add("HVP-Server: Could not parse CONFIG SetCloudInfo: Incomplete parameters");
        return;
    }
    const std::string& name = values[0];
    const std::string& owner = values[1];
    const bool withCameras = values.size() >= 4;
    const std::string environment = withCameras ? values[2] : std::string();
    const std::string workarea = withCameras ? values[3] : std::string();
    try {
        ProjectLinks::CloudSettings& cloud = *context.cloud;
        cloud.SetRobotName(name);
        cloud.SetRobotOwner(owner);
        cloud.SetCameraEnvironment(environment);
        cloud.SetCameraWorkarea(workarea);
        ClientLines::addFormat("HVP-Server: Received SetCloudInfo: robot name='%s', robot owner='%s', camera "
                               "environment='%s', camera workarea='%s'",
                               name.c_str(), owner.c_str(), environment.c_str(), workarea.c_str());
        QueueProject(context);
    } catch (const std::exception& e) {
        ClientLines::addFormat("HVP-Server: Could not parse CONFIG SetCloudInfo: %s", e.what());
    }
    if (context.cloudChanged) context.cloudChanged();
}

void GetCloud(ConfigContext& context, HvpArgumentReader& /*args*/) { context.server.PublishCloudInfo(); }

}  // namespace

const std::vector<ConfigRow>& ConfigModbusCloudRows() {
    static const std::vector<ConfigRow> rows = {
        {"SetModbus", true, &SetModbus},
        {"GetModbus", false, &GetModbus},
        {"SetCloudConnection", true, &SetCloudConnection},
        {"SetCloudInfo", true, &SetCloudInfo},
        {"GetCloud", false, &GetCloud},
    };
    return rows;
}

}  // namespace Remote
