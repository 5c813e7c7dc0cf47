#pragma once

// The process-wide registry of cameras by name. It owns the cameras; Get hands out shared
// pointers, so a removed camera lives on until its last user lets go. Names are kept and
// looked up in lower case.

#include "vision/CameraInterface.h"

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Camera {

class CameraManager {
public:
    static CameraManager& Instance();

    virtual ~CameraManager();
    CameraManager(const CameraManager&) = delete;
    CameraManager& operator=(const CameraManager&) = delete;

    // The camera registered under the name (any case), or an empty pointer. Never throws
    // for an unknown name.
    std::shared_ptr<CameraInterface> Get(const std::string& name);
    // As Get, for a caller that already holds the registry lock (see Lock).
    std::shared_ptr<CameraInterface> GetNoLock(const std::string& name) const;
    // Registers the camera under its lower-case name and starts it. A camera registered
    // under that name before is released. A null camera is ignored.
    void Add(std::unique_ptr<CameraInterface> camera);
    // Unregisters and stops the camera; an unknown name does nothing.
    void Remove(const std::string& name);
    // Unregisters and stops every camera.
    void Clear();
    std::size_t Count();

    // Holds the registry lock for a caller that walks cameras with GetNoLock.
    std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(mutex); }

    // Rebuilds the registry from the project's "Cameras" element: every "HwCamera" child of
    // type "IFMO2D", "SolutionBinPicking" or "Sim" is read, registered and started; faulty
    // ones are logged and skipped. A null element only clears the registry.
    void Read(tinyxml2::XMLElement* cameras);
    // A new "Cameras" element of doc (not inserted) with one child per camera.
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument& doc);

    // The line builders, in camera order. Result lines: cameras with a new result or whose
    // last line is older than resultPeriod. Image lines: cameras with a new encoded image
    // whose last line is older than imagePeriod. Both clear what they report, so only one
    // caller may use them: the main loop, through ProduceHVPLines.
    std::list<std::string> GetHVPResultStrings();
    std::list<std::string> GetHVPImageStrings();
    std::list<std::string> GetHVPConfigStrings();
    // "   Cam: <status> Pos (x, y, z), Ori (a, b, c) Mod <model>" per camera; "" without cameras.
    std::string GetCLIStateString();

    // HVP camera lines. The main loop produces them once per pass (flag and period
    // rules); the manager keeps each camera's newest result and image line with a
    // sequence number. Each connection keeps its own cursor and, at its camera step, takes
    // the newest lines it has not had: the result lines, then the image lines, each in
    // camera order. An image line also waits until imagePeriod has passed since that
    // connection's last image line of the camera: the connections' steps do not line up
    // with the pass that produced the line. Lines are shared, never copied per client.
    using HVPLine = std::shared_ptr<const std::string>;
    struct HVPLineCursor {
        struct CameraSeen {
            std::uint64_t result = 0;  // sequence numbers handed to this connection
            std::uint64_t image = 0;
            std::int64_t imageMs = 0;  // when the last image line was handed over
        };
        std::map<std::string, CameraSeen> cameras;
        std::uint64_t seen = 0;  // highest sequence number looked at
        bool holding = false;    // an image line waits for this connection's period
    };
    void ProduceHVPLines();
    std::vector<HVPLine> TakeNewHVPLines(HVPLineCursor& cursor);

    int resultPeriod = 5;     // seconds between result lines without a new result
    int imagePeriod = 1000;   // milliseconds between image lines

protected:
    // Tests build their own registries; the program uses Instance().
    CameraManager() = default;
    // Monotonic milliseconds; tests stand in their own clock.
    virtual std::int64_t NowMs() const;

private:
    struct CameraLines {
        HVPLine result;
        std::uint64_t resultSequence = 0;
        HVPLine image;
        std::uint64_t imageSequence = 0;
    };

    bool BuildResultLine(CameraInterface& camera, std::int64_t nowSeconds, std::string& line) const;
    bool BuildImageLine(CameraInterface& camera, std::int64_t nowMs, std::string& line) const;

    std::map<std::string, std::shared_ptr<CameraInterface>> registry;
    std::mutex mutex;

    // Newest lines per camera (same keys as the registry); taken after the registry lock.
    std::map<std::string, CameraLines> lines;
    std::uint64_t sequence = 0;
    std::mutex linesMutex;
};

}  // namespace Camera
