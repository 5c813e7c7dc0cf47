#include "motion/SplineLookUpTable.h"

#include <algorithm>
#include <cmath>

namespace Programs {
namespace SplineLookUp {

namespace {

bool Positive(double v) { return v > 0.0 && std::isfinite(v); }

// Row k: the first row whose time is above tMs (times never decrease), else the last row.
int FindRow(const std::vector<PathElement::TableElem>& table, int cursor, float tMs) {
    const int n = static_cast<int>(table.size());
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
    return k;
}

// Rough duration of the blend (midpoint rule over 64 parameter intervals), to size its rows.
double EstimateDurationMs(const DataTypes::BezierPolynomial& curve, const std::function<double(double)>& speedAt,
                          double crawlSpeed) {
    constexpr int kIntervals = 64;
    double ms = 0.0;
    for (int i = 0; i < kIntervals; ++i) {
        const double u = (i + 0.5) / kIntervals;
        const double speed = speedAt(u);
        if (Positive(speed)) {
            ms += curve.Speed(u) / kIntervals / std::max(speed, crawlSpeed) * 1000.0;
        }
    }
    return ms;
}

}  // namespace

void Build(const DataTypes::BezierPolynomial& curve, const std::function<double(double)>& speedAt,
           std::vector<PathElement::TableElem>& table, double& length, double& durationMs) {
    table.clear();
    const double total = curve.ArcLength(0.0, 1.0);
    if (!(total > kMinLength)) {
        // Nothing to travel (a corner that is not blended): the blend is its start point.
        table.push_back({0.0f, 0.0f, 0.0f});
        length = 0.0;
        durationMs = 0.0;
        return;
    }
    const double endSpeeds = std::max(speedAt(0.0), speedAt(1.0));
    const double crawlSpeed = Positive(endSpeeds) ? endSpeeds * kCrawlShare : 0.0;
    // Rows every 5 ms; only a blend so slow that it would need more than half of kMaxRows
    // gets longer rows (the speed of each row still holds exactly within it).
    const double step = std::max(static_cast<double>(kStepMs),
                                 EstimateDurationMs(curve, speedAt, crawlSpeed) / (kMaxRows / 2));
    const double crawl = step * crawlSpeed / 1000.0;

    double u = 0.0;
    double len = 0.0;
    double time = 0.0;
    for (int rows = 0; rows < kMaxRows; ++rows) {
        table.push_back({static_cast<float>(u), static_cast<float>(len), static_cast<float>(time)});
        if (u >= 1.0) {
            break;
        }
        const double speed = speedAt(u);
        if (!Positive(speed)) {
            // No speed here: move on without taking time, or the curve is never left.
            const double next = std::min(1.0, u + kParamStep);
            len += curve.ArcLength(u, next);
            u = next;
            continue;
        }
        const double d = std::max(step * speed / 1000.0, crawl);
        const double remaining = total - len;
        if (d >= remaining - 1e-9 * total) {
            // The last, partial step: the time of the distance actually left.
            time += step * std::max(remaining, 0.0) / d;
            len = total;
            u = 1.0;
            continue;
        }
        u = curve.Advance(u, d, 1.0);
        len += d;
        time += step;
    }
    if (table.back().param < 1.0f) {
        // Runaway guard only; end on the end point rather than short of it.
        table.push_back({1.0f, static_cast<float>(total), static_cast<float>(time)});
    }
    length = total;
    durationMs = time;
}

void Build(const DataTypes::BezierCasteljau& curve, const std::function<double(double)>& speedAt,
           std::vector<PathElement::TableElem>& table, double& length, double& durationMs) {
    Build(DataTypes::BezierPolynomial(curve), speedAt, table, length, durationMs);
}

float ParamAt(const std::vector<PathElement::TableElem>& table, int& cursor, float tMs) {
    if (table.empty()) {
        return 0.0f;
    }
    const int k = FindRow(table, cursor, tMs);
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

double ParamAt(const DataTypes::BezierPolynomial& curve, const std::vector<PathElement::TableElem>& table,
               int& cursor, float tMs) {
    if (table.empty()) {
        return 0.0;
    }
    const int k = FindRow(table, cursor, tMs);
    cursor = k;
    if (k == 0) {
        return 0.0;
    }
    const PathElement::TableElem& a = table[static_cast<std::size_t>(k - 1)];
    const PathElement::TableElem& b = table[static_cast<std::size_t>(k)];
    if (!(b.time > a.time) || tMs >= b.time) {
        // Rows of equal time (no speed), or past the last row: where the later row stands.
        return static_cast<double>(b.param);
    }
    const double w = std::max(0.0, static_cast<double>(tMs - a.time) / static_cast<double>(b.time - a.time));
    const double distance = w * (static_cast<double>(b.length) - static_cast<double>(a.length));
    return std::clamp(curve.Advance(a.param, distance, b.param), 0.0, 1.0);
}

}  // namespace SplineLookUp
}  // namespace Programs
