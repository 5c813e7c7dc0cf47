// The controller process with its Modbus server: the demo data root on simulated drives,
// reached by raw requests and by mbpoll; and a controller whose project failed.
#include "Mbpoll.h"
#include "RawModbusClient.h"
#include "StallRequests.h"
#include "fieldbus/ModbusMapping.h"
#include "app_process_support.h"
#include "testsupport/HvpTestClient.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#if defined(BELVANTO_BINARY) && defined(BELVANTO_CANHUB_PROGRAM) && defined(BELVANTO_DRIVESIM_PROGRAM)

namespace {

namespace fs = std::filesystem;
using AppTest::BelvantoProcess;
using AppTest::ChildProcess;
using ModbusTest::HaveMbpoll;
using ModbusTest::Mbpoll;
using ModbusTest::MbpollValues;
using ModbusTest::RawModbusClient;

std::vector<std::uint8_t> Pdu(std::uint8_t function, std::initializer_list<std::uint16_t> words) {
    return RawModbusClient::Pdu(function, words);
}

std::vector<std::uint16_t> ReadRegisters(RawModbusClient& client, std::uint8_t function, int address, int count) {
    return RawModbusClient::Registers(
        client.Ask(Pdu(function, {static_cast<std::uint16_t>(address), static_cast<std::uint16_t>(count)})));
}

std::string After(const std::string& out, size_t from) { return from < out.size() ? out.substr(from) : std::string(); }

std::int32_t Pair(const std::vector<std::uint16_t>& r, size_t at) {
    return static_cast<std::int32_t>((static_cast<std::uint32_t>(r[at + 1]) << 16) | r[at]);
}

class AppModbus : public ::testing::Test {
protected:
    void StartDemo() {
        PrepareDemo();
        ASSERT_NO_FATAL_FAILURE(LaunchDemo());
    }
    // The demo data root in the test's folder, with the copy program.
    void PrepareDemo() {
        p.CopyDataRoot(BELVANTO_DEMO_DIR);
        fs::copy_file(std::string(BELVANTO_FIELDBUS_FIXTURES) + "/ModbusCopy.xml", p.root + "/Data/Programs/ModbusCopy.xml");
        port = p.modbusPort;  // the copy serves on a run-time port
    }
    // The simulated bus and the controller on it, until its loop and Modbus server run.
    void LaunchDemo() {
        ASSERT_NE(port, 0);
        ASSERT_TRUE(bus.Start(p.dir, p.root + "/Data/Robots/JXRPivra4/JXRPivra4.xml", {"--dio", "80"}));
        p.Start({bus.Environment()}, true);
        ASSERT_TRUE(p.WaitForOutput(
            [](const std::string& o) {
                return o.find("RobotMainLoop is executing") != std::string::npos &&
                       o.find("Modbus Server started") != std::string::npos;
            },
            60000))
            << p.Output();
    }
    // Reset and enable as the demo does (console key 2), until discrete input 53 says enabled.
    void EnableDemoDrives(RawModbusClient& client) {
        ASSERT_TRUE(AppTest::WaitForDemoDrives(p));
        ASSERT_TRUE(p.Type("2\n"));
        ASSERT_TRUE(AppTest::WaitUntil(
            [&] {
                const auto bits = client.Ask(Pdu(2, {53, 1}));
                return bits.size() == 10u && (bits[9] & 1) == 1;
            },
            30000));
    }
    void TearDown() override {
        p.Stop(30000);
        bus.sim.Stop();
        bus.hub.Stop();
    }
    BelvantoProcess p;
    AppTest::SimulatedBus bus;
    int port = 0;
};

TEST_F(AppModbus, DemoServesThePlcMap) {
    ASSERT_NO_FATAL_FAILURE(StartDemo());
    RawModbusClient client(port);
    ASSERT_TRUE(client.Connected());

    // Version and map version, also as mbpoll prints them.
    EXPECT_EQ(ReadRegisters(client, 4, 0, 4), (std::vector<std::uint16_t>{980, 13, 30, 1}));
    if (HaveMbpoll()) {
        const std::string out = Mbpoll(port, "-t 3 -r 0 -c 4");
        for (const char* line : {"[0]: \t980", "[1]: \t13", "[2]: \t30", "[3]: \t1"}) {
            EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
        }
    } else {
        std::printf("mbpoll not installed: its line is not checked\n");
    }

    // Six clients: the sixth is closed at once, the five go on.
    std::vector<std::unique_ptr<RawModbusClient>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<RawModbusClient>(port));
        ASSERT_EQ(ReadRegisters(*clients.back(), 4, 0, 1).size(), 1u);
    }
    RawModbusClient sixth(port);
    const auto refusedAt = std::chrono::steady_clock::now();
    EXPECT_TRUE(sixth.ClosedByServer(10000));
    std::printf("sixth client closed after %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - refusedAt)
                                           .count()));
    EXPECT_TRUE(p.WaitForOutput(
        [](const std::string& o) {
            return o.find("Modbus: Cannot accept new client (limit 5 reached), closing connection") != std::string::npos;
        },
        10000));
    for (auto& c : clients) EXPECT_EQ(ReadRegisters(*c, 4, 3, 1), (std::vector<std::uint16_t>{1}));
    EXPECT_EQ(ReadRegisters(client, 4, 3, 1), (std::vector<std::uint16_t>{1}));
    clients.clear();

    // Reset and enable as the demo does, then move 10 mm along x through the move registers.
    ASSERT_NO_FATAL_FAILURE(EnableDemoDrives(client));
    // Away from the stretched-out start (a singular pose) with a joint move first.
    std::vector<std::uint8_t> joints = Pdu(16, {142, 12, 0, 0, 2000, 0, 7000, 0, 4500, 0, 0, 0, 0, 0});
    joints.insert(joints.begin() + 5, 24);
    ASSERT_EQ(client.Ask(joints).size(), 12u);
    ASSERT_EQ(client.Ask(Pdu(5, {103, 0xFF00})).size(), 12u);
    ASSERT_TRUE(AppTest::WaitUntil(
        [&] {
            const auto now = ReadRegisters(client, 4, 142, 6);
            return now.size() == 6u && std::abs(Pair(now, 2) - 2000) <= 5 && std::abs(Pair(now, 4) - 7000) <= 5;
        },
        60000))
        << p.Output();
    ASSERT_EQ(client.Ask(Pdu(5, {103, 0})).size(), 12u);

    // The pose round trip as a PLC tool does it (mbpoll: 32-bit values, low word first),
    // or with the raw client where mbpoll is missing: read the pose, write it back as the
    // target with x + 10 mm, raise coil 100.
    std::vector<long> pose;  // x, y, z, A, B, C times 100
    if (HaveMbpoll()) {
        const std::string out = Mbpoll(port, "-t 3:int -r 130 -c 6");
        pose = MbpollValues(out);
        ASSERT_EQ(pose.size(), 6u) << out;
        std::vector<long> target = pose;
        target[0] += 1000;
        const std::string written = Mbpoll(port, "-t 4:int -r 130", target);
        ASSERT_NE(written.find("Written 6 references"), std::string::npos) << written;
        const std::string raised = Mbpoll(port, "-t 0 -r 100", {1});
        ASSERT_NE(raised.find("Written 1 references"), std::string::npos) << raised;
    } else {
        std::printf("mbpoll not installed: the pose round trip uses the raw client\n");
        const auto registers = ReadRegisters(client, 4, 130, 12);
        ASSERT_EQ(registers.size(), 12u);
        for (size_t i = 0; i < 12; i += 2) pose.push_back(Pair(registers, i));
        std::vector<std::uint8_t> write = Pdu(16, {130, 12});
        write.push_back(24);
        for (size_t i = 0; i < 6; ++i) {
            const auto value = static_cast<std::uint32_t>(pose[i] + (i == 0 ? 1000 : 0));
            for (std::uint16_t word : {static_cast<std::uint16_t>(value & 0xFFFF), static_cast<std::uint16_t>(value >> 16)}) {
                write.push_back(static_cast<std::uint8_t>(word >> 8));
                write.push_back(static_cast<std::uint8_t>(word & 0xFF));
            }
        }
        ASSERT_EQ(client.Ask(write).size(), 12u);
        ASSERT_EQ(client.Ask(Pdu(5, {100, 0xFF00})).size(), 12u);
    }
    const long x = pose[0];
    EXPECT_TRUE(AppTest::WaitUntil(
        [&] {
            const auto now = ReadRegisters(client, 4, 130, 2);
            return now.size() == 2u && std::abs(Pair(now, 0) - (x + 1000)) <= 5;  // x + 10.00 +- 0.05 mm
        },
        60000))
        << "x was " << x << "\n" << p.Output();
    ASSERT_EQ(client.Ask(Pdu(5, {100, 0})).size(), 12u);

    // An unreachable pose stored with its joints recomputed: an exception line, the process lives.
    std::vector<std::uint8_t> far = Pdu(16, {456, 16});
    far.push_back(32);
    for (int k = 0; k < 16; ++k) {
        const std::uint16_t value = k == 9 ? 30000 : (k == 15 ? 2 : 0);
        far.push_back(static_cast<std::uint8_t>(value >> 8));
        far.push_back(static_cast<std::uint8_t>(value & 0xFF));
    }
    ASSERT_EQ(client.Ask(far).size(), 12u);
    EXPECT_TRUE(p.WaitForOutput(
        [](const std::string& o) { return o.find("Exception in Modbus::OnWriteHoldingRegisters (address 456") != std::string::npos; },
        10000))
        << p.Output();
    EXPECT_EQ(ReadRegisters(client, 4, 3, 1), (std::vector<std::uint16_t>{1}));
    EXPECT_FALSE(p.HasExited());

    // A program copies the PLC's number to the number the PLC reads.
    ASSERT_EQ(client.Ask(Pdu(6, {440, 7})).size(), 12u);
    std::vector<std::uint8_t> name = Pdu(16, {267, 32});
    name.push_back(64);
    const std::string file = "ModbusCopy.xml";
    for (size_t k = 0; k < 32; ++k) {
        const std::uint8_t low = 2 * k < file.size() ? static_cast<std::uint8_t>(file[2 * k]) : 0;
        const std::uint8_t high = 2 * k + 1 < file.size() ? static_cast<std::uint8_t>(file[2 * k + 1]) : 0;
        name.push_back(high);
        name.push_back(low);
    }
    ASSERT_EQ(client.Ask(name).size(), 12u);
    ASSERT_TRUE(AppTest::WaitUntil(
        [&] {
            const auto loaded = ReadRegisters(client, 3, 267, 7);
            return loaded.size() == 7u && loaded[0] == 0x6F4D && loaded[5] == 0x782E && loaded[6] == 0x6C6D;
        },
        30000))
        << p.Output();
    EXPECT_TRUE(AppTest::WaitUntil(
        [&] {
            client.Ask(Pdu(6, {260, 1}));
            return ReadRegisters(client, 4, 440, 1) == std::vector<std::uint16_t>{7};
        },
        60000))
        << p.Output();
    ASSERT_EQ(client.Ask(Pdu(6, {260, 0})).size(), 12u);

    // The override: 100 % and, after the debounce, written to the project.
    ASSERT_EQ(client.Ask(Pdu(6, {187, 10000})).size(), 12u);
    EXPECT_EQ(ReadRegisters(client, 3, 187, 1), (std::vector<std::uint16_t>{10000}));
    EXPECT_TRUE(AppTest::WaitUntil(
        [&] { return AppTest::ReadFile(p.root + "/Data/Projects/Demo.prj").find("Override=\"100\"") != std::string::npos; },
        90000))
        << AppTest::ReadFile(p.root + "/Data/Projects/Demo.prj");

    p.Signal(SIGTERM);
    const int status = p.WaitForExit(30000);
    ASSERT_NE(status, -1) << "belvanto did not end after SIGTERM";
    AppTest::ExpectOrderlyExit(p.Output());
    const std::string out = p.Output();
    // The listener is joined before the robot loop ends.
    EXPECT_LT(out.find("Modbus: Server stopped"), out.find("Belvanto: Exiting..."));
}

TEST_F(AppModbus, JointMovePastASoftLimitThroughCoil103IsRefusedBeforeTheArmMoves) {
    ASSERT_NO_FATAL_FAILURE(StartDemo());
    RawModbusClient client(port);
    ASSERT_TRUE(client.Connected());
    ASSERT_NO_FATAL_FAILURE(EnableDemoDrives(client));
    // A1 to 140 degrees (x 100, low word first) against the demo arm's limit of 130.
    std::vector<std::uint8_t> joints = Pdu(16, {142, 12, 14000, 0, 2000, 0, 3000, 0, 0, 0, 0, 0, 0, 0});
    joints.insert(joints.begin() + 5, 24);
    ASSERT_EQ(client.Ask(joints).size(), 12u);
    const std::string refusal = "PathGen: target refused before motion: Kinematic error: Joint limit max reached";
    // Drives still coming up may refuse the move with another error: it is raised again.
    ASSERT_TRUE(AppTest::WaitUntil(
        [&] {
            client.Ask(Pdu(5, {103, 0xFF00}));
            client.Ask(Pdu(5, {103, 0}));
            return p.WaitForOutput([&](const std::string& o) { return o.find(refusal) != std::string::npos; }, 1000);
        },
        30000))
        << p.Output();
    // The joint set-points (input registers 142-149) never left the start.
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(ReadRegisters(client, 4, 142, 8), std::vector<std::uint16_t>(8, 0));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// Holding-register words of signed values times 100, each a pair, low word first.
std::vector<std::uint8_t> PairsWrite(int address, const std::vector<long>& hundredths) {
    std::vector<std::uint8_t> write =
        Pdu(16, {static_cast<std::uint16_t>(address), static_cast<std::uint16_t>(2 * hundredths.size())});
    write.push_back(static_cast<std::uint8_t>(4 * hundredths.size()));
    for (long v : hundredths) {
        const auto value = static_cast<std::uint32_t>(v);
        for (std::uint16_t word : {static_cast<std::uint16_t>(value & 0xFFFF), static_cast<std::uint16_t>(value >> 16)}) {
            write.push_back(static_cast<std::uint8_t>(word >> 8));
            write.push_back(static_cast<std::uint8_t>(word & 0xFF));
        }
    }
    return write;
}

TEST_F(AppModbus, CartesianMovePastASoftLimitThroughCoil100IsRefusedBeforeTheArmMoves) {
    ASSERT_NO_FATAL_FAILURE(StartDemo());
    RawModbusClient client(port);
    ASSERT_TRUE(client.Connected());
    ASSERT_NO_FATAL_FAILURE(EnableDemoDrives(client));
    // To joints (110, 20, 70, 45) first, through coil 103; drives still coming up may refuse
    // the move: it is raised again until the arm is there.
    ASSERT_EQ(client.Ask(PairsWrite(142, {11000, 2000, 7000, 4500, 0, 0})).size(), 12u);
    const std::vector<long> start = {11000, 2000, 7000, 4500};
    auto at = [&](const std::vector<long>& joints) {
        const auto now = ReadRegisters(client, 4, 142, 8);
        if (now.size() != 8u) return false;
        for (size_t j = 0; j < joints.size(); ++j) {
            if (std::abs(Pair(now, 2 * j) - joints[j]) > 1) return false;
        }
        return true;
    };
    ASSERT_TRUE(AppTest::WaitUntil(
        [&] {
            client.Ask(Pdu(5, {103, 0xFF00}));
            client.Ask(Pdu(5, {103, 0}));
            return AppTest::WaitUntil([&] { return at(start); }, 8000);
        },
        60000))
        << p.Output();
    // The pose of the demo arm at joints (135, 20, 70, 45), past A1's 130 degrees: the line
    // there must not start at all.
    ASSERT_EQ(client.Ask(PairsWrite(130, {-22186, 22186, 35758, -4500, 4500, 18000})).size(), 12u);
    const std::string refusal = "PathGen: target refused before motion: Kinematic error: Joint limit max reached";
    ASSERT_TRUE(AppTest::WaitUntil(
        [&] {
            client.Ask(Pdu(5, {100, 0xFF00}));
            client.Ask(Pdu(5, {100, 0}));
            return p.WaitForOutput([&](const std::string& o) { return o.find(refusal) != std::string::npos; }, 1000);
        },
        30000))
        << p.Output();
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(at(start));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// A program name as 32 registers, two characters each, low byte first.
std::vector<long> NameRegisters(const std::string& name) {
    std::uint16_t words[32] = {};
    Modbus::StringToRegisters(name, words, 32);
    return std::vector<long>(std::begin(words), std::end(words));
}

// Writes a name block as a PLC tool does: mbpoll where installed, else the raw client.
void WriteName(int port, RawModbusClient& client, int address, const std::string& name) {
    const std::vector<long> words = NameRegisters(name);
    if (HaveMbpoll()) {
        const std::string out = Mbpoll(port, "-t 4 -r " + std::to_string(address), words);
        ASSERT_NE(out.find("Written 32 references"), std::string::npos) << out;
        return;
    }
    std::vector<std::uint8_t> write = Pdu(16, {static_cast<std::uint16_t>(address), 32});
    write.push_back(64);
    for (long w : words) {
        write.push_back(static_cast<std::uint8_t>(w >> 8));
        write.push_back(static_cast<std::uint8_t>(w & 0xFF));
    }
    ASSERT_EQ(client.Ask(write).size(), 12u);
}

std::string ReadName(RawModbusClient& client, int address) {
    const auto r = ReadRegisters(client, 3, address, 32);
    return r.size() == 32u ? Modbus::StringFromRegisters(r.data(), 32) : std::string();
}

// A PLC names a program in 267-298 while the main program runs, and a logic program in
// 299-330 while the logic program runs: each is stopped, replaced and (the logic one)
// started as the HVP keywords do, and the project names both after the debounce. A name
// leaving the programs folder and a missing one change nothing, with one line each.
TEST_F(AppModbus, ProgramNamesFromAPlcLoadLikeTheHvpKeywords) {
    ASSERT_NO_FATAL_FAILURE(StartDemo());
    // The demo logic program with global signal 2 instead of 1.
    std::string logic = AppTest::ReadFile(p.root + "/Data/Programs/DemoLogic.xml");
    logic = std::regex_replace(logic, std::regex("GSig1"), "GSig2");
    std::ofstream(p.root + "/Data/Programs/PlcLogic.xml") << logic;
    RawModbusClient client(port);
    ASSERT_TRUE(client.Connected());

    // The main program running, the logic program too.
    ASSERT_NO_FATAL_FAILURE(EnableDemoDrives(client));
    ASSERT_TRUE(AppTest::WaitUntil(
        [&] {
            client.Ask(Pdu(6, {260, 1}));
            return ReadRegisters(client, 3, 260, 1) == std::vector<std::uint16_t>{1};
        },
        30000))
        << p.Output();
    ASSERT_EQ(ReadName(client, 299), "DemoLogic.xml");

    auto loadTime = [&](const std::function<bool()>& shown) {
        const auto start = std::chrono::steady_clock::now();
        const bool ok = AppTest::WaitUntil(shown, 2000);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        return ok ? ms : -1.0;
    };
    size_t mark = p.Output().size();
    ASSERT_NO_FATAL_FAILURE(WriteName(port, client, 267, "ModbusCopy.xml"));
    const double mainMs = loadTime([&] {
        return ReadRegisters(client, 4, 262, 3) == std::vector<std::uint16_t>{1, 0, 3} &&
               ReadName(client, 267) == "ModbusCopy.xml";
    });
    std::printf("main program loaded %.0f ms after the write\n", mainMs);
    EXPECT_GE(mainMs, 0.0) << p.Output().substr(mark);
    EXPECT_EQ(ReadRegisters(client, 3, 260, 1), (std::vector<std::uint16_t>{0}));  // stopped

    ASSERT_NO_FATAL_FAILURE(WriteName(port, client, 299, "PlcLogic.xml"));
    const double logicMs = loadTime([&] {
        const auto bits = client.Ask(Pdu(2, {121, 1}));
        return ReadName(client, 299) == "PlcLogic.xml" && bits.size() == 10u && (bits[9] & 1) == 1;
    });
    std::printf("logic program loaded %.0f ms after the write\n", logicMs);
    EXPECT_GE(logicMs, 0.0) << p.Output().substr(mark);
    // It runs: "GSig2" (signal 1, discrete input 201) goes on within its two-second round.
    EXPECT_TRUE(AppTest::WaitUntil(
        [&] {
            const auto bits = client.Ask(Pdu(2, {201, 1}));
            return bits.size() == 10u && (bits[9] & 1) == 1;
        },
        10000))
        << After(p.Output(), mark);
    EXPECT_EQ(After(p.Output(), mark).find("Cannot load a new program"), std::string::npos) << After(p.Output(), mark);

    // Refused names: nothing changes, one line each.
    mark = p.Output().size();
    ASSERT_NO_FATAL_FAILURE(WriteName(port, client, 267, "../x.xml"));
    ASSERT_NO_FATAL_FAILURE(WriteName(port, client, 299, "missing.xml"));
    EXPECT_TRUE(p.WaitForOutput(
        [&](const std::string& o) { return After(o, mark).find("missing.xml not found") != std::string::npos; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::string refused = After(p.Output(), mark);
    EXPECT_EQ(AppTest::CountOf(refused, "x.xml"), 1) << refused;
    EXPECT_EQ(AppTest::CountOf(refused, "missing.xml"), 1) << refused;
    EXPECT_NE(refused.find("RobotMaster: Program name ../x.xml not allowed, nothing loaded"), std::string::npos);
    EXPECT_NE(refused.find("RobotMaster: Logic program missing.xml not found, nothing loaded"), std::string::npos);
    EXPECT_EQ(ReadName(client, 267), "ModbusCopy.xml");
    EXPECT_EQ(ReadName(client, 299), "PlcLogic.xml");
    EXPECT_EQ(ReadRegisters(client, 4, 262, 3), (std::vector<std::uint16_t>{1, 0, 3}));

    // The project names both once the debounce has passed.
    EXPECT_TRUE(AppTest::WaitUntil(
        [&] {
            const std::string project = AppTest::ReadFile(p.root + "/Data/Projects/Demo.prj");
            return project.find("File=\"ModbusCopy.xml\"") != std::string::npos &&
                   project.find("FileLogic=\"PlcLogic.xml\"") != std::string::npos;
        },
        90000))
        << AppTest::ReadFile(p.root + "/Data/Projects/Demo.prj");
}

// One PLC's refused, unfinished and malformed requests, in turn, while another reads 0-3
// every 20 ms: the refused ones are answered at once, and no read of the other waits
// anywhere near the 0.5 s an unfinished request is held for. Reads take well under a
// millisecond on a quiet host and a few on a busy one, so the bound is 100 ms. A stall the
// server causes comes with every round; a busy host's scheduling may spoil one, so up to
// three rounds are run and the best one counts.
TEST_F(AppModbus, OneClientsBadRequestsNeverHoldAnotherClient) {
    ASSERT_NO_FATAL_FAILURE(StartDemo());
    RawModbusClient poller(port);
    ASSERT_TRUE(poller.Connected());
    const auto requests = ModbusTest::StallRequests();
    constexpr double kMaxOtherReadMs = 100.0;
    double bestMax = 1e9;
    int rounds = 0;
    while (rounds < 3 && bestMax > kMaxOtherReadMs) {
        ++rounds;
        std::atomic<bool> stop{false};
        std::vector<double> waits;
        int unanswered = 0;
        std::thread polling([&] {
            while (!stop.load()) {
                const auto start = std::chrono::steady_clock::now();
                const auto answer = ReadRegisters(poller, 4, 0, 4);
                waits.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
                if (answer != std::vector<std::uint16_t>{980, 13, 30, 1}) ++unanswered;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        for (const auto& request : requests) {
            double tookMs = 0.0;
            // Unfinished requests are held past the byte time-out (0.5 s).
            const auto answer = ModbusTest::SendStallRequest(port, request, 1000, tookMs);
            if (request.answerFunction == 0) {
                EXPECT_TRUE(answer.empty()) << request.name;
                std::printf("%-30s held %.1f ms, no answer\n", request.name, tookMs);
            } else if (answer.size() == 9u) {
                EXPECT_EQ(answer[7], request.answerFunction) << request.name;
                EXPECT_EQ(answer[8], request.exception) << request.name;
                std::printf("%-30s answered %02X %02X in %.2f ms\n", request.name, answer[7], answer[8], tookMs);
                EXPECT_LT(tookMs, 100.0) << request.name;  // at once; the library's time-out is 500 ms
            } else {
                ADD_FAILURE() << request.name << ": answer of " << answer.size() << " bytes";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        stop.store(true);
        polling.join();
        ASSERT_GT(waits.size(), 100u);
        EXPECT_EQ(unanswered, 0);
        std::sort(waits.begin(), waits.end());
        std::printf("round %d, other client's reads: %zu, p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", rounds,
                    waits.size(), waits[waits.size() / 2], waits[waits.size() * 99 / 100], waits.back());
        bestMax = std::min(bestMax, waits.back());
    }
    EXPECT_LE(bestMax, kMaxOtherReadMs);
    const std::string out = p.Output();
    EXPECT_EQ(out.find("Modbus: Error while replying"), std::string::npos) << out;
    EXPECT_EQ(AppTest::CountOf(out, "Modbus: Error during read (Connection timed out)"), 2 * rounds) << out;
}

#ifdef BELVANTO_PANELSIM_PROGRAM
// The serial panel and a PLC polling the message registers 400-431 every 5 ms both see each
// of eight messages: the PLC's reads take none from the panel.
TEST_F(AppModbus, PanelAndPlcEachSeeEveryDisplayMessage) {
    PrepareDemo();
    const std::string panelLink = p.root + "/panel.tty";  // the demo robot file's "DisplayPort"
    ChildProcess panel;
    panel.Start({BELVANTO_PANELSIM_PROGRAM, "--link", panelLink}, {}, p.dir, p.dir + "/panel.txt", true);
    ASSERT_TRUE(AppTest::WaitUntil([&] { return fs::is_symlink(panelLink); }, 30000)) << panel.Output();
    ASSERT_NO_FATAL_FAILURE(LaunchDemo());
    ASSERT_NE(p.Output().find("Display 4DS: Connection successful"), std::string::npos) << p.Output();

    RawModbusClient plc(port);
    ASSERT_TRUE(plc.Connected());
    std::atomic<bool> stop{false};
    std::vector<std::string> plcSaw;  // each text once, in the order read
    std::thread polling([&] {
        while (!stop.load()) {
            const auto r = ReadRegisters(plc, 4, 400, 32);
            const std::string text = r.size() == 32u ? Modbus::StringFromRegisters(r.data(), 32) : std::string();
            if (!text.empty() && std::find(plcSaw.begin(), plcSaw.end(), text) == plcSaw.end()) plcSaw.push_back(text);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });

    // Eight messages at once: each finished upload shows "<name> uploaded, <n> lines".
    TestSupport::HvpTestClient hvp;
    ASSERT_TRUE(hvp.Connect(p.hvpPort, 60000)) << p.Output();
    ASSERT_TRUE(hvp.WaitFor("CMD Active true", 60000).has_value()) << p.Output();
    std::vector<std::string> messages;
    int counter = 0;
    for (int k = 1; k <= 8; ++k) {
        const std::string name = "note" + std::to_string(k) + ".txt";
        ASSERT_TRUE(hvp.Send(++counter, "CMD UploadFileInit " + name + " 1"));
        ASSERT_TRUE(hvp.Send(++counter, "CMD UploadFileLine x"));
        ASSERT_TRUE(hvp.Send(++counter, "CMD UploadFileFinish"));
        messages.push_back(name + " uploaded, 1 lines");
    }
    auto panelShowsAll = [&](const std::string& out) {
        for (const auto& m : messages) {
            if (out.find("message: " + m) == std::string::npos) return false;
        }
        return true;
    };
    // Each message stays at least 500 ms on the panel.
    EXPECT_TRUE(panel.WaitForOutput(panelShowsAll, 60000)) << panel.Output();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    stop.store(true);
    polling.join();
    std::vector<std::string> plcMessages;
    for (const auto& text : plcSaw) {
        if (text.find(" uploaded, 1 lines") != std::string::npos) plcMessages.push_back(text);
    }
    EXPECT_EQ(plcMessages, messages);
    hvp.Close();
    panel.Stop();
}
#endif

TEST_F(AppModbus, ServerRunsWhenTheProjectFailed) {
    p.CopyDataRoot(BELVANTO_DEMO_DIR);
    port = p.modbusPort;
    const std::string project = p.root + "/Data/Projects/Demo.prj";
    std::string text = AppTest::ReadFile(project);
    text = std::regex_replace(text, std::regex("Type=\"JXRPivra4\""), "Type=\"NoSuchRobot\"");
    std::FILE* out = std::fopen(project.c_str(), "w");
    ASSERT_NE(out, nullptr);
    std::fputs(text.c_str(), out);
    std::fclose(out);
    p.Start({"BELVANTO_CAN_HUB=" + p.dir + "/none.sock"});
    ASSERT_TRUE(p.WaitForOutput([](const std::string& o) { return o.find("Modbus Server started") != std::string::npos; },
                                60000))
        << p.Output();
    RawModbusClient client(port);
    EXPECT_EQ(ReadRegisters(client, 4, 96, 1), (std::vector<std::uint16_t>{1})) << p.Output();
    const auto bits = client.Ask(Pdu(2, {50, 11}));
    ASSERT_EQ(bits.size(), 11u);
    EXPECT_EQ(bits[9] & 0x10, 0);  // 54: not normal operation
    // The whole map answers without a hardware protocol.
    for (int a = 0; a < 750; a += 125) EXPECT_EQ(ReadRegisters(client, 4, a, 125).size(), 125u) << a;
    for (int a = 0; a < 750; a += 125) EXPECT_EQ(ReadRegisters(client, 3, a, 125).size(), 125u) << a;
    EXPECT_EQ(client.Ask(Pdu(1, {0, 428})).size(), 9u + 54u);

    // Every command coil from 52 on and every holding register written with 1s: the robot
    // master's do-nothing objects take them, the process answers on.
    std::vector<std::uint8_t> coils = Pdu(15, {52, 312});
    coils.push_back(39);
    coils.insert(coils.end(), 39, 0xFF);
    EXPECT_EQ(client.Ask(coils).size(), 12u);
    for (int a = 0; a < 750; a += 123) {
        const int n = std::min(123, 750 - a);
        std::vector<std::uint8_t> registers = Pdu(16, {static_cast<std::uint16_t>(a), static_cast<std::uint16_t>(n)});
        registers.push_back(static_cast<std::uint8_t>(2 * n));
        for (int k = 0; k < n; ++k) {
            registers.push_back(0);
            registers.push_back(1);
        }
        EXPECT_EQ(client.Ask(registers).size(), 12u) << a;
    }
    EXPECT_EQ(ReadRegisters(client, 4, 0, 4), (std::vector<std::uint16_t>{980, 13, 30, 1}));
    EXPECT_FALSE(p.HasExited()) << p.Output();
}

}  // namespace

#endif
