// Writes program 0 back to a program file: its header, every command with its block
// ends, in file order, so that the file loads as the same program.

#include "program/IPO.h"

#include "ElementWriter.h"
#include "core/Filesystem.h"
#include "core/LogSingleton.h"
#include "core/PathCheck.h"

#include <cstdio>
#include <fstream>

namespace {

// Both channels: HVP clients get the MESSAGE, the panel shows it.
void Tell(const std::string& text) { LogSingleton::instance()->DisplayAndServerSetMessage(text); }

}  // namespace

int IPO::WriteXMLFile(int /*unused*/, const char* fileName) {
    LogSingleton* log = LogSingleton::instance();
    const std::string target = fileName != nullptr ? fileName : "";
    if (!Filesystem::IsSafeRelativePath(target)) {
        log->addError("IPO:    Cannot write, file name not allowed: " + target);
        Tell("No Program to write");
        return -1;
    }
    std::vector<std::shared_ptr<Command>> commands;
    std::vector<HeaderAttributes> headers;
    {
        std::lock_guard<std::mutex> lock(programMutex);
        if (!programs.empty()) {
            commands = programs[0].commands;
            headers = programs[0].headers;
        }
    }
    if (commands.empty()) {
        log->add("IPO:    Cannot write, no Program loaded");
        Tell("No Program to write");
        return -1;
    }

    const std::string path = log->get_rootPath() + "Data/Programs/" + target;
    // Written beside the target and renamed over it, so a failed write never leaves a
    // half program under the real name.
    const std::string temporary = path + Filesystem::kTemporarySuffix;
    log->add("IPO: Starting to write XML program file " + path);
    std::ofstream out(temporary, std::ios::out | std::ios::trunc);
    if (!out.is_open()) {
        log->addError("IPO:    Cannot write program file " + path);
        Tell("Could not write program");
        return -1;
    }
    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>" << "<Program>";
    for (const HeaderAttributes& header : headers) {
        ElementWriter::Line line(out, "Header");
        for (const auto& attribute : header) {
            line.Text(attribute.first.c_str(), attribute.second);
        }
        line.Close();
    }
    const int count = static_cast<int>(commands.size());
    int written = 0;
    for (const auto& command : commands) {
        const std::streampos before = out.tellp();
        command->WriteXML(&out, count);
        // A command without a writer writes nothing; saving the rest would store another
        // program than the one loaded.
        if (out.tellp() == before) {
            out.close();
            Filesystem::Delete(temporary);
            log->addFormat("IPO:    Cannot write program: command %d (%s) cannot be written to a file", written,
                           command->className.c_str());
            Tell("Program cannot be written");
            return -1;
        }
        for (const Command::BlockEnd end : command->blockEndsAfter) {
            ElementWriter::Bare(out, Command::BlockEndTag(end));
        }
        ++written;
    }
    out << "</Program>";
    out.flush();
    const bool ok = out.good();
    out.close();
    if (!ok || !Filesystem::Move(temporary, path)) {
        Filesystem::Delete(temporary);
        log->addError("IPO:    Cannot write program file " + path);
        Tell("Could not write program");
        return -1;
    }

    char line[256];
    std::snprintf(line, sizeof(line), "IPO: XML program file written with %d commands", written);
    log->add(line);
    std::snprintf(line, sizeof(line), "%d Cmds written", written);
    Tell(line);
    return written;
}
