#pragma once

#include "kinematics/RobotKinematic.h"

// Gantry with two linear axes: the flange is the gantry origin plus each joint value times
// its axis direction. The third base coordinate is not driven: a Cartesian target off the
// driven plane is projected onto it. RobotKinematicCartesian2AxisLine and
// RobotKinematicCartesian2AxisPlane differ only in the values of Variant.
class RobotKinematicCartesian2Axis : public RobotKinematic {
public:
    // What tells the two gantries apart.
    struct Variant {
        const char* typeName;
        // Base coordinate (1 = y, 2 = z) the gantry does not drive.
        int undrivenAxis;
        DataTypes::Vector3 undrivenDirection;
        // Rotation diagonal of the flange pose.
        float diagonal[3];
        const char* initHeader;
        // Prefix of the line for a missing robot ini file.
        const char* missingFilePrefix;
        // Joints whose limits "SoftwareMinMax" holds.
        int limitJoints;
    };

    ~RobotKinematicCartesian2Axis() override;

    using RobotKinematic::clone;
    void clone(const RobotKinematic* other) override;
    void Init(const std::string& name, const std::string& type, const std::string& iniPath,
              int velocitySetting) override;
    void SetJoints(const float* joints, bool check) override;
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override;
    // Writes the soft limits into "SoftwareMinMax" below robot; does not save.
    void UpdateConfigurationFile(tinyxml2::XMLDocument* doc, tinyxml2::XMLElement* robot) override;
    void ReadIniFile(const std::string& path);

    // Axis lengths (logged only) and the unused lz of the robot ini file.
    float lx = 500.0f;
    float ly = 500.0f;
    float lz = 100.0f;
    DataTypes::Vector3 dirA1{1.0f, 0.0f, 0.0f};
    DataTypes::Vector3 dirA2{0.0f, 1.0f, 0.0f};
    // Columns dirA1, dirA2 and the undriven direction; built by Init.
    DataTypes::Matrix44 axisMatrix;
    DataTypes::Matrix44 axisMatrixInverse;
    // Gantry origin in the base frame.
    DataTypes::Vector3 gantryOffset;

protected:
    explicit RobotKinematicCartesian2Axis(const Variant& variant);

private:
    // Tool pose of the internal joints q: flange (the variant's diagonal at the gantry
    // point) times the tool, plus the base displacement of the dependent linear axes.
    DataTypes::Matrix44 ForwardPose(const float* q);

    const Variant* variant_;
};
