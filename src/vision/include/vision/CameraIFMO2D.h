#pragma once

// An ifm O2D vision sensor on TCP. The sensor sends one frame per evaluation; the
// connection thread keeps the connection, cuts the frames and converts the pixel position
// (ScaleX, ScaleY mm per pixel around the image centre, at ZDistance) into the robot frame.

#include "vision/CameraTCP.h"

namespace Camera {

class CameraIFMO2D : public CameraTCP {
public:
    static constexpr char TYPE_ID[] = "IFMO2D";

    explicit CameraIFMO2D(const std::string& name);
    ~CameraIFMO2D() override;

    // 0 not Active, 2 connected with bytes within the receive time-out, 1 otherwise.
    int GetStatus() const override;
    int Read(tinyxml2::XMLElement& element) override;
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument& doc) override;
    std::string GetHVPConfigString(int count) const override;
    int TransformPixelToMM(int x, int y, double angle) override;
    void PrintConfig() override;

    double ScaleX = 1.0;
    double ScaleY = 1.0;
    int receiveTimeoutS = 5;

protected:
    void ReceiveLoop(TCPClient& client, CameraFrameAssembler& assembler, std::vector<char>& chunk) override;
    bool ExactFillThrows() const override { return true; }
};

}  // namespace Camera
