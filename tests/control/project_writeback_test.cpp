#include "project_support.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace ControlTest {
namespace {


class ProjectWriteBackTest : public ProjectTest {
protected:
    // Opens the complete fixture; returns the project path.
    std::string Open(RobotMaster& master, ProjectManager& pm) {
        WriteFrontendFor("Data/Projects/p.prj");
        const std::string path = WriteProject("p.prj", ProjectFixture("complete.prj"));
        EXPECT_EQ(pm.OpenProject(&master), 0);
        pm.SetWriteDelayMs(0);
        return path;
    }
    void TearDown() override {
        LogSingleton::instance()->operationModesActive = false;
        LogSingleton::instance()->dInOpModeAuto = -1;
        LogSingleton::instance()->manualMaxVelMMPerSec = 250.0f;
        ProjectTest::TearDown();
    }
};

TEST_F(ProjectWriteBackTest, GoldenFileAfterOverrideStartFileAndTrigger) {
    RobotMaster master;
    ProjectManager pm;
    const std::string path = Open(master, pm);
    master.SetOverride(50.0f);
    // No start program is loaded: "File" becomes empty.
    master.AddPLCTrigger(PLCTrigger::PLCInterfaceTrigger(true, PLCTrigger::PLCInterfaceTrigger::GSig, 12,
                                                         PLCTrigger::PLCInterfaceTrigger::Mission, "Missions/m1.xml"));
    TestSupport::LogCapture capture;
    pm.QueueUpdateProjectFile();
    pm.UpdateConfiguration(&master, true);
    EXPECT_TRUE(capture.Contains("ProjectManager: No start file set"));
    EXPECT_TRUE(capture.Contains("ProjectManager: Project file " + path + " updated"));
    EXPECT_EQ(TestSupport::ReadWholeFile(path), ProjectFixture("writeback.golden.prj"));
    EXPECT_FALSE(std::filesystem::exists(path + "_tmp"));
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    EXPECT_FALSE(pm.IsUpdatePending());

    // Reading the written file gives the same settings again.
    RobotMaster again;
    ProjectManager reread;
    ASSERT_EQ(reread.OpenProject(&again), 0);
    EXPECT_FLOAT_EQ(reread.GetOverride(), 50.0f);
    EXPECT_EQ(again.GetPLCTriggers().size(), 3u);
}

TEST_F(ProjectWriteBackTest, BrokenFileIsNotOverwritten) {
    RobotMaster master;
    ProjectManager pm;
    const std::string path = Open(master, pm);
    struct Case {
        const char* text;
        const char* reason;
    };
    for (const Case& c : {Case{"<ProjectFile><Robot", "10 .prj file corrupt"},
                          Case{"<?xml version=\"1.0\"?><Other/>", "11 .prj file corrupt"}}) {
        WriteText(path, c.text);
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        pm.QueueUpdateProjectFile();
        pm.UpdateConfiguration(&master, true);
        EXPECT_EQ(TestSupport::ReadWholeFile(path), c.text);
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_SERIOUS_FAILURE);
    }
}

TEST_F(ProjectWriteBackTest, NoProjectPathWritesNothing) {
    RobotMaster master;
    ProjectManager pm;
    WriteFrontendFor("Data/Projects/absent.prj");
    ASSERT_EQ(pm.OpenProject(&master), 1);
    pm.QueueUpdateProjectFile();
    pm.UpdateConfiguration(&master, true);
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "4 project file not found");
    EXPECT_FALSE(std::filesystem::exists(root + "Data/Projects/absent.prj"));
}

// The debounce on an injected clock: due after 3 s of quiet or 15 s after the first request.
class DebounceProject : public ProjectManager {
public:
    std::int64_t nowMs = 5000000;
    DebounceProject() { SetClock([this] { return nowMs; }); }
};

TEST(ProjectDebounceTest, QuietTimeLimitAndForce) {
    RobotMaster master;  // no project path: a due write only clears the pending state
    {
        DebounceProject pm;
        pm.QueueUpdateProjectFile();
        pm.nowMs += 3000;
        pm.UpdateConfiguration(&master, false);
        EXPECT_TRUE(pm.IsUpdatePending());  // exactly 3 s: not yet
        pm.nowMs += 1;
        pm.UpdateConfiguration(&master, false);
        EXPECT_FALSE(pm.IsUpdatePending());
    }
    {
        // A request every second: written once more than 15 s passed since the first.
        DebounceProject pm;
        int writes = 0;
        for (int s = 0; s < 60; ++s) {
            pm.QueueUpdateProjectFile();
            pm.UpdateConfiguration(&master, false);
            if (!pm.IsUpdatePending()) ++writes;
            pm.nowMs += 1000;
        }
        EXPECT_EQ(writes, 3);  // at 16 s, 33 s and 50 s
    }
    {
        DebounceProject pm;
        pm.UpdateConfiguration(&master, true);  // nothing pending: nothing to do
        EXPECT_FALSE(pm.IsUpdatePending());
        pm.QueueUpdateProjectFile();
        pm.UpdateConfiguration(&master, true);
        EXPECT_FALSE(pm.IsUpdatePending());
    }
}

TEST_F(ProjectWriteBackTest, ForceWithNothingPendingLeavesFileAlone) {
    RobotMaster master;
    ProjectManager pm;
    const std::string path = Open(master, pm);
    master.SetOverride(10.0f);
    pm.UpdateConfiguration(&master, true);
    EXPECT_EQ(TestSupport::ReadWholeFile(path), ProjectFixture("complete.prj"));
}

bool HaveXmllint() { return std::system("xmllint --version > /dev/null 2>&1") == 0; }

TEST_F(ProjectWriteBackTest, KillDuringWritesNeverLosesTheProject) {
    RobotMaster master;
    ProjectManager pm;
    const std::string path = Open(master, pm);
    const bool lint = HaveXmllint();
    for (int round = 0; round < 10; ++round) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0; i < 1000; ++i) {
                master.SetOverride(static_cast<float>(i % 100));
                pm.QueueUpdateProjectFile();
                pm.UpdateConfiguration(&master, true);
            }
            _exit(0);
        }
        usleep(static_cast<useconds_t>(2000 + round * 3000));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        tinyxml2::XMLDocument doc;
        ASSERT_EQ(doc.LoadFile(path.c_str()), tinyxml2::XML_SUCCESS) << "round " << round;
        ASSERT_NE(doc.FirstChildElement("ProjectFile"), nullptr);
        if (lint) {
            EXPECT_EQ(std::system(("xmllint --noout '" + path + "' 2>/dev/null").c_str()), 0) << "round " << round;
        }
    }
}

// A full disk during a virtual box change: the write stays pending and is tried at every
// later check, the first failure and the landing are logged and told to the clients, a
// change asked for during the failure is told too, and a restart reads the new box.
TEST_F(ProjectWriteBackTest, AFailedWriteStaysPendingAndLandsOnceWritingWorksAgain) {
    TestSupport::WriteFault fault;
    RobotMaster master;
    DebounceProject pm;
    const std::string path = Open(master, pm);
    TestSupport::ServerMessageCapture messages;
    TestSupport::LogCapture log;
    const std::string failed = "ProjectManager: Error while updating project file: Could not write temporary file: "
                               "No space left on device";
    const std::string notSaved = "Project file " + path + " could not be saved (";

    fault.Fail(true);
    master.SetVirtualBox(false, DataTypes::Vector3(-555, -555, 0), DataTypes::Vector3(555, 555, 777));
    pm.QueueUpdateProjectFile();
    pm.nowMs += 4000;
    pm.UpdateConfiguration(&master, false);
    EXPECT_TRUE(pm.IsUpdatePending());
    EXPECT_EQ(TestSupport::ReadWholeFile(path), ProjectFixture("complete.prj"));
    EXPECT_EQ(log.Count(failed), 1);
    EXPECT_EQ(messages.Count(notSaved), 1);

    pm.nowMs += 4000;
    pm.UpdateConfiguration(&master, false);  // tried again, quietly
    EXPECT_TRUE(pm.IsUpdatePending());
    EXPECT_EQ(log.Count(failed), 1);
    EXPECT_EQ(messages.Count(notSaved), 1);

    pm.QueueUpdateProjectFile();  // another client's change while the disk is full
    pm.nowMs += 4000;
    pm.UpdateConfiguration(&master, false);
    EXPECT_EQ(log.Count(failed), 1);
    EXPECT_EQ(messages.Count(notSaved), 2);

    // A forced write (exit, power-off) that fails is always logged.
    pm.UpdateConfiguration(&master, true);
    EXPECT_EQ(log.Count(failed), 2);
    EXPECT_TRUE(pm.IsUpdatePending());

    fault.Fail(false);
    pm.nowMs += 4000;
    pm.UpdateConfiguration(&master, false);
    EXPECT_FALSE(pm.IsUpdatePending());
    EXPECT_EQ(log.Count("ProjectManager: Project file " + path + " saved after failed writes"), 1);
    EXPECT_EQ(messages.Count("Project file " + path + " saved after failed writes"), 1);

    RobotMaster again;
    ProjectManager reread;
    ASSERT_EQ(reread.OpenProject(&again), 0);
    ASSERT_NE(again.GetKinematic(), nullptr);
    EXPECT_FALSE(again.GetKinematic()->virtualBoxActive);
    EXPECT_FLOAT_EQ(again.GetKinematic()->virtualBoxMin.x, -555.0f);
    EXPECT_FLOAT_EQ(again.GetKinematic()->virtualBoxMax.z, 777.0f);
}

// The project names the main program only once the program has a file: an unsaved
// teach-in never replaces the start program the project names.
TEST_F(ProjectWriteBackTest, StartProgramIsNamedOnlyOnceItsFileExists) {
    const std::string programs = root + "Data/Programs/";
    const std::string program = "<?xml version=\"1.0\"?><Program><Wait Nr=\"1\" Type=\"Time\" Seconds=\"1\"/></Program>";
    struct Case {
        const char* what;
        const char* loaded;      // program file loaded first ("" none)
        int taught;              // teach-in lines appended after it
        const char* savedAs;     // a file written for program 0's name afterwards ("" none)
        const char* file;        // "File" written into the project
    };
    const Case cases[] = {
        {"loaded from its file", "a.xml", 0, "", "a.xml"},
        {"taught onto a loaded file", "a.xml", 2, "", "a.xml"},
        {"taught from scratch, not saved", "", 2, "", "Programs\\start.xml"},
        {"taught from scratch, then saved", "", 2, "new.xml", "new.xml"},
        {"nothing loaded", "", 0, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RobotMaster master;
        ProjectManager pm;
        const std::string path = Open(master, pm);
        ControlTest::WriteText(programs + "a.xml", program);
        IPO& ipo = master.GetMainInterpreter();
        ipo.InitPathGen(PATHGEN_JOINT, 100.0f, 10.0f, 3);
        ipo.GetPathGenerator()->SetKinematic(master.GetKinematic()->clone());
        if (*c.loaded != '\0') ASSERT_EQ(ipo.LoadProgramSynchronous(c.loaded, true), 0);
        const float joints[9] = {1, 2, 3};
        for (int i = 0; i < c.taught; ++i) ipo.AddCommandJoint(5, 6, joints, 20.0f);
        if (*c.savedAs != '\0') ControlTest::WriteText(programs + c.savedAs, program);
        TestSupport::LogCapture log;
        pm.QueueUpdateProjectFile();
        pm.UpdateConfiguration(&master, true);
        tinyxml2::XMLDocument doc;
        ASSERT_EQ(doc.LoadFile(path.c_str()), tinyxml2::XML_SUCCESS);
        const char* file = doc.FirstChildElement("ProjectFile")->FirstChildElement("Program")->Attribute("File");
        ASSERT_NE(file, nullptr);
        EXPECT_STREQ(file, c.file);
        if (c.taught > 0 && *c.loaded == '\0' && *c.savedAs == '\0') {
            EXPECT_TRUE(log.Contains("ProjectManager: Program new.xml is not saved, start program stays"));
        }
        std::error_code ec;
        std::filesystem::remove_all(root + "Data/Programs", ec);
    }
}

}  // namespace
}  // namespace ControlTest
