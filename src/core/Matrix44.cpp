#include "core/Matrix44.h"

#include "core/VectorN.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace DataTypes {

namespace {

constexpr double kHalfPi = 1.5707963267948966;
constexpr float kSolveTolerance = 0.0001f;

}  // namespace

void Matrix44::Transpose() {
    for (int r = 0; r < 4; ++r) {
        for (int c = r + 1; c < 4; ++c) {
            std::swap(m[r * 4 + c], m[c * 4 + r]);
        }
    }
}

bool Matrix44::Equals(const Matrix44& o, float tol) const {
    for (int i = 0; i < 16; ++i) {
        if (!std::isfinite(m[i]) || !std::isfinite(o.m[i])) {
            return false;
        }
        if (std::fabs(m[i] - o.m[i]) > tol) {
            return false;
        }
    }
    return true;
}

std::string Matrix44::ToString() const {
    std::string text;
    char number[64];  // the widest float in %.3f needs 45 characters
    for (int r = 0; r < 4; ++r) {
        text += "(";
        for (int c = 0; c < 4; ++c) {
            std::snprintf(number, sizeof(number), " %.3f", static_cast<double>(m[r * 4 + c]));
            text += number;
        }
        text += " )\n";
    }
    return text;
}

VectorN Matrix44::operator*(const VectorN& v) const {
    if (v.size() != 4) {
        throw std::length_error("Matrix44: multiplication with VectorN of this length is not implemented");
    }
    VectorN result(4);
    for (unsigned i = 0; i < 4; ++i) {
        result[i] = m[4 * i] * v[0] + m[4 * i + 1] * v[1] + m[4 * i + 2] * v[2] + m[4 * i + 3] * v[3];
    }
    return result;
}

void Matrix44::SetRotationRad(Axis a, double rad) {
    const float c = static_cast<float>(std::cos(rad));
    const float s = static_cast<float>(std::sin(rad));
    float r[9];
    switch (a) {
        case X: {
            const float rx[9] = {1, 0, 0, 0, c, -s, 0, s, c};
            std::copy(rx, rx + 9, r);
            break;
        }
        case Y: {
            const float ry[9] = {c, 0, s, 0, 1, 0, -s, 0, c};
            std::copy(ry, ry + 9, r);
            break;
        }
        case Z: {
            const float rz[9] = {c, -s, 0, s, c, 0, 0, 0, 1};
            std::copy(rz, rz + 9, r);
            break;
        }
        default:
            return;
    }
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col) {
            m[row * 4 + col] = r[row * 3 + col];
        }
    }
}

void Matrix44::SetRotationDeg(Axis a, double deg) { SetRotationRad(a, deg * 3.141592 / 180.0); }

void Matrix44::SetRotationABCDeg(double A, double B, double C) {
    Matrix44 p;
    Matrix44 q;
    p.SetRotationDeg(Z, A);
    q.SetRotationDeg(Y, B);
    p = p * q;  // Ry(B)·Rz(A)
    q.SetRotationDeg(X, C);
    p = p * q;  // Rx(C)·Ry(B)·Rz(A)
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col) {
            m[row * 4 + col] = p.m[row * 4 + col];
        }
    }
}

void Matrix44::SetRotationABCDeg2(double A, double B, double C) {
    const double k = 0.017453292519943295;
    const double sA = std::sin(A * k), cA = std::cos(A * k);
    const double sB = std::sin(B * k), cB = std::cos(B * k);
    const double sC = std::sin(C * k), cC = std::cos(C * k);

    m[0] = static_cast<float>(cA * cB);
    m[1] = static_cast<float>(cA * sB * sC - sA * cC);
    m[2] = static_cast<float>(cA * sB * cC + sA * sC);
    m[4] = static_cast<float>(sA * cB);
    m[5] = static_cast<float>(sA * sB * sC + cA * cC);
    m[6] = static_cast<float>(sA * sB * cC - cA * sC);
    m[8] = static_cast<float>(-sB);
    m[9] = static_cast<float>(cB * sC);
    m[10] = static_cast<float>(cB * cC);
}

void Matrix44::GetABCDeg(float* A, float* B, float* C) const {
    const float sq = m[0] * m[0] + m[4] * m[4];
    const float b = static_cast<float>(std::atan2(-static_cast<double>(m[8]), std::sqrt(static_cast<double>(sq))));
    float a;
    float c;
    if (std::fabs(static_cast<double>(b) - kHalfPi) < 0.001) {
        // Gimbal lock: only A - C is defined, so A is folded into C.
        a = 0.0f;
        c = static_cast<float>(std::atan2(static_cast<double>(m[1]), static_cast<double>(m[5])));
    } else if (std::fabs(static_cast<double>(b) + kHalfPi) < 0.001) {
        a = 0.0f;
        c = static_cast<float>(-std::atan2(static_cast<double>(m[1]), static_cast<double>(m[5])));
    } else {
        const float cB = std::cos(b);
        a = static_cast<float>(std::atan2(static_cast<double>(m[4] / cB), static_cast<double>(m[0] / cB)));
        c = static_cast<float>(std::atan2(static_cast<double>(m[9] / cB), static_cast<double>(m[10] / cB)));
    }
    *A = a * rad2deg;
    *B = b * rad2deg;
    *C = c * rad2deg;
}

void Matrix44::GetAxisAngle(Vector3* axis, float* deg) const {
    Vector3 v(m[9] - m[6], m[2] - m[8], m[4] - m[1]);
    const float c = std::clamp((Trace3x3() - 1.0f) * 0.5f, -1.0f, 1.0f);
    const float s = std::min(std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z) * 0.5f, 1.0f);
    const float t = std::atan2(s, c);

    if (s > 1e-6f) {
        v = v * ((t * 0.5f) / s);
    } else if (c > 0.0f) {
        v = v * 0.5f;
    } else {
        // Near 180 degrees the antisymmetric part vanishes; the axis comes from the
        // diagonal, which fixes only magnitudes. The symmetric part is (1 - c)·n·nᵀ, so
        // the sign of n_i·n_j is that of m(i,j) + m(j,i), taken against the largest one.
        const float k = 1.0f / (1.0f - c);
        const float d[3] = {m[0], m[5], m[10]};
        float comp[3];
        for (int i = 0; i < 3; ++i) {
            comp[i] = std::sqrt(std::max(0.0f, (d[i] - c) * k)) * t;
        }
        int big = 0;
        for (int i = 1; i < 3; ++i) {
            if (comp[i] > comp[big]) {
                big = i;
            }
        }
        for (int i = 0; i < 3; ++i) {
            if (i != big && m[i * 4 + big] + m[big * 4 + i] < 0.0f) {
                comp[i] = -comp[i];
            }
        }
        v = Vector3(comp[0], comp[1], comp[2]);
    }

    float angle = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    if (std::fabs(angle) > 1e-6f) {
        v = v / angle;
    }
    angle *= rad2deg;
    *axis = v;
    *deg = angle;
}

void Matrix44::RotateAxisAngle(Vector3 axis, float deg) {
    if (std::fabs(deg) < 0.0001f) {
        return;
    }
    if (std::fabs(static_cast<double>(axis.MagnitudeQ()) - 1.0) > 0.0001) {
        throw std::runtime_error("axis vector is not normalized");
    }
    axis.Normalize();
    const float c = std::cos(deg * 0.017453292f);
    const float s = std::sin(deg * 0.017453292f);

    Vector3 cols[3];
    for (int i = 0; i < 3; ++i) {
        const Vector3 u = GetColumnVector(i);
        cols[i] = u * c + Vector3::Cross(axis, u) * s + axis * ((1.0f - c) * Vector3::Dot(axis, u));
    }
    for (int i = 0; i < 3; ++i) {
        SetColumnVector(i, cols[i]);
    }
}

Matrix44 Matrix44::Inverse() const {
    // Gauss-Jordan elimination with full pivoting, in place on a copy.
    float r[4][4];
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            r[i][j] = m[i * 4 + j];
        }
    }
    int row[4];
    int col[4];
    float det = 1.0f;

    for (int k = 0; k < 4; ++k) {
        float pivot = r[k][k];
        row[k] = k;
        col[k] = k;
        for (int i = k; i < 4; ++i) {
            for (int j = k; j < 4; ++j) {
                if (std::fabs(r[i][j]) > std::fabs(pivot)) {
                    row[k] = i;
                    col[k] = j;
                    pivot = r[i][j];
                }
            }
        }

        det *= pivot;
        if (std::fabs(det) < 1e-10) {
            throw std::runtime_error("Matrix inversion: determinant is zero");
        }

        if (row[k] != k) {
            for (int j = 0; j < 4; ++j) {
                const float tmp = r[k][j];
                r[k][j] = r[row[k]][j];
                r[row[k]][j] = -tmp;
            }
        }
        if (col[k] != k) {
            for (int i = 0; i < 4; ++i) {
                const float tmp = r[i][k];
                r[i][k] = r[i][col[k]];
                r[i][col[k]] = -tmp;
            }
        }

        for (int i = 0; i < 4; ++i) {
            if (i != k) {
                r[i][k] = -r[i][k] / pivot;
            }
        }
        for (int i = 0; i < 4; ++i) {
            if (i == k) continue;
            for (int j = 0; j < 4; ++j) {
                if (j != k) {
                    r[i][j] = r[i][j] + r[k][j] * r[i][k];
                }
            }
        }
        for (int j = 0; j < 4; ++j) {
            if (j != k) {
                r[k][j] = r[k][j] / pivot;
            }
        }
        r[k][k] = 1.0f / pivot;
    }

    for (int k = 2; k >= 0; --k) {
        if (col[k] != k) {
            for (int j = 0; j < 4; ++j) {
                const float tmp = r[k][j];
                r[k][j] = -r[col[k]][j];
                r[col[k]][j] = tmp;
            }
        }
        if (row[k] != k) {
            for (int i = 0; i < 4; ++i) {
                const float tmp = r[i][k];
                r[i][k] = -r[i][row[k]];
                r[i][row[k]] = tmp;
            }
        }
    }

    Matrix44 result;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            result.m[i * 4 + j] = r[i][j];
        }
    }
    return result;
}

void Matrix44::Normalize() {
    Vector3 cols[3];
    for (int i = 0; i < 3; ++i) {
        cols[i] = GetColumnVector(i);
        const float mag = cols[i].Magnitude();
        if (!(mag > 0.0001f)) {
            throw std::runtime_error("Tried to normalize matrix with zero column");
        }
        cols[i] = cols[i] / mag;
    }
    for (int i = 0; i < 3; ++i) {
        SetColumnVector(i, cols[i]);
    }
}

namespace {

// One unknown only: every row with a usable coefficient must give the same value.
// Returns 1 on agreement, 0 when no row qualified, -1 on disagreement.
int SolveSingleUnknown(const float w[3][3], int coefColumn, float& value) {
    bool found = false;
    for (int i = 0; i < 3; ++i) {
        if (std::fabs(w[i][coefColumn]) > kSolveTolerance) {
            const float r = w[i][2] / w[i][coefColumn];
            if (found && std::fabs(r - value) > kSolveTolerance) {
                return -1;
            }
            value = r;
            found = true;
        }
    }
    return found ? 1 : 0;
}

}  // namespace

bool Matrix44::SolveLinear2(Vector3& out) const {
    float w[3][3];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            w[i][j] = m[i * 4 + j];
        }
    }
    const auto fail = [&out]() {
        out = Vector3(0.0f, 0.0f, 0.0f);
        return false;
    };

    if (GetColumnVector(0).MagnitudeQ() < kSolveTolerance) {
        float y = 0.0f;
        const int state = SolveSingleUnknown(w, 1, y);
        if (state < 0) return fail();
        if (state > 0) {
            out = Vector3(0.0f, y, 0.0f);
            return true;
        }
    }
    if (GetColumnVector(1).MagnitudeQ() < kSolveTolerance) {
        float x = 0.0f;
        const int state = SolveSingleUnknown(w, 0, x);
        if (state < 0) return fail();
        if (state > 0) {
            out = Vector3(x, 0.0f, 0.0f);
            return true;
        }
    }

    int first = -1;
    for (int i = 0; i < 3; ++i) {
        if (std::fabs(w[i][0]) > kSolveTolerance) {
            w[i][1] /= w[i][0];
            w[i][2] /= w[i][0];
            w[i][0] = 1.0f;
            if (first < 0) {
                first = i;
            }
        }
        if (first >= 0 && first != i && w[i][0] > 0.5f) {
            w[i][0] = 0.0f;
            w[i][1] -= w[first][1];
            w[i][2] -= w[first][2];
        }
    }
    if (first < 0) {
        return fail();
    }

    float y = 0.0f;
    for (int r = 0; r < 3; ++r) {
        if (r != first && std::fabs(w[r][1]) > kSolveTolerance) {
            y = w[r][2] / w[r][1];
            break;
        }
    }
    const float x = w[first][2] - w[first][1] * y;
    out = Vector3(x, y, 0.0f);
    return true;
}

}  // namespace DataTypes
