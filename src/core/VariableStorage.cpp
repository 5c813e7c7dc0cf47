// Persistent counters of LogSingleton and their file "variableStorage.xml".
#include "core/LogSingleton.h"

#include "core/Filesystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// Slot in systemCounters of a key, -1 for keys without a counter.
int CounterIndex(int key) {
    if (key >= SV_UpTimeComplete && key <= SV_ProgramStarts) return key;
    if (key >= SV_DirChangesJ1 && key <= SV_DirChangesJ9) return key - SV_DirChangesJ1 + 5;
    return -1;
}

}  // namespace

int LogSingleton::GetSystemVar(SystemVar key) const {
    const int index = CounterIndex(key);
    return index < 0 ? -1 : systemCounters[static_cast<size_t>(index)].load();
}

void LogSingleton::IncreaseSystemVariables(int key, unsigned int amount) {
    // Milliseconds into the accumulator; one whole minute per call moves to the counter.
    auto addTime = [this, amount](int counter) {
        std::atomic<int>& acc = msAccumulators[static_cast<size_t>(counter)];
        long long value = static_cast<long long>(acc.load()) + amount;
        if (value > 59999) {
            systemCounters[static_cast<size_t>(counter)].fetch_add(1);
            value -= 60000;
        }
        acc.store(value > INT_MAX ? INT_MAX : static_cast<int>(value));
    };
    switch (key) {
        case SV_UpTimeComplete:
            addTime(SV_UpTimeComplete);
            addTime(SV_UpTimeLast);
            break;
        case SV_UpTimeEnabled:
            addTime(SV_UpTimeEnabled);
            break;
        case SV_UpTimeMotion:
            addTime(SV_UpTimeMotion);
            break;
        case SV_ProgramStarts:
            systemCounters[SV_ProgramStarts].fetch_add(static_cast<int>(amount));
            break;
        default:
            if (key >= SV_DirChangesJ1 && key <= SV_DirChangesJ9) {
                systemCounters[static_cast<size_t>(CounterIndex(key))].fetch_add(1);
            }
            break;
    }
}

std::string LogSingleton::GetStorageFilePath() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return rootPath + storageFileName;
}

void LogSingleton::SetStorageWriteInterval(std::chrono::seconds interval) {
    std::lock_guard<std::mutex> lock(storageMutex);
    storageWriteInterval = interval;
}

void LogSingleton::ReadVariablesFromStorage() {
    using namespace tinyxml2;
    const std::string path = GetStorageFilePath();
    addFormat("Reading persistent variables from %s", path.c_str());

    if (!fileExists(path)) {
        addError("ERROR - variable Storage file not found - reseting persistent variables!");
        return;
    }
    XMLDocument doc;
    if (doc.LoadFile(path.c_str()) != XML_SUCCESS) {
        addError("Could not read file storage file correctly! Reseting persistent variables!");
        return;
    }
    const XMLElement* data = doc.FirstChildElement("Data");
    if (data == nullptr) {
        addError("LogSingleton: line Data not found in variableStorage file!");
        return;
    }
    const XMLElement* system = data->FirstChildElement("SystemVariables");
    if (system == nullptr) {
        addError("LogSingleton: line SystemVariables not found in variableStorage file!");
        return;
    }

    struct TimeCounter {
        const char* name;
        SystemVar key;
        const char* logFormat;
    };
    const TimeCounter timeCounters[] = {
        {"UpTimeComplete", SV_UpTimeComplete, "System Variable: UpTimeComplete = %s"},
        {"UpTimeLast", SV_UpTimeLast, "System Variable: UpTimeLast =     %s"},
        {"UpTimeEnabled", SV_UpTimeEnabled, "System Variable: UpTimeEnabled =  %s"},
        {"UpTimeMotion", SV_UpTimeMotion, "System Variable: UpTimeMotion =   %s"},
    };
    for (const auto& counter : timeCounters) {
        std::atomic<int>& slot = systemCounters[static_cast<size_t>(counter.key)];
        int value = 0;
        if (system->QueryIntAttribute(counter.name, &value) == XML_SUCCESS) {
            slot.store(value);
            addFormat(counter.logFormat, GetHourString(value).c_str());
        } else {
            slot.store(0);
            addError(std::string("SystemVariable ") + counter.name + " not found: reset to 0!");
        }
    }
    systemCounters[SV_UpTimeLast].store(0);  // counts the current run only

    int starts = 0;
    if (system->QueryIntAttribute("ProgramStarts", &starts) == XML_SUCCESS) {
        systemCounters[SV_ProgramStarts].store(starts);
        add("System Variable: ProgramStarts =   ", starts);
    } else {
        systemCounters[SV_ProgramStarts].store(0);
        addError("SystemVariable ProgramStarts not found: reset to 0!");
    }

    const XMLElement* user = data->FirstChildElement("UserVariables");
    if (user != nullptr) {
        int value = 0;
        if (user->QueryIntAttribute("PartsGood", &value) == XML_SUCCESS) PartsGood.store(value);
        if (user->QueryIntAttribute("PartsBad", &value) == XML_SUCCESS) PartsBad.store(value);
    } else {
        addError("LogSingleton: line UserVariables not found in variableStorage file!");
    }

    const XMLElement* joints = data->FirstChildElement("JointDirChanges");
    if (joints != nullptr) {
        int j[9];
        for (int i = 0; i < 9; ++i) {
            char name[8];
            std::snprintf(name, sizeof(name), "J%d", i + 1);
            std::atomic<int>& slot =
                systemCounters[static_cast<size_t>(CounterIndex(SV_DirChangesJ1 + i))];
            int value = 0;
            if (joints->QueryIntAttribute(name, &value) == XML_SUCCESS) slot.store(value);
            j[i] = slot.load();
        }
        addFormat("System Variable: DirectionChanges = %d %d %d %d %d %d %d %d %d", j[0], j[1],
                  j[2], j[3], j[4], j[5], j[6], j[7], j[8]);
    } else {
        addError("LogSingleton: line JointDirChanges not found in variableStorage file!");
    }
}

bool LogSingleton::WriteVariablesToStorage(bool force) {
    std::unique_lock<std::mutex> lock(storageMutex);
    const auto now = std::chrono::steady_clock::now();
    // A write that failed is tried again at the next call, whatever the interval.
    if (!force && !storageWriteFailures.Running() &&
        std::chrono::duration_cast<std::chrono::seconds>(now - lastStorageWrite) <
            storageWriteInterval) {
        return true;
    }
    lastStorageWrite = now;

    int j[9];
    for (int i = 0; i < 9; ++i) {
        j[i] = systemCounters[static_cast<size_t>(CounterIndex(SV_DirChangesJ1 + i))].load();
    }
    char content[2048];
    const int length = std::snprintf(
        content, sizeof(content),
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<!-- Storage for Belvanto persistent system and user variable -->\n"
        "<Data>\n"
        "<SystemVariables UpTimeComplete=\"%d\" UpTimeLast=\"%d\" UpTimeEnabled=\"%d\" "
        "UpTimeMotion=\"%d\" ProgramStarts=\"%d\"/>\n"
        "<JointDirChanges J1=\"%d\" J2=\"%d\" J3=\"%d\" J4=\"%d\" J5=\"%d\" J6=\"%d\" J7=\"%d\" "
        "J8=\"%d\" J9=\"%d\"/>\n"
        "<UserVariables   User1=\"1.0\" User2=\"1.0\" User3=\"1.0\" User4=\"1.0\" User5=\"1.0\" "
        "User6=\"1.0\" User7=\"1.0\" User8=\"1.0\" User9=\"1.0\" User10=\"1.0\" "
        "PartsGood=\"%d\" PartsBad=\"%d\"/>\n"
        "</Data>\n",
        systemCounters[SV_UpTimeComplete].load(), systemCounters[SV_UpTimeLast].load(),
        systemCounters[SV_UpTimeEnabled].load(), systemCounters[SV_UpTimeMotion].load(),
        systemCounters[SV_ProgramStarts].load(), j[0], j[1], j[2], j[3], j[4], j[5], j[6], j[7],
        j[8], PartsGood.load(), PartsBad.load());
    if (length < 0 || static_cast<size_t>(length) >= sizeof(content)) return false;

    // A kill or power cut mid-write must leave the previous file whole.
    const std::string path = GetStorageFilePath();
    if (!Filesystem::WriteFileAtomic(path, content, static_cast<size_t>(length))) {
        const int err = errno;
        const bool first = storageWriteFailures.Failed();
        lock.unlock();
        // A forced write is the last one before an exit or power-off: always reported.
        if (first || force) {
            addError("LogSingleton: Could not write persistent variables to " + path + ": " +
                     std::strerror(err) + "; trying again");
        }
        return false;
    }
    const unsigned long long failed = storageWriteFailures.Ended();
    lock.unlock();
    if (failed > 0) {
        addFormat("LogSingleton: Persistent variables written to %s after %llu failed attempts", path.c_str(),
                  failed);
    }
    return true;
}
