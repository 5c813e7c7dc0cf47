#pragma once

#include "kinematics/RobotKinematic.h"

// Four-axis arm: A1 turns the arm about the vertical base axis, A2 (shoulder) and A3
// (elbow) swing upper arm and forearm in the arm's vertical plane, A4 pitches the hand in
// that plane. The arm reaches a position and one pitch angle, so the inverse kinematics
// first projects the wanted orientation onto the arm plane. Elbow and side configuration
// come from the last forward kinematics. Robot type "JXRPivra4"; also the controller's
// fallback when the robot configuration cannot be read, built without Init, so the
// constructor already sets everything Init sets before reading the ini file.
class RobotKinematicPivra4 : public RobotKinematic {
public:
    RobotKinematicPivra4();
    ~RobotKinematicPivra4() override;

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
    // Replaces the rotation of a flange pose by the nearest one the arm can reach; the
    // translation stays. Throws OutOfReach when the approach axis is perpendicular to the
    // arm plane (no projection exists), CenterSingularity when no arm plane is fixed
    // (ArmPlaneAzimuth).
    void LimitOrientation(DataTypes::Matrix44* flange);
    // Tool pose -> internal joints 0..3.
    void InverseKin(const DataTypes::Matrix44& pose, float* q);
    // Internal joints 0..2 from a flange pose; throws CenterSingularity or OutOfReach.
    void ComputeA1toA3(const DataTypes::Matrix44& flange, float* q);

    // Azimuth (radians) of the vertical arm plane LimitOrientation projects onto: that of
    // the flange point; within kNearAxisRadius of the base axis that of the approach axis,
    // if the flange point lies in its plane. Returns false when nothing fixes the plane
    // (flange point near the base axis, approach axis vertical or off that point's plane).
    static bool ArmPlaneAzimuth(const DataTypes::Matrix44& flange, float* phi);

    // Shared with the three-axis plane arm.
    // Azimuth (radians) of the flange point; 0 on the base axis.
    static float FlangeAzimuth(const DataTypes::Matrix44& flange);
    // Turns the approach axis of flange into the vertical plane of azimuth phi and rebuilds
    // the rotation around it (y axis horizontal, perpendicular to the plane). Returns false
    // and leaves flange unchanged when the approach axis has no component in that plane.
    static bool ProjectOrientationToArmPlane(DataTypes::Matrix44& flange, float phi);
    static constexpr float kRadToDeg = 57.29578f;
    static constexpr double kPi = 3.14159265358979323846;
    static constexpr double kRadToDegD = 180.0 / kPi;
    // Within this distance (mm) of the base axis the flange point fixes no arm plane; the
    // approach axis must, passing the flange point within kNearAxisPlaneTolerance (mm).
    // Outside, a path tangential to the axis turns A1 by at most 4 degrees per 0.1 mm.
    static constexpr float kNearAxisRadius = 1.5f;
    static constexpr double kNearAxisPlaneTolerance = 0.01;

    float lz0 = 158.0f;
    float lz1 = 60.0f;
    float lz2 = 190.0f;
    float lz3 = 220.0f;
    float lz4 = 46.0f;
    float singularityCenter = 5.0f;
    float singularityEllbow = 30.0f;
    DataTypes::Vector3 wristPoint;
    bool elbowPositive = true;
    bool wristInFront = true;
    bool ikErrorLogged = false;

private:
    // What Init sets before reading the ini file (pose, joints, limits, speeds, geometry).
    void SetInitDefaults();
};
