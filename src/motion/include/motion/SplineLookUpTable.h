#pragma once

#include "core/BezierCasteljau.h"
#include "core/BezierPolynomial.h"
#include "motion/PathElement.h"

#include <functional>
#include <vector>

namespace Programs {

// Arc-length look-up of the blend elements: rows (parameter, length, time) every 5 ms
// of travel along a Bezier curve, and the per-cycle inverse time -> parameter.
namespace SplineLookUp {

constexpr float kStepMs = 5.0f;
// Where the speed is 0 the parameter moves on by this step without taking time.
constexpr double kParamStep = 0.0001;
// A speed falling toward 0 (a blend into a stop) is held at this share of the larger end
// speed, so the table still reaches the end of the curve.
constexpr double kCrawlShare = 0.001;
// A blend that would need more than half of this many 5 ms rows gets longer rows; the
// full count only guards against a runaway.
constexpr int kMaxRows = 40000;
// A curve shorter than this (mm or degrees) is a point: one row, no time.
constexpr double kMinLength = 1e-6;

// Fills table from u = 0 to the row at u = 1 and returns the total length and time.
// speedAt(u) is the speed along the curve in units per second; each row travels the
// arc length of one 5 ms step (longer only for an extremely slow blend) at the speed
// where the row starts, exactly. The last row
// takes the time of the distance that is left, not a whole step. A speed that is not a
// positive finite number moves on by kParamStep without taking time.
void Build(const DataTypes::BezierPolynomial& curve, const std::function<double(double)>& speedAt,
           std::vector<PathElement::TableElem>& table, double& length, double& durationMs);
void Build(const DataTypes::BezierCasteljau& curve, const std::function<double(double)>& speedAt,
           std::vector<PathElement::TableElem>& table, double& length, double& durationMs);

// Curve parameter at time tMs, in [0, 1], interpolated linearly in the parameter between
// rows. cursor is the row found last time; the search starts there, so a steadily
// advancing time costs O(1) per call.
float ParamAt(const std::vector<PathElement::TableElem>& table, int& cursor, float tMs);

// As above, but interpolated by arc length between rows: the speed is constant within a
// row, whatever |B'(u)| does there. Allocation free.
double ParamAt(const DataTypes::BezierPolynomial& curve, const std::vector<PathElement::TableElem>& table,
               int& cursor, float tMs);

}  // namespace SplineLookUp
}  // namespace Programs
