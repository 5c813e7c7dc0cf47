// Program browser: walks the "Data/Programs/" tree for the operator panel and the Modbus
// map, and loads the selected file. Entries are paths relative to "Data/Programs/";
// folders end in "/".

#include "program/IPO.h"

#include "core/Filesystem.h"
#include "core/LogSingleton.h"
#include "core/PathCheck.h"
#include "core/StringHelper.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace {

const char* const kParentEntry = "../";
const char* const kNoEntry = "n/a";
const char* const kFallbackName = "storage01.xml";

std::string ProgramsRoot() { return LogSingleton::instance()->get_rootPath() + "Data/Programs/"; }

}  // namespace

std::string IPO::GetBrowserDirectory() const {
    std::lock_guard<std::mutex> lock(browserMutex);
    return browserDirectory;
}

int IPO::GetFilename(int index, std::string* out) {
    const std::string directory = GetBrowserDirectory();
    const std::string base = ProgramsRoot();
    std::error_code ec;
    std::filesystem::directory_iterator it(base + directory, ec);
    if (ec) {
        LogSingleton::instance()->addConsole(("could not open dir: " + ec.message()).c_str(), true);
        browserEntryCount.store(0);
        return 0;
    }
    std::vector<std::string> entries;
    if (!directory.empty()) {
        entries.emplace_back(kParentEntry);
    }
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        const std::string entryName = it->path().filename().string();
        if (entryName.empty() || entryName[0] == '.') {
            continue;
        }
        std::error_code typeError;
        const bool folder = it->is_directory(typeError);
        entries.push_back(directory + entryName + (folder ? "/" : ""));
    }
    std::sort(entries.begin(), entries.end(), StringHelper::FileComparator);
    const int count = static_cast<int>(entries.size());
    browserEntryCount.store(count);
    if (out != nullptr) {
        *out = index >= 0 && index < count ? entries[static_cast<size_t>(index)] : kNoEntry;
    }
    return count;
}

std::string IPO::GetCurrentProgShowName() {
    std::string entry = kFallbackName;
    GetFilename(browserSelection.load(), &entry);
    return entry;
}

void IPO::SendCurrentProgShowName() {
    std::string shown = GetCurrentProgShowName();
    // Only the last component; a folder keeps its trailing "/".
    if (shown.size() > 1) {
        const size_t slash = shown.rfind('/', shown.size() - 2);
        if (slash != std::string::npos) {
            shown.erase(0, slash + 1);
        }
    }
    LogSingleton* log = LogSingleton::instance();
    log->addFormat("IPO:     Sending selected filename %d: %s", browserSelection.load(), shown.c_str());
    log->DisplaySetFilename(shown);
}

void IPO::ProgShowCntIncrease() {
    const int next = browserSelection.load() + 1;
    if (next < browserEntryCount.load()) {
        browserSelection.store(next);
    }
}

void IPO::ProgShowCntDecrease() {
    const int previous = browserSelection.load() - 1;
    if (previous >= 0) {
        browserSelection.store(previous);
    }
}

bool IPO::IsSelectedEntryAFile() {
    std::string entry;
    if (GetFilename(browserSelection.load(), &entry) == 0 || entry == kNoEntry) {
        return false;
    }
    return IsProgramFile(entry);
}

bool IPO::IsProgramFile(const std::string& name) {
    return Filesystem::IsSafeRelativePath(name) && Filesystem::IsFile(ProgramsRoot() + name);
}

void IPO::GotoBasedir() {
    {
        std::lock_guard<std::mutex> lock(browserMutex);
        browserSelection.store(0);
        browserDirectory.clear();
        browserParentStack = std::stack<int>();
    }
    std::string first;
    GetFilename(0, &first);
}

bool IPO::SetProgPath(const std::string& path) {
    if (path == kParentEntry || path == "..") {
        std::lock_guard<std::mutex> lock(browserMutex);
        std::string parent = browserDirectory;
        if (!parent.empty() && parent.back() == '/') {
            parent.pop_back();
        }
        const size_t slash = parent.rfind('/');
        parent.erase(slash == std::string::npos ? 0 : slash + 1);
        browserDirectory = parent;
        if (!browserParentStack.empty()) {
            browserSelection.store(browserParentStack.top());
            browserParentStack.pop();
        }
        return true;
    }
    // Entries carry the whole relative path; anything else must still name a folder
    // below the programs folder.
    std::string folder = Filesystem::NormalizeSeparators(path);
    if (!folder.empty() && folder.back() != '/') {
        folder += '/';
    }
    if (!Filesystem::IsSafeRelativePath(folder) || !Filesystem::IsDirectory(ProgramsRoot() + folder)) {
        LogSingleton::instance()->addFormat("IPO: Cannot change to program directory %s", path.c_str());
        return false;
    }
    std::lock_guard<std::mutex> lock(browserMutex);
    browserDirectory = folder;
    browserParentStack.push(browserSelection.load());
    return true;
}

int IPO::LoadDirectoryOrProgram(const std::string& entry) {
    LogSingleton* log = LogSingleton::instance();
    if (!entry.empty() && entry.back() == '/') {
        log->addFormat("IPO: Changing program directory %s", entry.c_str());
        if (!SetProgPath(entry)) {
            return 2;
        }
        SendCurrentProgShowName();
        return -1;
    }
    log->addFormat("IPO: Loading program %s", entry.c_str());
    // Refused before anything is stopped or deleted.
    if (!Filesystem::IsSafeRelativePath(entry)) {
        log->addFormat("IPO: Cannot load program %s, name not allowed", entry.c_str());
        return 2;
    }
    Stop(STOP_USER, std::string());
    DeleteAll();
    OffsetReset();
    return LoadProgram(entry, false);
}

int IPO::LoadCurrentDirectoryOrProgram() {
    const std::string entry = GetCurrentProgShowName();
    if (entry == kNoEntry) {
        LogSingleton::instance()->add("IPO: No program selected");
        return 2;
    }
    return LoadDirectoryOrProgram(entry);
}
