// The controller process serves HVP on the port BELVANTO_HVP_PORT names, greets a new
// client and stops the server before it exits.

#include "../control/app_process_support.h"
#include "testsupport/HvpTestClient.h"

#ifdef BELVANTO_BINARY

#include <netinet/in.h>
#include <sys/socket.h>

using namespace AppTest;

namespace {

TEST(AppHvpConcurrent, ServesOnTheConfiguredPortGreetsAndStopsBeforeExiting) {
    BelvantoProcess p;
    p.CopyDataRoot(std::string(BELVANTO_FIXTURES_DIR) + "/app");
    const int port = FreePort();
    p.Start({"BELVANTO_CAN_HUB=" + p.dir + "/no_hub.sock", "BELVANTO_HVP_PORT=" + std::to_string(port)});

    TestSupport::HvpTestClient client;
    ASSERT_TRUE(client.Connect(port, 30000)) << p.Output();
    ASSERT_TRUE(client.Send(5, "CMD GetVersion"));
    const auto version = client.WaitFor("INFO Version", 30000);
    ASSERT_TRUE(version) << p.Output();
    EXPECT_EQ(version->payload, "INFO Version Belvanto 16");
    // The main loop's first pass for this client sends the configuration lines.
    const auto greeting = client.WaitFor("MESSAGE Belvanto Version V980-13-030", 30000);
    EXPECT_TRUE(greeting) << p.Output();
    EXPECT_TRUE(client.WaitFor("STATUS", 30000));

    p.Signal(SIGTERM);
    const int status = p.WaitForExit(30000);
    ASSERT_NE(status, -1) << "belvanto did not end after SIGTERM";
    EXPECT_TRUE(client.WaitClosed(10000));
    const std::string out = p.Output();
    const size_t stopping = out.find("ComServerManager: Stopping");
    ASSERT_NE(stopping, std::string::npos) << out;
    EXPECT_LT(stopping, out.find("Belvanto: Exiting..."));
    EXPECT_NE(out.find("ComServerManager: port " + std::to_string(port) + ", max 5 clients"), std::string::npos);
    ExpectOrderlyExit(out);
}

}  // namespace

#endif
