#include "vision/CameraInterface.h"

#include "core/LogSingleton.h"
#include "core/StringHelper.h"
#include "vision/Imaging.h"

#include <chrono>
#include <utility>
#include <vector>

namespace Camera {

std::string toLower(const std::string& text) { return StringHelper::ToLower(text); }

XmlNumber::FileNumbers ProjectNumbers() { return XmlNumber::FileNumbers("Project", "project file", "5 .prj not valid"); }

CameraInterface::CameraInterface(std::string typeId, std::string name)
    : typeId(std::move(typeId)), name(std::move(name)) {}

CameraInterface::~CameraInterface() { StopEncoding(); }

std::string CameraInterface::GetStatusString() const {
    switch (GetStatus()) {
        case 0:
            return "INACTIVE";
        case 1:
            return "NOTCONNECTED";
        case 2:
            return "CONNECTED";
        default:
            return "ERROR";
    }
}

void CameraInterface::SetImage(std::shared_ptr<const Imaging::Image> next) {
    std::lock_guard<std::mutex> lock(imageMutex);
    if (next != image) {
        image = std::move(next);
        newImage = true;
    }
}

std::shared_ptr<const Imaging::Image> CameraInterface::GetImage() const {
    std::lock_guard<std::mutex> lock(imageMutex);
    return image;
}

std::shared_ptr<const std::string> CameraInterface::GetEncodedPayload() const {
    std::lock_guard<std::mutex> lock(payloadMutex);
    return encoded;
}

std::size_t CameraInterface::GetEncodedImage(std::stringstream& out) const {
    const std::shared_ptr<const std::string> payload = GetEncodedPayload();
    if (!payload) return 0;
    out << *payload;
    return payload->size();
}

void CameraInterface::StartEncoding() {
    std::lock_guard<std::mutex> lock(encodingMutex);
    if (encodingThread.joinable()) {
        if (encodingRun.load()) return;
        encodingThread.join();
    }
    encodingRun.store(true);
    encodingThread = std::thread(&CameraInterface::EncodingThread, this);
}

void CameraInterface::StopEncoding() {
    std::lock_guard<std::mutex> lock(encodingMutex);
    encodingRun.store(false);
    if (encodingThread.joinable()) encodingThread.join();
}

void CameraInterface::EncodingThread() {
    try {
        while (encodingRun.load()) {
            CheckEncodeHVPImage();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    } catch (const std::exception& e) {
        LogSingleton::instance()->addError("Camera '" + name + "': encoding stopped: " + e.what());
    } catch (...) {
        LogSingleton::instance()->addError("Camera '" + name + "': encoding stopped");
    }
    encodingRun.store(false);
}

void CameraInterface::CheckEncodeHVPImage() {
    std::shared_ptr<const Imaging::Image> toEncode;
    {
        std::lock_guard<std::mutex> lock(imageMutex);
        if (!newImage) return;
        newImage = false;
        toEncode = image;
    }
    // Encoded outside the image lock: the camera thread never waits for the encoder.
    EncodeHVPImage(toEncode);
    newEncodedImage.store(true);
}

void CameraInterface::EncodeHVPImage(const std::shared_ptr<const Imaging::Image>& toEncode) {
    if (!toEncode) return;  // the previous payload stays and is offered again
    std::vector<char> buffer;
    toEncode->EncodeHVP(buffer, true);
    if (buffer.empty()) return;
    auto payload = std::make_shared<const std::string>(buffer.data(), buffer.size());
    std::lock_guard<std::mutex> lock(payloadMutex);
    encoded = std::move(payload);
}

}  // namespace Camera
