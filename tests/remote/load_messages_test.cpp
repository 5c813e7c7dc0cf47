// A failed program load over HVP: besides the reply the keyword gives, the clients get a
// MESSAGE that names the file and says why nothing was loaded (not found, not allowed,
// not parsed), for the main and the logic program.

#include "hvp_robot_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace HvpTest {
namespace {

namespace fs = std::filesystem;

class LoadMessagesTest : public HvpRobotFixture {
protected:
    void SetUp() override {
        HvpRobotFixture::SetUp();
        root = LogSingleton::instance()->get_rootPath();
        fs::create_directories(root + "Data/Programs");
        std::ofstream(root + "Data/Programs/broken.xml") << "<Program><Wait Nr=\"1\"";
        std::ofstream(root + "Data/Programs/unknown.xml") << "<?xml version=\"1.0\"?>\n<Program><Dance Nr=\"1\"/></Program>\n";
    }
    void TearDown() override {
        HvpRobotFixture::TearDown();
        std::error_code ec;
        fs::remove_all(root + "Data/Programs", ec);
    }

    std::string root;
    TestSupport::ServerMessageCapture messages;
};

TEST_F(LoadMessagesTest, AFailedLoadTellsTheFileAndTheReason) {
    struct Case {
        const char* body;
        const char* reply;    // payload without the counter's "5"
        const char* message;  // the MESSAGE text the clients get
    };
    const Case cases[] = {
        {"CMD LoadProgram nothere.xml", "CMDACK", "Program nothere.xml not found, nothing loaded"},
        {"CMD LoadProgram ../x.xml", "CMDERROR could not parse command", "Program name ../x.xml not allowed, nothing loaded"},
        {"CMD LoadProgram broken.xml", "CMDACK", "Could not parse program broken.xml: XML parsing failed!"},
        {"CMD LoadProgram unknown.xml", "CMDACK",
         "Could not parse program unknown.xml: Unknown command 'Dance' in program"},
        {"CMD LoadLogicProgram nothere.xml", "CMDACK", "Logic program nothere.xml not found, nothing loaded"},
        {"CMD LoadLogicProgram ../x.xml", "CMDERROR could not load logic program",
         "Logic program name ../x.xml not allowed, nothing loaded"},
        {"CMD LoadLogicProgram broken.xml", "CMDACK", "Could not parse program broken.xml: XML parsing failed!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        messages.Clear();
        const std::vector<std::string> replies = Replies(*active, c.body);
        std::string reply = c.reply;
        reply.insert(reply.find(' ') == std::string::npos ? reply.size() : reply.find(' '), " 5");
        EXPECT_EQ(replies, std::vector<std::string>{reply});
        // A parse failure comes from the loading thread, after the acknowledgement.
        EXPECT_TRUE(WaitFor([&] { return messages.Count(c.message) > 0; }))
            << ::testing::PrintToString(messages.Texts());
        EXPECT_FALSE(master->GetMainInterpreter().IsProgramLoaded());
    }
}

}  // namespace
}  // namespace HvpTest
