#include "motion/SplineLookUpTable.h"

#include <algorithm>
#include <cmath>

namespace Programs {
namespace SplineLookUp {

void Build(const DataTypes::BezierCasteljau& curve, const std::function<double(double)>& speedAt,
           std::vector<PathElement::TableElem>& table, double& length, double& durationMs) {
    table.clear();
    double u = 0.0;
    double len = 0.0;
    double time = 0.0;
    int rows = 0;
    while (u < 1.0 && rows < kMaxRows) {
        table.push_back({static_cast<float>(u), static_cast<float>(len), static_cast<float>(time)});
        ++rows;
        double d = static_cast<double>(kStepMs) * speedAt(u) / 1000.0;
        if (!(d > 0.0) || !std::isfinite(d)) {
            d = 0.0;
        }
        curve.ProceedCart(&u, d, kParamStep);
        if (d > 0.0) {
            time += kStepMs;
            len += d;
        } else {
            // Without speed the curve would never be left.
            u += kParamStep;
        }
    }
    // Closing row: the end point itself, so the last cycles interpolate up to u = 1.
    table.push_back({1.0f, static_cast<float>(len), static_cast<float>(time)});
    length = len;
    durationMs = time;
}

float ParamAt(const std::vector<PathElement::TableElem>& table, int& cursor, float tMs) {
    const int n = static_cast<int>(table.size());
    if (n == 0) {
        return 0.0f;
    }
    // First row whose time is above tMs (times never decrease), else the last row.
    int k = std::clamp(cursor, 0, n - 1);
    if (table[static_cast<std::size_t>(k)].time > tMs) {
        while (k > 0 && table[static_cast<std::size_t>(k - 1)].time > tMs) {
            --k;
        }
    } else {
        while (k < n && table[static_cast<std::size_t>(k)].time <= tMs) {
            ++k;
        }
        if (k == n) {
            k = n - 1;
        }
    }
    cursor = k;
    if (k == 0) {
        return 0.0f;
    }

    const PathElement::TableElem& a = table[static_cast<std::size_t>(k - 1)];
    const PathElement::TableElem& b = table[static_cast<std::size_t>(k)];
    float u;
    if (b.time > a.time) {
        const float w = (tMs - a.time) / (b.time - a.time);
        u = (1.0f - w) * a.param + w * b.param;
    } else {
        // Rows of equal time (no speed): the later row is where the blend stands.
        u = b.param;
    }
    return std::clamp(u, 0.0f, 1.0f);
}

}  // namespace SplineLookUp
}  // namespace Programs
