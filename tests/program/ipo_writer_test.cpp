// Writing program 0 back to a file, and loading what was written.

#include "IpoTestSupport.h"

#include "program/CommandGripper.h"
#include "program/CommandSetVelocity.h"
#include "testsupport/TestSupport.h"
#include "testsupport/IpoTestAccess.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

// One element of the round trip: written by its command's writer, read back, compared.
// Every command class with a writer gets a row here.
struct RoundTripRow {
    const char* element;
    std::function<void(const Command& loaded, const Command& reloaded)> compare;
};

template <typename T>
const T& As(const Command& c) {
    return static_cast<const T&>(c);
}

const std::vector<RoundTripRow>& RoundTripRows() {
    static const std::vector<RoundTripRow> rows = {
        {"<SetVel Nr=\"1\" Joint=\"2\" Vel=\"12.5\" Acc=\"50\"/>",
         [](const Command& a, const Command& b) {
             EXPECT_EQ(As<CommandSetVelocity>(b).externalAxis, As<CommandSetVelocity>(a).externalAxis);
             EXPECT_NEAR(b.velRotation, a.velRotation, 0.05f);
             EXPECT_NEAR(b.accPercent, a.accPercent, 0.05f);
         }},
        {"<Gripper Nr=\"2\" Position=\"37.5\"/>",
         [](const Command& a, const Command& b) {
             EXPECT_NEAR(As<CommandGripper>(b).position[0], As<CommandGripper>(a).position[0], 0.05f);
         }},
        {"<SetVel Nr=\"3\" Joint=\"0\" Vel=\"-500\" Acc=\"20\"/>",
         [](const Command& a, const Command& b) { EXPECT_NEAR(b.velRotation, a.velRotation, 0.05f); }},
    };
    return rows;
}

class WriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        IpoTest::SetFixtureRobot();
        ipo = IpoTest::MakeIpo(&mem.memory);
    }

    std::vector<std::shared_ptr<Command>> Load(const std::string& file) {
        EXPECT_EQ(ipo->LoadProgramSynchronous(file, true), 0);
        std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(*ipo));
        return IpoTestAccess::Programs(*ipo).empty() ? std::vector<std::shared_ptr<Command>>{} : IpoTestAccess::Programs(*ipo)[0].commands;
    }

    static bool TemporaryLeft() {
        for (const auto& e : std::filesystem::recursive_directory_iterator(IpoTest::ProgramsDir())) {
            if (e.path().extension() == ".tmp") return true;
        }
        return false;
    }

    IpoTest::Memory mem;
    std::unique_ptr<IPO> ipo;
};

TEST_F(WriterTest, AWrittenProgramLoadsAgainWithTheSameCommands) {
    std::string xml = "<Program>";
    for (const RoundTripRow& row : RoundTripRows()) xml += row.element;
    IpoTest::WriteProgram("source.xml", xml + "</Program>");
    const auto loaded = Load("source.xml");
    ASSERT_EQ(loaded.size(), RoundTripRows().size());

    IpoTest::ServerMessages messages;
    const int written = ipo->WriteXMLFile(0, "written.xml");
    EXPECT_EQ(written, static_cast<int>(loaded.size()));
    ASSERT_FALSE(messages.Texts().empty());
    EXPECT_EQ(messages.Texts().back(), std::to_string(written) + " Cmds written");
    EXPECT_FALSE(TemporaryLeft());

    const std::string path = IpoTest::ProgramsDir() + "written.xml";
    if (std::system("xmllint --version > /dev/null 2>&1") == 0) {
        EXPECT_EQ(std::system(("xmllint --noout '" + path + "'").c_str()), 0);
    }

    const auto reloaded = Load("written.xml");
    ASSERT_EQ(reloaded.size(), loaded.size());
    for (size_t i = 0; i < loaded.size(); ++i) {
        SCOPED_TRACE(RoundTripRows()[i].element);
        EXPECT_EQ(reloaded[i]->className, loaded[i]->className);
        EXPECT_EQ(reloaded[i]->predecessor, loaded[i]->predecessor);
        EXPECT_EQ(reloaded[i]->nextSuccessor, loaded[i]->nextSuccessor);
        EXPECT_EQ(reloaded[i]->bodySuccessor, loaded[i]->bodySuccessor);
        EXPECT_EQ(reloaded[i]->elseSuccessor, loaded[i]->elseSuccessor);
        RoundTripRows()[i].compare(*loaded[i], *reloaded[i]);
    }
}

TEST_F(WriterTest, AProgramHoldingACommandWithoutWriterIsRefusedAndNothingIsLeft) {
    IpoTest::WriteProgram("with_if.xml",
                          "<Program><SetVel Nr=\"1\" Joint=\"1\" Vel=\"10\" Acc=\"50\"/>"
                          "<If Nr=\"2\" Condition=\"true\"/><Gripper Nr=\"3\" Position=\"10\"/><EndIf/></Program>");
    ASSERT_EQ(Load("with_if.xml").size(), 3u);
    IpoTest::WriteProgram("kept.xml", "<Program/>");

    TestSupport::LogCapture log;
    EXPECT_EQ(ipo->WriteXMLFile(0, "kept.xml"), -1);
    EXPECT_TRUE(log.Contains("IPO:    Cannot write program: command 1 (CommandIf) cannot be written to a file"))
        << log.Joined();
    EXPECT_FALSE(TemporaryLeft());
    EXPECT_EQ(TestSupport::ReadWholeFile(IpoTest::ProgramsDir() + "kept.xml"), "<Program/>");
    EXPECT_FALSE(std::filesystem::exists(IpoTest::ProgramsDir() + "never.xml"));
    EXPECT_EQ(ipo->WriteXMLFile(0, "never.xml"), -1);
    EXPECT_FALSE(std::filesystem::exists(IpoTest::ProgramsDir() + "never.xml"));
}

TEST_F(WriterTest, NothingToWriteAndUnsafeNamesAreRefused) {
    IpoTest::ServerMessages messages;
    TestSupport::LogCapture log;
    EXPECT_EQ(ipo->WriteXMLFile(0, "empty.xml"), -1);
    EXPECT_TRUE(log.Contains("IPO:    Cannot write, no Program loaded"));
    ASSERT_FALSE(messages.Texts().empty());
    EXPECT_EQ(messages.Texts().back(), "No Program to write");

    IpoTest::WriteProgram("one.xml", "<Program><Gripper Nr=\"1\" Position=\"10\"/></Program>");
    ASSERT_EQ(Load("one.xml").size(), 1u);
    for (const char* name : {"../escape.xml", "/tmp/abs.xml", ""}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ipo->WriteXMLFile(0, name), -1);
    }
    EXPECT_EQ(ipo->WriteXMLFile(0, nullptr), -1);
    EXPECT_FALSE(std::filesystem::exists(IpoTest::ProgramsDir() + "../escape.xml"));
    EXPECT_EQ(ipo->WriteXMLFile(0, "one.xml"), 1);  // over the source itself
}

}  // namespace
