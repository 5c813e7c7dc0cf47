// One connection on a socket pair: payload rules of the sender and the bounded queue of a
// client that does not read.

#include "remote/ComServer.h"
#include "remote_test_support.h"

#include <sys/socket.h>

using namespace RemoteTest;

namespace {

class HvpConnectionConcurrent : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        server = std::make_unique<ComServer>(nullptr, nullptr, nullptr, fds[0]);
        client.Adopt(fds[1]);
        server->StartServer();
        ASSERT_TRUE(WaitFor([&] { return server->IsConnected(); }));
    }
    void TearDown() override {
        server->StopServer();
        server->Join();
    }
    std::unique_ptr<ComServer> server;
    HvpTestClient client;
};

TEST_F(HvpConnectionConcurrent, PayloadsEndAtTheirFirstNulAndMarkersAreRefusedWithoutACounter) {
    TestSupport::LogCapture log;
    server->SendToClient(std::string("CAMINFO line\0rest", 17));
    server->SendToClient("INFO x HVPEND y");
    server->SendToClient("HVPSTART");
    server->SendToClient("INFO after");
    HvpTestClient::Frame first, second;
    ASSERT_TRUE(client.ReadFrame(first, kWaitMs));
    ASSERT_TRUE(client.ReadFrame(second, kWaitMs));
    EXPECT_EQ(first.payload, "CAMINFO line");
    EXPECT_EQ(first.counter, 0);
    EXPECT_EQ(second.payload, "INFO after");
    EXPECT_EQ(second.counter, 1) << "a refused payload takes no counter";
    EXPECT_EQ(log.Count("HVP-Server: Could not send message to HVP client, it contains a reserved token: "), 2);
}

TEST_F(HvpConnectionConcurrent, AClientThatDoesNotReadIsClosedWithTheWriteLineAndTheQueueStaysBounded) {
    TestSupport::LogCapture log;
    const std::string line(1000, 'x');
    const auto start = std::chrono::steady_clock::now();
    std::size_t most = 0;
    while (server->IsConnected() && std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
        server->SendToClient("INFO " + line);
        most = std::max(most, server->QueuedBytes());
    }
    EXPECT_FALSE(server->IsConnected());
    EXPECT_LE(most, ComServer::kMaxQueuedBytes);
    EXPECT_TRUE(WaitFor([&] { return server->IsFinished(); }));
    EXPECT_TRUE(log.Contains("HVP-Server: Could not write to stream, closing connection ("));
    EXPECT_TRUE(log.Contains("HVP-Server: connection closed"));
}

}  // namespace
