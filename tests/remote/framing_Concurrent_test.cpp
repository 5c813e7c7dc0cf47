// Frames over TCP: limits, junk, type matching, counters, receive limits and malformed
// requests, against a manager on a loopback port.

#include "remote_test_support.h"

#include <sys/socket.h>

#include <iostream>
#include <sstream>

using namespace RemoteTest;

namespace {

class HvpFramingConcurrent : public ServerFixture {};

std::string FrameOfLength(std::size_t length, int counter) {
    const std::string head = "HVPSTART " + std::to_string(counter) + " CMD GetVersion ";
    return head + std::string(length - head.size() - 6, 'x') + "HVPEND";
}

TEST_F(HvpFramingConcurrent, LengthLimitJunkAndTypePrefixes) {
    TestSupport::LogCapture log;
    HvpTestClient& client = Connect();
    // 1019 bytes are served; 1020 are dropped and the next frame of the same write served.
    ASSERT_TRUE(client.SendRaw(FrameOfLength(1019, 1)));
    auto reply = client.WaitFor("INFO Version", kWaitMs);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->payload, "INFO Version Belvanto 16");
    ASSERT_TRUE(client.SendRaw(FrameOfLength(1020, 2) + "HVPSTART 3 CMD GetActive HVPEND"));
    ASSERT_TRUE(client.WaitFor("CMD Active", kWaitMs));
    EXPECT_TRUE(log.Contains("HVP-Server: Read buffer filled without HVPEND token, skipping message"));
    EXPECT_EQ(client.PayloadsStartingWith("INFO Version").size(), 1u);

    // Junk and a partial head before a frame; a type that only begins with "CMD".
    ASSERT_TRUE(client.SendRaw("garbage HVPSTA\r\nHVPSTART 4 CMDX GetVersion HVPEND\r\n"));
    reply = client.WaitFor("INFO Version", kWaitMs);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->payload, "INFO Version Belvanto 16");

    // "CANBrick" is CANBridge: its unknown keyword gets CANBridge's parse-error line.
    ASSERT_TRUE(client.Send(5, "CANBrick Nothing"));
    ASSERT_TRUE(client.Send(6, "CMD GetActive"));
    ASSERT_TRUE(client.WaitFor("CMD Active", kWaitMs));
    EXPECT_TRUE(log.Contains("HVP-Server: ERROR Could not parse CANBridge command: 'HVPSTART 5 CANBrick Nothing HVPEND'"));
}

TEST_F(HvpFramingConcurrent, UnknownTypesAreOnlyPrintedAndGetNoReply) {
    HvpTestClient& client = Connect();
    testing::internal::CaptureStdout();
    ASSERT_TRUE(client.Send(1, "CONFIGX GetCloud"));
    ASSERT_TRUE(client.SendRaw("HVPSTART 2 HVPEND"));  // no type at all
    ASSERT_TRUE(client.Send(3, "CMD GetVersion"));
    const auto reply = client.WaitFor("INFO Version", kWaitMs);
    LogSingleton::instance()->Flush();  // the console copy is written on the log's own thread
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->counter, 0) << "nothing was sent before the reply";
    EXPECT_NE(out.find("Read, but not parsed: PROG CONFIGX: HVPSTART 1 CONFIGX GetCloud HVPEND"), std::string::npos)
        << out;
    EXPECT_NE(out.find("Read, but not parsed: PROG : HVPSTART 2 HVPEND"), std::string::npos) << out;
}

TEST_F(HvpFramingConcurrent, ThousandAndOneRepliesCountFromZeroAndWrapAfter999) {
    HvpTestClient& client = Connect();
    std::string batch;
    for (int i = 0; i < 1001; ++i) batch += "HVPSTART " + std::to_string(i) + " CMD GetActive HVPEND";
    ASSERT_TRUE(client.SendRaw(batch));
    std::vector<int> counters;
    HvpTestClient::Frame frame;
    while (counters.size() < 1001 && client.ReadFrame(frame, kWaitMs)) {
        EXPECT_EQ(frame.payload, "CMD Active true");
        counters.push_back(frame.counter);
    }
    ASSERT_EQ(counters.size(), 1001u);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(counters[i], i);
    EXPECT_EQ(counters[1000], 0);
}

TEST_F(HvpFramingConcurrent, APauseInsideAFrameEndsTheConnectionButSilenceBetweenFramesDoesNot) {
    TestSupport::LogCapture log;
    HvpTestClient& idle = Connect();
    HvpTestClient& paused = Connect();
    ASSERT_TRUE(paused.SendRaw("HVPSTART 1 CMD Get"));
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    ASSERT_TRUE(paused.WaitClosed(kWaitMs));
    EXPECT_TRUE(WaitFor([&] { return log.Contains("ERROR: HVP-Server Read error 41 (read failed at body of message), "); }));

    std::this_thread::sleep_for(std::chrono::milliseconds(8000));  // 10 s idle in all
    ASSERT_TRUE(idle.Send(7, "CMD GetVersion"));
    EXPECT_TRUE(idle.WaitFor("INFO Version Belvanto 16", kWaitMs));
}

TEST_F(HvpFramingConcurrent, AClientThatEndedItsInputStillGetsTelegramsForTheReceiveLimit) {
    // As socat does at the end of its input: the request, then the sending side closed.
    HvpTestClient& client = Connect();
    ASSERT_TRUE(client.Send(5, "CMD GetVersion"));
    ASSERT_EQ(::shutdown(client.Fd(), SHUT_WR), 0);
    ASSERT_TRUE(client.WaitFor("INFO Version Belvanto 16", kWaitMs));
    Pass();
    EXPECT_TRUE(client.WaitFor("MESSAGE Belvanto Version", kWaitMs));
    EXPECT_TRUE(client.WaitClosed(kWaitMs)) << "closed once the limit has passed";
}

TEST_F(HvpFramingConcurrent, MalformedRequestsChangeNothingAndGetTheFamilyError) {
    HvpTestClient& client = Connect();
    std::shared_ptr<ComServer> server = Server(0);
    ASSERT_TRUE(server);

    // A bad counter answers with counter 0; a missing keyword with the counter.
    const struct {
        const char* raw;
        const char* reply;
    } cmdCases[] = {
        {"HVPSTART x CMD GetVersion HVPEND", "CMDERROR 0 could not parse command"},
        {"HVPSTART 12abc CMD GetActive HVPEND", "CMDERROR 0 could not parse command"},
        {"HVPSTART 1 CMDHVPEND", "CMDERROR 1 could not parse command"},
        {"HVPSTART 2 CMD NoSuchKeyword HVPEND", "CMDERROR 2 could not parse command"},
    };
    for (const auto& c : cmdCases) {
        ASSERT_TRUE(client.SendRaw(c.raw));
        const auto reply = client.WaitForFrame([](const HvpTestClient::Frame& f) {
            return f.payload.rfind("CMDERROR", 0) == 0;
        }, kWaitMs);
        ASSERT_TRUE(reply) << c.raw;
        EXPECT_EQ(reply->payload, c.reply) << c.raw;
    }
    // The markers alone are ignored and the connection stays.
    ASSERT_TRUE(client.SendRaw("HVPSTARTHVPEND HVPSTART HVPEND"));
    ASSERT_TRUE(client.Send(3, "CMD GetVersion"));
    EXPECT_TRUE(client.WaitFor("INFO Version Belvanto 16", kWaitMs));
    EXPECT_TRUE(server->IsConnected());

    // A malformed ALIVEJOG stops every axis and arms the watchdog.
    const char* jogCases[] = {
        "1 2 3 4 5",
        "1 2 3 4 5 6 7 8 nan",
        "1 2 3 4 5 6 7 8 1e999",
        "1 2 3 4 5 6 7 8 12abc",
        "1 2 3 4 5 6 7 8 inf",
    };
    for (const char* values : jogCases) {
        ASSERT_TRUE(client.Send(4, std::string("ALIVEJOG 9 9 9 9 9 9 9 9 9")));
        ASSERT_TRUE(WaitFor([&] {
            float v[9];
            server->GetJogValues(v);
            return v[8] == 9.0f;
        }));
        ASSERT_TRUE(client.Send(5, std::string("ALIVEJOG ") + values));
        ASSERT_TRUE(client.Send(6, "CMD GetActive"));
        ASSERT_TRUE(client.WaitFor("CMD Active", kWaitMs));
        EXPECT_EQ(server->GetJogWatchdog(), 100) << values;
        float v[9];
        server->GetJogValues(v);
        for (int i = 0; i < 9; ++i) EXPECT_EQ(v[i], 0.0f) << values << " axis " << i;
    }
    ASSERT_TRUE(client.SendRaw("HVPSTART x ALIVEJOG 1 1 1 1 1 1 1 1 1 HVPEND HVPSTART 6 CMD GetActive HVPEND"));
    ASSERT_TRUE(client.WaitFor("CMD Active", kWaitMs));
    float v[9];
    server->GetJogValues(v);
    EXPECT_EQ(v[0], 0.0f) << "a bad counter makes the jog message malformed";
}

// A short ALIVEJOG is said once per connection, with the number of values it held.
TEST_F(HvpFramingConcurrent, AShortJogMessageIsLoggedOncePerConnection) {
    const struct {
        const char* values;
        int read;
    } cases[] = {{"1 2 3 4 5", 5}, {"", 0}, {"1 2 3 4 5 6 7 8 nan", 8}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.values);
        TestSupport::LogCapture log;
        HvpTestClient& client = Connect();
        ASSERT_TRUE(client.Send(1, "ALIVEJOG 1 2 3 4 5 6 7 8 9"));
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(client.Send(2, std::string("ALIVEJOG ") + c.values));
        ASSERT_TRUE(client.Send(3, "CMD GetVersion"));
        ASSERT_TRUE(client.WaitFor("INFO Version", kWaitMs));
        EXPECT_EQ(log.Count("HVP-Server: ALIVEJOG with"), 1);
        EXPECT_EQ(log.Count("HVP-Server: ALIVEJOG with " + std::to_string(c.read) +
                            " values, 9 expected: jog values zeroed"),
                  1);
    }
}

TEST_F(HvpFramingConcurrent, JogWatchdogCountsOnlyWhileArmedAndClosesAtZero) {
    TestSupport::LogCapture log;
    HvpTestClient& client = Connect();
    std::shared_ptr<ComServer> server = Server(0);
    float v[9];
    for (int i = 0; i < 300; ++i) server->GetJogValues(v);
    EXPECT_EQ(server->GetJogWatchdog(), 0) << "never armed: never counts";
    EXPECT_TRUE(server->IsConnected());

    ASSERT_TRUE(client.Send(1, "ALIVEJOG 1 2 3 4 5 6 7 8 9"));
    ASSERT_TRUE(WaitFor([&] { return server->GetJogWatchdog() == 100; }));
    for (int i = 0; i < 99; ++i) server->GetJogValues(v);
    EXPECT_EQ(v[8], 9.0f);
    EXPECT_TRUE(server->IsConnected());
    server->GetJogValues(v);
    for (float value : v) EXPECT_EQ(value, 0.0f);
    EXPECT_EQ(server->GetJogWatchdog(), -1);
    for (int i = 0; i < 5; ++i) server->GetJogValues(v);
    EXPECT_EQ(server->GetJogWatchdog(), -1) << "stays disarmed";
    EXPECT_TRUE(client.WaitClosed(kWaitMs));
    EXPECT_TRUE(log.Contains("HVP-Server: client does not send anymore (watchdog), closing connection"));
}

}  // namespace
