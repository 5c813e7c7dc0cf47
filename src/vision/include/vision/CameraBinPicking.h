#pragma once

// A bin-picking vision solution on TCP: the same frames as the ifm O2D sensor, but every
// result is asked for with "REQUEST", and 4 s without bytes renew the connection. It has
// no pixel scale: pixels count as millimetres.

#include "vision/CameraTCP.h"

namespace Camera {

class CameraBinPicking : public CameraTCP {
public:
    static constexpr char TYPE_ID[] = "SolutionBinPicking";
    static constexpr int SilenceLimitMs = 4000;

    explicit CameraBinPicking(const std::string& name);
    ~CameraBinPicking() override;

    // 0 not Active, 2 connected, 1 otherwise.
    int GetStatus() const override;
    int Read(tinyxml2::XMLElement& element) override;
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument& doc) override;
    std::string GetHVPConfigString(int count) const override;
    int TransformPixelToMM(int x, int y, double angle) override;
    void PrintConfig() override;

protected:
    void ReceiveLoop(TCPClient& client, CameraFrameAssembler& assembler, std::vector<char>& chunk) override;
    bool ExactFillThrows() const override { return false; }
};

}  // namespace Camera
