#pragma once

#include "kinematics/RobotKinematic.h"

// Rotary delta robot: three rotary upper arms 120 degrees apart around the z axis, each
// joined by a rod to a common platform that keeps its orientation. Fixed geometry, nothing
// is read from the robot ini file. Only the tool point is modelled; target orientations are
// ignored. Robot type "Delta".
class RobotKinematicDelta : public RobotKinematic {
public:
    RobotKinematicDelta();
    ~RobotKinematicDelta() override;

    void clone(const RobotKinematic* other) override;
    std::unique_ptr<RobotKinematic> clone() const override;
    void Init(const std::string& name, const std::string& type, const std::string& iniPath,
              int velocitySetting) override;
    void SetJoints(const float* joints, bool check) override;
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override;

    // Platform point (flange, tool and external axes left out) of the arm angles q[0..2],
    // written into the translation of m; the rotation of m is left alone. Solved in closed
    // form and in double, so the result does not depend on where the platform was before
    // and near-tangent rods still meet. Throws DeltaOutOfReach when the rods cannot meet or
    // the solution misses a rod length by more than rodLengthTolerance.
    void ForwardKin(const float* q, DataTypes::Matrix44& m) const;
    // Root of the summed squared rod-length errors of the angles q at platform point p.
    float Fitness(const float* q, const DataTypes::Vector3& p) const;
    // Rod-length error of one arm; p is already turned into that arm's frame.
    float ComputeError(float angle, const DataTypes::Vector3& p) const;
    // Arm angles q[0..2] of the platform point in the translation of m.
    void InverseKin(const DataTypes::Matrix44& m, float* q) const;
    // Elbow-outward angle of one arm in [-180, 180]; p is in that arm's frame. Throws
    // DeltaOutOfReach when the arm cannot reach p.
    float ComputeOneJoint(int arm, const DataTypes::Vector3& p) const;
    // Throws DeltaLinkageAngle when a rod tilts sideways beyond maxLinkageAngle.
    void checkLinkages(const float* q, const DataTypes::Vector3& p) const;

    float shoulderZ = 20.0f;
    float shoulderRadius = 50.0f;
    float upperArmLength = 140.0f;
    float lowerArmLength = 180.0f;
    float platformRadius = 30.0f;
    float platformJointZ = 10.0f;
    float maxLinkageAngle = 30.0f;
    float reachMargin = 20.0f;

    // Largest rod-length error (mm) a forward solution may leave.
    static constexpr float rodLengthTolerance = 0.001f;

private:
    // Shoulder-to-platform-joint vector of one arm, p in that arm's frame.
    DataTypes::Vector3 ShoulderToJoint(const DataTypes::Vector3& p) const;
    // Upper arm vector of one arm at angle degrees.
    DataTypes::Vector3 UpperArm(float angle) const;
    // Tool point of the platform point, external axes left out.
    DataTypes::Matrix44 ToolPose(const DataTypes::Vector3& platformPoint) const;
};
