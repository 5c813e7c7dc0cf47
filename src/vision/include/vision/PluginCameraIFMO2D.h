#pragma once

// Camera plug-in: a client for an ifm O2D smart camera with its own configuration file
// ("ConfigSmartCameraIFMO2D.xml" under the program path's "/Data/Plugins/") and a receive
// thread. The camera sends one text per evaluation:
//   "0000startPASS#%f#%d#%d#%d#%d#%f#%fstop"  (model class, pixel x, pixel y, rotation)
// or a text holding "000startFAIL" when it found nothing.

#include "core/Matrix44.h"
#include "core/Vector3.h"
#include "vision/TCPClient.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

namespace PluginFramework {

// The fields of one camera message; see ScanMessage.
struct CameraMessage {
    bool pass = false;  // all seven fields converted (and are finite)
    int modelClass = -1;
    int pixelX = 0;
    int pixelY = 0;
    float rotation = 0.0f;
};

class CameraIFMO2D {
public:
    static constexpr char kConfigFileName[] = "ConfigSmartCameraIFMO2D.xml";
    static constexpr int kReceiveSize = 1024;
    static constexpr int kImageCenterX = 320;
    static constexpr int kImageCenterY = 240;

    CameraIFMO2D();
    CameraIFMO2D(const CameraIFMO2D&) = delete;
    CameraIFMO2D& operator=(const CameraIFMO2D&) = delete;
    virtual ~CameraIFMO2D();

    // Reads the configuration file, then starts the receive thread. Does nothing while a
    // thread is started; a thread that ended by itself is joined first. Without a valid
    // configuration no thread is started.
    void Start();
    // Asks the receive thread to end and waits for it.
    void Stop();
    // Reads the configuration file: 0 on success, else the serious-failure number (81..85)
    // that was reported.
    int ReadConfigFile();

    // Latest target: position (3 floats, mm), rotation (degrees, within -180..180) and
    // model class; false, and nothing written, when no object is found.
    bool GetTargetPos(float* position, float* rotation, int* modelClass) const;

    // Connected to the camera (the receive thread is reading).
    bool IsRunning() const { return running.load(); }
    // A receive thread is started and has not ended yet (connecting or connected).
    bool IsStarted() const { return started.load(); }
    // Started but the connection is not settled yet: no target, but no fault either.
    bool IsConnecting() const { return started.load() && connecting.load(); }

    // Folder of the configuration file, ending in "/"; empty (the default) means the
    // program path's "/Data/Plugins/".
    void SetConfigDirectory(const std::string& directory);
    std::string GetConfigFilePath() const;

    // Scans the first bytes (at most kReceiveSize) of one received text as a NUL-terminated
    // copy. Fails for a "000startFAIL" text, a text without "000startPASS" at its second
    // byte, or a PASS text whose seven fields do not all convert.
    static CameraMessage ScanMessage(const char* data, size_t length);
    // Takes one received text: stores the target (or clears it) and reports it.
    void ParseMessage(const char* data, size_t length);

private:
    void ThreadReceiveLoop();
    void ReceiveLoop();
    void Report(bool found, float x, float y, float rotation, int pixelX, int pixelY, int modelClass);
    void ClearTarget();

    // Lifecycle: running (connected), start state, stop request.
    std::atomic<bool> running{false};
    std::atomic<bool> started{false};
    std::atomic<bool> connecting{false};
    std::atomic<bool> stopRequest{false};

    // One lock over configuration, pose and result, so a reader never mixes two frames and
    // the transform never sees a half-written pose.
    mutable std::mutex dataMutex;
    std::string cameraIP;
    int cameraPort = 0;
    float MaxWaitTime = 0.0f;
    float ScaleX = 0.0f;
    float ScaleY = 0.0f;
    DataTypes::Vector3 Origin;
    DataTypes::Vector3 Look;
    DataTypes::Vector3 Up;
    float ZDistance = 0.0f;
    DataTypes::Matrix44 cameraPose;
    DataTypes::Vector3 targetPosition;
    int targetPixelX = 0;
    int targetPixelY = 0;
    float targetRotation = 0.0f;
    int targetModelClass = -1;
    bool targetFound = false;
    std::string configDirectory;

    TCPClient client;  // used by the receive thread only

    // Rate limit of the server messages; receive thread only.
    bool reportedOnce = false;
    bool lastReportedFound = false;
    std::chrono::steady_clock::time_point lastReportTime;
    int reportRepeatSeconds = 5;

    std::mutex lifecycleMutex;  // serialises Start and Stop
    std::thread receiveThread;
};

}  // namespace PluginFramework
