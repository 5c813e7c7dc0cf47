#pragma once

// ProjectManager: reads the front-end file "JXRFrontend.xml" and the project file it names,
// hands every setting to its owner, keeps the start-program settings for the program entry,
// and writes changed settings back into the project file (debounced).
//
// Threads: OpenProject runs once at start-up. QueueUpdateProjectFile is called from any
// thread (atomics, no lock). UpdateConfiguration runs in the main thread; writes are
// serialised by one mutex, which the main loop only tries and a forced write waits for.
// A write that fails stays pending and is tried again at each later check until it lands;
// the first failure of a run and the landing are logged and sent to the clients.

#include "control/ProjectInterfaces.h"
#include "core/FailureEpisode.h"

#include <tinyxml2.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

class RobotMaster;

class ProjectManager {
public:
    // Monotonic milliseconds; the request times are kept on this clock.
    using Clock = std::function<std::int64_t()>;

    static constexpr int kDebounceLimitS = 15;  // after the first pending request
    static constexpr int kDebounceQuietS = 3;   // after the last request

    // cloud: not owned; null keeps a private stored record.
    explicit ProjectManager(ProjectLinks::CloudSettings* cloud = nullptr);
    virtual ~ProjectManager() = default;
    ProjectManager(const ProjectManager&) = delete;
    ProjectManager& operator=(const ProjectManager&) = delete;

    // Not owned; null keeps the private stored record.
    void SetModbus(ProjectLinks::ModbusSettings* modbus);
    void SetCameras(ProjectLinks::CameraSettings* cameras);
    void SetClock(Clock clock);
    // Pause before a write (100 ms in the process).
    void SetWriteDelayMs(int ms) { writeDelayMs = ms; }

    // 0 when the project is open; else the front-end's or the project reader's result.
    int OpenProject(RobotMaster* master);
    // For a non-zero OpenProject result: operation mode 1, and for front-end results 4/5
    // (which set no reason) the reason "2 JXRFrontend.xml not valid".
    void ApplyOpenFailure(int result);
    int ReadFrontend(std::string& projectName);
    int ReadProjectFile(const std::string& name, RobotMaster* master);

    static bool TranslateXmlError(tinyxml2::XMLError code, std::string& text);
    static int QueryIntAttribOrDefault(const tinyxml2::XMLElement* element, const char* name,
                                       int defaultValue);
    static void wait(int ms);

    // --- Write-back ---
    void QueueUpdateProjectFile();
    void UpdateConfiguration(RobotMaster* master, bool force);
    // The write itself. False when nothing was written: failure then holds why a write
    // failed (the change stays pending and is tried again), or is empty when the project
    // file no longer reads (reasons 10 and 11 are set; writing again would not help).
    bool UpdateProjectFile(RobotMaster* master, std::string& failure);
    bool IsUpdatePending() const { return firstRequestMs.load() != 0; }

    // Read by the program entry after OpenProject.
    const std::string& GetProjectFilePath() const { return projectFilePath; }
    const std::string& GetStartProgram() const { return startProgram; }
    const std::string& GetLogicProgram() const { return logicProgram; }
    float GetOverride() const { return overrideValue; }
    bool GetRepeat() const { return repeat; }
    std::atomic<bool> modbusEnabled{false};

protected:
    // Applies the front-end's "Logging" limits (a seam for tests).
    virtual void ApplyLogLimits(int fileCount, int entryCount);

private:
    int ReadRobotSection(tinyxml2::XMLElement* root, RobotMaster* master);
    void ReadPLCInterface(tinyxml2::XMLElement* root, RobotMaster* master);
    void ReadPLCTriggers(tinyxml2::XMLElement* root, RobotMaster* master);
    void ReadOperationModes(tinyxml2::XMLElement* root);
    void ReadEnvironment(tinyxml2::XMLElement* root);
    void WriteSections(tinyxml2::XMLDocument& doc, tinyxml2::XMLElement* root, RobotMaster* master);
    std::int64_t Now() const;

    std::string projectFilePath;
    std::string startProgram;
    std::string logicProgram;
    float overrideValue = 40.0f;
    bool repeat = false;
    bool frontendFailed = false;  // the last OpenProject failed in the front-end file

    std::atomic<std::int64_t> firstRequestMs{0};  // 0 = none pending
    std::atomic<std::int64_t> lastRequestMs{0};
    std::atomic<bool> requestSinceWrite{false};  // a request since the last write attempt
    std::mutex writeMutex;
    FailureEpisode writeFailures;  // under writeMutex
    int writeDelayMs = 100;
    Clock clock;

    ProjectLinks::StoredCloudSettings ownCloud;
    ProjectLinks::StoredModbusSettings ownModbus;
    ProjectLinks::StoredCameraSettings ownCameras;
    ProjectLinks::CloudSettings* cloud;
    ProjectLinks::ModbusSettings* modbus = &ownModbus;
    ProjectLinks::CameraSettings* cameras = &ownCameras;
};
