// The CONFIG branch: the keyword is compared exactly; an active-only keyword from a passive
// client, like an unknown one, gets no reply and changes nothing. Also the quoted-field
// splitting the cloud keywords use.

#include "ComServerConfig.h"

#include "control/ProjectManager.h"
#include "core/LogSingleton.h"
#include "remote/ClientLog.h"

#include <iomanip>
#include <sstream>

namespace Remote {

void ConfigMalformed(const ConfigContext& context) {
    const std::string keyword(context.keyword);
    ClientLines::addFormat("HVP-Server: ERROR, received %s request but could not parse parameters",
                           keyword.c_str());
}

void QueueProject(const ConfigContext& context) {
    if (context.project != nullptr) context.project->QueueUpdateProjectFile();
}

std::string FormatNumber(double value, int digits) {
    std::ostringstream out;
    out << std::setprecision(digits) << value;
    return out.str();
}

bool NextIsNumber(const HvpArgumentReader& args) {
    double ignored = 0.0;
    return !args.AtEnd() && HvpArgumentReader::ParseDouble(args.Token(args.Position()), ignored);
}

}  // namespace Remote

void ComServer::HandleConfig(Remote::HvpArgumentReader& args) {
    int counter = 0;
    const bool counterValid = Remote::HvpArgumentReader::ParseInt(args.Token(0), counter);
    std::string_view keyword;
    if (!args.ReadWord(keyword)) return;
    const bool isPassive = passive.load();
    Remote::ConfigContext context{*this,          controller,   project, cloud, modbusServer,
                                  modbusSettings, cloudChanged, keyword, counterValid};
    for (const auto* rows : {&Remote::ConfigIoRows(), &Remote::ConfigLimitsRows(), &Remote::ConfigPlcRows(),
                             &Remote::ConfigCameraAxesRows(), &Remote::ConfigModbusCloudRows()}) {
        for (const Remote::ConfigRow& row : *rows) {
            if (keyword != row.keyword) continue;
            if (row.activeOnly && isPassive) return;
            row.handler(context, args);
            return;
        }
    }
}

std::string ComServer::Replace(const std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) return text;
    // One pass from left to right: a replacement is never searched again, so four
    // backslashes become two.
    std::string result;
    result.reserve(text.size());
    std::size_t at = 0;
    while (true) {
        const std::size_t found = text.find(from, at);
        if (found == std::string::npos) break;
        result.append(text, at, found - at);
        result.append(to);
        at = found + from.size();
    }
    result.append(text, at, std::string::npos);
    return result;
}

std::vector<std::string> ComServer::SplitIgnoreEscaped(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    int backslashes = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == separator) {
            if (backslashes % 2 == 0) {
                pieces.push_back(Replace(text.substr(start, i - start), "\\\\", "\\"));
                start = i + 1;
            }
            // Each separator starts a new count: an escaped one must not escape the next.
            backslashes = 0;
            continue;
        }
        backslashes = 0;
    }
    if (start < text.size()) pieces.push_back(text.substr(start));
    return pieces;
}
