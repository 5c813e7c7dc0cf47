#pragma once

#include "core/BezierCasteljau.h"
#include "motion/PathElement.h"

#include <functional>
#include <vector>

namespace Programs {

// Arc-length look-up of the blend elements: rows (parameter, length, time) every 5 ms
// of travel along a Bezier curve, and the per-cycle inverse time -> parameter.
namespace SplineLookUp {

constexpr float kStepMs = 5.0f;
constexpr double kParamStep = 0.0001;
// Every row advances the parameter by at least half a parameter step, so a table has at
// most about 2 / kParamStep rows; the cap only guards against a runaway.
constexpr int kMaxRows = 40000;

// Fills table from u = 0 to the closing row at u = 1 and returns the total length and
// time. speedAt(u) is the speed along the curve in units per second; a speed that is not
// a positive finite number moves on by the parameter step without taking time.
void Build(const DataTypes::BezierCasteljau& curve, const std::function<double(double)>& speedAt,
           std::vector<PathElement::TableElem>& table, double& length, double& durationMs);

// Curve parameter at time tMs, in [0, 1]. cursor is the row found last time; the search
// starts there, so a steadily advancing time costs O(1) per call.
float ParamAt(const std::vector<PathElement::TableElem>& table, int& cursor, float tMs);

}  // namespace SplineLookUp
}  // namespace Programs
