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

}  // namespace
