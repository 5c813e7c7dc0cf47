// Board support on files of the test's own: board names in the issue file and the thermal
// zone's millidegrees. The real files are never read.

#include "hardware/BoardSupport.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace BS = Hardware::BoardSupport;

namespace {

class BoardSupportTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedIssue = BS::GetIssuePath();
        savedZone = BS::GetThermalZonePath();
        BS::SetIssuePath(root.Path() + "/missing-issue");
        BS::SetThermalZonePath(root.Path() + "/missing-temp");
    }
    void TearDown() override {
        BS::SetIssuePath(savedIssue);
        BS::SetThermalZonePath(savedZone);
        BS::boardType.store(BS::Unknown);
    }

    TestSupport::TempDataRoot root;
    std::string savedIssue, savedZone;
};

}  // namespace

TEST_F(BoardSupportTest, BoardTypeFromTheIssueFile) {
    struct Case {
        const char* name;
        const char* content;  // null: no file
        BS::BoardType type;
        const char* text;
    };
    const Case cases[] = {
        {"raspberry", "Raspbian GNU/Linux 11 \\n \\l\n", BS::Raspberry, "Raspberry"},
        {"phytec", "Phytec Yocto BSP\n", BS::Phytec, "Phytec"},
        {"both names", "Phytec board running Raspbian\n", BS::Raspberry, "Raspberry"},
        {"empty", "", BS::Unknown, "unknown"},
        {"other", "Debian GNU/Linux 12\n", BS::Unknown, "unknown"},
        {"missing", nullptr, BS::Unknown, "unknown"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = root.Path() + "/absent";
        if (c.content != nullptr) path = root.WriteFile(std::string("issue-") + c.name, c.content);
        BS::SetIssuePath(path);
        BS::boardType.store(BS::Phytec);  // detection starts from unknown
        BS::DetectBoardType();
        EXPECT_EQ(BS::boardType.load(), c.type);
        EXPECT_STREQ(BS::BoardTypeToString(BS::boardType.load()), c.text);
    }
    EXPECT_STREQ(BS::BoardTypeToString(static_cast<BS::BoardType>(7)), "unknown");
}

TEST_F(BoardSupportTest, AnUndetectedBoardIsLookedForAgainAtEveryCall) {
    BS::boardType.store(BS::Unknown);
    EXPECT_EQ(BS::GetBoardType(), BS::Unknown);
    BS::SetIssuePath(root.WriteFile("issue", "Raspbian\n"));
    EXPECT_EQ(BS::GetBoardType(), BS::Raspberry);
    // Once known it stays: the file is not read again.
    BS::SetIssuePath(root.WriteFile("issue2", "Phytec\n"));
    EXPECT_EQ(BS::GetBoardType(), BS::Raspberry);
}

TEST_F(BoardSupportTest, CpuTemperatureFromMillidegrees) {
    struct Case {
        const char* content;  // null: no file
        double celsius;
    };
    const Case cases[] = {
        {"45678\n", 45.678}, {"0", 0.0}, {"", 0.0}, {nullptr, 0.0}, {"-5000\n", -5.0}, {"garbage", 0.0},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content != nullptr ? c.content : "(missing)");
        std::string path = root.Path() + "/absent";
        if (c.content != nullptr) path = root.WriteFile("temp" + std::to_string(n++), c.content);
        BS::SetThermalZonePath(path);
        EXPECT_DOUBLE_EQ(BS::GetCPUTemperature(), c.celsius);
    }
}
