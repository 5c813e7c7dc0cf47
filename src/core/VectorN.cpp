#include "core/VectorN.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace DataTypes {

namespace {

void RequireSameSizeForAdd(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size()) {
        throw std::invalid_argument("tried to add VectorN with different sizes");
    }
}

void RequireSameSizeForSubtract(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size()) {
        throw std::invalid_argument("tried to subtract VectorN with different sizes");
    }
}

}  // namespace

VectorN::VectorN(int n) : values_(static_cast<std::size_t>(n), 0.0f) {}

VectorN::VectorN(int n, const float* values) : values_(values, values + n) {}

VectorN::VectorN(const std::vector<float>& values) : values_(values) {}

float& VectorN::operator[](unsigned i) {
    if (i >= values_.size()) {
        throw std::out_of_range("vector component out of range");
    }
    return values_[i];
}

float VectorN::operator[](unsigned i) const {
    if (i >= values_.size()) {
        throw std::out_of_range("vector component out of range");
    }
    return values_[i];
}

VectorN VectorN::operator+(const VectorN& o) const {
    VectorN result(*this);
    result += o;
    return result;
}

VectorN VectorN::operator-(const VectorN& o) const {
    VectorN result(*this);
    result -= o;
    return result;
}

VectorN& VectorN::operator+=(const VectorN& o) {
    RequireSameSizeForAdd(values_, o.values_);
    for (std::size_t i = 0; i < values_.size(); ++i) {
        values_[i] += o.values_[i];
    }
    return *this;
}

VectorN& VectorN::operator-=(const VectorN& o) {
    RequireSameSizeForSubtract(values_, o.values_);
    for (std::size_t i = 0; i < values_.size(); ++i) {
        values_[i] -= o.values_[i];
    }
    return *this;
}

VectorN VectorN::operator-() const {
    VectorN result(*this);
    for (float& v : result.values_) {
        v = -v;
    }
    return result;
}

VectorN VectorN::operator*(float s) const {
    VectorN result(*this);
    for (float& v : result.values_) {
        v *= s;
    }
    return result;
}

VectorN VectorN::operator*(double s) const {
    VectorN result(*this);
    for (float& v : result.values_) {
        v = static_cast<float>(v * s);
    }
    return result;
}

VectorN VectorN::operator/(float s) const {
    VectorN result(*this);
    for (float& v : result.values_) {
        v /= s;
    }
    return result;
}

VectorN VectorN::operator/(double s) const {
    VectorN result(*this);
    for (float& v : result.values_) {
        v = static_cast<float>(v / s);
    }
    return result;
}

double VectorN::MagnitudeQ() const {
    double sum = 0.0;
    for (float v : values_) {
        sum += static_cast<double>(v) * static_cast<double>(v);
    }
    return sum;
}

double VectorN::Magnitude() const { return std::sqrt(MagnitudeQ()); }

void VectorN::Normalize() {
    const double mag = Magnitude();
    if (mag == 0.0) {
        return;
    }
    for (float& v : values_) {
        v = static_cast<float>(v / mag);
    }
}

std::string VectorN::ToString(int precision) const {
    std::string text = "(";
    for (std::size_t i = 0; i < values_.size(); ++i) {
        if (i > 0) {
            text += ", ";
        }
        const double v = static_cast<double>(values_[i]);
        const int needed = std::snprintf(nullptr, 0, "%.*f", precision, v);
        if (needed > 0) {
            std::string number(static_cast<std::size_t>(needed) + 1, '\0');
            std::snprintf(&number[0], number.size(), "%.*f", precision, v);
            number.resize(static_cast<std::size_t>(needed));
            text += number;
        }
    }
    text += ")";
    return text;
}

}  // namespace DataTypes
