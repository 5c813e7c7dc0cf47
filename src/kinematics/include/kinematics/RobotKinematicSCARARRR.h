#pragma once

#include "kinematics/RobotKinematic.h"

// SCARA without a lift: shoulder, elbow and wrist (degrees) turning in one horizontal
// plane, the tool horizontal along the last link. Robot type "SCARA-RRR".
class RobotKinematicSCARARRR : public RobotKinematic {
public:
    RobotKinematicSCARARRR();
    ~RobotKinematicSCARARRR() override;

    using RobotKinematic::clone;
    void clone(const RobotKinematic* other) override;
    std::unique_ptr<RobotKinematic> clone() const override;
    void Init(const std::string& name, const std::string& type, const std::string& iniPath,
              int velocitySetting) override;
    void SetJoints(const float* joints, bool check) override;
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override;

    // Tool pose of the internal joints q (tool included, external axes left out).
    void ForwardKin(const float* q, DataTypes::Matrix44* m) const;
    // Internal joints q[0..2] of the flange pose m (tool already removed); throws
    // KinematicError::OutOfReach, also for a target off the arm's plane.
    void InverseKin(const DataTypes::Matrix44& m, float* q);
    void ReadIniFile(const std::string& path);

    float hbase = 200.0f;
    // Height steps at elbow, wrist and flange.
    float h1 = 0.0f;
    float h2 = 0.0f;
    float h3 = 0.0f;
    float distx1 = 70.0f;
    float radius1 = 120.0f;
    float radius2 = 100.0f;
    float radius3 = 30.0f;
    // Elbow configuration the inverse kinematics solves for; follows the last SetJoints.
    bool elbowNegative = true;
    // "InvKin: OutofReach" is logged once per run of failures.
    bool ikErrorLogged = false;

    // A target may lie this far (mm) above or below the arm's plane.
    static constexpr float heightTolerance = 0.001f;
};
