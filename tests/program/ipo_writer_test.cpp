// Writing program 0 back to a file, and loading what was written: every program of the
// demo and the fixtures, one of every command kind, and what the operator is told.

#include "IpoTestSupport.h"

#include "program/CommandGripper.h"
#include "program/CommandLinear.h"
#include "program/CommandSetVelocity.h"
#include "testsupport/CommandCompare.h"
#include "testsupport/IpoTestAccess.h"
#include "testsupport/ThreadMessages.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class WriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        IpoTest::SetFixtureRobot();
        IpoTest::CopyFixtures();
        ipo = IpoTest::MakeIpo(&mem.memory);
    }

    // Program 0 of a fresh interpreter that loaded the file; empty when it did not load.
    RobotProgram Load(const std::string& file, bool ignoreHeader = false) {
        auto fresh = IpoTest::MakeIpo(&mem.memory);
        fresh->SetIgnoreConsistencyCheck(ignoreHeader);
        fresh->LoadProgramSynchronous(file, true);
        std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(*fresh));
        const auto& programs = IpoTestAccess::Programs(*fresh);
        return programs.empty() ? RobotProgram() : programs[0];
    }

    // Loads into the test's interpreter, writes it under written, loads that again and
    // compares: commands attribute by attribute, links, block ends and headers.
    void ExpectRoundTrip(const std::string& file, const std::string& written, bool ignoreHeader) {
        SCOPED_TRACE(file);
        ipo->SetIgnoreConsistencyCheck(ignoreHeader);
        ASSERT_EQ(ipo->LoadProgramSynchronous(file, true), 0);
        RobotProgram loaded;
        {
            std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(*ipo));
            ASSERT_FALSE(IpoTestAccess::Programs(*ipo).empty());
            loaded = IpoTestAccess::Programs(*ipo)[0];
        }
        fs::create_directories(fs::path(IpoTest::ProgramsDir() + written).parent_path());
        ASSERT_EQ(ipo->WriteXMLFile(0, written.c_str()), static_cast<int>(loaded.commands.size()));
        const RobotProgram again = Load(written, ignoreHeader);
        CommandCompare::ExpectSameCommands(loaded.commands, again.commands);
        EXPECT_EQ(again.headers, loaded.headers);
        EXPECT_FALSE(TemporaryLeft());
        if (std::system("xmllint --version > /dev/null 2>&1") == 0) {
            EXPECT_EQ(std::system(("xmllint --noout '" + IpoTest::ProgramsDir() + written + "'").c_str()), 0);
        }
    }

    static bool TemporaryLeft() {
        for (const auto& e : fs::recursive_directory_iterator(IpoTest::ProgramsDir())) {
            if (e.path().extension() == ".tmp") return true;
        }
        return false;
    }

    IpoTest::Memory mem;
    std::unique_ptr<IPO> ipo;
};

// Program files (root "Program") below a folder, relative to it.
std::vector<std::string> ProgramFiles(const fs::path& folder) {
    std::vector<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        if (!e.is_regular_file() || e.path().extension() != ".xml") continue;
        tinyxml2::XMLDocument doc;
        if (doc.LoadFile(e.path().c_str()) == tinyxml2::XML_SUCCESS && doc.FirstChildElement("Program") != nullptr) {
            files.push_back(fs::relative(e.path(), folder).string());
        }
    }
    return files;
}

TEST_F(WriterTest, EveryProgramOfTheDemoAndTheFixturesComesBackTheSame) {
    // The fixtures' programs lie below Data/Programs as the loader tests use them (their
    // sub-program names depend on it); every other program file is copied beside them.
    std::vector<std::string> files;
    for (const std::string& f : ProgramFiles(IpoTest::FixturesDir())) files.push_back(f);
    struct Source {
        fs::path folder;
        std::string prefix;
    };
    const Source others[] = {{BELVANTO_DEMO_DIR, "demo/"}, {BELVANTO_FIXTURES_DIR, "fixtures/"}};
    for (const Source& s : others) {
        for (const std::string& f : ProgramFiles(s.folder)) {
            if (s.prefix == "fixtures/" && f.rfind("programs/", 0) == 0) continue;  // above
            IpoTest::WriteProgram(s.prefix + f, TestSupport::ReadWholeFile((s.folder / f).string()));
            files.push_back(s.prefix + f);
        }
    }

    std::set<std::string> roundTripped;
    for (const std::string& file : files) {
        // The demo's and the fixtures' headers name other robots: the check is not what
        // is tested here, the kept header is.
        ipo->SetIgnoreConsistencyCheck(true);
        if (ipo->LoadProgramSynchronous(file, true) != 0 || !ipo->IsProgramLoaded()) {
            // Only the loader's fault cases do not load.
            EXPECT_EQ(file.rfind("errors/", 0), 0u) << file << " did not load";
            continue;
        }
        ExpectRoundTrip(file, "written/" + file, true);
        roundTripped.insert(file);
    }
    for (const char* needed : {"demo/Data/Programs/DemoStart.xml", "demo/Data/Programs/DemoLogic.xml",
                               "every_command_kind.xml", "every_element.xml", "subs/sub1.xml",
                               "fixtures/em67/EM67_03_grabPart.xml", "fixtures/browser/cell/inner.xml"}) {
        EXPECT_EQ(roundTripped.count(needed), 1u) << needed;
    }
}

TEST_F(WriterTest, AProgramOfEveryCommandKindComesBackTheSameWithItsHeaderChecked) {
    ExpectRoundTrip("every_command_kind.xml", "kinds.xml", false);

    // The fixture really holds every kind, and values the former writer changed.
    const RobotProgram loaded = Load("kinds.xml");
    std::set<std::string> classes;
    for (const auto& c : loaded.commands) classes.insert(c->className);
    EXPECT_EQ(classes.size(), 22u);
    ASSERT_EQ(loaded.headers.size(), 1u);
    EXPECT_EQ(loaded.headers[0][1], (std::pair<std::string, std::string>{"RobotType", "SixAxis"}));
    const auto& linear = dynamic_cast<const CommandLinear&>(*loaded.commands[7]);
    EXPECT_EQ(linear.number, 8);
    EXPECT_EQ(linear.target.pose.GetTranslation().x, 323.456f);
    EXPECT_EQ(linear.velCartesian, 500.0f);       // as written
    EXPECT_EQ(linear.UsedVelCartesian(), 250.0f);  // as it runs
    const std::string text = TestSupport::ReadWholeFile(IpoTest::ProgramsDir() + "kinds.xml");
    EXPECT_NE(text.find("<Header Software=\"V980-13-030\" RobotType=\"SixAxis\" RobotName=\"TestBot\" "
                        "GripperType=\"Standard\" VelocitySetting=\"1\" />"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(" Descr=\"corner A\" />"), std::string::npos) << text;

    // The kept header still guards the saved program: another robot refuses it.
    LogSingleton::instance()->set_robotType("Robots/Scara");
    EXPECT_TRUE(Load("kinds.xml").commands.empty());
}

TEST_F(WriterTest, TheResultGoesToThePanelAndToTheClients) {
    struct Case {
        const char* setUp;  // program file loaded first, or null for none
        const char* target;
        int result;
        const char* message;
    };
    const Case cases[] = {
        {nullptr, "empty.xml", -1, "No Program to write"},
        {"every_command_kind.xml", "saved.xml", 40, "40 Cmds written"},
        {"every_command_kind.xml", "../escape.xml", -1, "No Program to write"},
        {"every_command_kind.xml", "nofolder/deeper/x.xml", -1, "Could not write program"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        if (c.setUp != nullptr) {
            ASSERT_EQ(ipo->LoadProgramSynchronous(c.setUp, true), 0);
        }
        TestSupport::ThreadMessages sink;
        EXPECT_EQ(ipo->WriteXMLFile(0, c.target), c.result);
        EXPECT_EQ(sink.displayAndServer, std::vector<std::string>{c.message});
        EXPECT_TRUE(sink.serverOnly.empty());
    }
}

// A command class that writes nothing would leave it out of the saved program.
class SilentCommand : public Command {
public:
    void ReadXML(tinyxml2::XMLElement*, bool) override {}
};

TEST_F(WriterTest, ACommandThatWritesNothingIsRefusedAndNothingIsLeft) {
    ASSERT_EQ(ipo->LoadProgramSynchronous("subs/sub2.xml", true), 0);
    {
        std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(*ipo));
        auto silent = std::make_shared<SilentCommand>();
        silent->className = "SilentCommand";
        IpoTestAccess::Programs(*ipo)[0].commands.push_back(silent);
    }
    IpoTest::WriteProgram("kept.xml", "<Program/>");

    TestSupport::LogCapture log;
    TestSupport::ThreadMessages sink;
    EXPECT_EQ(ipo->WriteXMLFile(0, "kept.xml"), -1);
    EXPECT_EQ(sink.displayAndServer, std::vector<std::string>{"Program cannot be written"});
    EXPECT_FALSE(TemporaryLeft());
    EXPECT_EQ(TestSupport::ReadWholeFile(IpoTest::ProgramsDir() + "kept.xml"), "<Program/>");
    EXPECT_EQ(ipo->WriteXMLFile(0, "never.xml"), -1);
    EXPECT_FALSE(fs::exists(IpoTest::ProgramsDir() + "never.xml"));
}

TEST_F(WriterTest, UnsafeNamesAreRefusedAndTheSourceItselfMayBeOverwritten) {
    IpoTest::WriteProgram("one.xml", "<Program><Gripper Nr=\"1\" Position=\"10\"/></Program>");
    ASSERT_EQ(ipo->LoadProgramSynchronous("one.xml", true), 0);
    for (const char* name : {"../escape.xml", "/tmp/abs.xml", ""}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ipo->WriteXMLFile(0, name), -1);
    }
    EXPECT_EQ(ipo->WriteXMLFile(0, nullptr), -1);
    EXPECT_FALSE(fs::exists(IpoTest::ProgramsDir() + "../escape.xml"));
    EXPECT_EQ(ipo->WriteXMLFile(0, "one.xml"), 1);
    EXPECT_EQ(dynamic_cast<const CommandGripper&>(*Load("one.xml").commands.at(0)).position[0], 10.0f);
}

}  // namespace
