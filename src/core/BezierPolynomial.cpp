#include "core/BezierPolynomial.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace DataTypes {

namespace {

constexpr int kMaxDepth = 18;

double Binomial(int n, int k) {
    double r = 1.0;
    for (int i = 1; i <= k; ++i) {
        r = r * static_cast<double>(n - k + i) / static_cast<double>(i);
    }
    return r;
}

}  // namespace

BezierPolynomial::BezierPolynomial(const BezierCasteljau& curve) : dimension(curve.GetDimension()) {
    const int n = curve.GetPointCount();
    if (n < 2) {
        throw std::invalid_argument("BezierCasteljau: not enough points to interpolate");
    }
    degree = n - 1;
    const std::size_t dim = static_cast<std::size_t>(dimension);
    coefficients.assign(static_cast<std::size_t>(n) * dim, 0.0);
    // c_j = C(deg, j) * sum_i (-1)^(j-i) C(j, i) P_i
    for (int j = 0; j <= degree; ++j) {
        const double outer = Binomial(degree, j);
        for (int i = 0; i <= j; ++i) {
            const double w = outer * Binomial(j, i) * (((j - i) % 2 == 0) ? 1.0 : -1.0);
            const float* p = curve.GetPoint(i);
            for (std::size_t d = 0; d < dim; ++d) {
                coefficients[static_cast<std::size_t>(j) * dim + d] += w * static_cast<double>(p[d]);
            }
        }
    }
    derivative.assign(static_cast<std::size_t>(degree) * dim, 0.0);
    for (int j = 1; j <= degree; ++j) {
        for (std::size_t d = 0; d < dim; ++d) {
            derivative[static_cast<std::size_t>(j - 1) * dim + d] =
                static_cast<double>(j) * coefficients[static_cast<std::size_t>(j) * dim + d];
        }
    }
    // The control polygon bounds the curve's length: tolerances relative to it keep the
    // same precision for a 1 mm blend and a 1 m one.
    double polygon = 0.0;
    for (int i = 1; i < n; ++i) {
        const float* a = curve.GetPoint(i - 1);
        const float* b = curve.GetPoint(i);
        double sum = 0.0;
        for (std::size_t d = 0; d < dim; ++d) {
            const double diff = static_cast<double>(b[d]) - static_cast<double>(a[d]);
            sum += diff * diff;
        }
        polygon += std::sqrt(sum);
    }
    tolerance = 1e-12 * std::max(polygon, 1e-9);
}

void BezierPolynomial::Evaluate(double u, double* out) const {
    if (degree < 0) {
        throw std::invalid_argument("BezierCasteljau: not enough points to interpolate");
    }
    const std::size_t dim = static_cast<std::size_t>(dimension);
    for (std::size_t d = 0; d < dim; ++d) {
        double v = coefficients[static_cast<std::size_t>(degree) * dim + d];
        for (int j = degree - 1; j >= 0; --j) {
            v = v * u + coefficients[static_cast<std::size_t>(j) * dim + d];
        }
        out[d] = v;
    }
}

void BezierPolynomial::Derivative(double u, double* out) const {
    if (degree < 1) {
        throw std::invalid_argument("BezierCasteljau: not enough points to interpolate");
    }
    const std::size_t dim = static_cast<std::size_t>(dimension);
    for (std::size_t d = 0; d < dim; ++d) {
        double v = derivative[static_cast<std::size_t>(degree - 1) * dim + d];
        for (int j = degree - 2; j >= 0; --j) {
            v = v * u + derivative[static_cast<std::size_t>(j) * dim + d];
        }
        out[d] = v;
    }
}

double BezierPolynomial::Speed(double u) const {
    if (degree < 1) {
        return 0.0;
    }
    const std::size_t dim = static_cast<std::size_t>(dimension);
    double sum = 0.0;
    for (std::size_t d = 0; d < dim; ++d) {
        double v = derivative[static_cast<std::size_t>(degree - 1) * dim + d];
        for (int j = degree - 2; j >= 0; --j) {
            v = v * u + derivative[static_cast<std::size_t>(j) * dim + d];
        }
        sum += v * v;
    }
    return std::sqrt(sum);
}

double BezierPolynomial::GaussLegendre(double a, double b) const {
    static constexpr double kNode[3] = {0.0, 0.5384693101056831, 0.9061798459386640};
    static constexpr double kWeight[3] = {0.5688888888888889, 0.4786286704993665, 0.2369268850561891};
    const double half = 0.5 * (b - a);
    const double mid = 0.5 * (a + b);
    double sum = kWeight[0] * Speed(mid);
    for (int i = 1; i < 3; ++i) {
        sum += kWeight[i] * (Speed(mid - half * kNode[i]) + Speed(mid + half * kNode[i]));
    }
    return sum * half;
}

double BezierPolynomial::Adaptive(double a, double b, double whole, double tol, int depth) const {
    const double mid = 0.5 * (a + b);
    const double left = GaussLegendre(a, mid);
    const double right = GaussLegendre(mid, b);
    const double both = left + right;
    if (depth <= 0 || std::fabs(both - whole) <= tol) {
        return both;
    }
    // Below the rounding of the sum a finer split gains nothing.
    const double childTol = std::max(0.5 * tol, 1e-3 * tolerance);
    return Adaptive(a, mid, left, childTol, depth - 1) + Adaptive(mid, b, right, childTol, depth - 1);
}

double BezierPolynomial::ArcLength(double u0, double u1) const {
    if (degree < 1 || u0 == u1) {
        return 0.0;
    }
    if (u1 < u0) {
        return -ArcLength(u1, u0);
    }
    return Adaptive(u0, u1, GaussLegendre(u0, u1), tolerance, kMaxDepth);
}

double BezierPolynomial::Advance(double u0, double distance, double uMax) const {
    if (!(distance > 0.0) || degree < 1 || !(uMax > u0)) {
        return u0;
    }
    // Newton on f(u) = length(u0, u) - distance, kept inside a bracket that shrinks with
    // every step: f rises monotonically, and where the curve stands still (a cusp) the
    // step falls back to bisection.
    double lo = u0;
    double hi = uMax;
    double u = u0;
    double f = -distance;
    const double stop = 100.0 * tolerance;
    double speed = Speed(u0);
    double next = speed > 0.0 ? u0 + distance / speed : 0.5 * (lo + hi);
    for (int i = 0; i < 100; ++i) {
        if (!(next > lo && next < hi)) {
            next = 0.5 * (lo + hi);
        }
        if (next == u) {
            break;
        }
        f += ArcLength(u, next);
        u = next;
        if (std::fabs(f) <= stop) {
            break;
        }
        if (f > 0.0) {
            hi = u;
        } else {
            lo = u;
        }
        if (hi - lo <= 1e-15) {
            break;
        }
        speed = Speed(u);
        next = speed > 0.0 ? u - f / speed : 0.5 * (lo + hi);
    }
    return u;
}

}  // namespace DataTypes
