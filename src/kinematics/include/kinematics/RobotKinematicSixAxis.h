#pragma once

#include "kinematics/RobotKinematic.h"

// Articulated arm with six rotary joints: a vertical base axis A1, shoulder A2 and elbow A3
// about horizontal axes, and a wrist A4..A6 (z, y, z) whose axes meet in one point.
// Robot type "StandardSixAxisPlus". The inverse kinematics is closed-form and keeps the arm
// configuration of the last SetJoints (front or back, elbow side, wrist flipped or not).
// Optionally the A5 and A6 motors are coupled (differential wrist).
class RobotKinematicSixAxis : public RobotKinematic {
public:
    RobotKinematicSixAxis();
    ~RobotKinematicSixAxis() override;

    void clone(const RobotKinematic* other) override;
    std::unique_ptr<RobotKinematic> clone() const override;
    // Differential wrist: motor 5 = A5 - A6, motor 6 = A5 + A6 (indexes 4 and 5).
    void AdaptJointsToMotors(float* v) override;
    void AdaptMotorsToJoints(float* v) override;
    // Reads the robot ini file; a gap in it ends the process with status 46.
    void Init(const std::string& name, const std::string& type, const std::string& iniPath,
              int velocitySetting) override;
    void SetJoints(const float* joints, bool check) override;
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override;

    // Tool pose of the internal joints q (flange pose times the tool matrix).
    void ForwardKin(const float* q, DataTypes::Matrix44* pose);
    // Frame of the forearm at the wrist point; also stores wristPoint.
    void ForwardKinJ1toJ3(const float* q, DataTypes::Matrix44* m);
    // Wrist frame to flange.
    void ForwardKinJ4toJ6(const float* q, DataTypes::Matrix44* w) const;
    // Internal joints q[0..5] of a tool pose in the arm's own frame; throws 21, 22, 23.
    void InverseKin(const DataTypes::Matrix44& tcp, float* q);
    // A1..A3 from the flange pose f; throws 21 and 22.
    void ComputeA1toA3(const DataTypes::Matrix44& f, float* q);
    // A4..A6 from the flange pose f and the forearm frame a; throws 23.
    void ComputeA4toA6(const DataTypes::Matrix44& f, const DataTypes::Matrix44& a, float* q);
    void ReadIniFile(const std::string& path);

    float lz0 = 122.4f;
    float lx1 = 0.0f;
    float lz1 = 76.3f;
    float lx2 = 350.0f;
    float lx3 = 400.0f;
    float lz3 = 45.0f;
    float lx4 = 0.0f;
    float lx6 = 80.0f;
    bool kinErrorLogged = false;
    bool configFront = true;
    bool configElbow = true;
    bool configWristFlip = false;
    bool wristAngular = false;
    bool wristDifferential = false;
    DataTypes::Vector3 wristPoint;
    float Center = 100.0f;
    float Ellbow = 20.0f;
    float Wrist = 5.0f;
    // Angle of the wrist point off the forearm line, radians; follows lz3, lx3 and lx4.
    float elbowOffsetAngle = 0.0f;

private:
    // atan(lz3 / (lx3 + lx4)) of the current lengths.
    float ElbowOffsetAngle() const;
    // Configuration flags of the internal joints q; wristPoint must belong to q.
    void UpdateConfigurationFlags(const float* q);
    // Moves each revolute result by whole turns to the value nearest the current joint.
    void NearestToCurrent(float* q, int first, int last) const;
};
