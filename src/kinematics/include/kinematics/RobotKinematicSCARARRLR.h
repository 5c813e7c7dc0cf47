#pragma once

#include "kinematics/RobotKinematic.h"

// SCARA with a lift first and a horizontal tool along the last link: lift (mm), shoulder,
// elbow and an optional wrist (degrees). Robot type "SCARA-RRLR".
class RobotKinematicSCARARRLR : public RobotKinematic {
public:
    RobotKinematicSCARARRLR();
    ~RobotKinematicSCARARRLR() override;

    using RobotKinematic::clone;
    void clone(const RobotKinematic* other) override;
    std::unique_ptr<RobotKinematic> clone() const override;
    void Init(const std::string& name, const std::string& type, const std::string& iniPath,
              int velocitySetting) override;
    void SetJoints(const float* joints, bool check) override;
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override;

    // Tool pose of the internal joints q (tool included, external axes left out).
    void ForwardKin(const float* q, DataTypes::Matrix44* m) const;
    // Internal joints q[0..3] of the tool pose m (removes the tool itself); throws
    // KinematicError::OutOfReach.
    void InverseKin(const DataTypes::Matrix44& m, float* q);
    void ReadIniFile(const std::string& path);

    float hbase = 200.0f;
    float distx1 = 70.0f;
    float radius1 = 120.0f;
    float radius2 = 100.0f;
    float radius3 = 30.0f;
    // Elbow configuration the inverse kinematics solves for; follows the last SetJoints.
    bool elbowNegative = true;
    bool FourthAxis = false;
    // "InvKin: OutofReach" is logged once per run of failures.
    bool ikErrorLogged = false;
};
