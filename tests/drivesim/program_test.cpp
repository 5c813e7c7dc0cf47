// The belvanto-drivesim program on a hub of the test's own.

#include "SimBus.h"
#include "testsupport/TestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace DriveSimTest {
namespace {

constexpr auto kExitTimeout = std::chrono::milliseconds(10000);

// A child process of the simulator program; killed when still running at the end.
class Program {
public:
    Program(std::vector<std::string> args, std::vector<std::string> environment) {
        std::vector<char*> argv;
        std::string program = BELVANTO_DRIVESIM_PROGRAM;
        argv.push_back(program.data());
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& entry : environment) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        started = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0;
        posix_spawn_file_actions_destroy(&actions);
    }

    ~Program() {
        if (started && !exited) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    bool Started() const { return started; }
    void Signal(int number) { kill(pid, number); }

    // Exit status, or -1 when the program is still running after the time-out.
    int Wait(std::chrono::milliseconds timeout = kExitTimeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                exited = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }

private:
    pid_t pid = -1;
    bool started = false;
    bool exited = false;
};

class ProgramTest : public SimBusTest {
protected:
    std::string RobotFile(const std::string& protocol) {
        return root.WriteFile("Data/Robots/" + protocol + ".xml",
                              "<Robot><BusConfiguration Protocol=\"" + protocol +
                                  "\" CycleTimeMS=\"4\" GapMS=\"0\"><Joints NrOfJoints=\"2\"/>"
                                  "<Joint0 ID=\"16\" GearScale=\"190\" GearZero=\"0\"/>"
                                  "<Joint1 ID=\"32\" GearScale=\"190\" GearZero=\"0\"/>"
                                  "</BusConfiguration></Robot>");
    }

    bool WaitForEndpoints(int count) {
        const auto end = std::chrono::steady_clock::now() + kExitTimeout;
        while (hub.EndpointCount() < count && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return hub.EndpointCount() >= count;
    }

    TestSupport::TempDataRoot root;
};

TEST_F(ProgramTest, PlaysTheModulesOfTheRobotFileUntilTerminated) {
    Program program({RobotFile("JXRCANV2"), "--dio", "0x50", "--joint", "0x70"},
                    {std::string("BELVANTO_CAN_HUB=") + socketPath});
    ASSERT_TRUE(program.Started());
    ASSERT_TRUE(WaitForEndpoints(2));

    for (int id : {0x10, 0x20, 0x70}) {
        SCOPED_TRACE(id);
        can_frame answer = Exchange(id, PositionSetPoint(1234, 1));
        EXPECT_EQ(0x04, answer.data[0]) << "modules power up disabled";
        EXPECT_EQ(0, AnswerPosition(answer));
    }
    EXPECT_EQ(Bytes({0, 0, 0, 0, 0, 0, 0, 0}), Data(Exchange(0x50, {0x14, 0, 0, 0, 0, 0, 1, 0x03})));
    auto board = Next(0x006);
    ASSERT_TRUE(board.has_value());
    EXPECT_EQ(Bytes({0x00, 0x00, 0x09, 0x60, 0x0C, 0xE4, 0x80, 0x80}), Data(*board));

    program.Signal(SIGUSR1);
    auto stage1 = Next(0x0FF);
    auto stage2 = Next(0x0FF);
    ASSERT_TRUE(stage1.has_value() && stage2.has_value());
    EXPECT_EQ(0x0C, stage1->data[1]);
    EXPECT_EQ(0x29, stage2->data[1]);

    program.Signal(SIGTERM);
    EXPECT_EQ(0, program.Wait());
}

TEST_F(ProgramTest, ReadsTheRobotFileFromTheEnvironmentAndPlaysTheFirstGeneration) {
    Program program({"--no-main-dio"}, {std::string("BELVANTO_CAN_HUB=") + socketPath,
                                        "BELVANTO_DRIVESIM_ROBOT=" + RobotFile("JXRCAN")});
    ASSERT_TRUE(program.Started());
    ASSERT_TRUE(WaitForEndpoints(2));
    can_frame answer = Exchange(0x20, {0x04, 128, 0x7E, 0x00, 5, 0});
    EXPECT_EQ(Bytes({0x04, 127, 0x00, 0x00, 0, 0, 0, 0}), Data(answer));
    program.Signal(SIGINT);
    EXPECT_EQ(0, program.Wait());
}

TEST_F(ProgramTest, RefusesToRunWithoutItsInputs) {
    const std::string hubEnv = "BELVANTO_CAN_HUB=" + socketPath;
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::string> environment;
        int status;
    } cases[] = {
        {"no hub", {RobotFile("JXRCANV2")}, {}, 2},
        {"no robot file", {}, {hubEnv}, 2},
        {"unknown option", {RobotFile("JXRCANV2"), "--fast"}, {hubEnv}, 2},
        {"bad DIO ID", {RobotFile("JXRCANV2"), "--dio", "0x800"}, {hubEnv}, 2},
        {"DIO on a joint's ID", {RobotFile("JXRCANV2"), "--dio", "16"}, {hubEnv}, 2},
        {"never referencing a module not there", {RobotFile("JXRCANV2"), "--reference-never", "0x70"}, {hubEnv}, 2},
        {"CANopen robot", {RobotFile("CANopen")}, {hubEnv}, 2},
        {"missing robot file", {root.Path() + "/none.xml"}, {hubEnv}, 2},
        {"hub not there", {RobotFile("JXRCANV2")}, {"BELVANTO_CAN_HUB=" + socketPath + ".none"}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Program program(c.args, c.environment);
        ASSERT_TRUE(program.Started());
        EXPECT_EQ(c.status, program.Wait());
    }
}

TEST_F(ProgramTest, EndsWhenTheHubGoesAway) {
    Program program({RobotFile("JXRCANV3")}, {std::string("BELVANTO_CAN_HUB=") + socketPath});
    ASSERT_TRUE(program.Started());
    ASSERT_TRUE(WaitForEndpoints(2));
    hub.Stop();
    EXPECT_EQ(1, program.Wait());
}

}  // namespace
}  // namespace DriveSimTest
