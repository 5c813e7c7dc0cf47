#pragma once

// The maker's joint protocol, version 1 ("JXRCAN"): robot joints only, 6-byte position
// frames with a frame counter, answers polled from the CAN interface's last-message table
// whatever their age; no receive callback. A fatal gap in the robot file ends the process
// with status 46 (through RobotKinematic::ExitOnFatalIniFault, which tests replace).

#include "hardware/HardwareProtocol.h"

#include <array>
#include <atomic>
#include <string>

namespace Hardware {

class HardwareProtocolJXRCAN : public HardwareProtocol {
public:
    static constexpr int kOutputBytes = 9;

    explicit HardwareProtocolJXRCAN(RobotKinematic* kinematic);

    void Init(const std::string& name, const std::string& robotType,
              const std::string& robotFile) override;
    // Reads "BusConfiguration", "Joints" and "Joint%d"; false after a fatal gap (when the
    // exit function returned).
    bool ReadConfigFile(const std::string& path);

    void Connect() override;
    void Disconnect() override;
    bool GetConnectionStatus() override;
    void GetError(std::string& text, std::string& shortText) override;
    void GetError(std::string* perJoint) override;
    void GetErrorHexCode(int* perJoint) override;
    void ResetError() override;
    void EnableMotors(bool on) override;
    bool GetMotorEnabled() override;
    void SetJoints(const DataTypes::RobotState& target) override;
    void GetJoints(DataTypes::RobotState* state) override;
    void SetToZeroPos(int joint) override;
    void SetIO(int module, int channel, bool value) override;
    void InitDIOModules(int canId) override;
    void GetDIOModuleIDs(unsigned char& a, unsigned char& b, unsigned char& c) override;
    void SetDIOModuleIDs(unsigned char a, unsigned char b, unsigned char c) override;

    // Texts of the error bits of code; with no bit set "no error" / "NoError", and the
    // protocol counts as error-free.
    void DecodeErrorCode(int code, std::string* text, std::string* shortText);

    bool IsCommunicationActive() const { return communicationActive.load(); }
    bool IsErrorFree() const { return errorFree.load(); }
    int GetFrameCounter() const { return frameCounter; }
    float GetGap() const { return gap; }
    int GetOutputByte(int joint) const;

private:
    static void AppendErrorTexts(int code, std::string& text, std::string& shortText);
    void SendToJoint(int joint, int dlc, const unsigned char* data);

    std::atomic<bool> communicationActive{false};
    std::atomic<bool> errorFree{false};
    std::atomic<int> lastStatusCode;  // -1 not connected, else the error bits
    int frameCounter = 0;
    float gap = 3.0f;
    std::array<std::atomic<int>, kOutputBytes> outputBytes{};
};

}  // namespace Hardware
