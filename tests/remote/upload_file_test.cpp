// File upload into the data tree: what lands on disk, and what a failed upload leaves.

#include "remote/ComServerUpload.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Remote::ComServerUpload;

class UploadTest : public ::testing::Test {
protected:
    ComServerUpload MakeUpload() {
        return ComServerUpload(root.RootWithSlash(), [this](const std::string& text) { messages.push_back(text); });
    }
    std::string Data(const std::string& relative) const { return root.DataPath() + "/" + relative; }
    // Every file below the root, for "nothing new was left behind".
    std::vector<std::string> Files() const {
        std::vector<std::string> out;
        for (const auto& entry : fs::recursive_directory_iterator(root.Path())) {
            if (!entry.is_directory()) out.push_back(entry.path().string());
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    TestSupport::TempDataRoot root;
    std::vector<std::string> messages;
};

int ModeOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return -1;
    return static_cast<int>(info.st_mode & 07777);
}

TEST_F(UploadTest, LinesLandExactlyWithNewFoldersAndModesWhateverTheUmask) {
    const mode_t old = ::umask(077);
    {
        ComServerUpload upload(root.RootWithSlash(), [this](const std::string& text) { messages.push_back(text); });
        upload.Init("Programs/new/a.xml", true, 3);
        upload.Line("   <Program>");
        upload.Line("");
        upload.Line("</Program>");
        EXPECT_FALSE(fs::exists(Data("Programs/new/a.xml"))) << "the target appears only when complete";
        upload.Finish();
        EXPECT_FALSE(upload.IsOpen());
    }
    ::umask(old);
    EXPECT_EQ(TestSupport::ReadWholeFile(Data("Programs/new/a.xml")), "   <Program>\n\n</Program>\n");
    EXPECT_FALSE(fs::exists(Data("Programs/new/a.xml.part")));
    EXPECT_EQ(ModeOf(Data("Programs/new/a.xml")), 0644);
    EXPECT_EQ(ModeOf(Data("Programs/new")), 0755);
    EXPECT_EQ(ModeOf(Data("Programs")), 0755);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Programs/new/a.xml uploaded, 3 lines");
}

TEST_F(UploadTest, ReplacesAnExistingTargetAndWritesLargeUploadsWhole) {
    root.WriteFile("Data/Programs/p.xml", "old\n");
    ComServerUpload upload = MakeUpload();
    std::string expected;
    upload.Init("Programs/p.xml", true, 5000);
    for (int i = 0; i < 5000; ++i) {
        const std::string line = "<Wait Time=\"" + std::to_string(i) + "\"/>  " + std::string(i % 17, 'x');
        upload.Line(line);
        expected += line + "\n";
    }
    upload.Finish();
    EXPECT_EQ(root.ReadFile("Data/Programs/p.xml"), expected);
    EXPECT_EQ(messages, std::vector<std::string>{"Programs/p.xml uploaded, 5000 lines"});
}

// Each failure leaves nothing new, no part file and an existing target as it was, and
// tells the clients why.
TEST_F(UploadTest, FailedUploadsLeaveNothingAndSayWhy) {
    const std::string longName(512, 'n');
    struct Case {
        std::string label;
        std::string target;  // existing file to keep ("" none)
        std::function<void(ComServerUpload&)> run;
        std::string message;  // with {root} for the data root
    };
    const std::string big(64 * 1024, 'b');
    const std::vector<Case> cases = {
        {"relative", "", [](ComServerUpload& u) { u.Init("../x", true, 1); u.Line("a"); u.Finish(); },
         "HVP-Server: Invalid path: {root}Data/../x, must not be relative!"},
        {"absolute", "", [](ComServerUpload& u) { u.Init("/x", true, 1); u.Line("a"); u.Finish(); },
         "HVP-Server: Invalid path: {root}Data//x"},
        {"empty component", "", [](ComServerUpload& u) { u.Init("a//x", true, 1); u.Line("a"); u.Finish(); },
         "HVP-Server: Invalid path: {root}Data/a//x"},
        {"name over 511", "",
         [&](ComServerUpload& u) { u.Init(longName, true, 1); u.Line("a"); u.Finish(); },
         "HVP-Server: Invalid path: {root}Data/" + longName},
        {"prefix is a file", "Data/plain",
         [](ComServerUpload& u) { u.Init("plain/x", true, 1); u.Line("a"); u.Finish(); },
         "HVP-Server: Could not create path '{root}Data/plain': exists but is no directory"},
        {"no line count", "Data/t.txt",
         [](ComServerUpload& u) { u.Init("t.txt", false, 0); u.Line("a"); u.Finish(); },
         "HVP-Server: Upload of t.txt failed: line count missing"},
        {"negative line count", "Data/t.txt",
         [](ComServerUpload& u) { u.Init("t.txt", true, -1); u.Line("a"); u.Finish(); },
         "HVP-Server: Upload of t.txt failed: line count missing"},
        {"short", "Data/t.txt",
         [](ComServerUpload& u) { u.Init("t.txt", true, 3); u.Line("a"); u.Line("b"); u.Finish(); },
         "HVP-Server: Upload of t.txt failed: 2 of 3 lines received"},
        {"long", "Data/t.txt",
         [](ComServerUpload& u) { u.Init("t.txt", true, 1); u.Line("a"); u.Line("b"); u.Finish(); },
         "HVP-Server: Upload of t.txt failed: 2 of 1 lines received"},
        {"17 MiB", "Data/t.txt",
         [&](ComServerUpload& u) {
             u.Init("t.txt", true, 272);
             for (int i = 0; i < 272; ++i) u.Line(big);
             u.Finish();
         },
         "HVP-Server: Upload of t.txt failed: larger than 16777216 bytes"},
        {"new init in the middle", "Data/t.txt",
         [](ComServerUpload& u) {
             u.Init("t.txt", true, 2);
             u.Line("a");
             u.Init("../y", true, 1);
             u.Line("b");
             u.Finish();
         },
         "HVP-Server: Upload of t.txt failed: interrupted by a new upload"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        messages.clear();
        if (!c.target.empty()) root.WriteFile(c.target, "keep me\n");
        const std::vector<std::string> before = Files();
        {
            ComServerUpload upload = MakeUpload();
            c.run(upload);
            EXPECT_FALSE(upload.IsOpen());
        }
        EXPECT_EQ(Files(), before);
        if (!c.target.empty()) {
            EXPECT_EQ(root.ReadFile(c.target), "keep me\n");
        }
        std::string expected = c.message;
        const size_t at = expected.find("{root}");
        if (at != std::string::npos) expected.replace(at, 6, root.RootWithSlash());
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages[0], expected);
        for (const auto& m : messages) EXPECT_EQ(m.find("uploaded"), std::string::npos) << m;
    }
}

TEST_F(UploadTest, UnfinishedUploadIsDiscardedWhenTheConnectionEnds) {
    root.WriteFile("Data/t.txt", "keep me\n");
    {
        ComServerUpload upload = MakeUpload();
        upload.Init("t.txt", true, 2);
        upload.Line("a");
        EXPECT_TRUE(fs::exists(Data("t.txt.part")));
    }
    EXPECT_FALSE(fs::exists(Data("t.txt.part")));
    EXPECT_EQ(root.ReadFile("Data/t.txt"), "keep me\n");
}

// Two clients upload the same name (the active role changed hands in between): the later
// Init takes the part file over; the earlier upload neither renames nor removes it.
TEST_F(UploadTest, AnUploadOfTheSameNameTakesThePartFileOver) {
    root.WriteFile("Data/t.txt", "keep me\n");
    {
        ComServerUpload first = MakeUpload();
        ComServerUpload second = MakeUpload();
        first.Init("t.txt", true, 1);
        first.Line("first");
        second.Init("t.txt", true, 1);
        second.Line("second");
        first.Finish();
        EXPECT_EQ(root.ReadFile("Data/t.txt"), "keep me\n");
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0], "HVP-Server: Upload of t.txt failed: replaced by another upload of the same name");
        second.Finish();
    }
    EXPECT_EQ(root.ReadFile("Data/t.txt"), "second\n");
    {
        ComServerUpload second = MakeUpload();
        {
            ComServerUpload first = MakeUpload();
            first.Init("t.txt", true, 1);
            second.Init("t.txt", true, 1);
            second.Line("third");
        }  // the first connection ends
        second.Finish();
    }
    EXPECT_EQ(root.ReadFile("Data/t.txt"), "third\n");
    EXPECT_FALSE(fs::exists(Data("t.txt.part")));
}

TEST_F(UploadTest, PlantedLinksAreNeverFollowed) {
    const std::string outside = root.WriteFile("outside.txt", "sentinel\n");
    fs::create_symlink(outside, Data("t.txt.part"));
    ComServerUpload upload = MakeUpload();
    upload.Init("t.txt", true, 1);
    upload.Line("new");
    upload.Finish();
    EXPECT_EQ(root.ReadFile("outside.txt"), "sentinel\n");
    EXPECT_EQ(root.ReadFile("Data/t.txt"), "new\n");
    EXPECT_FALSE(fs::is_symlink(Data("t.txt")));
}

TEST_F(UploadTest, LinesAndFinishWithoutAnOpenUploadAreIgnored) {
    ComServerUpload upload = MakeUpload();
    const std::vector<std::string> before = Files();
    upload.Line("stray");
    upload.Finish();
    EXPECT_EQ(Files(), before);
    EXPECT_TRUE(messages.empty());
}

}  // namespace
