// The connect sequence as it appears on the wire: the hub records the bus into a pcap file
// and tshark, an independent CANopen decoder, reads the SDO downloads back from it.

#include "canopen_fixture.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

namespace {

using CanopenTest::CanopenBusTest;
using CanopenTest::SdoWrite;
using NodeWrite = std::tuple<int, int, int, std::uint32_t>;  // node, index, subindex, value

bool OnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> out;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, '\t')) out.push_back(field);
    while (out.size() < 6) out.emplace_back();
    return out;
}

// "0a:0b:0c" or "0a0b0c" as bytes.
std::vector<std::uint8_t> HexBytes(const std::string& text) {
    std::vector<std::uint8_t> out;
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// Runs tshark on the capture and returns every SDO download request (COB-ID 0x600 + node,
// client command specifier 1) in capture order as (node, index, subindex, value). Requests tshark cannot place are reported
// in errors.
std::vector<NodeWrite> DecodeDownloads(const std::string& pcap, const std::string& stderrFile, std::string* errors) {
    const std::string command = "tshark -r '" + pcap +
                                "' -d can.subdissector,canopen -T fields -E separator=/t -E occurrence=f"
                                " -e can.id -e canopen.sdo.ccs -e canopen.sdo.main_idx -e canopen.sdo.sub_idx"
                                " -e canopen.sdo.data.bytes -e canopen.sdo.e 2>'" +
                                stderrFile + "'";
    std::vector<NodeWrite> out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        *errors += "popen failed\n";
        return out;
    }
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    const int status = pclose(pipe);
    if (status != 0) {
        std::ifstream err(stderrFile);
        *errors += "tshark exited with status " + std::to_string(status) + ": " +
                   std::string(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>()) + "\n";
    }

    std::stringstream lines(text);
    std::string line;
    int frames = 0;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        ++frames;
        const std::vector<std::string> f = SplitTabs(line);
        if (f[0].empty()) {
            *errors += "frame without can.id: " + line + "\n";
            continue;
        }
        const std::uint32_t id = static_cast<std::uint32_t>(std::stoul(f[0], nullptr, 0));
        if (id < 0x601 || id > 0x67F) continue;  // not a client -> server SDO
        if (f[1].empty() || std::stoul(f[1], nullptr, 0) != 1) continue;  // not a download request
        if (f[2].empty() || f[3].empty() || (f[5] != "1" && f[5] != "True")) {
            *errors += "download tshark did not decode as expedited: " + line + "\n";
            continue;
        }
        const std::vector<std::uint8_t> data = HexBytes(f[4]);
        if (data.empty() || data.size() > 4) {
            *errors += "download with " + std::to_string(data.size()) + " data bytes: " + line + "\n";
            continue;
        }
        std::uint32_t value = 0;
        for (size_t k = 0; k < data.size(); ++k) value |= static_cast<std::uint32_t>(data[k]) << (8 * k);
        out.emplace_back(static_cast<int>(id - 0x600), static_cast<int>(std::stoul(f[2], nullptr, 0)),
                         static_cast<int>(std::stoul(f[3], nullptr, 0)), value);
    }
    if (frames == 0) *errors += "tshark printed no frames\n";
    return out;
}

// The decoded downloads of one node, in capture order.
std::vector<SdoWrite> ForNode(const std::vector<NodeWrite>& writes, int node) {
    std::vector<SdoWrite> out;
    for (const auto& w : writes) {
        if (std::get<0>(w) == node) out.emplace_back(std::get<1>(w), std::get<2>(w), std::get<3>(w));
    }
    return out;
}

TEST_F(CanopenBusTest, TsharkDecodesTheConnectSequenceFromTheBusRecording) {
    if (!OnPath("tshark")) GTEST_SKIP() << "tshark is not installed (see scripts/deps.sh); the capture cannot be decoded";

    // The same bus, with the hub recording every frame.
    const std::string pcap = root.Path() + "/bus.pcap";
    hub.Stop();
    ASSERT_EQ(0, hub.Start(hubPath, pcap)) << hub.ErrorText();
    StartStandardBus();
    Build(Hardware::CANopenProfileCSP, {});
    protocol->Connect();
    ASSERT_TRUE(protocol->IsCommunicationActive());

    // Let the bus go quiet so that every queued frame is in the file, then close it.
    std::uint64_t seen = hub.FrameCount();
    for (int i = 0; i < 200; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::uint64_t now = hub.FrameCount();
        if (now == seen) break;
        seen = now;
    }
    hub.Stop();

    std::string errors;
    const std::vector<NodeWrite> decoded = DecodeDownloads(pcap, root.Path() + "/tshark.err", &errors);
    EXPECT_EQ("", errors);

    std::set<int> nodes;
    for (const auto& w : decoded) nodes.insert(std::get<0>(w));
    EXPECT_EQ((std::set<int>{1, 2, 3, 0x21}), nodes);
    EXPECT_EQ(CanopenTest::GoldenCspDrive(1, false), ForNode(decoded, 1));
    EXPECT_EQ(CanopenTest::GoldenCspDrive(2, true), ForNode(decoded, 2));
    EXPECT_EQ(CanopenTest::GoldenCspDrive(3, false), ForNode(decoded, 3));
    EXPECT_EQ(CanopenTest::GoldenIoModule(), ForNode(decoded, 0x21));
}

}  // namespace
