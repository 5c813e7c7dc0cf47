// Common main of every test executable: the log singleton starts without its start-up
// wait, and the process works in a fresh temporary folder so log files and other output
// never land in the source tree.
#include "core/LogSingleton.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// Every test starts in normal operation: a test that provokes a serious failure must not
// decide the outcome of the next one in the same process. The lines of earlier tests are
// written out first, so none reaches a test that captures standard output.
class ResetOperationMode : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        LogSingleton* log = LogSingleton::instance();
        log->Flush();
        log->set_opMode(static_cast<operationMode>(0));
        log->set_seriousFailReason("na");
    }
};

}  // namespace

int main(int argc, char** argv) {
    LogSingleton::SetStartupWait(std::chrono::milliseconds(0));

    std::string pattern =
        (std::filesystem::temp_directory_path() / "belvanto-test-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const char* dir = mkdtemp(buffer.data());
    if (dir != nullptr) {
        std::filesystem::current_path(dir);
    }

    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new ResetOperationMode);
    int rc = RUN_ALL_TESTS();

    if (dir != nullptr) {
        std::error_code ec;
        std::filesystem::current_path("/", ec);
        std::filesystem::remove_all(dir, ec);
    }
    return rc;
}
