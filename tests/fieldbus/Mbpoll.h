#pragma once

// mbpoll, the command-line Modbus client, against a server on 127.0.0.1, where installed.

#include "testsupport/TestSupport.h"

#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

namespace ModbusTest {

inline const char* const kMbpoll = "/usr/bin/mbpoll";

inline bool HaveMbpoll() { return access(kMbpoll, X_OK) == 0; }

// One mbpoll run against the local server ("-0": addresses as on the wire); args hold the
// type and reference options, values (after "--") make it a write.
inline std::string Mbpoll(int port, const std::string& args, const std::vector<long>& values = {}) {
    std::string command = std::string(kMbpoll) + " -m tcp -p " + std::to_string(port) + " -0 -1 " + args + " 127.0.0.1";
    if (!values.empty()) {
        command += " --";
        for (long v : values) command += " " + std::to_string(v);
    }
    return TestSupport::RunCommand(command + " 2>&1");
}

// The values of mbpoll's "[address]: value" lines, in order.
inline std::vector<long> MbpollValues(const std::string& output) {
    static const std::regex line(R"(\[(\d+)\]:\s+(-?\d+))");
    std::vector<long> values;
    for (auto it = std::sregex_iterator(output.begin(), output.end(), line); it != std::sregex_iterator(); ++it) {
        values.push_back(std::stol((*it)[2].str()));
    }
    return values;
}

}  // namespace ModbusTest
