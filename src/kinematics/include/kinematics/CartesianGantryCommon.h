#pragma once

#include "core/Vector3.h"

namespace tinyxml2 {
class XMLElement;
}

// What the Cartesian gantry kinematics share: their log lines, the direction-vector
// text of the robot ini file and the write-back of the soft limits.
namespace CartesianGantryCommon {

// "   Linear Axis <n>:  Dir x, y, z   Length: l"
void LogLinearAxis(int n, const DataTypes::Vector3& dir, float length);

// "   Joint <i>:  Min ..  Max ..   MaxVel ..   MaxAcc ..   JointOffset ..   JointDirection .."
void LogJointLine(int i, float min, float max, float maxVel, float maxAcc, float offset, float direction);

// Three blank-separated numbers into v; components after the first unreadable one keep
// their values. A null text changes nothing.
void ParseDirection(const char* text, DataTypes::Vector3& v);

// Float attributes "A1Min", "A1Max", .. for joints 0..count-1 of limits.
void WriteSoftwareMinMax(tinyxml2::XMLElement* e, const float (*limits)[2], int count);

}  // namespace CartesianGantryCommon
