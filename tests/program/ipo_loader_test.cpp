// Program file loader: element set-up, sub-programs, header check and every load error.

#include "IpoTestSupport.h"

#include "program/CommandJoint.h"
#include "program/CommandLinear.h"
#include "program/CommandPlugin.h"
#include "program/CommandSub.h"
#include "testsupport/TestSupport.h"
#include "testsupport/IpoTestAccess.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <iterator>
#include <set>
#include <string>
#include <vector>

using IpoTest::EventLog;

namespace {

class LoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        IpoTest::SetFixtureRobot();
        IpoTest::CopyFixtures();
        ipo = IpoTest::MakeIpo(&mem.memory);
        ipo->SetResultCallback(&EventLog::Record);
        EventLog::Take();
    }

    IpoTest::Memory mem;
    std::unique_ptr<IPO> ipo;
};

// ---------------------------------------------------------------------------------------
// Errors: the exact text, the event the loader sends, and nothing left loaded.

struct ErrorCase {
    const char* file;
    const char* text;
    bool event;     // event 13 from the main program's level
    int loaded;     // commands loaded before the fault (the event's point)
    const char* subLine;  // a further line the failing sub-program logs, or null
};

const ErrorCase kErrorCases[] = {
    {"errors/unknown_element.xml", "Unknown command 'Jump' in program", true, 1, nullptr},
    {"errors/joint_no_abort.xml", "Unknown command 'Joint' in program", true, 0, nullptr},
    {"errors/endloop_without_loop.xml", "EndLoop without Loop!", true, 1, nullptr},
    {"errors/endif_without_if.xml", "EndIf without If!", true, 1, nullptr},
    {"errors/else_without_if.xml", "Else without If!", true, 1, nullptr},
    {"errors/matrixend_without_matrix.xml", "MatrixEnd without Matrix!", true, 1, nullptr},
    {"errors/unclosed_if.xml", "Nr of If and EndIf do not fit!", true, 2, nullptr},
    {"errors/unclosed_loop.xml", "Nr of Loop and EndLoop do not fit!", true, 2, nullptr},
    {"errors/unclosed_matrix.xml", "Nr of Matrix and MatrixEnd do not fit!", true, 2, nullptr},
    {"errors/misnested.xml", "EndLoop inside an open If block!", true, 3, nullptr},
    {"errors/misnested_matrix.xml", "EndIf inside an open Matrix block!", true, 3, nullptr},
    {"errors/else_twice.xml", "Second Else in one If!", true, 3, nullptr},
    {"errors/sub_loop_a.xml", "Loading sub program failed", true, 1,
     "Could not parse program errors/sub_loop_b.xml: Sub program loop"},
    {"errors/sub_without_commands.xml", "No commands in sub program", true, 1, nullptr},
    {"errors/sub_unsafe.xml", "Loading sub program failed", true, 1,
     "Could not parse program subs/../../x: Program name subs/../../x not allowed!"},
    {"errors/header_newer.xml",
     "Version check failed: program was created with newer version of Talvo/Xuq (need V13-XXX)", true, 0, nullptr},
    {"errors/header_older.xml",
     "Version check failed: program was created with older version of Talvo/Xuq (need V13-XXX)", true, 0, nullptr},
    {"errors/header_other_robot.xml",
     "Consistency check failed: program was created for a different robot type!", true, 0, nullptr},
    {"errors/header_other_name.xml",
     "Consistency check failed: program was created for a different robot type!", true, 0, nullptr},
    {"errors/header_velocity_2.xml",
     "Consistency check failed: program was created for a different velocity/voltage setting!", true, 0, nullptr},
    {"errors/header_other_gripper.xml",
     "Consistency check failed: program was created for a different gripper type!", true, 0, nullptr},
    {"errors/missing.xml", "Program errors/missing.xml not found!", false, 0, nullptr},
    {"errors", "Program errors not found!", false, 0, nullptr},
    {"errors/empty.xml", "Program file errors/empty.xml empty!!", false, 0, nullptr},
    {"errors/not_xml.xml", "XML parsing failed!", false, 0, nullptr},
    {"errors/root_no_children.xml", "No entries in program", true, 0, nullptr},
    {"abc", "Empty filename!", false, 0, nullptr},
    {"../x", "Program name ../x not allowed!", false, 0, nullptr},
    {"/etc/passwd", "Program name /etc/passwd not allowed!", false, 0, nullptr},
};

TEST_F(LoaderTest, EveryFaultIsReportedWithItsTextAndLeavesNothingLoaded) {
    for (const ErrorCase& c : kErrorCases) {
        SCOPED_TRACE(c.file);
        TestSupport::LogCapture log;
        ASSERT_EQ(ipo->LoadProgramSynchronous(c.file, true), 0);
        const std::string msg = std::string("Could not parse program ") + c.file + ": " + c.text;
        EXPECT_TRUE(log.Contains(msg)) << log.Joined();
        if (c.subLine != nullptr) {
            EXPECT_TRUE(log.Contains(c.subLine)) << log.Joined();
        }
        EXPECT_FALSE(ipo->IsProgramLoaded());
        EXPECT_EQ(ipo->GetLoadedProgramName(), "");
        EXPECT_EQ(ipo->GetLoadedPointCount(), 0);
        EXPECT_FALSE(ipo->IsLoading());
        const std::vector<IpoTest::Event> events = EventLog::Take();
        if (c.event) {
            ASSERT_FALSE(events.empty());
            const IpoTest::Event& e = events.back();
            EXPECT_EQ(e.type, HVP_EVENT_ERROR);
            EXPECT_EQ(e.point, c.loaded);
            EXPECT_EQ(e.program, 0);
            EXPECT_EQ(e.text, msg);
        } else {
            EXPECT_TRUE(events.empty());
        }
    }
}

TEST_F(LoaderTest, MoreThanTwoHundredProgramsAreRefused) {
    std::string main = "<Program>\n";
    for (int i = 0; i <= 200; ++i) {
        const std::string sub = "many/s" + std::to_string(i) + ".xml";
        IpoTest::WriteProgram(sub, "<Program><Comment Nr=\"1\" Descr=\"x\"/></Program>");
        main += "<Sub Nr=\"" + std::to_string(i) + "\" File=\"" + sub + "\"/>\n";
    }
    IpoTest::WriteProgram("many/main.xml", main + "</Program>\n");

    ASSERT_EQ(ipo->LoadProgramSynchronous("many/main.xml", true), 0);
    const auto events = EventLog::Take();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().text, "Could not parse program many/main.xml: Max number of programs reached");
    EXPECT_EQ(events.back().point, 200);
    EXPECT_FALSE(ipo->IsProgramLoaded());

    // 200 sub-programs (201 programs) are the most one load holds.
    main = "<Program>\n";
    for (int i = 0; i < 200; ++i) {
        main += "<Sub Nr=\"" + std::to_string(i) + "\" File=\"many/s" + std::to_string(i) + ".xml\"/>\n";
    }
    IpoTest::WriteProgram("many/main200.xml", main + "</Program>\n");
    ASSERT_EQ(ipo->LoadProgramSynchronous("many/main200.xml", true), 0);
    EXPECT_EQ(ipo->GetProgramSummaries().size(), 201u);
}

TEST_F(LoaderTest, ANameWithABlankOrALoadInProgressIsRefused) {
    TestSupport::LogCapture log;
    EXPECT_EQ(ipo->LoadProgram("every element.xml", true), 2);
    EXPECT_TRUE(log.Contains("IPO: Cannot load program, whitespace in filename not allowed!"));
    EXPECT_FALSE(ipo->IsLoading());

    IpoTestAccess::Loading(*ipo).store(true);  // as while a loading thread runs
    EXPECT_EQ(ipo->LoadProgram("every_element.xml", true), 2);
    EXPECT_EQ(ipo->LoadProgramSynchronous("every_element.xml", true), 2);
    EXPECT_TRUE(log.Contains("IPO: Cannot load a new program while loading!"));
    IpoTestAccess::Loading(*ipo).store(false);
}

TEST_F(LoaderTest, ALoadReplacesTheLoadedProgramsAndIsRefusedWhileOneRunsOrPauses) {
    ASSERT_EQ(ipo->LoadProgramSynchronous("subs/sub1.xml", true), 0);
    ASSERT_EQ(ipo->GetProgramSummaries().size(), 2u);
    mem.memory.SetVariableSingle("leftover", 1.0, true);

    ASSERT_EQ(ipo->LoadProgram("subs/sub2.xml", true), 0);
    ASSERT_TRUE(IpoTest::WaitFor([&] { return !ipo->IsLoading(); }));
    const auto summaries = ipo->GetProgramSummaries();
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].name, "subs/sub2.xml");
    EXPECT_FALSE(mem.memory.HasVariable("leftover"));  // dropped as by DeleteAll

    TestSupport::LogCapture log;
    IpoTestAccess::CurrentPoint(*ipo).store(0);  // paused
    EXPECT_EQ(ipo->LoadProgram("subs/sub1.xml", true), 2);
    IpoTestAccess::ReplayRunning(*ipo).store(true);  // running
    EXPECT_EQ(ipo->LoadProgram("subs/sub1.xml", true), 2);
    EXPECT_EQ(log.Count("IPO: Cannot load a new program while a program is running or paused!"), 2);
    EXPECT_FALSE(ipo->IsLoading());
    EXPECT_EQ(ipo->GetLoadedProgramName(), "subs/sub2.xml");
}

// ---------------------------------------------------------------------------------------
// Header check

TEST_F(LoaderTest, HeadersThatPassOrAreSkipped) {
    struct Case {
        const char* file;
        bool ignoreFlag;
        const char* line;
    };
    const Case cases[] = {
        {"errors/header_bad_software.xml", false, "Could not parse software version number in program"},
        {"errors/header_no_robot_type.xml", false,
         "Information on robot name/type/gripper not found, skipping consistency check."},
        {"errors/header_no_velocity.xml", false, "Consistency verified."},
        {"errors/header_other_robot.xml", true,
         "IPO.LoadProgram: Consistency check skipped (flagIgnoreConsistencyCheck in project file is set to true)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        ipo->SetIgnoreConsistencyCheck(c.ignoreFlag);
        TestSupport::LogCapture log;
        ASSERT_EQ(ipo->LoadProgramSynchronous(c.file, false), 0);
        EXPECT_TRUE(ipo->IsProgramLoaded());
        EXPECT_TRUE(log.Contains(c.line)) << log.Joined();
    }
}

// The program's version is the number after "V980-"; the robot runs version 13 (its
// version text is V980-13-030). A "Software" text without "V980-" carries no version.
TEST_F(LoaderTest, HeaderVersionIsReadAfterV980) {
    struct Case {
        const char* software;  // null: no "Software" attribute
        bool loads;
        const char* line;  // logged, empty for none
    };
    const Case cases[] = {
        {"V902-12", true, "Consistency verified."},
        {"V902-13", true, "Consistency verified."},
        {"V980-12-030", false,
         "Version check failed: program was created with older version of Talvo/Xuq (need V13-XXX)"},
        {"V980-13-030", true, "Consistency verified."},
        {"V980-14", false, "Version check failed: program was created with newer version of Talvo/Xuq (need V13-XXX)"},
        {"V980-", true, "Could not parse software version number in program"},
        {nullptr, true, "Consistency verified."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.software != nullptr ? c.software : "no Software");
        const std::string software = c.software != nullptr ? std::string(" Software=\"") + c.software + "\"" : "";
        IpoTest::WriteProgram("versioned.xml", "<Program><Header" + software +
                                                   " RobotType=\"SixAxis\" RobotName=\"TestBot\" GripperType=\"Standard\"/>"
                                                   "<Comment Nr=\"1\" Descr=\"x\"/></Program>");
        TestSupport::LogCapture log;
        ASSERT_EQ(ipo->LoadProgramSynchronous("versioned.xml", false), 0);
        EXPECT_EQ(ipo->IsProgramLoaded(), c.loads);
        EXPECT_TRUE(log.Contains(c.line)) << log.Joined();
    }
}

TEST_F(LoaderTest, HeaderCheckLogsBothSidesAndAnswersEightWhenSkipped) {
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.Parse("<Header Software=\"V980-13-030\" RobotType=\"SixAxis\" RobotName=\"TestBot\" "
                        "GripperType=\"Standard\" />"),
              tinyxml2::XML_SUCCESS);
    TestSupport::LogCapture log;
    EXPECT_EQ(ipo->CheckHeaderConsistency(doc.FirstChildElement(), false), 0);
    EXPECT_TRUE(log.Contains("IPO.LoadProgram: Consistency check:"));
    EXPECT_TRUE(log.Contains("System:   Robot Name=\"TestBot\"  type=\"SixAxis\" gripper=\"Standard\" "
                             "velocitySetting=\"1\" sw version=\"V980-13-xxx\""))
        << log.Joined();
    EXPECT_TRUE(log.Contains("Program:  Robot Name=\"TestBot\"  type=\"SixAxis\" gripper=\"Standard\" "
                             "velocitySetting=\"-1\" sw version=\"V980-13-030\""));
    TestSupport::LogCapture quietLog;
    EXPECT_EQ(ipo->CheckHeaderConsistency(doc.FirstChildElement(), true), 0);
    EXPECT_FALSE(quietLog.Contains("Consistency"));

    ipo->SetIgnoreConsistencyCheck(true);
    EXPECT_EQ(ipo->CheckHeaderConsistency(doc.FirstChildElement(), true), 8);
}

// ---------------------------------------------------------------------------------------
// Sub-programs and the element set-up

TEST_F(LoaderTest, SubProgramsLoadOnceWithBothCallersAsAncestors) {
    IpoTest::ServerMessages messages;
    ASSERT_EQ(ipo->LoadProgramSynchronous("every_element.xml", false), 0);
    ASSERT_TRUE(ipo->IsProgramLoaded());

    std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(*ipo));
    ASSERT_EQ(IpoTestAccess::Programs(*ipo).size(), 3u);
    EXPECT_EQ(IpoTestAccess::Programs(*ipo)[0].name, "every_element.xml");
    EXPECT_EQ(IpoTestAccess::Programs(*ipo)[1].name, "subs/sub1.xml");  // called as "subs\sub1.xml"
    EXPECT_EQ(IpoTestAccess::Programs(*ipo)[2].name, "subs/sub2.xml");
    EXPECT_EQ(IpoTestAccess::Programs(*ipo)[1].ancestors, (std::set<int>{0}));
    EXPECT_EQ(IpoTestAccess::Programs(*ipo)[2].ancestors, (std::set<int>{0, 1}));

    const auto& main = IpoTestAccess::Programs(*ipo)[0].commands;
    EXPECT_EQ(static_cast<CommandSub&>(*main[21]).subProgramIndex, 1);
    EXPECT_EQ(static_cast<CommandSub&>(*main[22]).subProgramIndex, 2);
    EXPECT_EQ(static_cast<CommandSub&>(*IpoTestAccess::Programs(*ipo)[1].commands[1]).subProgramIndex, 2);

    EXPECT_EQ(ipo->GetLoadedPointCount(), static_cast<int>(main.size()));
    EXPECT_EQ(ipo->GetLoadedProgramName(), "every_element.xml");
    const auto texts = messages.Texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "Program loaded: every_element.xml");
}

TEST_F(LoaderTest, ElementsGetTheirSetUp) {
    ASSERT_EQ(ipo->LoadProgramSynchronous("every_element.xml", true), 0);
    std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(*ipo));
    const auto& cmds = IpoTestAccess::Programs(*ipo)[0].commands;
    const char* classes[] = {"CommandComment",  "CommandStoreData", "CommandStoreData", "CommandJoint",
                             "CommandLinear",   "CommandRelative",  "CommandCircular",  "CommandLoop",
                             "CommandMathFunction", "CommandIf",    "CommandDIO",       "CommandGripper",
                             "CommandWait",     "CommandSetVelocity", "CommandMatrixDefinition",
                             "CommandStoreData", "CommandMatrixQuery", "CommandMatrix", "CommandSystem",
                             "CommandCamera",   "CommandPlugin",    "CommandSub",       "CommandSub",
                             "CommandIf",       "CommandPause",     "CommandStop"};
    ASSERT_EQ(cmds.size(), std::size(classes));
    for (size_t i = 0; i < cmds.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(cmds[i]->className, classes[i]);
        EXPECT_EQ(cmds[i]->memory, &mem.memory);
        EXPECT_EQ(cmds[i]->nrRobotJoints, 6);
        EXPECT_EQ(cmds[i]->nrExternalJoints, 3);
    }
    // Joint maxima for motion, gripper, velocity, camera and plug-in commands only.
    for (int i : {3, 4, 5, 6, 11, 13, 19, 20}) EXPECT_FLOAT_EQ(cmds[i]->jointMaxVelocity[0], 90.0f) << i;
    for (int i : {0, 7, 12, 24}) EXPECT_FLOAT_EQ(cmds[i]->jointMaxVelocity[0], 45.0f) << i;

    EXPECT_EQ(static_cast<CommandJoint&>(*cmds[3]).jointOffsets, IpoTestAccess::JointOffset(*ipo));
    EXPECT_EQ(static_cast<CommandLinear&>(*cmds[4]).cartesianOffsets, IpoTestAccess::CartesianOffset(*ipo));
    for (int i : {1, 14, 15, 16}) EXPECT_EQ(cmds[i]->interpreter, ipo.get()) << i;
    for (int i : {24, 25}) EXPECT_EQ(cmds[i]->interpreter, IpoTestAccess::MainInterpreter(*ipo)) << i;
    EXPECT_EQ(cmds[0]->interpreter, nullptr);
    EXPECT_EQ(static_cast<CommandPlugin&>(*cmds[20]).pluginManager, ipo->GetPluginManager());
    EXPECT_TRUE(IpoTestAccess::PluginsNeeded(*ipo).load());
}

// The programmed velocity is kept (and saved) as written; the moves run at most at the
// Cartesian maximum, whichever way they are executed.
TEST_F(LoaderTest, CartesianVelocitiesRunAtMostAtTheMaximumAndAreKeptAsWritten) {
    IpoTest::WriteProgram("fast.xml",
                          "<Program><Linear Nr=\"1\" x=\"1000\" vel=\"900\" AbortCondition=\"false\"/>"
                          "<Relative Nr=\"2\" MoType=\"CartBase\" x=\"1000\" vel=\"100\" AbortCondition=\"false\"/>"
                          "<Relative Nr=\"3\" MoType=\"CartTool\" x=\"1000\" vel=\"300\" AbortCondition=\"false\"/>"
                          "<Circular Nr=\"4\" vel=\"400\" acc=\"40\" smooth=\"0\" useAngle=\"false\" angle=\"0\" "
                          "Source=\"numerical\" p1x=\"500\" p1y=\"500\" p1z=\"0\" p2x=\"1000\" p2y=\"0\" p2z=\"0\" a=\"0\" "
                          "b=\"0\" c=\"0\" e1=\"0\" e2=\"0\" e3=\"0\" AbortCondition=\"false\"/>"
                          "</Program>");
    ASSERT_EQ(ipo->LoadProgramSynchronous("fast.xml", true), 0);
    std::vector<std::shared_ptr<Command>> cmds;
    {
        std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(*ipo));
        cmds = IpoTestAccess::Programs(*ipo)[0].commands;
    }
    const float written[] = {900.0f, 100.0f, 300.0f, 400.0f};
    const float used[] = {250.0f, 100.0f, 250.0f, 250.0f};
    for (size_t i = 0; i < cmds.size(); ++i) {
        SCOPED_TRACE(cmds[i]->className);
        EXPECT_EQ(cmds[i]->velCartesian, written[i]);
        EXPECT_EQ(cmds[i]->UsedVelCartesian(), used[i]);
        // What the planner is handed.
        DataTypes::RobotState current;
        current.pose.SetTranslation(0.0f, 0.0f, 0.0f);
        DataTypes::RobotState target;
        float velCartesian = 0.0f, velJoint = 0.0f, acc = 0.0f, smooth = 0.0f;
        cmds[i]->GetTargetPosition(&current, &target, velCartesian, velJoint, acc, smooth);
        EXPECT_EQ(velCartesian, used[i]);
    }
    // And cycle by cycle: 10 ms at 250 mm/s is 2.5 mm (the arc runs at half speed).
    for (size_t i = 0; i < 3; ++i) {
        DataTypes::RobotState state;
        state.pose.SetTranslation(0.0f, 0.0f, 0.0f);
        EXPECT_EQ(cmds[i]->Interpolate(10, 100.0f, &state), -1);
        EXPECT_NEAR(state.pose.GetTranslation().Magnitude(), used[i] / 100.0f, 1e-3f) << cmds[i]->className;
    }
    ASSERT_EQ(ipo->WriteXMLFile(0, "fast_saved.xml"), 4);
    const std::string text = TestSupport::ReadWholeFile(IpoTest::ProgramsDir() + "fast_saved.xml");
    EXPECT_NE(text.find(" vel=\"900\" "), std::string::npos) << text;
    EXPECT_NE(text.find(" vel=\"400\" "), std::string::npos) << text;
}

TEST_F(LoaderTest, TheLogicInterpreterHandsPauseAndStopToTheMainOneAndShowsNothing) {
    IPO logic(IPO::IPO_LOGIC);
    logic.SetMemory(&mem.memory);
    logic.InitPathGen(PATHGEN_JOINT, 1.0f, 1.0f, 5);
    logic.GetPathGenerator()->SetKinematic(std::make_unique<IpoTest::TestKinematic>());
    logic.SetMainInterpreter(ipo.get());
    logic.SetVelocitySetting(1);
    IpoTest::ServerMessages messages;
    ASSERT_EQ(logic.LoadProgramSynchronous("every_element.xml", true), 0);
    std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(logic));
    EXPECT_EQ(IpoTestAccess::Programs(logic)[0].commands[24]->interpreter, ipo.get());
    EXPECT_EQ(IpoTestAccess::Programs(logic)[0].commands[14]->interpreter, &logic);
    for (const std::string& t : messages.Texts()) EXPECT_EQ(t.find("Program loaded"), std::string::npos);
}

TEST_F(LoaderTest, StoreAndMatrixDefinitionOfTheLogicProgramAreStatic) {
    IpoTest::WriteProgram("data.xml",
                          "<Program><Store Nr=\"1\" Type=\"number\" Name=\"kept\" Value=\"3\"/>"
                          "<MatrixDefinition Nr=\"2\" CntX=\"2\" CntY=\"2\" Name=\"grid\" VarPointA=\"pa\" "
                          "VarPointB=\"pa\" VarPointC=\"pa\"/></Program>");
    IPO logic(IPO::IPO_LOGIC);
    logic.SetMemory(&mem.memory);
    logic.InitPathGen(PATHGEN_JOINT, 1.0f, 1.0f, 5);
    logic.GetPathGenerator()->SetKinematic(std::make_unique<IpoTest::TestKinematic>());
    for (IPO* interpreter : {ipo.get(), &logic}) {
        SCOPED_TRACE(interpreter->GetType());
        ASSERT_EQ(interpreter->LoadProgramSynchronous("data.xml", true), 0);
        mem.memory.SetVariablePos("pa", DataTypes::RobotState(), true, Programs::ContentUnchanged);
        std::vector<std::shared_ptr<Command>> cmds;
        {
            std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(*interpreter));
            cmds = IpoTestAccess::Programs(*interpreter)[0].commands;
        }
        DataTypes::RobotState state;
        for (const auto& c : cmds) c->Interpolate(10, 100.0f, &state);
        mem.memory.Clear();
        const bool isLogic = interpreter == &logic;
        EXPECT_EQ(mem.memory.HasVariable("kept"), isLogic);
        EXPECT_EQ(mem.memory.HasMatrixDefinition("grid"), isLogic);
    }
}

TEST_F(LoaderTest, WithoutPlannerOrKinematicTheLoadFailsInsteadOfCrashing) {
    IPO bare(IPO::IPO_MAIN);
    bare.SetMemory(&mem.memory);
    TestSupport::LogCapture log;
    ASSERT_EQ(bare.LoadProgramSynchronous("subs/sub2.xml", true), 0);
    EXPECT_TRUE(log.Contains("Could not parse program subs/sub2.xml: IPO: no path generator or kinematic for the "
                             "joint count"));
    EXPECT_FALSE(bare.IsProgramLoaded());
    EXPECT_THROW(bare.GetNrRobotJoints(), std::runtime_error);
    bare.InitPathGen(PATHGEN_JOINT, 1.0f, 1.0f, 5);
    EXPECT_THROW(bare.GetNrExternalJoints(), std::runtime_error);
}

TEST_F(LoaderTest, AFileWithOnlyAHeaderLoadsNothing) {
    ASSERT_EQ(ipo->LoadProgramSynchronous("errors/header_only.xml", true), 0);
    EXPECT_FALSE(ipo->IsProgramLoaded());
}

TEST_F(LoaderTest, LoadXMLFile2AppendsToWhatIsLoaded) {
    ASSERT_EQ(ipo->LoadProgramSynchronous("subs/sub2.xml", true), 0);
    EXPECT_EQ(ipo->LoadXMLFile2(1, "subs/sub1.xml", true, -1), 0);
    const auto summaries = ipo->GetProgramSummaries();
    ASSERT_EQ(summaries.size(), 2u);
    EXPECT_EQ(summaries[1].name, "subs/sub1.xml");
    EXPECT_EQ(summaries[1].commandCount, 3);
    EXPECT_EQ(ipo->GetLoadedProgramName(), "subs/sub1.xml");
    EXPECT_EQ(ipo->GetLoadedPointCount(), 3);
    EXPECT_EQ(ipo->LoadXMLFile2(2, "none.xml", true, -1), -3);
    EXPECT_EQ(ipo->GetProgramSummaries().size(), 2u);
}

}  // namespace
