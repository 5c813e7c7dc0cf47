#include "motion/CircleParameters.h"

#include <cmath>
#include <stdexcept>

namespace {
constexpr double kPi = 3.141592653589793;
}

CircleParameters::CircleParameters(const DataTypes::Vector3& start, const DataTypes::Vector3& help,
                                   const DataTypes::Vector3& end)
    : startPoint(start), helpPoint(help), endPoint(end) {
    CalculateCircle(start, help, end);

    DataTypes::Vector3 a;
    DataTypes::Vector3 b;
    try {
        a = (start - center).Normalized();
    } catch (const std::runtime_error&) {
        throw std::runtime_error("CommandCircular: Could not calculate circle, P1 is at circle center");
    }
    try {
        b = (end - center).Normalized();
    } catch (const std::runtime_error&) {
        throw std::runtime_error("CommandCircular: Could not calculate circle, P3 is at circle center");
    }
    angle = static_cast<double>(DataTypes::Vector3::Angle(a, b));

    // Angle() gives the shorter way round; take the long one when the end point lies on
    // the side away from the help point.
    const DataTypes::Vector3 qPlus = CalculatePosition(kPi / 2.0);
    const DataTypes::Vector3 qMinus = CalculatePosition(-kPi / 2.0);
    if ((end - qMinus).MagnitudeQ() < (end - qPlus).MagnitudeQ()) {
        angle = 2.0 * kPi - angle;
    }
}

CircleParameters::CircleParameters(const DataTypes::Vector3& start, const DataTypes::Vector3& help,
                                   const DataTypes::Vector3& end, double angleDeg)
    : startPoint(start), helpPoint(help), endPoint(end) {
    CalculateCircle(start, help, end);
    angle = angleDeg * kPi / 180.0;
    if (std::fabs(angle) < 0.001) {
        throw std::runtime_error("CommandCircular: Invalid definition of circle, target angle is 0");
    }
}

void CircleParameters::CalculateCircle(const DataTypes::Vector3& p1, const DataTypes::Vector3& p2,
                                       const DataTypes::Vector3& p3) {
    const DataTypes::Vector3 m12 = (p1 + p2) * 0.5f;
    const DataTypes::Vector3 m23 = (p2 + p3) * 0.5f;

    const DataTypes::Vector3 n = DataTypes::Vector3::Cross(p3 - p1, p2 - p1);
    if (n.MagnitudeQ() < 0.01f) {
        throw std::runtime_error("CommandCircular: Invalid definition of circle, points are in line");
    }
    // In-plane directions of the perpendicular bisectors of the chords p1-p2 and p2-p3.
    const DataTypes::Vector3 u = DataTypes::Vector3::Cross(n, p2 - p1);
    const DataTypes::Vector3 v = DataTypes::Vector3::Cross(n, p2 - p3);
    normal = n.Normalized();

    DataTypes::Matrix44 system;
    system.SetColumnVector(0, u);
    system.SetColumnVector(1, v);
    system.SetColumnVector(2, m23 - m12);
    DataTypes::Vector3 st;
    if (!system.SolveLinear2(&st)) {
        throw std::runtime_error("CommandCircular: Could not calculate center of circle");
    }
    center = m12 + u * st.x;
    radius = static_cast<double>((center - p1).Magnitude());

    DataTypes::Vector3 c1 = p1 - center;
    c1.Normalize();
    const DataTypes::Vector3 c0 = DataTypes::Vector3::Cross(c1, normal);
    frame = DataTypes::Matrix44(c0, c1, normal, center);
}

DataTypes::Vector3 CircleParameters::CalculatePosition(double angleRad) const {
    const double s = radius * std::sin(angleRad);
    const double c = radius * std::cos(angleRad);
    double out[3];
    for (int i = 0; i < 3; ++i) {
        out[i] = static_cast<double>(frame.m[i * 4 + 3]) + s * static_cast<double>(frame.m[i * 4]) +
                 c * static_cast<double>(frame.m[i * 4 + 1]);
    }
    return DataTypes::Vector3(static_cast<float>(out[0]), static_cast<float>(out[1]), static_cast<float>(out[2]));
}

DataTypes::Vector3 CircleParameters::CalculateDirection(double angleRad) const {
    const double c = std::cos(angleRad);
    const double s = -std::sin(angleRad);
    DataTypes::Vector3 dir(static_cast<float>(c * frame.m[0] + s * frame.m[1]),
                           static_cast<float>(c * frame.m[4] + s * frame.m[5]),
                           static_cast<float>(c * frame.m[8] + s * frame.m[9]));
    dir.Normalize();
    if (angle < 0.0) {
        dir = -dir;
    }
    return dir;
}
