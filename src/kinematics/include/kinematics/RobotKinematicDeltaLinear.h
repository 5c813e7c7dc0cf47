#pragma once

#include "kinematics/RobotKinematic.h"

// Linear delta robot: three carriages on straight (by default inclined) rails 120 degrees
// apart around the z axis, joined by rods of fixed length to the platform; an optional
// fourth joint turns the tool about its axis. Joints 1..3 are carriage travels in mm from
// the upper rail ends. Robot type "DeltaLinear".
class RobotKinematicDeltaLinear : public RobotKinematic {
public:
    RobotKinematicDeltaLinear();
    ~RobotKinematicDeltaLinear() override;

    void clone(const RobotKinematic* other) override;
    std::unique_ptr<RobotKinematic> clone() const override;
    void Init(const std::string& name, const std::string& type, const std::string& iniPath,
              int velocitySetting) override;
    void SetJoints(const float* joints, bool check) override;
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override;

    void ReadIniFile(const std::string& path);
    // Rail ends, directions and platform offsets of the three arms from the geometry.
    void PrepareKinematic();
    // Tool pose from the carriages (set from q beforehand) and q[3]; throws 28.
    void ForwardKin(const float* q, DataTypes::Matrix44* out);
    // Carriage travels q[0..2] of the tool pose m; updates carriage; throws 22.
    void InverseKin(const DataTypes::Matrix44& m, float* q);
    // Travel of arm i for the platform point p; updates carriage[i]; throws 22.
    float ComputeOneJoint(int i, const DataTypes::Vector3& p);
    // Meeting point of three spheres, the lower of the two; throws 28.
    DataTypes::Vector3 Trilateration(DataTypes::Vector3 c1, DataTypes::Vector3 c2, DataTypes::Vector3 c3,
                                     float r1, float r2, float r3);
    // All three centres at one height.
    DataTypes::Vector3 TrilaterationSameZHeight(const DataTypes::Vector3& p1, const DataTypes::Vector3& p2,
                                                const DataTypes::Vector3& p3, float r1, float r2, float r3);
    // p3 at another height than p1 and p2.
    DataTypes::Vector3 TrilaterationDifferentZHeight(const DataTypes::Vector3& p1, const DataTypes::Vector3& p2,
                                                     const DataTypes::Vector3& p3, float r1, float r2,
                                                     float r3);
    // The rod angle limit is read but not enforced.
    void checkLinkages(const float* q, const DataTypes::Vector3& p) const;
    // Root of the summed squared rod-length errors at platform point p.
    float Fitness(const float* q, const DataTypes::Vector3& p) const;

    float mountZ = 700.0f;
    float distZ1 = 100.0f;
    float distZ2 = 200.0f;
    float radius1 = 250.0f;
    float radius2 = 50.0f;
    float lengthJoint = 400.0f;
    float distJoint = 30.0f;
    float tcpRadius = 30.0f;
    float tcpHeight = 20.0f;
    bool FourthAxis = false;
    DataTypes::Vector3 railTop[3];
    DataTypes::Vector3 railBottom[3];
    DataTypes::Vector3 railDirection[3];
    DataTypes::Vector3 carriage[3];
    DataTypes::Vector3 tcpOffset[3];
    DataTypes::Vector3 rodHalfSpacing[3];
    float MaxAngle = 30.0f;
    bool errorLogged = false;

private:
    // Logs text once per run of failures, then throws code.
    [[noreturn]] void Fail(const char* text, int code);
    void LogJointData() const;
};
