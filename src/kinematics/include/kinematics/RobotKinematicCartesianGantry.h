#pragma once

#include "kinematics/RobotKinematic.h"

// Gantry with three linear axes along configurable directions and an optional rotary
// fourth axis turning the tool about the vertical; the flange always points down.
// RobotKinematicCartesian3Axis carries dependent linear external axes along,
// RobotKinematicCartesian1Axis ignores external axes; otherwise the two are the same.
class RobotKinematicCartesianGantry : public RobotKinematic {
public:
    ~RobotKinematicCartesianGantry() override;

    using RobotKinematic::clone;
    void clone(const RobotKinematic* other) override;
    void Init(const std::string& name, const std::string& type, const std::string& iniPath,
              int velocitySetting) override;
    void SetJoints(const float* joints, bool check) override;
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override;
    // Writes the soft limits into "SoftwareMinMax" below robot; does not save.
    void UpdateConfigurationFile(tinyxml2::XMLDocument* doc, tinyxml2::XMLElement* robot) override;
    void ReadIniFile(const std::string& path);

    // Axis lengths, logged only.
    float lx = 500.0f;
    float ly = 500.0f;
    float lz = 100.0f;
    // Flange travel per unit of joint value; not normalised.
    DataTypes::Vector3 dirA1{1.0f, 0.0f, 0.0f};
    DataTypes::Vector3 dirA2{0.0f, 1.0f, 0.0f};
    DataTypes::Vector3 dirA3{0.0f, 0.0f, -1.0f};
    // Columns dirA1, dirA2, dirA3; built by Init.
    DataTypes::Matrix44 axisMatrix;
    DataTypes::Matrix44 axisMatrixInverse;
    // Flange position with all three axes at 0.
    DataTypes::Vector3 gantryOffset{-195.0f, -250.0f, 130.0f};
    bool FourthAxis = false;

protected:
    // followsLinearAxes: dependent linear external axes shift the gantry, and SetPosition
    // passes the external joint values through (else they become 0).
    RobotKinematicCartesianGantry(const char* typeName, bool followsLinearAxes);

private:
    // Tool-down flange rotation, turned by the fourth axis when there is one.
    DataTypes::Matrix44 FlangeRotation(float fourthAxis) const;

    bool followsLinearAxes_;
};
