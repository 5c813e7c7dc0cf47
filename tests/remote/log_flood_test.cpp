// One client floods the server with frames it cannot parse: the lines they cause are cut to
// a few hundred with a count of the rest, and the log files still hold what came before.

#include "remote_test_support.h"

#include "core/LogSingleton.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

using namespace RemoteTest;

namespace {

class HvpLogFlood : public ServerFixture {};

// The lines of the rotating log files, oldest file first.
std::vector<std::string> LogFileLines() {
    LogSingleton* log = LogSingleton::instance();
    log->Flush();
    std::vector<std::string> lines;
    for (int n = log->GetLogFileCount(); n >= 1; --n) {
        char name[32];
        std::snprintf(name, sizeof(name), "logMessages%02d.txt", n);
        std::ifstream in(name);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
    }
    return lines;
}

bool Has(const std::string& line, const char* text) { return line.find(text) != std::string::npos; }

TEST_F(HvpLogFlood, AHundredThousandUnparsableFramesLeaveAFewHundredLines) {
    LogSingleton::instance()->add("flood test: the line before the flood");
    HvpTestClient& client = Connect();

    // Frames of five kinds that get no reply: four log a line, one is printed only.
    const char* kinds[] = {"VAR NoSuchKeyword", "SYSTEM NoSuchKeyword", "CANBridge NoSuchKeyword", "NOSUCHTYPE x"};
    const int frames = 100000;
    const int perWrite = 1000;
    testing::internal::CaptureStdout();
    for (int sent = 0; sent < frames; sent += perWrite) {
        std::string bytes;
        for (int i = sent; i < sent + perWrite; ++i) {
            if (i % 5 == 4) {
                bytes += "HVPSTART " + std::to_string(i) + " VAR " + std::string(1, '\0') + " HVPEND";
            } else {
                bytes += "HVPSTART " + std::to_string(i) + " " + kinds[i % 5] + " HVPEND";
            }
        }
        ASSERT_TRUE(client.SendRaw(bytes));
    }
    ASSERT_TRUE(client.Send(1, "CMD GetVersion"));
    ASSERT_TRUE(client.WaitFor("INFO Version", 60000));
    LogSingleton::instance()->Flush();  // the console copy is written on the log's own thread
    const std::string printed = testing::internal::GetCapturedStdout();
    // The counts still held back are told when the connection ends.
    const std::shared_ptr<ComServer> server = Server(0);
    client.Close();
    ASSERT_TRUE(WaitFor([&] { return server->IsFinished(); }));
    LogSingleton::instance()->add("flood test: the line after the flood");

    const std::vector<std::string> lines = LogFileLines();
    std::size_t first = lines.size();
    std::size_t last = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (Has(lines[i], "flood test: the line before the flood")) first = i;
        if (Has(lines[i], "flood test: the line after the flood")) last = i;
    }
    ASSERT_LT(first, lines.size()) << "the line before the flood was rotated away";
    ASSERT_LT(last, lines.size());

    const char* caused[] = {"HVP-Server: ERROR Could not parse VAR command!",
                            "HVP-Server: ERROR Could not parse system command",
                            "HVP-Server: ERROR Could not parse CANBridge command",
                            "HVP-Server: Frame holds a NUL byte, not parsed",
                            "HVP-Server: Protocol version requested from client"};
    const std::string countLine = "HVP-Server: lines of client input: ";
    int logged = 0;
    unsigned long long suppressed = 0;
    for (std::size_t i = first + 1; i < last; ++i) {
        for (const char* text : caused) logged += Has(lines[i], text) ? 1 : 0;
        const std::size_t at = lines[i].find(countLine);
        if (at != std::string::npos) suppressed += std::stoull(lines[i].substr(at + countLine.size()));
    }
    int printedLines = 0;
    for (std::size_t at = printed.find("Read, but not parsed: PROG NOSUCHTYPE"); at != std::string::npos;
         at = printed.find("Read, but not parsed: PROG NOSUCHTYPE", at + 1)) {
        ++printedLines;
    }
    EXPECT_GT(logged, 0);
    EXPECT_GT(printedLines, 0);
    EXPECT_LE(logged + printedLines, 300);
    EXPECT_LE(last - first - 1, 400u) << "lines of all sources between the two";
    // Every frame the client sent, the GetVersion behind the flood too, is either in the
    // log, printed or counted.
    EXPECT_EQ(static_cast<unsigned long long>(logged + printedLines) + suppressed,
              static_cast<unsigned long long>(frames + 1));
}

}  // namespace
