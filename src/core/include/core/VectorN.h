#pragma once

#include <string>
#include <vector>

namespace DataTypes {

// A float vector of any length (joint vectors, spline points). Unlike Vector3 it owns
// heap storage, so it stays out of the robot-loop cycle paths.
class VectorN {
public:
    explicit VectorN(int n);
    VectorN(int n, const float* values);
    VectorN(const std::vector<float>& values);

    int size() const { return static_cast<int>(values_.size()); }

    float& operator[](unsigned i);
    float operator[](unsigned i) const;

    VectorN operator+(const VectorN& o) const;
    VectorN operator-(const VectorN& o) const;
    VectorN& operator+=(const VectorN& o);
    VectorN& operator-=(const VectorN& o);
    VectorN operator-() const;

    VectorN operator*(float s) const;
    VectorN operator*(double s) const;
    VectorN operator/(float s) const;
    VectorN operator/(double s) const;

    double MagnitudeQ() const;
    double Magnitude() const;
    // A zero vector stays zero.
    void Normalize();

    // "(v0, v1, ...)" in fixed notation with the given number of decimals.
    std::string ToString(int precision) const;

private:
    std::vector<float> values_;
};

}  // namespace DataTypes
