#include "vision/TCPClient.h"

#include "testsupport/LoopbackListener.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace {

using TestSupport::LoopbackListener;

// A client connected to a listener, with the server's end of the connection.
struct Connection {
    LoopbackListener listener;
    TCPClient client;
    int server = -1;

    Connection() {
        EXPECT_TRUE(client.setup("127.0.0.1", listener.Port()));
        server = listener.Accept(5000);
        EXPECT_GE(server, 0);
    }
    ~Connection() {
        if (server >= 0) ::close(server);
    }
    void ServerSends(const std::string& bytes) const {
        ASSERT_EQ(::send(server, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    void ServerCloses() {
        ::close(server);
        server = -1;
    }
};

TEST(TCPClientSetup, PortsOutsideTheRangeFailWithoutASocket) {
    for (int port : {0, -1, 65536, 100000}) {
        TestSupport::LogCapture log;
        TCPClient client;
        EXPECT_FALSE(client.setup("127.0.0.1", port)) << port;
        EXPECT_FALSE(client.IsOpen()) << port;
    }
}

TEST(TCPClientSetup, UnresolvableHostFailsAndKeepsTheSocket) {
    TestSupport::LogCapture log;
    TCPClient client;
    EXPECT_FALSE(client.setup("no-such-host.invalid", 80));
    EXPECT_TRUE(log.Contains("TCPClient: failed to resolve hostname...")) << log.Joined();
    EXPECT_TRUE(client.IsOpen());
}

TEST(TCPClientSetup, RefusedConnectClosesTheSocketAndTheNextSetupWorks) {
    int closedPort = 0;
    {
        LoopbackListener gone;
        closedPort = gone.Port();
    }
    TestSupport::LogCapture log;
    TCPClient client;
    EXPECT_FALSE(client.setup("127.0.0.1", closedPort));
    EXPECT_TRUE(log.Contains("TCPClient: Connect failed...")) << log.Joined();
    EXPECT_FALSE(client.IsOpen());

    LoopbackListener listener;
    EXPECT_TRUE(client.setup("localhost", listener.Port()));
    EXPECT_TRUE(client.IsOpen());
    const int accepted = listener.Accept(5000);
    EXPECT_GE(accepted, 0);
    ::close(accepted);
}

TEST(TCPClientSetup, ConnectThatNeverCompletesGivesUpAfterTheTimeOut) {
    LoopbackListener listener(0);
    if (!listener.Stall()) GTEST_SKIP() << "this system accepts every loopback connect; nothing to wait for";
    TestSupport::LogCapture log;
    TCPClient client;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.setup("127.0.0.1", listener.Port()));
    const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(elapsed, TCPClient::ConnectTimeoutMs / 1000.0 - 0.1);
    EXPECT_LT(elapsed, TCPClient::ConnectTimeoutMs / 1000.0 + 1.0);
    EXPECT_FALSE(client.IsOpen());
}

TEST(TCPClientTransfer, SendStopsAtTheFirstZeroByte) {
    Connection c;
    c.client.Send(std::string("ab\0cd", 5));
    c.client.Send("ef");
    c.client.Close();
    EXPECT_EQ(TestSupport::ReadAll(c.server, 5000), "abef");
}

TEST(TCPClientTransfer, ReadReturnsALineOrWhatCameBeforeTheClose) {
    Connection c;
    c.ServerSends("abc\nab");
    EXPECT_EQ(c.client.read(), "abc\n");
    c.ServerCloses();
    EXPECT_EQ(c.client.read(), "ab");
}

TEST(TCPClientTransfer, ReceiveAndReadBytesReportDataThenTheClose) {
    Connection c;
    EXPECT_FALSE(c.client.dataAvailable(20));
    timeval wait{0, 20000};
    EXPECT_FALSE(c.client.dataAvailable(&wait));

    c.ServerSends(std::string("xy\0z", 4));
    ASSERT_TRUE(c.client.dataAvailable(5000));
    // Text ends at the first zero byte.
    EXPECT_EQ(c.client.receive(16), "xy");

    c.ServerSends("12345");
    char buffer[8];
    ASSERT_TRUE(c.client.dataAvailable(5000));
    EXPECT_EQ(c.client.readBytes(buffer, 3), 3);
    EXPECT_EQ(std::string(buffer, 3), "123");
    EXPECT_EQ(c.client.readBytes(buffer, 8), 2);

    c.ServerCloses();
    // A closed peer reads as available, then as 0 bytes.
    EXPECT_TRUE(c.client.dataAvailable(5000));
    EXPECT_EQ(c.client.readBytes(buffer, 8), 0);
    EXPECT_EQ(c.client.receive(8), "");
}

TEST(TCPClientTransfer, SendToAClosedPeerFailsWithoutEndingTheProcess) {
    Connection c;
    c.ServerCloses();
    TestSupport::LogCapture log;
    // The first send may still be accepted; a later one meets the reset connection.
    for (int i = 0; i < 20 && !log.Contains("TCPClient: Send failed..."); ++i) {
        c.client.Send("REQUEST");
        ::usleep(10000);
    }
    EXPECT_TRUE(log.Contains("TCPClient: Send failed...")) << log.Joined();
}

TEST(TCPClientClose, SecondCloseLeavesAReusedDescriptorAlone) {
    Connection c;
    c.client.Close();
    EXPECT_FALSE(c.client.IsOpen());
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    c.client.Close();
    EXPECT_NE(::fcntl(pipeEnds[0], F_GETFD), -1);
    EXPECT_NE(::fcntl(pipeEnds[1], F_GETFD), -1);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    char byte;
    EXPECT_EQ(c.client.readBytes(&byte, 1), -1);
    EXPECT_FALSE(c.client.dataAvailable(0));
}

}  // namespace
