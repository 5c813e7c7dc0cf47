#pragma once

#include "core/Matrix44.h"

#include <string>

// The tool on the robot flange: the flange-to-tool-centre-point transform every kinematic
// applies, and the gripper whose opening is commanded in percent and moved towards its
// target at a limited rate each robot cycle.
class Tool {
public:
    Tool();

    // Loads the tool file data root + "Data/Tools/" + name and rebuilds the transform.
    void Init(const std::string& name);
    // Reads one tool file; faults log, set failure reasons 41..48 and operation mode 1.
    void ReadConfigFile(const std::string& path);
    // True when data root + "Data/Tools/" + name exists (unsafe names never exist).
    bool CheckConfigFileExists(const std::string& name) const;

    void SetTargetValue(float percent);
    void JogGripper(float direction);
    // One rate-limited step of the opening, then the hardware position.
    void Update();
    // Hardware position from the current opening, without a step.
    void UpdateNoVel();
    void SetHWPosition(float hw);
    float GetJoint() const { return currentPercent; }
    float GetHWPosition() const { return hwPosition; }

    // Highest digital output number a gripper channel may name (0-based).
    static constexpr int maxChannel = 63;

    std::string motionType;
    std::string protocol;
    DataTypes::Vector3 offsetPosition;
    DataTypes::Vector3 offsetRotation;
    DataTypes::Matrix44 toolMatrix;
    DataTypes::Matrix44 toolMatrixInverse;
    int BusID = -1;
    float GearScale = 0.0f;
    float GearZero = 0.0f;
    float targetPercent = 0.0f;
    float currentPercent = 0.0f;
    float MotionVel = 0.0f;
    float MotionMin = 0.0f;
    float MotionMax = 0.0f;
    float hwPosition = 0.0f;
    float percentScale = 1.0f;
    int ChannelEnable = -1;
    int ChannelOpenClose = -1;
};
