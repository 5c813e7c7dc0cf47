#pragma once

// The abstract camera: identity, configuration flags, the latest image with its hand-over
// lock, and an image-encoding thread that keeps a ready-made HVP image payload. Cameras
// are registered by name in the CameraManager, which owns them.

#include "core/Vector3.h"
#include "core/XmlNumber.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}  // namespace tinyxml2

namespace Imaging {
class Image;
}

namespace Camera {

// Copy with every byte lower-cased; camera names and types match without regard to case.
std::string toLower(const std::string& text);

// The numbers of the project's "HwCamera" elements: a value that is present but no finite
// number makes the project not valid ("5 .prj not valid", operation mode 1).
XmlNumber::FileNumbers ProjectNumbers();

// Type id of the simulated camera; a program's camera command accepts it for any type.
inline constexpr char kSimulatedTypeId[] = "Sim";

class CameraManager;

class CameraInterface {
public:
    CameraInterface(std::string typeId, std::string name);
    CameraInterface(const CameraInterface&) = delete;
    CameraInterface& operator=(const CameraInterface&) = delete;
    // Stops the encoding thread; concrete cameras stop their own thread first.
    virtual ~CameraInterface();

    // Starts the camera's work (connection thread, encoding).
    virtual void Start() = 0;
    // Stops it and waits for its thread.
    virtual void Stop() = 0;
    // Latest target: position (mm, robot frame), orientation (A, B, C in degrees) and model
    // number; false when there is no valid result.
    virtual bool GetTargetPos(DataTypes::Vector3& pos, DataTypes::Vector3& ori, int& model) const = 0;
    // Reads the camera's own attributes from its "HwCamera" element; 0 on success.
    virtual int Read(tinyxml2::XMLElement& element) = 0;
    // A new "HwCamera" element with the camera's attributes, not yet inserted.
    virtual tinyxml2::XMLElement* Write(tinyxml2::XMLDocument& doc) = 0;
    // The camera's configuration line; count is the number of registered cameras.
    virtual std::string GetHVPConfigString(int count) const = 0;
    // 0 inactive, 1 not connected, 2 connected.
    virtual int GetStatus() const = 0;

    // "INACTIVE", "NOTCONNECTED", "CONNECTED" or "ERROR".
    std::string GetStatusString() const;

    // Stores the image (an empty pointer means "none") and marks it for encoding when it
    // differs from the stored one.
    void SetImage(std::shared_ptr<const Imaging::Image> next);
    std::shared_ptr<const Imaging::Image> GetImage() const;
    // Writes the latest payload (base64 text and its NUL) and returns its length; 0 when
    // there is none yet.
    std::size_t GetEncodedImage(std::stringstream& out) const;
    // The latest payload, handed over whole; null when there is none yet.
    std::shared_ptr<const std::string> GetEncodedPayload() const;

    void StartEncoding();
    void StopEncoding();
    // One encoding pass: encodes a new image, then raises the new-encoded-image flag.
    void CheckEncodeHVPImage();
    void EncodeHVPImage(const std::shared_ptr<const Imaging::Image>& toEncode);

    // Raised by the camera for every frame it parses; the manager's line builder clears it.
    void SetNewResult() { newResult.store(true); }
    bool HasNewResult() const { return newResult.load(); }
    bool HasNewEncodedImage() const { return newEncodedImage.load(); }

    std::string typeId;  // TYPE_ID of the concrete class: "IFMO2D", "SolutionBinPicking", "Sim"
    std::string name;    // Read may replace it with the "Name" attribute
    std::string description;
    std::atomic<bool> Active{false};        // may run its connection thread
    std::atomic<bool> ImageEnabled{false};  // takes images from its frames

private:
    friend class CameraManager;  // keeps the line times and clears the flags

    void EncodingThread();

    std::atomic<bool> newResult{false};
    std::atomic<bool> newEncodedImage{false};
    // Monotonic clock; written and read only by the manager's line builders. The clock
    // counts from boot, so "no line yet" needs its own value: a zero would hold back the
    // first line of a board up for less than one period.
    static constexpr std::int64_t kNoLineYet = std::numeric_limits<std::int64_t>::min();
    std::int64_t lastResultLineTime = kNoLineYet;  // seconds
    std::int64_t lastImageLineTime = kNoLineYet;   // milliseconds

    mutable std::mutex imageMutex;
    std::shared_ptr<const Imaging::Image> image;
    bool newImage = false;

    mutable std::mutex payloadMutex;
    std::shared_ptr<const std::string> encoded;

    std::mutex encodingMutex;  // start and stop of the encoding thread
    std::thread encodingThread;
    std::atomic<bool> encodingRun{false};
};

}  // namespace Camera
