#pragma once

#include "kinematics/RobotKinematic.h"

// Planar two-rail delta robot: a left and a right carriage on straight rails in the xz
// plane, each joined by a rod to one platform point, so the tool moves in x and z only.
// Joints 1 and 2 are carriage travels in mm from the U (upper) rail ends. Failures of its
// own are std::runtime_error with a text. Robot type "Delta2Linear".
class RobotKinematicDelta2Linear : public RobotKinematic {
public:
    RobotKinematicDelta2Linear();
    ~RobotKinematicDelta2Linear() override;

    void clone(const RobotKinematic* other) override;
    std::unique_ptr<RobotKinematic> clone() const override;
    void Init(const std::string& name, const std::string& type, const std::string& iniPath,
              int velocitySetting) override;
    void SetJoints(const float* joints, bool check) override;
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override;

    void ReadIniFile(const std::string& path);
    // Rail ends and directions from the geometry; carriages back to the U ends.
    void PrepareKinematic();
    // Tool pose from the carriages (set from q beforehand); the lower meeting point of the rods.
    void ForwardKin(const float* q, DataTypes::Matrix44* out);
    // Carriage travels q[0..1] of the tool pose m.
    void InverseKin(const DataTypes::Matrix44& m, float* q);
    // Both work in the xz plane, ignore y and return points with y = 0; with no
    // intersection both outputs are (0, 0, 0). Return the number of intersections.
    int FindCircleCircleIntersections(const DataTypes::Vector3& c0, float r0, const DataTypes::Vector3& c1, float r1,
                                      DataTypes::Vector3* i1, DataTypes::Vector3* i2) const;
    int FindLineCircleIntersections(const DataTypes::Vector3& centre, float radius, const DataTypes::Vector3& p1,
                                    const DataTypes::Vector3& p2, DataTypes::Vector3* i1,
                                    DataTypes::Vector3* i2) const;

    // Y translation a target may carry (float noise) before it counts as a y motion, mm.
    static constexpr float yTolerance = 0.01f;

    float mountZ = 760.0f;
    // U ends are the upper, outer rail ends: travel runs from them down and inwards.
    float railLUX = 250.0f;
    float railLUZ = 50.0f;
    float railLDX = 100.0f;
    float railLDZ = 200.0f;
    float railRUX = 250.0f;
    float railRUZ = 50.0f;
    float railRDX = 100.0f;
    float railRDZ = 200.0f;
    float distStab = 30.0f;
    float lengthJoint = 400.0f;
    float tcpLeft = 10.0f;
    float tcpRight = 10.0f;
    float tcpHeight = 20.0f;
    float connDepth = 10.0f;

    DataTypes::Vector3 railU[2];
    DataTypes::Vector3 railD[2];
    DataTypes::Vector3 railDirection[2];
    DataTypes::Vector3 carriage[2];

private:
    // Platform point (tool and tool-point offsets removed) of the carriages.
    DataTypes::Vector3 PlatformPoint(const DataTypes::Vector3& left, const DataTypes::Vector3& right) const;
    void LogJointData() const;
};
