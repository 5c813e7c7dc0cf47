#pragma once

#include "motion/CircleParameters.h"
#include "motion/PathElementCartesian.h"

#include <memory>
#include <string>

namespace Programs {

// Arc of a circle for the tool centre point; the orientation turns about one fixed axis
// and the external axes move along, all following the profile of the slowest component.
class PathElementCircular : public PathElementCartesian {
public:
    // Component 0 of curves is the arc (mm).
    std::shared_ptr<const CircleParameters> circle;
    double angleStart = 0.0;  // rad, where the (cut) element begins
    double angleEnd = 0.0;    // rad, where the (cut) element ends

    PathElementCircular(int cmdIndex, int nextCmdIndex, std::shared_ptr<const CircleParameters> circle_)
        : PathElementCartesian("Circular", cmdIndex, nextCmdIndex), circle(std::move(circle_)) {}

    // Cuts at most a third of the arc off each end; writes the cut start and end states
    // (position on the circle, orientation, external axes) back into start and end.
    void PrepareGeometry(DataTypes::RobotState& start, float distStart, float distEnd,
                         DataTypes::RobotState& end) override;

    // Estimated duration (ms) of the arc at its own velocity; it also fixes the arc's length.
    float GetDurationArc();

protected:
    DataTypes::Vector3 GetTranslationAt(float f) const override;
    const char* GetLogName() const override { return "PathElementCircular"; }
};

}  // namespace Programs
