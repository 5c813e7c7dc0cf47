#include "cloud/TelemetryData.h"

#include "control/RobotMaster.h"
#include "core/LogSingleton.h"
#include "hardware/HardwareProtocol.h"
#include "program/IPO.h"

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

void TelemetryData::CollectData(RobotMaster* robotMaster) {
    try {
        if (robotMaster == nullptr) return;
        Hardware::HardwareProtocol* hardware = robotMaster->GetHardware();
        if (hardware != nullptr) {
            std::string text, code;
            hardware->GetError(text, code);
            LastMessage = TranslateHwError(text);
            ErrorString = code;

            std::string modules[Hardware::HardwareProtocol::kMaxRecords];
            hardware->GetError(modules);
            const int count = std::min(hardware->GetModuleTotal() - hardware->GetDIOModuleCount(),
                                       Hardware::HardwareProtocol::kMaxRecords);
            std::string codes;
            for (int i = 0; i < count; ++i) {
                if (i > 0) codes += "-";
                codes += (modules[i].empty() || modules[i] == "na") ? "n/a" : modules[i];
            }
            ErrorCodes = codes;

            float temperatures[Hardware::HardwareProtocol::kMaxRecords] = {};
            hardware->GetTempValues(temperatures);
            std::ostringstream out;
            out.precision(3);
            for (int i = 0; i < Hardware::HardwareProtocol::kMaxRecords; ++i) {
                if (i > 0) out << ' ';
                out << temperatures[i];
            }
            TemperaturesPCB = out.str();
        }

        // The interpreter's reader copies: never the program lists the loader replaces.
        const IPO& ipo = robotMaster->GetMainInterpreter();
        std::string file = ipo.GetLoadedProgramName();
        if (file == "n/a" || file == "na") file = "none";
        ProgramRunning = BaseName(file);

        const std::vector<IPO::ProgramSummary> programs = ipo.GetProgramSummaries();
        const int point = ipo.GetCurrentPoint();
        const int active = ipo.GetActiveProgram();
        const int n = point < 0 ? 0 : point + 1;
        const int m = (active >= 0 && static_cast<size_t>(active) < programs.size())
                          ? programs[static_cast<size_t>(active)].commandCount
                          : 0;
        CurrentCommand = "Cmd " + std::to_string(n) + " of " + std::to_string(m) + " in Prog " + std::to_string(active);

        std::string subs;
        for (size_t i = 1; i < programs.size(); ++i) {
            if (i > 1) subs += ";";
            subs += programs[i].name;
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
