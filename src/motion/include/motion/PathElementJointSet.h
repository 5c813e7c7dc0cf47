#pragma once

#include "core/VectorN.h"
#include "motion/PathBasicCurve.h"
#include "motion/PathElement.h"

#include <string>

namespace Programs {

// Straight line in joint space over all 9 joints; the joint with the longest profile sets
// the pace and the others follow in proportion, so all arrive together. The shared pace
// profile is capped so that no follower exceeds its own velocity, acceleration or jerk.
class PathElementJointSet : public PathElement {
public:
    bool debug = false;  // this element's own trace flag
    int nJoints = 9;
    PathBasicCurve curves[9];
    float duration = 1.0f;  // ms
    float dist = 0.0f;
    DataTypes::VectorN startJoints{9};
    DataTypes::VectorN targetJoints{9};
    // Joint-space direction while the geometry is prepared, then the sign of each move.
    DataTypes::VectorN dirSign{9};
    int longest = 0;
    // Profile of the leading joint's distance that every joint follows in proportion.
    PathBasicCurve pace;

    PathElementJointSet(int cmdIndex, int nextCmdIndex) : PathElement("Joint", cmdIndex, nextCmdIndex) {}

    // The velocity factors are fractions of each joint's limit; start and end factor must
    // each be 0 or velFactor.
    void Init(const DataTypes::RobotState& target, float velFactor, float velStartFactor, float velEndFactor,
              float accScale, float, float) override;
    void InitSpline(const DataTypes::RobotState&, const DataTypes::RobotState&, const DataTypes::RobotState&, float,
                    float, float, float, float, float) override {}
    void PrepareAcceleration() override;
    int GetPosition(float tMs, DataTypes::RobotState& out) override;
    float GetVel() override { return vel; }
    float GetDuration() override { return duration; }
    std::string ToString() override { return "PathElementJointSet"; }
    void SetDebugFlag(bool on) override { debug = on; }
    void PrepareGeometry(DataTypes::RobotState& start, float distStart, float distEnd,
                         DataTypes::RobotState& end) override;
    void StateAt(double p, DataTypes::RobotState& out) const override;

private:
    void PreparePace();
};

}  // namespace Programs
