#pragma once

#include "kinematics/RobotKinematic.h"

// Three-joint arm working in the x-z plane of the robot base: the four-axis arm without
// its base rotation. A1 is the shoulder, A2 the elbow, A3 the wrist pitch, all about y.
// The tool point moves in the x-z plane with one pitch angle. The side of the base axis
// the arm works on comes from the last forward kinematics; a target on the other side is
// refused, since reaching it would mean passing through the base axis. Robot type
// "JXR3AxisPlane".
class RobotKinematic3AxisPlane : public RobotKinematic {
public:
    RobotKinematic3AxisPlane();
    ~RobotKinematic3AxisPlane() override;

    void clone(const RobotKinematic* other) override;
    std::unique_ptr<RobotKinematic> clone() const override;
    void Init(const std::string& name, const std::string& type, const std::string& iniPath,
              int velocitySetting) override;
    void SetJoints(const float* joints, bool check) override;
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override;

    void ReadIniFile(const std::string& path);
    // Tool pose of the internal joints q (degrees); every element of pose is written.
    void ForwardKin(const float* q, DataTypes::Matrix44* pose);
    // Frame of the wrist point; also stores its translation in wristPoint.
    void ForwardKinJ1toJ3(const float* q, DataTypes::Matrix44* out);
    // Wrist-to-flange transform.
    void ForwardKinJ4toJ6(const float* q, DataTypes::Matrix44* out) const;
    // Orientation projection of the four-axis arm; throws OutOfReach when the approach
    // axis is perpendicular to the plane.
    void LimitOrientation(DataTypes::Matrix44* flange);
    // Tool pose -> internal joints 0..2.
    void InverseKin(const DataTypes::Matrix44& pose, float* q);
    // Internal joints 0..1 from a flange pose; throws CenterSingularity or OutOfReach.
    void ComputeA1toA3(const DataTypes::Matrix44& flange, float* q);

    float lz0 = 158.0f;
    float lz1 = 60.0f;
    float lz2 = 190.0f;
    float lz3 = 220.0f;
    float lz4 = 46.0f;
    float singularityCenter = 5.0f;
    float singularityEllbow = 30.0f;
    // How far (mm) the wrist point may lie off the x-z plane.
    float planeTolerance = 0.01f;
    DataTypes::Vector3 wristPoint;
    bool elbowPositive = true;
    bool wristInFront = true;
    bool ikErrorLogged = false;
};
