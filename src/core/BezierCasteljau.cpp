#include "core/BezierCasteljau.h"

#include <cmath>
#include <iostream>
#include <stdexcept>

namespace DataTypes {

BezierCasteljau::BezierCasteljau(int dimension_) : dimension(dimension_) {}

void BezierCasteljau::AddStartPoint(float value) {
    std::vector<float> p(static_cast<std::size_t>(dimension), 0.0f);
    if (!p.empty()) {
        p[0] = value;
    }
    points.push_back(std::move(p));
}

void BezierCasteljau::AddStartPoint(const float* values) {
    points.emplace_back(values, values + dimension);
}

void BezierCasteljau::AddStartPoint(const Vector3& p) {
    if (dimension != 3) {
        throw std::invalid_argument("Bezier: wrong dimension!");
    }
    points.push_back({p.x, p.y, p.z});
}

void BezierCasteljau::AddStartPoint(const VectorN& p) {
    if (p.size() != dimension) {
        throw std::invalid_argument("Bezier: wrong dimension!");
    }
    std::vector<float> copy(static_cast<std::size_t>(dimension));
    for (int i = 0; i < dimension; ++i) {
        copy[static_cast<std::size_t>(i)] = p[static_cast<unsigned>(i)];
    }
    points.push_back(std::move(copy));
}

void BezierCasteljau::RequireTwoPoints() const {
    if (points.size() < 2) {
        throw std::invalid_argument("BezierCasteljau: not enough points to interpolate");
    }
}

void BezierCasteljau::Interpolate(float t, float* out) const {
    RequireTwoPoints();
    const std::size_t n = points.size();
    // The blends' curves (2 to 4 points) keep the construction in registers. Through a
    // scratch array, -O3 turns the short triangular loop into two-float vector loads of
    // values just stored one float at a time; every such load stalls on the failed store
    // forwarding, which made the optimised build plan blends 2-3 times slower than -O2.
    // Same operations in the same order, so the same results.
    if (n <= 4) {
        const float* p0 = points[0].data();
        const float* p1 = points[1].data();
        if (n == 2) {
            for (int d = 0; d < dimension; ++d) {
                out[d] = p0[d] + (p1[d] - p0[d]) * t;
            }
            return;
        }
        const float* p2 = points[2].data();
        if (n == 3) {
            for (int d = 0; d < dimension; ++d) {
                const float b0 = p0[d] + (p1[d] - p0[d]) * t;
                const float b1 = p1[d] + (p2[d] - p1[d]) * t;
                out[d] = b0 + (b1 - b0) * t;
            }
            return;
        }
        const float* p3 = points[3].data();
        for (int d = 0; d < dimension; ++d) {
            float b0 = p0[d] + (p1[d] - p0[d]) * t;
            float b1 = p1[d] + (p2[d] - p1[d]) * t;
            const float b2 = p2[d] + (p3[d] - p2[d]) * t;
            b0 = b0 + (b1 - b0) * t;
            b1 = b1 + (b2 - b1) * t;
            out[d] = b0 + (b1 - b0) * t;
        }
        return;
    }
    float stackScratch[kStackPoints];
    std::vector<float> heapScratch;
    float* b = stackScratch;
    if (n > static_cast<std::size_t>(kStackPoints)) {
        heapScratch.resize(n);
        b = heapScratch.data();
    }

    for (int d = 0; d < dimension; ++d) {
        for (std::size_t i = 0; i < n; ++i) {
            b[i] = points[i][static_cast<std::size_t>(d)];
        }
        for (std::size_t r = 1; r < n; ++r) {
            for (std::size_t i = 0; i + r < n; ++i) {
                b[i] = b[i] + (b[i + 1] - b[i]) * t;
            }
        }
        out[d] = b[0];
    }
}

double BezierCasteljau::Distance(const float* a, const float* b) const {
    double sum = 0.0;
    for (int d = 0; d < dimension; ++d) {
        const double diff = static_cast<double>(a[d] - b[d]);
        sum += diff * diff;
    }
    return std::sqrt(sum);
}

float BezierCasteljau::GetLength3D(int steps) const {
    if (steps <= 0) {
        return 0.0f;
    }
    RequireTwoPoints();
    std::vector<float> prev(points.front());
    std::vector<float> p(static_cast<std::size_t>(dimension));
    const float step = 1.0f / static_cast<float>(steps);
    float length = 0.0f;
    for (int i = 1; i <= steps; ++i) {
        Interpolate(static_cast<float>(i) * step, p.data());
        length = static_cast<float>(static_cast<double>(length) + Distance(p.data(), prev.data()));
        prev.swap(p);
    }
    return length;
}

VectorN BezierCasteljau::ProceedCart(double* t, double distance, double dt) const {
    std::vector<float> p0(static_cast<std::size_t>(dimension));
    std::vector<float> p(static_cast<std::size_t>(dimension));
    Interpolate(static_cast<float>(*t), p0.data());

    double u = *t;
    if (u > 1.0) {
        Interpolate(1.0f, p.data());
        return VectorN(dimension, p.data());
    }

    double sum = 0.0;
    while (sum < distance) {
        u = u + dt;
        if (u >= 1.0) {
            break;
        }
        Interpolate(static_cast<float>(u), p.data());
        sum = sum + Distance(p.data(), p0.data());
        p0.swap(p);
    }

    // Half a step back: the target distance lies somewhere within the last step.
    u = u - dt / 2.0;
    if (u > 1.0) {
        u = 1.0;
    }
    *t = u;
    Interpolate(static_cast<float>(u), p.data());
    return VectorN(dimension, p.data());
}

void BezierCasteljau::Test() const {
    // Only the coordinates a curve has: a curve of fewer than three dimensions prints fewer.
    const int shown = dimension < 3 ? dimension : 3;
    std::cout << "\n Bezier: " << points.size() << " points, " << dimension << " dim\n";
    for (std::size_t i = 0; i < points.size(); ++i) {
        std::cout << "    Point " << i << ": ";
        for (int d = 0; d < shown; ++d) {
            std::cout << (d > 0 ? " " : "") << points[i][static_cast<std::size_t>(d)];
        }
        std::cout << "\n";
    }
    std::vector<float> p(static_cast<std::size_t>(dimension));
    float t = 0.0f;
    for (int i = 0; i < 50; ++i) {
        t += 0.02f;
        Interpolate(t, p.data());
        std::cout << "t: " << t << " -> ";
        for (int d = 0; d < shown; ++d) {
            std::cout << (d > 0 ? " " : "") << p[static_cast<std::size_t>(d)];
        }
        std::cout << "\n";
    }
    std::cout << std::endl;
}

}  // namespace DataTypes
