#include "cloud/TelemetryData.h"

#include "control/ControllerPort.h"
#include "core/LogSingleton.h"

#include <algorithm>
#include <exception>
#include <regex>
#include <sstream>
#include <utility>

namespace Cloud {

namespace {

struct Translation {
    std::regex pattern;
    const char* replacement;
};

const std::vector<Translation>& Translations() {
    static const std::vector<Translation> table = [] {
        const std::pair<const char*, const char*> rows[] = {
            {"Status: ", ""},
            {"No_Error", "No error"},
            {"no error", "No error"},
            {"not connected", "Bus not connected"},
            {"Not_Connected", "Bus not connected"},
            {"NotConnected", "Bus not connected"},
            {"Ctrl Running", "Ctrl running"},
            {"Remote_disconnected", "Remote disconnected"},
            {"_", ""},
            {"MNE", "Motors not enabled"},
            {"motor not enabled", "Motors not enabled"},
            {"COM", "Comm. watchdog"},
            {"comm watch dog", "Comm. watchdog"},
            {"BOWD", "Brown out/Watchdog"},
            {"brown out or watch dog", "Brown out/Watchdog"},
            {"VLAG", "Velocity lag"},
            {"velLag", "Velocity lag"},
            {"LAG", "Position lag"},
            {"position lag", "Position lag"},
            {"ENC", "Encoder error"},
            {"encoder error", "Encoder error"},
            {"OC", "Overcurrent"},
            {"over current", "Overcurrent"},
            {"CAN", "CAN error"},
            {"BUS", "Bus dead"},
            {"bus dead", "Bus dead"},
            {"DEAD", "Module dead"},
            {"module dead", "Module dead"},
        };
        std::vector<Translation> compiled;
        for (const auto& row : rows) compiled.push_back({std::regex(row.first), row.second});
        return compiled;
    }();
    return table;
}

std::string BaseName(std::string name) {
    const size_t slash = name.rfind('/');
    if (slash != std::string::npos) name.erase(0, slash + 1);
    const size_t backslash = name.rfind('\\');
    if (backslash != std::string::npos) name.erase(0, backslash + 1);
    return name;
}

}  // namespace

std::string Replace(const std::string& text, const std::string& pattern, const char* replacement) {
    return std::regex_replace(text, std::regex(pattern), replacement);
}

std::string TranslateHwError(const std::string& text) {
    std::string result = text;
    for (const Translation& t : Translations()) result = std::regex_replace(result, t.pattern, t.replacement);
    return result;
}

void TelemetryData::CollectData(const Control::ControllerPort* port) {
    constexpr int kRecords = Control::kMaxModuleRecords;
    try {
        if (port == nullptr) return;
        std::string text, code;
        if (port->GetHardwareStatus(text, code)) {
            LastMessage = TranslateHwError(text);
            ErrorString = code;

            std::string modules[kRecords];
            port->GetModuleErrorTexts(modules);
            const int count = std::min(port->GetModules().JointModuleCount(), kRecords);
            std::string codes;
            for (int i = 0; i < count; ++i) {
                if (i > 0) codes += "-";
                codes += (modules[i].empty() || modules[i] == "na") ? "n/a" : modules[i];
            }
            ErrorCodes = codes;

            float temperatures[kRecords] = {};
            port->GetModuleTemperatures(temperatures);
            std::ostringstream out;
            out.precision(3);
            for (int i = 0; i < kRecords; ++i) {
                if (i > 0) out << ' ';
                out << temperatures[i];
            }
            TemperaturesPCB = out.str();
        }

        // The interpreter's reader copies: never the program lists the loader replaces.
        const Control::InterpreterInfo ipo = port->GetInterpreterInfo(Control::Interpreter::Main);
        std::string file = ipo.loadedName;
        if (file == "n/a" || file == "na") file = "none";
        ProgramRunning = BaseName(file);

        const int n = ipo.currentPoint < 0 ? 0 : ipo.currentPoint + 1;
        CurrentCommand = "Cmd " + std::to_string(n) + " of " + std::to_string(ipo.activeCommandCount) + " in Prog " +
                         std::to_string(ipo.activeProgram);

        std::string subs;
        for (size_t i = 1; i < ipo.programNames.size(); ++i) {
            if (i > 1) subs += ";";
            subs += ipo.programNames[i];
        }
        SubPrograms = subs;

        LogSingleton* log = LogSingleton::instance();
        UpTimeComplete = std::to_string(log->GetSystemVar(SV_UpTimeComplete));
        UpTimeLast = std::to_string(log->GetSystemVar(SV_UpTimeLast));
        UpTimeEnabled = std::to_string(log->GetSystemVar(SV_UpTimeEnabled));
        UpTimeMotion = std::to_string(log->GetSystemVar(SV_UpTimeMotion));
        ProgramStarts = std::to_string(log->GetSystemVar(SV_ProgramStarts));
    } catch (const std::exception& e) {
        LogSingleton::instance()->addFormat("Cloud: Exception while collecting data: %s", e.what());
    }
}

bool TelemetryData::operator==(const TelemetryData& o) const {
    return LastMessage == o.LastMessage && ErrorString == o.ErrorString && ErrorCodes == o.ErrorCodes &&
           TemperaturesPCB == o.TemperaturesPCB && ProgramRunning == o.ProgramRunning &&
           SubPrograms == o.SubPrograms && CurrentCommand == o.CurrentCommand &&
           UpTimeComplete == o.UpTimeComplete && UpTimeLast == o.UpTimeLast && UpTimeEnabled == o.UpTimeEnabled &&
           UpTimeMotion == o.UpTimeMotion && ProgramStarts == o.ProgramStarts;
}

void TelemetryData::swap(TelemetryData& o) {
    using std::swap;
    swap(LastMessage, o.LastMessage);
    swap(ErrorString, o.ErrorString);
    swap(ErrorCodes, o.ErrorCodes);
    swap(TemperaturesPCB, o.TemperaturesPCB);
    swap(ProgramRunning, o.ProgramRunning);
    swap(SubPrograms, o.SubPrograms);
    swap(CurrentCommand, o.CurrentCommand);
    swap(UpTimeComplete, o.UpTimeComplete);
    swap(UpTimeLast, o.UpTimeLast);
    swap(UpTimeEnabled, o.UpTimeEnabled);
    swap(UpTimeMotion, o.UpTimeMotion);
    swap(ProgramStarts, o.ProgramStarts);
}

void CameraData::SetCameraName(const std::string& name) {
    if (name == cameraName) return;
    cameraName = name;
    nameChanged = true;
}

}  // namespace Cloud
