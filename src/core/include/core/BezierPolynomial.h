#pragma once

#include "core/BezierCasteljau.h"

#include <vector>

namespace DataTypes {

// The curve of a BezierCasteljau in power form, in double, with its arc length.
// Walking a curve by arc length with de Casteljau's construction in fixed parameter steps
// costs thousands of evaluations per metre of blend and only lands within a step of the
// distance asked for; here the arc length is integrated (adaptive Gauss-Legendre) and
// inverted by Newton's method, to well below a micrometre, in a few dozen evaluations.
// Built once (it allocates); every query afterwards is allocation free.
class BezierPolynomial {
public:
    BezierPolynomial() = default;
    // Throws std::invalid_argument as BezierCasteljau::Interpolate does for fewer than
    // two control points.
    explicit BezierPolynomial(const BezierCasteljau& curve);

    bool Empty() const { return coefficients.empty(); }
    int Dimension() const { return dimension; }
    int Degree() const { return degree; }

    // Curve point at u into out[0..Dimension()-1]; u is not clamped.
    void Evaluate(double u, double* out) const;
    // Derivative dB/du at u into out[0..Dimension()-1].
    void Derivative(double u, double* out) const;
    // |dB/du| at u: arc length per unit of parameter.
    double Speed(double u) const;
    // Arc length from u0 to u1 (negative when u1 < u0).
    double ArcLength(double u0, double u1) const;
    // The parameter in [u0, uMax] at which the arc length from u0 equals distance;
    // uMax when the curve ends first. distance <= 0 gives u0.
    double Advance(double u0, double distance, double uMax = 1.0) const;

private:
    double GaussLegendre(double a, double b) const;
    double Adaptive(double a, double b, double whole, double tolerance, int depth) const;

    int dimension = 0;
    int degree = -1;
    double tolerance = 0.0;            // absolute arc-length tolerance, scaled to the curve
    std::vector<double> coefficients;  // (degree + 1) x dimension, lowest power first
    std::vector<double> derivative;    // degree x dimension, lowest power first
};

}  // namespace DataTypes
