// Filesystem::WriteFileAtomic: replaces whole files and leaves nothing behind on failure.
#include "core/Filesystem.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

TEST(FilesystemWriteFileAtomic, ReplacesTheWholeFileAndLeavesNoTemporary) {
    TestSupport::TempDataRoot root;
    const std::string path = root.WriteFile("Data/file.xml", std::string(5000, 'a'));
    ASSERT_TRUE(Filesystem::WriteFileAtomic(path, std::string("<short/>")));
    EXPECT_EQ(TestSupport::ReadWholeFile(path), "<short/>");
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));

    const std::string fresh = root.Path() + "/Data/new.xml";
    ASSERT_TRUE(Filesystem::WriteFileAtomic(fresh, "", 0));
    EXPECT_TRUE(Filesystem::IsFile(fresh));
    EXPECT_EQ(Filesystem::GetFileSize(fresh), 0);
}

TEST(FilesystemWriteFileAtomic, FailureLeavesTheTargetUntouched) {
    TestSupport::TempDataRoot root;
    EXPECT_FALSE(Filesystem::WriteFileAtomic(root.Path() + "/missing/folder/file.xml", std::string("x")));
    // A folder in the target's place: the rename fails, the temporary goes away.
    const std::string folder = root.Path() + "/Data/taken";
    std::filesystem::create_directories(folder + "/inside");
    EXPECT_FALSE(Filesystem::WriteFileAtomic(folder, std::string("x")));
    EXPECT_TRUE(Filesystem::IsDirectory(folder));
    EXPECT_FALSE(std::filesystem::exists(folder + ".tmp"));
}

TEST(FilesystemRemoveStaleTemporaries, RemovesBothTemporaryNamesAndNothingElse) {
    TestSupport::TempDataRoot root;
    const std::string path = root.WriteFile("Data/file.xml", "real");
    root.WriteFile("Data/file.xml.tmp", "half");
    root.WriteFile("Data/file.xml_tmp", "older half");
    root.WriteFile("Data/other.xml.tmp", "not ours");
    TestSupport::LogCapture log;
    EXPECT_EQ(Filesystem::RemoveStaleTemporaries(path), 2);
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    EXPECT_FALSE(std::filesystem::exists(path + "_tmp"));
    EXPECT_TRUE(log.Contains("Removed stale temporary file '" + path + ".tmp'")) << log.Joined();
    EXPECT_TRUE(log.Contains("Removed stale temporary file '" + path + "_tmp'")) << log.Joined();
    EXPECT_EQ(TestSupport::ReadWholeFile(path), "real");
    EXPECT_TRUE(std::filesystem::exists(root.Path() + "/Data/other.xml.tmp"));
    // Nothing left: nothing to do, nothing logged.
    EXPECT_EQ(Filesystem::RemoveStaleTemporaries(path), 0);
    EXPECT_EQ(log.Count("Removed stale temporary file"), 2);
}

TEST(FilesystemRemoveStaleTemporaries, ALinkIsRemovedNotItsTargetAndAFolderStays) {
    TestSupport::TempDataRoot root;
    const std::string path = root.Path() + "/Data/file.xml";
    const std::string target = root.WriteFile("Data/elsewhere.txt", "kept");
    std::filesystem::create_symlink(target, path + ".tmp");
    std::filesystem::create_directories(path + "_tmp");
    EXPECT_EQ(Filesystem::RemoveStaleTemporaries(path), 1);
    EXPECT_FALSE(std::filesystem::is_symlink(path + ".tmp"));
    EXPECT_EQ(TestSupport::ReadWholeFile(target), "kept");
    EXPECT_TRUE(Filesystem::IsDirectory(path + "_tmp"));
}

}  // namespace
