// Arbitrary bytes from an HVP client, in arbitrary chunks, through the frame reader into
// ParseMessage of a connection on a robot master with a fixture robot. The first byte
// picks the chunk sizes; the rest is the stream. Power-off commands go to a runner that
// only records them. Cameras configured by an input are removed after it.

#include "control/ProjectInterfaces.h"
#include "control/RobotMaster.h"
#include "control/RobotMasterPort.h"
#include "core/LogSingleton.h"
#include "core/Shutdown.h"
#include "remote/ComServer.h"
#include "testsupport/IpoTestAccess.h"
#include "testsupport/TestSupport.h"
#include "vision/CameraManager.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

// CONFIG SetCamera starts a camera that connects to the address the input names: in a fuzz
// run nothing leaves the process. Every connect is refused and no host name is resolved.
extern "C" int connect(int /*fd*/, const struct sockaddr* /*address*/, socklen_t /*length*/) {
    errno = ECONNREFUSED;
    return -1;
}
extern "C" int getaddrinfo(const char* /*node*/, const char* /*service*/, const struct addrinfo* /*hints*/,
                           struct addrinfo** result) {
    if (result != nullptr) *result = nullptr;
    return EAI_FAIL;
}

namespace {

struct Fixture {
    TestSupport::TempDataRoot root;
    std::unique_ptr<RobotMaster> robot;
    std::unique_ptr<Control::RobotMasterPort> port;
    ProjectLinks::StoredCloudSettings cloud;
};

Fixture* fixture = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
    fixture = new Fixture();
    std::filesystem::current_path(fixture->root.Path());
    std::filesystem::create_directories(fixture->root.DataPath() + "/Robots/AppBot");
    std::filesystem::copy_file(std::string(BELVANTO_FIXTURES_DIR) + "/app/Data/Robots/AppBot/AppBot.xml",
                               fixture->root.DataPath() + "/Robots/AppBot/AppBot.xml");
    Shutdown::SetCommandRunner([](const std::string&) { return 0; });
    // Every input logs: no file rotation (it syncs the disks), no console copy.
    LogSingleton::instance()->SetMaxEntries(100000000);
    const int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) {
        dup2(devNull, STDOUT_FILENO);
        close(devNull);
    }
    fixture->robot = std::make_unique<RobotMaster>();
    fixture->robot->Init("fuzz", "AppBot", "AppBot/AppBot.xml");
    fixture->port = std::make_unique<Control::RobotMasterPort>(*fixture->robot, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (fixture == nullptr) LLVMFuzzerInitialize(nullptr, nullptr);
    LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
    if (size == 0) return 0;
    unsigned state = data[0];
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    std::size_t left = size - 1;
    {
        ComServer server(fixture->port.get(), nullptr, &fixture->cloud, -1);
        server.SetConnected(true);
        try {
            while (left > 0) {
                state = state * 1103515245u + 12345u;
                std::size_t chunk = 1 + (state >> 16) % 64;
                if (chunk > left) chunk = left;
                server.ServeBytes(bytes, chunk);
                bytes += chunk;
                left -= chunk;
            }
        } catch (const std::exception&) {
            // A handler's exception ends the connection, as it does on the socket.
        }
        float jog[9];
        server.GetJogValues(jog);
        server.TakeCommand();
    }
    // Program loads and start points run on threads of their own: none outlives its input.
    RobotMaster& robot = *fixture->robot;
    for (IPO* ipo : {&robot.GetMainInterpreter(), &robot.GetLogicInterpreter(), &robot.GetMoveToInterpreter()}) {
        while (ipo->IsLoading() || IpoTestAccess::StartAtThreads(*ipo).load() > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    Camera::CameraManager::Instance().Clear();
    LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
    return 0;
}
