#include "motion/CircleParameters.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

constexpr double kPi = 3.141592653589793;
// Sine of the triangle's largest angle below which three points count as in line. A
// circle through nearly collinear points has a radius many thousand times its chords;
// below this it is no longer a circle anyone programs.
constexpr double kMinSine = 1e-5;

using D3 = CircleParameters::D3;

D3 ToD3(const DataTypes::Vector3& v) {
    return {static_cast<double>(v.x), static_cast<double>(v.y), static_cast<double>(v.z)};
}
DataTypes::Vector3 ToVector3(const D3& v) {
    return DataTypes::Vector3(static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2]));
}
D3 Sub(const D3& a, const D3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
D3 Add(const D3& a, const D3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
D3 Scale(const D3& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
double Dot(const D3& a, const D3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double Norm(const D3& a) { return std::sqrt(Dot(a, a)); }
D3 Cross(const D3& a, const D3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

bool Finite(const DataTypes::Vector3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

}  // namespace

CircleParameters::CircleParameters(const DataTypes::Vector3& start, const DataTypes::Vector3& help,
                                   const DataTypes::Vector3& end)
    : startPoint(start), helpPoint(help), endPoint(end) {
    CalculateCircle(start, help, end);

    const D3 toStart = Sub(ToD3(start), centerD);
    const D3 toEnd = Sub(ToD3(end), centerD);
    if (Norm(toStart) <= 0.0001) {
        throw std::runtime_error("CommandCircular: Could not calculate circle, P1 is at circle center");
    }
    if (Norm(toEnd) <= 0.0001) {
        throw std::runtime_error("CommandCircular: Could not calculate circle, P3 is at circle center");
    }
    // In double: the short way round, exact even for the tiny sweeps of large circles.
    angle = std::atan2(Norm(Cross(toStart, toEnd)), Dot(toStart, toEnd));
    // Take the long way round when the end point lies on the side away from the help
    // point (+90 degrees is the help point's side).
    if (Dot(toEnd, axis0D) < 0.0) {
        angle = 2.0 * kPi - angle;
    }
}

CircleParameters::CircleParameters(const DataTypes::Vector3& start, const DataTypes::Vector3& help,
                                   const DataTypes::Vector3& end, double angleDeg)
    : startPoint(start), helpPoint(help), endPoint(end) {
    if (!std::isfinite(angleDeg)) {
        throw std::runtime_error("CommandCircular: Invalid definition of circle, target angle is not finite");
    }
    CalculateCircle(start, help, end);
    angle = angleDeg * kPi / 180.0;
    if (std::fabs(angle) < 0.001) {
        throw std::runtime_error("CommandCircular: Invalid definition of circle, target angle is 0");
    }
}

void CircleParameters::CalculateCircle(const DataTypes::Vector3& p1, const DataTypes::Vector3& p2,
                                       const DataTypes::Vector3& p3) {
    if (!Finite(p1) || !Finite(p2) || !Finite(p3)) {
        throw std::runtime_error("CommandCircular: Invalid definition of circle, point is not finite");
    }
    const D3 a = ToD3(p1);
    const D3 b = ToD3(p2);
    const D3 c = ToD3(p3);
    const D3 ab = Sub(b, a);
    const D3 ac = Sub(c, a);
    const D3 n = Cross(ac, ab);
    const double nn = Dot(n, n);

    // The absolute test catches tiny triangles; the relative one nearly straight ones of
    // any size, whose circle would run far away from the three points.
    double sides[3] = {Norm(ab), Norm(Sub(c, b)), Norm(ac)};
    std::sort(sides, sides + 3);
    if (nn < 0.01 || std::sqrt(nn) < kMinSine * sides[0] * sides[1]) {
        throw std::runtime_error("CommandCircular: Invalid definition of circle, points are in line");
    }

    // Circumcentre relative to p1 (in double: for a large radius the float form leaves
    // the centre, and every point computed from it, millimetres off).
    const D3 w = Cross(ab, ac);
    const D3 offset =
        Scale(Add(Scale(Cross(ac, w), Dot(ab, ab)), Scale(Cross(w, ab), Dot(ac, ac))), 1.0 / (2.0 * Dot(w, w)));
    centerD = Add(a, offset);
    radius = Norm(offset);
    if (!std::isfinite(radius) || radius <= 0.0) {
        throw std::runtime_error("CommandCircular: Could not calculate center of circle");
    }

    normalD = Scale(n, 1.0 / std::sqrt(nn));
    axis1D = Scale(Sub(a, centerD), 1.0 / radius);
    axis0D = Cross(axis1D, normalD);

    center = ToVector3(centerD);
    normal = ToVector3(normalD);
    frame = DataTypes::Matrix44(ToVector3(axis0D), ToVector3(axis1D), normal, center);
}

DataTypes::Vector3 CircleParameters::CalculatePosition(double angleRad) const {
    const double s = radius * std::sin(angleRad);
    const double c = radius * std::cos(angleRad);
    return ToVector3(Add(centerD, Add(Scale(axis0D, s), Scale(axis1D, c))));
}

DataTypes::Vector3 CircleParameters::CalculateDirection(double angleRad) const {
    D3 dir = Sub(Scale(axis0D, std::cos(angleRad)), Scale(axis1D, std::sin(angleRad)));
    dir = Scale(dir, 1.0 / Norm(dir));
    if (angle < 0.0) {
        dir = Scale(dir, -1.0);
    }
    return ToVector3(dir);
}
