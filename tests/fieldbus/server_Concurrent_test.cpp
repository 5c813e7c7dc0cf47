// The server on the loopback interface: raw requests, the client limit, the life cycle.
#include "RawModbusClient.h"
#include "testsupport/RecordingPort.h"
#include "fieldbus/ModbusServer.h"
#include "testsupport/LoopbackSocket.h"
#include "testsupport/TestSupport.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Modbus::ModbusServer;
using ModbusTest::RawModbusClient;
using TestSupport::RecordingPort;

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    return TestSupport::WaitUntil(condition, timeoutMs, 10);
}

std::vector<std::uint8_t> Pdu(std::uint8_t function, std::initializer_list<std::uint16_t> words) {
    return RawModbusClient::Pdu(function, words);
}

class ModbusServerConcurrent : public ::testing::Test {
protected:
    void SetUp() override {
        server = ModbusServer::Instance();
        server->Stop();
        port.SetArmWithGripperAndAxes();
        server->SetControllerPort(&port);
        server->SetListenAddress("127.0.0.1", 0);
        server->SetMaxConnections(5);
        StartAndWait();
    }
    void TearDown() override {
        server->Stop();
        server->SetControllerPort(nullptr);
    }
    void StartAndWait() {
        server->Start();
        ASSERT_TRUE(WaitUntil([&] { return server->IsListening(); }, 20000));
    }
    int Port() const { return server->GetBoundPort(); }

    ModbusServer* server = nullptr;
    RecordingPort port;
};

TEST_F(ModbusServerConcurrent, RawRequestsAnsweredAndRefusedWritesNeverAct) {
    std::fill(std::begin(port.state.DIn), std::end(port.state.DIn), true);
    RawModbusClient client(Port());
    ASSERT_TRUE(client.Connected());
    struct Case {
        const char* name;
        std::vector<std::uint8_t> pdu;
        std::uint8_t function, exception;
        std::vector<std::string> calls;  // what the handlers asked the controller
    };
    const Case cases[] = {
        {"coil read count 2001", Pdu(1, {0, 2001}), 0x81, 3, {}},
        // The handler fills 400-427 (inputs 36-63) and stops at the table's end.
        {"coil read past the end", Pdu(1, {400, 100}), 0x81, 2, {"read state"}},
        {"single coil value 0x1234", Pdu(5, {53, 0x1234}), 0x85, 3, {}},
        {"unknown function", Pdu(99, {0, 1}), 0xE3, 1, {}},
    };
    for (const Case& c : cases) {
        port.Clear();
        const auto answer = client.Ask(c.pdu);
        ASSERT_EQ(answer.size(), 9u) << c.name;
        EXPECT_EQ(answer[7], c.function) << c.name;
        EXPECT_EQ(answer[8], c.exception) << c.name;
        EXPECT_EQ(port.Calls(), c.calls) << c.name;
    }
    EXPECT_EQ(server->GetTable().coils[400], 1);
    EXPECT_EQ(server->GetTable().coils[427], 1);
    // Under 12 bytes: answered, no handler asked anything.
    port.Clear();
    const auto id = client.Ask({0x11});
    ASSERT_GE(id.size(), 8u);
    EXPECT_EQ(id[7], 0x11);
    server->Stop();
    EXPECT_TRUE(port.Calls().empty());
}

TEST_F(ModbusServerConcurrent, StandardLibraryPythonClientGetsTheExactExceptionAnswers) {
    const char* python = "/usr/bin/python3";
    if (access(python, X_OK) != 0) GTEST_SKIP() << python << " not installed (scripts/deps.sh installs it)";
    std::fill(std::begin(port.state.DIn), std::end(port.state.DIn), true);
    port.Clear();
    const std::string command = std::string(python) + " " + BELVANTO_FIELDBUS_DIR + "/raw_mbap.py 127.0.0.1 " +
                                std::to_string(Port()) + " 2>&1";
    int status = -1;
    const std::string output = TestSupport::RunCommand(command, &status);
    EXPECT_EQ(status, 0) << output;
    for (const char* line : {"read coils 0 count 2001 -> 81 03 ok", "read coils 400 count 100 -> 81 02 ok",
                             "write coil 53 value 0x1234 -> 85 03 ok", "function 99 -> E3 01 ok",
                             "function 7 -> 87 01 ok", "report server id (8 bytes) -> 11 ok"}) {
        EXPECT_NE(output.find(line), std::string::npos) << line << "\n" << output;
    }
    server->Stop();
    // No write handler acted, and the only read was the bit handler's for 400-427.
    EXPECT_EQ(port.Calls(), (std::vector<std::string>{"read state"}));
}

// Requests are cut by the MBAP length, however the bytes arrive: several in one segment,
// one byte at a time, or a start that is never finished (dropped after the byte time-out).
TEST_F(ModbusServerConcurrent, RequestsAreCutByTheirMbapLength) {
    TestSupport::LogCapture log;
    RawModbusClient client(Port());
    auto transactionOf = [](const std::vector<std::uint8_t>& answer) { return answer.size() > 1 ? answer[1] : -1; };

    std::vector<std::uint8_t> two = RawModbusClient::Frame(1, Pdu(4, {0, 1}));
    const std::vector<std::uint8_t> second = RawModbusClient::Frame(2, Pdu(4, {3, 1}));
    two.insert(two.end(), second.begin(), second.end());
    ASSERT_TRUE(client.Send(two));
    const auto first = client.ReadAnswer();
    const auto next = client.ReadAnswer();
    EXPECT_EQ(transactionOf(first), 1);
    EXPECT_EQ(RawModbusClient::Registers(first), (std::vector<std::uint16_t>{980}));
    EXPECT_EQ(transactionOf(next), 2);
    EXPECT_EQ(RawModbusClient::Registers(next), (std::vector<std::uint16_t>{1}));

    for (std::uint8_t byte : RawModbusClient::Frame(3, Pdu(4, {3, 1}))) {
        ASSERT_TRUE(client.Send({byte}));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto slow = client.ReadAnswer();
    EXPECT_EQ(transactionOf(slow), 3);
    EXPECT_EQ(RawModbusClient::Registers(slow), (std::vector<std::uint16_t>{1}));

    std::vector<std::uint8_t> half = RawModbusClient::Frame(4, Pdu(4, {0, 1}));
    half.resize(8);
    ASSERT_TRUE(client.Send(half));
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("Modbus: Error during read (Connection timed out)"); }, 10000));
    const auto after = client.Ask(Pdu(4, {3, 1}));
    EXPECT_EQ(RawModbusClient::Registers(after), (std::vector<std::uint16_t>{1}));

    // A length no request can have leaves no way to find the next one: the client is closed.
    for (std::uint16_t length : {0, 1, 255, 300}) {
        RawModbusClient bad(Port());
        std::vector<std::uint8_t> header = RawModbusClient::Frame(9, Pdu(4, {0, 1}));
        header[4] = static_cast<std::uint8_t>(length >> 8);
        header[5] = static_cast<std::uint8_t>(length & 0xFF);
        ASSERT_TRUE(bad.Send(header));
        EXPECT_TRUE(bad.ClosedByServer(10000)) << length;
        EXPECT_TRUE(WaitUntil(
            [&] { return log.Contains("Modbus: Closing client, request length " + std::to_string(length) + " not valid"); },
            10000))
            << length;
    }
    EXPECT_EQ(RawModbusClient::Registers(client.Ask(Pdu(4, {3, 1}))), (std::vector<std::uint16_t>{1}));
}

// A client that sends requests and never reads the answers fills its socket; the listener
// stops serving it instead of waiting in a send, and the other clients go on.
TEST_F(ModbusServerConcurrent, AClientThatTakesNoAnswersHoldsNoOneElse) {
    const int hog = TestSupport::ConnectLoopback(Port());
    ASSERT_GE(hog, 0);
    const int small = 4096;
    setsockopt(hog, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    const timeval sendLimit{0, 200000};
    setsockopt(hog, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof(sendLimit));
    const std::vector<std::uint8_t> read = RawModbusClient::Frame(1, Pdu(4, {0, 125}));
    std::vector<std::uint8_t> burst;
    for (int i = 0; i < 400; ++i) burst.insert(burst.end(), read.begin(), read.end());
    // Until its sends no longer go out: the server has stopped reading it.
    std::atomic<bool> stalled{false};
    std::thread flood([&] {
        for (int i = 0; i < 2000 && !stalled.load(); ++i) {
            if (send(hog, burst.data(), burst.size(), MSG_NOSIGNAL) <= 0) stalled.store(true);
        }
    });
    RawModbusClient other(Port());
    double slowestMs = 0.0;
    for (int i = 0; i < 50; ++i) {
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(other.Ask(Pdu(4, {3, 1})).size(), 11u) << i;
        slowestMs = std::max(slowestMs, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(WaitUntil([&] { return stalled.load(); }, 20000));
    flood.join();
    close(hog);
    std::printf("slowest answer to the other client: %.2f ms\n", slowestMs);
    EXPECT_LT(slowestMs, 1000.0);  // microseconds expected; a listener stuck in a send never answers
    EXPECT_EQ(other.Ask(Pdu(4, {3, 1})).size(), 11u);
}

TEST_F(ModbusServerConcurrent, RefusedCoilWriteAfterAStatusReadLeavesTheMotorsOn) {
    port.modules.motorsEnabled = true;
    RawModbusClient client(Port());
    const auto status = client.Ask(Pdu(1, {50, 11}));
    ASSERT_EQ(status.size(), 11u);
    EXPECT_EQ(status[7], 1);
    EXPECT_EQ(status[9] & 0x08, 0x08);  // coil 53 reads as enabled
    const auto refused = client.Ask(Pdu(5, {53, 0x1234}));
    ASSERT_EQ(refused.size(), 9u);
    // Coil 52 = 1 twice: one reset.
    for (int i = 0; i < 2; ++i) ASSERT_EQ(client.Ask(Pdu(5, {52, 0xFF00})).size(), 12u);
    server->Stop();
    EXPECT_EQ(port.Commands(), (std::vector<std::string>{"Reset"}));
}

TEST_F(ModbusServerConcurrent, ClientsBeyondTheLimitAreClosedAndTheOthersGoOn) {
    TestSupport::LogCapture log;
    std::vector<std::unique_ptr<RawModbusClient>> clients;
    for (int i = 0; i < 5; ++i) {
        clients.push_back(std::make_unique<RawModbusClient>(Port()));
        // Each one answered before the next connects, so all five are accepted.
        ASSERT_EQ(clients.back()->Ask(Pdu(4, {0, 4})).size(), 17u) << i;
    }
    RawModbusClient sixth(Port());
    ASSERT_TRUE(sixth.Connected());
    EXPECT_TRUE(sixth.ClosedByServer(10000));
    EXPECT_TRUE(WaitUntil(
        [&] { return log.Contains("Modbus: Cannot accept new client (limit 5 reached), closing connection"); }, 10000));
    for (auto& c : clients) {
        const auto answer = c->Ask(Pdu(4, {0, 1}));
        ASSERT_EQ(answer.size(), 11u);
        EXPECT_EQ(RawModbusClient::Registers(answer)[0], 980);
    }
    // A client that leaves frees its place once the server has seen it go.
    clients.pop_back();
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("Modbus: Lost client during read"); }, 10000));
    RawModbusClient again(Port());
    EXPECT_EQ(again.Ask(Pdu(4, {3, 1})).size(), 11u);
}

TEST_F(ModbusServerConcurrent, RestartKeepsTheTableAndStartAfterStopBeginsAfresh) {
    {
        RawModbusClient client(Port());
        ASSERT_EQ(client.Ask(Pdu(6, {170, 1234})).size(), 12u);
        ASSERT_EQ(client.Ask(Pdu(6, {180, 77})).size(), 12u);
    }
    const int first = Port();
    server->Restart();
    ASSERT_TRUE(WaitUntil([&] { return server->IsListening() && Port() != first; }, 20000));
    {
        RawModbusClient client(Port());
        const auto values = RawModbusClient::Registers(client.Ask(Pdu(3, {170, 11})));
        ASSERT_EQ(values.size(), 11u);
        EXPECT_EQ(values[0], 1234);
        EXPECT_EQ(values[10], 77);
    }
    // A second Start while it runs changes nothing.
    const int running = Port();
    server->Start();
    EXPECT_EQ(Port(), running);

    server->Stop();
    EXPECT_FALSE(server->IsListening());
    const auto started = std::chrono::steady_clock::now();
    StartAndWait();
    RawModbusClient client(Port());
    const auto values = RawModbusClient::Registers(client.Ask(Pdu(3, {170, 11})));
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(values.size(), 11u);
    EXPECT_EQ(values[0], 0);
    EXPECT_EQ(values[10], 500);
    EXPECT_LT(took, std::chrono::seconds(20));  // 2 s expected; room for sanitizer builds
}

TEST_F(ModbusServerConcurrent, StopAndStartInQuickSuccessionNeverLoseTheWantedState) {
    for (int i = 0; i < 20; ++i) {
        server->Stop();
        server->Start();
    }
    ASSERT_TRUE(WaitUntil([&] { return server->IsListening(); }, 20000));
    RawModbusClient client(Port());
    EXPECT_EQ(client.Ask(Pdu(4, {3, 1})).size(), 11u);
    // Restart from several threads at once ends with one listener that answers.
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([&] { server->Restart(); });
    for (auto& t : threads) t.join();
    // Each restart listens on a new free port: ask whichever is current until one answers.
    EXPECT_TRUE(WaitUntil(
        [&] {
            RawModbusClient after(Port());
            return after.Ask(Pdu(4, {3, 1})).size() == 11u;
        },
        20000));
}

TEST_F(ModbusServerConcurrent, PlcVelocitiesReadOnAnotherThreadWhileTheListenerServes) {
    RawModbusClient client(Port());
    std::atomic<bool> stop{false};
    std::atomic<int> seen{0};
    std::thread loop([&] {
        float v = 0.0f;
        while (!stop.load()) {
            if (server->GetExternalJointVelocity(0, &v) && v == 10.0f) seen.fetch_add(1);
            if (seen.load() > 100) server->ResetExternalJointVelocities();
        }
    });
    std::vector<std::uint8_t> write = Pdu(16, {181, 2});
    write.insert(write.end(), {4, 0, 100, 0, 0});
    ASSERT_EQ(client.Ask(write).size(), 12u);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(client.Ask(Pdu(3, {181, 6})).size(), 21u);
    EXPECT_TRUE(WaitUntil([&] { return seen.load() > 0; }, 10000));
    stop.store(true);
    loop.join();
}

TEST_F(ModbusServerConcurrent, DescriptorsBeyondTheSelectLimitAreClosedAtOnce) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlim_t wanted = FD_SETSIZE + 64;
    if (limit.rlim_cur < wanted) {
        if (limit.rlim_max < wanted) GTEST_SKIP() << "open-file limit " << limit.rlim_max << " below " << wanted;
        rlimit raised = limit;
        raised.rlim_cur = wanted;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    // Fill every descriptor below FD_SETSIZE so that the next accept gets a higher one.
    std::vector<int> fillers;
    for (;;) {
        const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) break;
        fillers.push_back(fd);
        if (fd >= FD_SETSIZE - 1) break;
    }
    TestSupport::LogCapture log;
    {
        RawModbusClient high(Port());
        ASSERT_TRUE(high.Connected());
        EXPECT_TRUE(high.ClosedByServer(10000));
    }
    for (int fd : fillers) close(fd);
    EXPECT_TRUE(WaitUntil([&] { return log.Contains("too high), closing connection"); }, 10000)) << log.Joined();
    RawModbusClient normal(Port());
    EXPECT_EQ(normal.Ask(Pdu(4, {3, 1})).size(), 11u);
    if (limit.rlim_cur < wanted) setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace
