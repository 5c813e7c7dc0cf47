// The program browser over the "Data/Programs/" tree of tests/fixtures/browser:
//   Alpha.xml, beta.xml, cell/{inner.xml, deeper/d.xml, .hidden.xml}, .hidden.xml,
//   .hiddendir/x.xml

#include "IpoTestSupport.h"

#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

class BrowserTest : public ::testing::Test {
protected:
    void SetUp() override {
        IpoTest::SetFixtureRobot();
        // The browser lists the whole programs folder: it holds this fixture only.
        const std::filesystem::path programs = IpoTest::ProgramsDir();
        std::filesystem::remove_all(programs);
        std::filesystem::create_directories(programs);
        std::filesystem::copy(std::string(BELVANTO_FIXTURES_DIR) + "/browser", programs,
                              std::filesystem::copy_options::recursive);
        ipo = IpoTest::MakeIpo(&mem.memory);
        ipo->GotoBasedir();
    }

    void TearDown() override {
        ipo.reset();
        std::filesystem::remove_all(IpoTest::ProgramsDir());
    }

    std::vector<std::string> Listing() {
        std::vector<std::string> out;
        std::string entry;
        const int count = ipo->GetFilename(0, &entry);
        for (int i = 0; i < count; ++i) {
            ipo->GetFilename(i, &entry);
            out.push_back(entry);
        }
        return out;
    }

    std::string Shown() {
        std::string name;
        return LogSingleton::instance()->DisplayGetFilename(&name) ? name : "<nothing>";
    }

    IpoTest::Memory mem;
    std::unique_ptr<IPO> ipo;
};

TEST_F(BrowserTest, ListingsAreSortedWithoutHiddenEntriesAndWithAParentBelowTheRoot) {
    EXPECT_EQ(Listing(), (std::vector<std::string>{"cell/", "Alpha.xml", "beta.xml"}));
    EXPECT_EQ(ipo->GetBrowserEntryCount(), 3);
    std::string entry;
    EXPECT_EQ(ipo->GetFilename(3, &entry), 3);
    EXPECT_EQ(entry, "n/a");
    ipo->GetFilename(-1, &entry);
    EXPECT_EQ(entry, "n/a");

    EXPECT_EQ(ipo->LoadDirectoryOrProgram("cell/"), -1);
    EXPECT_EQ(ipo->GetBrowserDirectory(), "cell/");
    EXPECT_EQ(Listing(), (std::vector<std::string>{"../", "cell/deeper/", "cell/inner.xml"}));

    EXPECT_EQ(ipo->LoadDirectoryOrProgram("cell/deeper/"), -1);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"../", "cell/deeper/d.xml"}));
}

TEST_F(BrowserTest, TheSelectionStopsAtBothEndsAndIsRestoredOnTheWayBack) {
    ipo->ProgShowCntDecrease();
    EXPECT_EQ(ipo->GetBrowserSelection(), 0);
    for (int i = 0; i < 4; ++i) ipo->ProgShowCntIncrease();
    EXPECT_EQ(ipo->GetBrowserSelection(), 2);  // kept at the last entry
    EXPECT_EQ(ipo->GetCurrentProgShowName(), "beta.xml");
    EXPECT_TRUE(ipo->IsSelectedEntryAFile());

    ASSERT_TRUE(ipo->SetProgPath("cell/"));
    ipo->SetBrowserSelection(1);
    EXPECT_EQ(ipo->GetCurrentProgShowName(), "cell/deeper/");
    EXPECT_FALSE(ipo->IsSelectedEntryAFile());
    EXPECT_EQ(ipo->LoadCurrentDirectoryOrProgram(), -1);
    EXPECT_EQ(ipo->GetBrowserDirectory(), "cell/deeper/");

    EXPECT_EQ(ipo->LoadDirectoryOrProgram("../"), -1);
    EXPECT_EQ(ipo->GetBrowserDirectory(), "cell/");
    EXPECT_EQ(ipo->GetBrowserSelection(), 1);
    ipo->SetProgPath("..");
    EXPECT_EQ(ipo->GetBrowserDirectory(), "");
    EXPECT_EQ(ipo->GetBrowserSelection(), 2);

    // At the root "../" stays there.
    ipo->SetProgPath("../");
    EXPECT_EQ(ipo->GetBrowserDirectory(), "");
    EXPECT_EQ(ipo->GetBrowserSelection(), 2);

    ipo->SetProgPath("cell/");
    ipo->GotoBasedir();
    EXPECT_EQ(ipo->GetBrowserDirectory(), "");
    EXPECT_EQ(ipo->GetBrowserSelection(), 0);
    ipo->SetProgPath("../");
    EXPECT_EQ(ipo->GetBrowserSelection(), 0);  // the stack went with GotoBasedir
}

TEST_F(BrowserTest, TheDisplayGetsTheLastComponentOfTheSelection) {
    struct Case {
        const char* directory;
        int selection;
        const char* shown;
    };
    const Case cases[] = {{"", 0, "cell/"}, {"", 1, "Alpha.xml"}, {"cell/", 0, "../"},
                          {"cell/", 1, "deeper/"}, {"cell/", 2, "inner.xml"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.directory) + std::to_string(c.selection));
        ipo->GotoBasedir();
        if (*c.directory != '\0') {
            ASSERT_TRUE(ipo->SetProgPath(c.directory));
        }
        ipo->SetBrowserSelection(c.selection);
        TestSupport::LogCapture log;
        ipo->SendCurrentProgShowName();
        EXPECT_EQ(Shown(), c.shown);
        EXPECT_TRUE(log.Contains("IPO:     Sending selected filename " + std::to_string(c.selection) + ": " + c.shown))
            << log.Joined();
    }
}

TEST_F(BrowserTest, LoadingTheSelectedFileStopsDeletesAndLoadsIt) {
    ASSERT_TRUE(ipo->SetProgPath("cell/"));
    ipo->SetBrowserSelection(2);
    float offsets[IPO::kNrOffsets] = {1, 2, 3};
    ipo->OffsetSet(offsets);
    EXPECT_EQ(ipo->LoadCurrentDirectoryOrProgram(), 0);
    ASSERT_TRUE(IpoTest::WaitFor([&] { return !ipo->IsLoading(); }));
    EXPECT_EQ(ipo->GetLoadedProgramName(), "cell/inner.xml");
    EXPECT_TRUE(ipo->IsProgramLoaded());
    ipo->GetOffsets(offsets);
    EXPECT_EQ(offsets[0], 0.0f);
    EXPECT_EQ(ipo->GetBrowserDirectory(), "cell/");  // the browser stays where it was
}

TEST_F(BrowserTest, NamesOutsideTheProgramsFolderAndMissingFoldersAreRefused) {
    ASSERT_EQ(ipo->LoadProgramSynchronous("Alpha.xml", true), 0);
    ASSERT_TRUE(ipo->SetProgPath("cell/"));
    const std::string outside = LogSingleton::instance()->get_rootPath() + "Data/etc/";
    std::filesystem::create_directories(outside);

    for (const char* name : {"../../etc/", "../etc/", "/etc/", "missing/", "cell/inner.xml/", "cell/../../etc/"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(ipo->SetProgPath(name));
        EXPECT_EQ(ipo->LoadDirectoryOrProgram(name), 2);
        EXPECT_EQ(ipo->GetBrowserDirectory(), "cell/");
    }
    for (const char* name : {"../../etc/passwd", "/etc/passwd", "cell/../../x.xml"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ipo->LoadDirectoryOrProgram(name), 2);
        EXPECT_EQ(ipo->GetLoadedProgramName(), "Alpha.xml");  // nothing stopped or deleted
    }
    // Going up once from "cell/" still returns to the root and its selection.
    EXPECT_EQ(ipo->LoadDirectoryOrProgram("../"), -1);
    EXPECT_EQ(ipo->GetBrowserDirectory(), "");
    std::filesystem::remove_all(outside);
}

TEST_F(BrowserTest, ANotAvailableSelectionChangesNothing) {
    ASSERT_EQ(ipo->LoadProgramSynchronous("Alpha.xml", true), 0);
    ipo->SetBrowserSelection(7);
    EXPECT_EQ(ipo->GetCurrentProgShowName(), "n/a");
    EXPECT_FALSE(ipo->IsSelectedEntryAFile());
    TestSupport::LogCapture log;
    EXPECT_EQ(ipo->LoadCurrentDirectoryOrProgram(), 2);
    EXPECT_TRUE(ipo->IsProgramLoaded());
    EXPECT_EQ(ipo->GetLoadedProgramName(), "Alpha.xml");
    EXPECT_FALSE(log.Contains("Deleting All Programs")) << log.Joined();
}

TEST_F(BrowserTest, AFolderThatVanishedListsNothing) {
    ASSERT_TRUE(ipo->SetProgPath("cell/"));
    std::filesystem::remove_all(IpoTest::ProgramsDir() + "cell");
    std::string entry = "kept";
    EXPECT_EQ(ipo->GetFilename(0, &entry), 0);
    EXPECT_EQ(entry, "kept");
    EXPECT_EQ(ipo->GetBrowserEntryCount(), 0);
    EXPECT_EQ(ipo->GetCurrentProgShowName(), "storage01.xml");
    EXPECT_FALSE(ipo->IsSelectedEntryAFile());
}

}  // namespace
