#pragma once

// The twelve telemetry texts the cloud client publishes, the hardware status wording that
// unifies the joint protocols' texts, and a picture slot of the cloud client.

#include <cstdint>
#include <string>
#include <vector>

namespace Control {
class ControllerPort;
}

namespace Cloud {

class TelemetryData {
public:
    std::string LastMessage;
    std::string ErrorString;
    std::string ErrorCodes;
    std::string TemperaturesPCB;
    std::string ProgramRunning;
    std::string SubPrograms;
    std::string CurrentCommand;
    std::string UpTimeComplete;
    std::string UpTimeLast;
    std::string UpTimeEnabled;
    std::string UpTimeMotion;
    std::string ProgramStarts;

    // Fills the fields from the controller's hardware status, the main interpreter's
    // reader copies and the persistent counters. Never throws: an exception is logged and
    // the fields not reached keep their values.
    void CollectData(const Control::ControllerPort* port);

    bool operator==(const TelemetryData& other) const;
    bool operator!=(const TelemetryData& other) const { return !(*this == other); }
    void swap(TelemetryData& other);
};

// Every match of pattern (ECMAScript) in text replaced by replacement.
std::string Replace(const std::string& text, const std::string& pattern, const char* replacement);
// The protocols' status texts in one wording (28 ordered replacements, compiled once).
std::string TranslateHwError(const std::string& text);

// One picture slot. It takes no picture: CollectData answers false, so nothing is published.
class CameraData {
public:
    std::string GetCameraName() const { return cameraName; }
    void SetCameraName(const std::string& name);
    bool CollectData() { return false; }
    bool HasImage() const { return hasImage; }
    const std::vector<std::uint8_t>& GetPicture() const { return picture; }

    std::vector<std::uint8_t> picture;
    std::int64_t lastCollection = 0;  // monotonic seconds of the last collection
    std::string cameraName;
    bool nameChanged = true;
    bool hasImage = false;
};

}  // namespace Cloud
