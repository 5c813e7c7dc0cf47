#include "testsupport/TestSupport.h"

#include "core/Filesystem.h"
#include "core/LogSingleton.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace TestSupport {

TempDataRoot::TempDataRoot() {
    std::string pattern = (fs::temp_directory_path() / "belvanto-root-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("TempDataRoot: mkdtemp failed");
    }
    path_ = buffer.data();
    fs::create_directories(path_ + "/Data");
}

TempDataRoot::~TempDataRoot() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string TempDataRoot::WriteFile(const std::string& relativePath, const std::string& content) const {
    fs::path full = fs::path(path_) / relativePath;
    fs::create_directories(full.parent_path());
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
        throw std::runtime_error("TempDataRoot: cannot write " + full.string());
    }
    return full.string();
}

std::string TempDataRoot::ReadFile(const std::string& relativePath) const {
    return ReadWholeFile((fs::path(path_) / relativePath).string());
}

ScopedCwd::ScopedCwd(const std::string& path) : previous_(fs::current_path().string()) {
    fs::current_path(path);
}

ScopedCwd::~ScopedCwd() {
    std::error_code ec;
    fs::current_path(previous_, ec);
}

LogCapture::LogCapture() {
    std::string line;
    while (LogSingleton::instance()->GetLogMessage(&line) > 0) {
    }
}

void LogCapture::Drain() {
    std::string line;
    while (LogSingleton::instance()->GetLogMessage(&line) > 0) {
        lines_.push_back(line);
    }
}

const std::vector<std::string>& LogCapture::Lines() {
    Drain();
    return lines_;
}

bool LogCapture::Contains(const std::string& fragment) { return Count(fragment) > 0; }

int LogCapture::Count(const std::string& fragment) {
    Drain();
    int n = 0;
    for (const auto& l : lines_) {
        if (l.find(fragment) != std::string::npos) ++n;
    }
    return n;
}

std::string LogCapture::Joined() {
    Drain();
    std::string all;
    for (const auto& l : lines_) {
        all += l;
        all += '\n';
    }
    return all;
}

ScopedFailState::ScopedFailState()
    : mode_(LogSingleton::instance()->get_opMode()), reason_(LogSingleton::instance()->get_seriousFailReason()) {}

ScopedFailState::~ScopedFailState() {
    LogSingleton::instance()->set_opMode(mode_);
    LogSingleton::instance()->set_seriousFailReason(reason_);
}

ServerMessageCapture::ServerMessageCapture() {
    LogSingleton::instance()->SetServerMessageCallback([this](const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        texts_.push_back(text);
    });
}

ServerMessageCapture::~ServerMessageCapture() { LogSingleton::instance()->SetServerMessageCallback(nullptr); }

std::vector<std::string> ServerMessageCapture::Texts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
}

int ServerMessageCapture::Count(const std::string& fragment) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& t : texts_) n += t.find(fragment) != std::string::npos ? 1 : 0;
    return n;
}

void ServerMessageCapture::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.clear();
}

WriteFault::WriteFault() : flag_(folder_.Path() + "/write-fault") {
    if (const char* old = std::getenv(Filesystem::kWriteFaultEnvironment)) {
        hadOld_ = true;
        old_ = old;
    }
    setenv(Filesystem::kWriteFaultEnvironment, flag_.c_str(), 1);
}

WriteFault::~WriteFault() {
    if (hadOld_) {
        setenv(Filesystem::kWriteFaultEnvironment, old_.c_str(), 1);
    } else {
        unsetenv(Filesystem::kWriteFaultEnvironment);
    }
}

void WriteFault::Fail(bool on) {
    if (on) {
        std::ofstream(flag_) << "on\n";
    } else {
        std::error_code ec;
        fs::remove(flag_, ec);
    }
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string RunCommand(const std::string& command, int* status) {
    std::string output;
    int result = -1;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) output += buffer;
        result = pclose(pipe);
    }
    if (status != nullptr) *status = result;
    return output;
}

}  // namespace TestSupport
