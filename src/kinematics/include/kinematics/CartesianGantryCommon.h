#pragma once

#include "core/Matrix44.h"
#include "core/Vector3.h"

#include <string>

namespace tinyxml2 {
class XMLElement;
}

// What the Cartesian gantry kinematics share: their axis log lines, the inverse of their
// axis matrix, the direction-vector text of the robot ini file and the write-back of the
// soft limits.
namespace CartesianGantryCommon {

// "   Linear Axis <n>:  Dir x, y, z   Length: l"
void LogLinearAxis(int n, const DataTypes::Vector3& dir, float length);

// inverse = axes.Inverse(); false with the exception's text in error (inverse unchanged)
// when the axis directions are linearly dependent.
bool InvertAxes(const DataTypes::Matrix44& axes, DataTypes::Matrix44& inverse, std::string& error);

// Three blank-separated numbers into v; components after the first unreadable one keep
// their values. A null text changes nothing.
void ParseDirection(const char* text, DataTypes::Vector3& v);

// Float attributes "A1Min", "A1Max", .. for joints 0..count-1 of limits.
void WriteSoftwareMinMax(tinyxml2::XMLElement* e, const float (*limits)[2], int count);

}  // namespace CartesianGantryCommon
