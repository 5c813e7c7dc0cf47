#pragma once

#include "kinematics/RobotKinematic.h"

// Five-axis arm, robot type "JXRPivra5". A1 turns the arm about the base z axis, A2
// (shoulder) and A3 (elbow) swing upper arm and forearm in the arm's vertical plane, A4
// pitches the hand in that plane and A5 rolls the flange about its own axis. The flange
// approach axis therefore always lies in the arm plane: before solving, a target is made
// reachable either by projecting its approach axis into that plane ("standard") or by
// turning the whole tool about the vertical through the tool point until the flange axis
// lies in the plane ("type2"). The inverse kinematics is exact for ly0 = 0 only.
class RobotKinematicPivra5 : public RobotKinematic {
public:
    enum WristRedundancy { WristStandard = 0, WristType2 = 1 };
    enum Type2Motion { Type2None = 0, Type2Upright = 1, Type2Free = 2 };

    RobotKinematicPivra5();
    ~RobotKinematicPivra5() override;

    void clone(const RobotKinematic* other) override;
    std::unique_ptr<RobotKinematic> clone() const override;
    void Init(const std::string& name, const std::string& type, const std::string& iniPath,
              int velocitySetting) override;
    void SetJoints(const float* joints, bool check) override;
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override;

    void ReadIniFile(const std::string& path);
    // Tool pose of the internal joints q: wrist frame · hand · tool.
    void ForwardKin(const float* q, DataTypes::Matrix44* pose);
    // Frame of the wrist point (A4 axis); also stores its translation in wristPoint.
    void ForwardKinJ1toJ3(const float* q, DataTypes::Matrix44* out);
    // Wrist-to-flange transform.
    void ForwardKinJ4toJ6(const float* q, DataTypes::Matrix44* out) const;
    // Internal joints 0..4 of a tool pose (wrist redundancy handled first).
    void InverseKin(const DataTypes::Matrix44& pose, float* q);
    // Internal joints 0..2 from a flange pose; throws CenterSingularity or OutOfReach.
    void ComputeA1toA3(const DataTypes::Matrix44& flange, float* q);
    // Flange pose of a tool pose whose approach axis is projected into the arm plane.
    // Throws OutOfReach when the approach axis stands perpendicular to that plane.
    DataTypes::Matrix44 LimitOrientationStandard(const DataTypes::Matrix44& pose);
    // Flange pose of a tool pose turned about the vertical through the tool point until
    // the flange axis lies in the arm plane. Throws std::runtime_error when a tilted
    // target follows an upright one without a joint move in between, and OutOfReach when
    // the search finds no turn within type2GoalDeg.
    DataTypes::Matrix44 LimitOrientationType2(const DataTypes::Matrix44& pose);
    // pose turned by angle (radians) about the base vertical through its own point.
    DataTypes::Matrix44 RotateFlangeZ(double angle, const DataTypes::Matrix44& pose) const;
    // Horizontal angle (radians, 0..pi/2) between the flange axis and the arm plane after
    // turning pose by angle.
    double GetErrorForAngle(double angle, const DataTypes::Matrix44& pose) const;

    int wristRedundancyHandling = WristStandard;
    int type2MotionState = Type2None;
    float lz0 = 122.15f;
    float lz1 = 76.3f;
    float lz2 = 350.0f;
    float lz3 = 45.0f;
    float lz4 = 0.0f;
    float lz5 = 80.0f;
    float ly0 = 0.0f;
    bool ikErrorLogged = false;
    bool wristInFront = true;
    bool elbowPositive = true;
    DataTypes::Vector3 wristPoint;
    float singularityCenter = 100.0f;
    float singularityEllbow = 20.0f;

    // The type-2 search stops once the flange axis is this close to the arm plane, degrees.
    static constexpr double type2GoalDeg = 0.005;
    static constexpr int type2MaxEvaluations = 101;
};
