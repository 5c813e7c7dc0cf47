#pragma once

// What the ifm O2D and the bin-picking camera share: the camera on TCP with its
// connection thread, the frame format ("0000start" ... "stop", optional "#BMP#<n>#"
// image block), the result parsing, the transfer matrix from the camera frame into the
// robot frame, and the attributes both read from and write to their "HwCamera" element.

#include "core/Matrix44.h"
#include "core/Vector3.h"
#include "vision/CameraFrameAssembler.h"
#include "vision/CameraInterface.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TCPClient;

namespace Camera {

class CameraTCP : public CameraInterface {
public:
    ~CameraTCP() override;

    // Starts the connection thread (unless running or not Active) and, with images
    // enabled, the encoding thread.
    void Start() override;
    // Clears the running flag and waits for the connection thread.
    void Stop() override;
    bool GetTargetPos(DataTypes::Vector3& pos, DataTypes::Vector3& ori, int& model) const override;

    // Index of pattern in the length bytes, or -1.
    static long Find(const char* data, unsigned length, const std::string& pattern);
    // Parses one frame (without its "stop"): 0 pass, -1 fail, -2 neither. Raises the
    // new-result flag and hands the frame's image (or none) to SetImage.
    int ParseMessage(char* frame, unsigned length);
    // Converts a pass result's pixel position into the target position and marks the
    // result valid; returns 0.
    virtual int TransformPixelToMM(int x, int y, double angle) = 0;
    // Orthonormalises Up and Look and builds the camera-to-robot transform from them,
    // the third axis and Origin.
    void CreateTransferMatrix();

    bool IsRunning() const { return running.load(); }
    bool IsConnected() const { return connected.load(); }

    // Configuration, set before Start (by Read or by a configuration message).
    std::string IP;
    int Port = 0;
    DataTypes::Vector3 Origin;
    DataTypes::Vector3 Look;
    DataTypes::Vector3 Up;
    double ZDistance = 0.0;

protected:
    struct Result {
        DataTypes::Vector3 position;
        double angle = 0.0;
        int model = -1;
        bool valid = false;
    };

    // logName: "Camera IFM O2D", "Camera BinPicking".
    CameraTCP(std::string typeId, const std::string& name, std::string logName);

    // One connection's receive passes; returns to close the connection.
    virtual void ReceiveLoop(TCPClient& client, CameraFrameAssembler& assembler, std::vector<char>& chunk) = 0;
    virtual bool ExactFillThrows() const = 0;
    virtual void PrintConfig() = 0;

    // Target of pixel (x, y) with the given mm per pixel, stored as the pending result.
    void SetPendingTarget(int x, int y, double angle, double scaleX, double scaleY);
    // Feeds received bytes and parses the frames; a dropped oversized frame is logged.
    void Assemble(CameraFrameAssembler& assembler, const char* data, int n);
    // Reads what the camera sent, notes the time of the bytes and assembles them; a failed
    // read waits 50 ms. False when the camera closed the connection (logged).
    bool ReadAndAssemble(TCPClient& client, CameraFrameAssembler& assembler, std::vector<char>& chunk);

    // Log line of the connection thread, "<logName> '<name><text>", after any pending text.
    void LogLine(const std::string& text);

    // Attribute helpers for Read and Write.
    void ReadCommonAttributes(tinyxml2::XMLElement& element);
    tinyxml2::XMLElement* WriteHead(tinyxml2::XMLDocument& doc) const;
    void WriteGeometry(tinyxml2::XMLElement& element) const;
    std::string GeometryText() const;
    void GeometryValues(float values[9], double& zDistance) const;

    static std::int64_t NowMs();

    const std::string logName;
    std::atomic<bool> running{false};
    std::atomic<bool> connected{false};
    std::atomic<std::int64_t> lastBytesMs{0};  // monotonic clock
    std::int64_t connectMs = 0;                // connection thread only
    std::string pendingLog;                    // connection thread only
    int imageCentreX = 320;
    int imageCentreY = 240;

private:
    void ConnectionThread();

    mutable std::mutex geometryMutex;  // Up and Look change when the matrix is made
    bool transferMatrixMade = false;
    DataTypes::Matrix44 transferMatrix;

    Result pending;                   // connection thread only
    mutable std::mutex resultMutex;   // the result is handed over whole
    Result result;

    std::mutex lifecycleMutex;        // Start and Stop
    std::thread thread;
};

}  // namespace Camera
