#pragma once

#include "core/Matrix44.h"
#include "core/Vector3.h"

#include <array>

// The circle through three points: centre, radius, plane and a frame in which angle 0 is
// the start point and +90 degrees lies on the help point's side. Shared (read-only once
// built) by the circular program command and the circular path element.
class CircleParameters {
public:
    using D3 = std::array<double, 3>;

    DataTypes::Vector3 startPoint;
    DataTypes::Vector3 helpPoint;
    DataTypes::Vector3 endPoint;
    DataTypes::Vector3 center;
    double radius = 0.0;        // mm
    DataTypes::Vector3 normal;  // unit normal of the circle's plane
    // Column 0 = unit(start - centre) x normal, column 1 = unit(start - centre),
    // column 2 = normal, translation = centre.
    DataTypes::Matrix44 frame;
    double angle = 0.0;  // signed sweep from the start point, radians; positive toward the help point

    // Sweep from the start through the help point to the end point (0 .. 2 pi).
    // std::runtime_error when a point is not finite, the points are in line (absolutely,
    // or relative to the chord lengths), no centre is found, or the start or end point
    // sits at the centre.
    CircleParameters(const DataTypes::Vector3& start, const DataTypes::Vector3& help, const DataTypes::Vector3& end);
    // Sweep given in degrees; a negative one runs away from the help point's side.
    // std::runtime_error also for a sweep below 0.001 rad in magnitude.
    CircleParameters(const DataTypes::Vector3& start, const DataTypes::Vector3& help, const DataTypes::Vector3& end,
                     double angleDeg);

    void CalculateCircle(const DataTypes::Vector3& start, const DataTypes::Vector3& help,
                         const DataTypes::Vector3& end);
    // Point at the given angle (radians); angle 0 is the start point.
    DataTypes::Vector3 CalculatePosition(double angleRad) const;
    // Unit tangent at the given angle, pointing in the direction of travel.
    DataTypes::Vector3 CalculateDirection(double angleRad) const;

private:
    // Double-precision centre and frame axes, from which points and tangents are computed:
    // the float copies above lose millimetres on large circles.
    D3 centerD{};
    D3 normalD{};
    D3 axis0D{};  // frame column 0
    D3 axis1D{};  // frame column 1, toward the start point
};
