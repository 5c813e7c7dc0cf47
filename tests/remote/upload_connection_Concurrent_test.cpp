// File upload over a client connection of the server: the file that lands, and the failure
// messages every client receives when an upload cannot complete.

#include "remote_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using RemoteTest::kWaitMs;
using RemoteTest::ServerFixture;
using TestSupport::HvpTestClient;

class HvpUploadConcurrent : public ServerFixture {
protected:
    void SetUp() override {
        ServerFixture::SetUp();
        root = LogSingleton::instance()->get_rootPath();
        fs::create_directories(root + "Data");
    }
    void TearDown() override {
        ServerFixture::TearDown();
        std::error_code ec;
        fs::remove_all(root + "Data", ec);
    }
    // Files below the data folder.
    std::vector<std::string> Files() const {
        std::vector<std::string> out;
        for (const auto& entry : fs::recursive_directory_iterator(root + "Data")) {
            if (!entry.is_directory()) out.push_back(entry.path().string());
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    // Runs main-loop passes until a server message arrives that starts with text.
    bool MessageArrives(HvpTestClient& client, const std::string& text) {
        return RemoteTest::WaitFor([&] {
            Pass();
            return client.WaitFor("MESSAGE " + text, 5).has_value();
        });
    }
    void Send(HvpTestClient& client, const std::string& body) { ASSERT_TRUE(client.Send(++counter, "CMD " + body)); }

    std::string root;
    int counter = 0;
};

TEST_F(HvpUploadConcurrent, LinesLandByteForByteAndEveryClientHearsOfIt) {
    HvpTestClient& uploader = Connect();
    HvpTestClient& other = Connect();
    Send(uploader, "UploadFileInit Programs/new/a.xml 3");
    // The line starts one blank after the keyword whatever the counter looks like and
    // however many blanks stand before the keyword.
    ASSERT_TRUE(uploader.SendRaw("HVPSTART 007 CMD UploadFileLine    <Program> HVPEND"));
    ASSERT_TRUE(uploader.SendRaw("HVPSTART +7  CMD   UploadFileLine  HVPEND"));
    ASSERT_TRUE(uploader.SendRaw("HVPSTART 1234567 CMD UploadFileLine </Program> HVPEND"));
    Send(uploader, "UploadFileFinish");
    ASSERT_TRUE(MessageArrives(uploader, "Programs/new/a.xml uploaded, 3 lines"));
    ASSERT_TRUE(MessageArrives(other, "Programs/new/a.xml uploaded, 3 lines"));
    // A line without any text is an empty line, not a broken one.
    Send(uploader, "UploadFileInit b.txt 1");
    ASSERT_TRUE(uploader.SendRaw("HVPSTART 9 CMD UploadFileLine HVPEND"));
    Send(uploader, "UploadFileFinish");
    ASSERT_TRUE(MessageArrives(uploader, "b.txt uploaded, 1 lines"));
    EXPECT_EQ(TestSupport::ReadWholeFile(root + "Data/b.txt"), "\n");
    EXPECT_EQ(TestSupport::ReadWholeFile(root + "Data/Programs/new/a.xml"), "   <Program>\n\n</Program>\n");
    EXPECT_FALSE(fs::exists(root + "Data/Programs/new/a.xml.part"));
}

TEST_F(HvpUploadConcurrent, FailedUploadsLeaveNoFileAndKeepTheTarget) {
    HvpTestClient& client = Connect();
    const std::string line(960, 'x');  // the longest line a 1019-byte frame carries, nearly
    struct Case {
        const char* label;
        std::function<void()> send;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"relative", [&] { Send(client, "UploadFileInit ../x 1"); Send(client, "UploadFileLine a"); },
         "HVP-Server: Invalid path: " + root + "Data/../x, must not be relative!"},
        {"absolute", [&] { Send(client, "UploadFileInit /x 1"); Send(client, "UploadFileLine a"); },
         "HVP-Server: Invalid path: " + root + "Data//x"},
        {"17 MiB",
         [&] {
             Send(client, "UploadFileInit t.txt 18000");  // 17.3 MB
             for (int i = 0; i < 18000; ++i) Send(client, "UploadFileLine " + line);
         },
         "HVP-Server: Upload of t.txt failed: larger than 16777216 bytes"},
        {"short", [&] { Send(client, "UploadFileInit t.txt 3"); Send(client, "UploadFileLine a"); Send(client, "UploadFileLine b"); },
         "HVP-Server: Upload of t.txt failed: 2 of 3 lines received"},
        {"no count", [&] { Send(client, "UploadFileInit t.txt"); Send(client, "UploadFileLine a"); },
         "HVP-Server: Upload of t.txt failed: line count missing"},
        {"new init in the middle",
         [&] {
             Send(client, "UploadFileInit t.txt 2");
             Send(client, "UploadFileLine a");
             Send(client, "UploadFileInit u.txt 1");
         },
         "HVP-Server: Upload of t.txt failed: interrupted by a new upload"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::error_code ec;
        fs::remove_all(root + "Data", ec);
        fs::create_directories(root + "Data");
        std::ofstream(root + "Data/t.txt") << "keep me\n";
        const std::vector<std::string> before = Files();
        c.send();
        Send(client, "UploadFileFinish");
        ASSERT_TRUE(MessageArrives(client, c.message));
        EXPECT_EQ(Files(), before);
        EXPECT_EQ(TestSupport::ReadWholeFile(root + "Data/t.txt"), "keep me\n");
    }
}

TEST_F(HvpUploadConcurrent, TheEndOfTheConnectionDiscardsAnUnfinishedUpload) {
    HvpTestClient& client = Connect();
    Send(client, "UploadFileInit t.txt 2");
    Send(client, "UploadFileLine a");
    ASSERT_TRUE(RemoteTest::WaitFor([&] { return fs::exists(root + "Data/t.txt.part"); }));
    client.Close();
    EXPECT_TRUE(RemoteTest::WaitFor([&] { return !fs::exists(root + "Data/t.txt.part"); }));
    EXPECT_FALSE(fs::exists(root + "Data/t.txt"));
}

}  // namespace
