#include "vision/PluginCameraIFMO2D.h"

#include "core/LogSingleton.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace PluginFramework {

namespace {

constexpr int kWaitMs = 100;

void LogAndSend(const std::string& text) {
    LogSingleton* log = LogSingleton::instance();
    log->add(text);
    log->ServerSetMessage(text);
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    return buffer;
}

// A fault of the configuration file: logged, sent, and the controller stops with reason.
int ConfigFault(const std::string& text, const std::string& serverText, const char* reason) {
    LogSingleton* log = LogSingleton::instance();
    log->addError(text);
    log->ServerSetMessage(serverText);
    log->set_seriousFailReason(reason);
    log->set_opMode(OPMODE_SERIOUS_FAILURE);
    return std::atoi(reason);
}

float FloatAttribute(const tinyxml2::XMLElement& element, const char* name) {
    float value = 0.0f;
    element.QueryFloatAttribute(name, &value);
    return value;
}

}  // namespace

CameraIFMO2D::CameraIFMO2D() = default;

CameraIFMO2D::~CameraIFMO2D() { Stop(); }

void CameraIFMO2D::SetConfigDirectory(const std::string& directory) {
    std::lock_guard<std::mutex> lock(dataMutex);
    configDirectory = directory;
}

std::string CameraIFMO2D::GetConfigFilePath() const {
    std::string directory;
    {
        std::lock_guard<std::mutex> lock(dataMutex);
        directory = configDirectory;
    }
    if (directory.empty()) {
        directory = LogSingleton::instance()->get_programPath() + "/Data/Plugins/";
    }
    return directory + kConfigFileName;
}

// ---------------------------------------------------------------------------------------
// Start and stop

void CameraIFMO2D::Start() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    if (started.load()) {
        return;
    }
    // A thread that ended by itself (connect failed, camera closed) is gone or going.
    if (receiveThread.joinable()) {
        receiveThread.join();
    }
    stopRequest.store(false);
    if (ReadConfigFile() != 0) {
        return;
    }
    connecting.store(true);
    started.store(true);
    try {
        receiveThread = std::thread(&CameraIFMO2D::ThreadReceiveLoop, this);
    } catch (const std::exception& e) {
        started.store(false);
        connecting.store(false);
        LogSingleton::instance()->addError(std::string("IFM O2D Client: could not start com thread: ") + e.what());
    }
}

void CameraIFMO2D::Stop() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    stopRequest.store(true);
    if (receiveThread.joinable()) {
        receiveThread.join();
    }
    started.store(false);
    connecting.store(false);
}

// ---------------------------------------------------------------------------------------
// Configuration

int CameraIFMO2D::ReadConfigFile() {
    LogSingleton* log = LogSingleton::instance();
    log->add("Camera Client: reading config file...");
    const std::string path = GetConfigFilePath();

    tinyxml2::XMLDocument doc;
    const tinyxml2::XMLError loaded = doc.LoadFile(path.c_str());
    if (loaded == tinyxml2::XML_ERROR_FILE_NOT_FOUND || loaded == tinyxml2::XML_ERROR_FILE_COULD_NOT_BE_OPENED ||
        loaded == tinyxml2::XML_ERROR_FILE_READ_ERROR) {
        return ConfigFault("File " + path + " not available! Aborting read()", "Camera Ini file not found",
                           "81 Camera Ini file not found");
    }
    if (loaded != tinyxml2::XML_SUCCESS) {
        const std::string text = "Could not read camera config file correctly! Aborting!";
        return ConfigFault(text, text, "82 Camera Ini file not valid");
    }
    const tinyxml2::XMLElement* configuration = doc.FirstChildElement("Configuration");
    if (configuration == nullptr) {
        const std::string text = "Camera config file: line Configuration not found in project file!";
        return ConfigFault(text, text, "83 Camera Ini file not complete");
    }
    const tinyxml2::XMLElement* connection = configuration->FirstChildElement("Cam0Connection");
    if (connection == nullptr) {
        const std::string text = "Camera config file: line \"Cam0Connection\" not found in file!";
        return ConfigFault(text, text, "84 Camera Ini file not complete");
    }
    const tinyxml2::XMLElement* geometry = configuration->FirstChildElement("Cam0Geometry");
    if (geometry == nullptr) {
        const std::string text = "Camera config file: line \"Cam0Geometry\" not found in file!";
        return ConfigFault(text, text, "85 Camera Ini file not complete");
    }

    const char* ip = connection->Attribute("IP");
    int port = 0;
    connection->QueryIntAttribute("Port", &port);
    DataTypes::Vector3 origin(FloatAttribute(*geometry, "OriginX"), FloatAttribute(*geometry, "OriginY"),
                              FloatAttribute(*geometry, "OriginZ"));
    DataTypes::Vector3 look(FloatAttribute(*geometry, "LookX"), FloatAttribute(*geometry, "LookY"),
                            FloatAttribute(*geometry, "LookZ"));
    DataTypes::Vector3 up(FloatAttribute(*geometry, "UpX"), FloatAttribute(*geometry, "UpY"),
                          FloatAttribute(*geometry, "UpZ"));
    const float maxWait = FloatAttribute(*geometry, "MaxWaitTime");
    const float scaleX = FloatAttribute(*geometry, "ScaleX");
    const float scaleY = FloatAttribute(*geometry, "ScaleY");
    const float zDistance = FloatAttribute(*geometry, "ZDistance");

    // Up and Look are made orthonormal; the pose's columns are Up, the third axis, Look
    // and Origin.
    DataTypes::Vector3 third;
    DataTypes::Vector3::CreateCoordSystem(up, look, third);
    const DataTypes::Matrix44 pose(up, third, look, origin);

    {
        std::lock_guard<std::mutex> lock(dataMutex);
        cameraIP = (ip != nullptr) ? ip : "";
        cameraPort = port;
        MaxWaitTime = maxWait;
        ScaleX = scaleX;
        ScaleY = scaleY;
        Origin = origin;
        Look = look;
        Up = up;
        ZDistance = zDistance;
        cameraPose = pose;
    }

    LogAndSend(Format("Camera configuration: %s:%d", ip != nullptr ? ip : "", port));
    LogAndSend(Format("Camera configuration:  Wait %.1lf  Scale %.2lf %.2lf", static_cast<double>(maxWait),
                      static_cast<double>(scaleX), static_cast<double>(scaleY)));
    LogAndSend(Format("Camera configuration:  Origin %.1lf %.1lf %.1lf  Look %.1lf %.1lf %.1lf  Up %.1lf %.1lf %.1lf  "
                      "ZDistance %.1lf",
                      static_cast<double>(origin.x), static_cast<double>(origin.y), static_cast<double>(origin.z),
                      static_cast<double>(look.x), static_cast<double>(look.y), static_cast<double>(look.z),
                      static_cast<double>(up.x), static_cast<double>(up.y), static_cast<double>(up.z),
                      static_cast<double>(zDistance)));
    return 0;
}

// ---------------------------------------------------------------------------------------
// Target hand-over

bool CameraIFMO2D::GetTargetPos(float* position, float* rotation, int* modelClass) const {
    std::lock_guard<std::mutex> lock(dataMutex);
    if (!targetFound) {
        return false;
    }
    position[0] = targetPosition.x;
    position[1] = targetPosition.y;
    position[2] = targetPosition.z;
    float angle = targetRotation;
    if (angle > 180.0f) {
        angle -= 360.0f;
    } else if (angle < -180.0f) {
        angle += 360.0f;
    }
    *rotation = angle;
    *modelClass = targetModelClass;
    return true;
}

void CameraIFMO2D::ClearTarget() {
    std::lock_guard<std::mutex> lock(dataMutex);
    targetFound = false;
}

// ---------------------------------------------------------------------------------------
// Messages

CameraMessage CameraIFMO2D::ScanMessage(const char* data, size_t length) {
    CameraMessage message;
    // The scan functions need a terminated text; the received bytes are not.
    char text[kReceiveSize + 1];
    const size_t n = std::min(length, static_cast<size_t>(kReceiveSize));
    if (n > 0) {
        std::memcpy(text, data, n);
    }
    text[n] = '\0';

    if (n < 1 || std::strstr(text + 1, "000startFAIL") != nullptr || std::strncmp(text + 1, "000startPASS", 12) != 0) {
        return message;
    }
    float first = 0.0f;
    int second = 0;
    int model = 0;
    int x = 0;
    int y = 0;
    float rotation = 0.0f;
    float seventh = 0.0f;
    const int fields =
        std::sscanf(text, "0000startPASS#%f#%d#%d#%d#%d#%f#%fstop", &first, &second, &model, &x, &y, &rotation, &seventh);
    // A garbled frame must not become a target at pixel (0, 0).
    if (fields != 7 || !std::isfinite(first) || !std::isfinite(rotation) || !std::isfinite(seventh)) {
        return message;
    }
    message.pass = true;
    message.modelClass = model;
    message.pixelX = x;
    message.pixelY = y;
    message.rotation = rotation;
    return message;
}

void CameraIFMO2D::ParseMessage(const char* data, size_t length) {
    const CameraMessage message = ScanMessage(data, length);
    if (!message.pass) {
        ClearTarget();
        Report(false, 0.0f, 0.0f, 0.0f, 0, 0, -1);
        return;
    }
    DataTypes::Vector3 position;
    float rotation = 0.0f;
    {
        std::lock_guard<std::mutex> lock(dataMutex);
        // Pixel offsets in double: the pixel values come from outside and may be extreme.
        const DataTypes::Vector3 p(
            static_cast<float>((static_cast<double>(message.pixelX) - kImageCenterX) * static_cast<double>(ScaleX)),
            static_cast<float>((static_cast<double>(message.pixelY) - kImageCenterY) * static_cast<double>(ScaleY)),
            ZDistance);
        position = cameraPose * p;
        rotation = std::trunc(message.rotation);
        targetPosition = position;
        targetPixelX = message.pixelX;
        targetPixelY = message.pixelY;
        targetRotation = rotation;
        targetModelClass = message.modelClass;
        targetFound = true;
    }
    Report(true, position.x, position.y, rotation, message.pixelX, message.pixelY, message.modelClass);
}

void CameraIFMO2D::Report(bool found, float x, float y, float rotation, int pixelX, int pixelY, int modelClass) {
    const auto now = std::chrono::steady_clock::now();
    if (reportedOnce && found == lastReportedFound &&
        now - lastReportTime < std::chrono::seconds(reportRepeatSeconds)) {
        return;
    }
    reportedOnce = true;
    lastReportedFound = found;
    lastReportTime = now;
    LogSingleton* log = LogSingleton::instance();
    if (found) {
        log->ServerSetMessage(Format("IFM O2D Client: Got target position  x=%3.2f y=%3.2f rot=%3.2f,  camera origin "
                                     "x=%dpx y=%dpx,  type=%i",
                                     static_cast<double>(x), static_cast<double>(y), static_cast<double>(rotation),
                                     pixelX, pixelY, modelClass));
    } else {
        log->ServerSetMessage("IFM O2D Client: No object recognized");
    }
}

// ---------------------------------------------------------------------------------------
// Receive thread

void CameraIFMO2D::ThreadReceiveLoop() {
    try {
        ReceiveLoop();
    } catch (const std::exception& e) {
        LogSingleton::instance()->addError(std::string("IFM O2D Client: com thread failed: ") + e.what());
    } catch (...) {
        LogSingleton::instance()->addError("IFM O2D Client: com thread failed");
    }
    try {
        client.Close();
    } catch (...) {
    }
    ClearTarget();
    running.store(false);
    connecting.store(false);
    started.store(false);
}

void CameraIFMO2D::ReceiveLoop() {
    std::string ip;
    int port = 0;
    {
        std::lock_guard<std::mutex> lock(dataMutex);
        ip = cameraIP;
        port = cameraPort;
    }
    LogAndSend(Format("Camera Client IFM O2D connecting to %s port %d", ip.c_str(), port));
    if (!client.setup(ip, port)) {
        LogAndSend("IFM O2D Client: Could not connect to camera");
    } else {
        running.store(true);
        connecting.store(false);
        char buffer[kReceiveSize];
        while (!stopRequest.load()) {
            if (!client.dataAvailable(kWaitMs)) {
                continue;
            }
            const int count = client.readBytes(buffer, kReceiveSize);
            if (count <= 0) {
                // The camera closed the connection (or it broke): a program asking for a
                // target must hear that instead of waiting for ever.
                LogAndSend("IFM O2D Client: connection to camera lost");
                break;
            }
            ParseMessage(buffer, static_cast<size_t>(count));
        }
    }
    client.Close();
    running.store(false);
    LogAndSend("IFM O2D Client: stopping com thread...");
}

}  // namespace PluginFramework
