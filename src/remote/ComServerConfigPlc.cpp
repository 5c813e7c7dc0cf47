// CONFIG keywords of the PLC interface (which I/O channels carry the hand-shake, and
// whether it is active) and of the PLC triggers.

#include "ComServerConfig.h"

#include "control/PLCInterfaceTrigger.h"
#include "core/LogSingleton.h"
#include "core/PathCheck.h"
#include "core/StringHelper.h"
#include "remote/ClientLog.h"

#include <functional>
#include <string>

namespace Remote {
namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

constexpr int kNumbers = 16;

// The sixteen numbers in wire order.
void WireOrder(PLCInterfaceNumbers& p, int* (&fields)[kNumbers]) {
    int* order[kNumbers] = {&p.EnableNumber,       &p.RequestReferenceNumber, &p.PlayNumber,
                            &p.NoFaultNumber,      &p.ProgramRunningNumber,   &p.RobotIsReferenced,
                            &p.PauseNumber,        &p.AltStartNumber,         &p.AltStopNumber,
                            &p.StartMissionNumber, &p.ShutdownNumber,         &p.AddJointNumber,
                            &p.AddLinearNumber,    &p.FaultNumber,            &p.ProgramNotRunningNumber,
                            &p.MissionRunningNumber};
    for (int i = 0; i < kNumbers; ++i) fields[i] = order[i];
}

// Changes the settings in one step, through the controller, which hands them to its loop:
// a change from another client cannot come between the read and the store.
void Change(const ConfigContext& context, const std::function<void(PLCInterfaceNumbers&)>& edit) {
    if (context.controller != nullptr) {
        context.controller->ChangePLCInterfaceSettings(edit);
    } else {
        Log()->change_plcInterfaceNr(edit);
    }
}

void GetPLCInterface(ConfigContext& context, HvpArgumentReader& /*args*/) {
    PLCInterfaceNumbers settings = Log()->get_plcInterfaceNr();
    int* fields[kNumbers];
    WireOrder(settings, fields);
    std::string payload = "CONFIG PLCInterface";
    for (int* field : fields) payload += " " + std::to_string(*field);
    context.server.SendToClient(payload);
}

void SetPLCInterface(ConfigContext& context, HvpArgumentReader& args) {
    int values[kNumbers];
    for (int& v : values) v = -1;
    int count = 0;
    if (!context.counterValid || !args.ReadIntsUpTo(values, kNumbers, count)) return ConfigMalformed(context);
    ClientLines::add("HVP-Server: Setting PLC interface numbers");
    Change(context, [&values](PLCInterfaceNumbers& settings) {
        int* fields[kNumbers];
        WireOrder(settings, fields);
        for (int i = 0; i < kNumbers; ++i) {
            // Only channels 0..63 exist; anything else means "not used".
            *fields[i] = values[i] >= -1 && values[i] < DataTypes::RobotState::maxIOs ? values[i] : -1;
        }
    });
    QueueProject(context);
}

const char* TrueFalse(bool on) { return on ? "True" : "False"; }

void GetPLCInterfaceEnabled(ConfigContext& context, HvpArgumentReader& /*args*/) {
    const PLCInterfaceNumbers p = Log()->get_plcInterfaceNr();
    context.server.SendToClient(std::string("CONFIG PLCInterfaceEnabled ") + TrueFalse(p.Active) + " " +
                                TrueFalse(p.AutoConnect));
}

void SetPLCInterfaceEnabled(ConfigContext& context, HvpArgumentReader& args) {
    if (!context.counterValid) return ConfigMalformed(context);
    std::string_view activeWord, autoWord;
    const bool active = args.ReadWord(activeWord) && activeWord == "True";
    const bool autoConnect = args.ReadWord(autoWord) && autoWord == "True";
    ClientLines::add(active ? "HVP-Server: Setting PLC interface enabled" : "HVP-Server: Setting PLC interface disabled");
    ClientLines::add(autoConnect ? "HVP-Server: Setting PLC interface auto connect"
                                 : "HVP-Server: Setting PLC interface no auto connect");
    Change(context, [active, autoConnect](PLCInterfaceNumbers& settings) {
        settings.Active = active;
        settings.AutoConnect = autoConnect;
    });
    QueueProject(context);
}

void GetPLCTriggers(ConfigContext& context, HvpArgumentReader& /*args*/) {
    using Trigger = PLCTrigger::PLCInterfaceTrigger;
    std::vector<Trigger> triggers;
    if (context.controller != nullptr) triggers = context.controller->GetPLCTriggers();
    if (triggers.empty()) {
        context.server.SendToClient("CONFIG PLCTrigger 0 0");
        return;
    }
    const std::string count = std::to_string(triggers.size());
    for (std::size_t i = 0; i < triggers.size(); ++i) {
        const Trigger& t = triggers[i];
        std::string file = t.GetTargetFileRelative();
        if (file.empty()) file = "none";
        // A blank would split the line's last field: such a trigger is left out.
        if (file.find(' ') != std::string::npos) continue;
        context.server.SendToClient("CONFIG PLCTrigger " + std::to_string(i) + " " + count + " " +
                                    TrueFalse(t.IsActive()) + " " +
                                    (t.GetSignalType() == Trigger::GSig ? "GSig" : "DIn") + " " +
                                    std::to_string(t.GetChannel()) + " " +
                                    (t.GetTargetType() == Trigger::Mission ? "Mission" : "Program") + " " + file);
    }
}

void ClearPLCTriggers(ConfigContext& context, HvpArgumentReader& /*args*/) {
    if (context.controller == nullptr) return;
    context.controller->ClearPLCTriggers();
    ClientLines::add("HVP-Server: PLC triggers cleared");
    // Saved, or the cleared triggers would fire again after a restart.
    QueueProject(context);
}

void AddPLCTrigger(ConfigContext& context, HvpArgumentReader& args) {
    using Trigger = PLCTrigger::PLCInterfaceTrigger;
    std::string words[5];
    for (std::string& word : words) {
        if (!args.ReadWord(word)) {
            ClientLines::add("HVP-Server: Received incomplete AddPLCTrigger message");
            return;
        }
    }
    int channel = 0;
    if (!context.counterValid || !HvpArgumentReader::ParseInt(words[2], channel)) return ConfigMalformed(context);
    std::string file = words[4] == "none" ? std::string() : words[4];
    const Trigger trigger(StringHelper::ToLower(words[0]) == "true", StringHelper::ToLower(words[1]) == "din" ? Trigger::DIn : Trigger::GSig,
                          channel, StringHelper::ToLower(words[3]) == "program" ? Trigger::Program : Trigger::Mission,
                          std::move(file));
    // The file is taken below the programs or missions folder: it must stay inside it.
    const std::string& relative = trigger.GetTargetFileRelative();
    if (!relative.empty() && !Filesystem::IsSafeRelativePath(relative)) {
        ClientLines::add("HVP-Server: Received incomplete AddPLCTrigger message");
        return;
    }
    if (context.controller == nullptr) return;
    context.controller->AddPLCTrigger(trigger);
    QueueProject(context);
    ClientLines::addFormat("HVP-Server: PLC-Trigger added: %s", trigger.ToString().c_str());
}

}  // namespace

const std::vector<ConfigRow>& ConfigPlcRows() {
    static const std::vector<ConfigRow> rows = {
        {"GetPLCInterface", false, &GetPLCInterface},
        {"SetPLCInterface", true, &SetPLCInterface},
        {"GetPLCInterfaceEnabled", false, &GetPLCInterfaceEnabled},
        {"SetPLCInterfaceEnabled", true, &SetPLCInterfaceEnabled},
        {"GetPLCTriggers", false, &GetPLCTriggers},
        {"ClearPLCTriggers", true, &ClearPLCTriggers},
        {"AddPLCTrigger", true, &AddPLCTrigger},
    };
    return rows;
}

}  // namespace Remote
