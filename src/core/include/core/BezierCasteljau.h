#pragma once

#include "core/Vector3.h"
#include "core/VectorN.h"

#include <vector>

namespace DataTypes {

// Bezier curve of any dimension, evaluated by de Casteljau's construction; the path
// planners use it for spline blends and walk along it by arc length.
class BezierCasteljau {
public:
    explicit BezierCasteljau(int dimension);

    // A point of zeros whose first coordinate is value.
    void AddStartPoint(float value);
    // Reads dimension values; the caller guarantees them.
    void AddStartPoint(const float* values);
    void AddStartPoint(const Vector3& p);
    void AddStartPoint(const VectorN& p);

    // Curve point at t into out[0..dimension-1]; t is not clamped (extrapolates).
    // Allocates nothing for curves of up to kStackPoints control points.
    void Interpolate(float t, float* out) const;
    // Length along steps chords.
    float GetLength3D(int steps) const;
    // Advances *t by about distance along the curve in steps of dt and returns the point.
    VectorN ProceedCart(double* t, double distance, double dt) const;

    // Diagnostic dump of the control points and 50 curve points to standard output.
    void Test() const;

    int GetDimension() const { return dimension; }
    int GetPointCount() const { return static_cast<int>(points.size()); }
    // Control point i, dimension values.
    const float* GetPoint(int i) const { return points[static_cast<std::size_t>(i)].data(); }

    static constexpr int kStackPoints = 64;

private:
    void RequireTwoPoints() const;
    // Euclidean distance of two points of this curve, accumulated in double.
    double Distance(const float* a, const float* b) const;

    int dimension;
    std::vector<std::vector<float>> points;
};

}  // namespace DataTypes
