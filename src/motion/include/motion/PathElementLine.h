#pragma once

#include "motion/PathElementCartesian.h"

#include <string>

namespace Programs {

// Straight line of the tool centre point; the orientation turns about one fixed axis and
// the external axes move along, all following the profile of the slowest component.
class PathElementLine : public PathElementCartesian {
public:
    // Component 0 of curves is the translation (mm).
    DataTypes::Vector3 dir;

    PathElementLine(int cmdIndex, int nextCmdIndex) : PathElementCartesian("Line", cmdIndex, nextCmdIndex) {}

    // Throws std::runtime_error "tried to normalize zero length vector" when the cut line
    // has no length left (a pure orientation move included).
    void PrepareGeometry(DataTypes::RobotState& start, float distStart, float distEnd,
                         DataTypes::RobotState& end) override;

    // Estimated duration (ms) of the translation at its own velocity; it also fixes the
    // translation's length and direction.
    float GetDurationTranslation();

protected:
    DataTypes::Vector3 GetTranslationAt(float f) const override;
    const char* GetLogName() const override { return "PathElementLine"; }
};

}  // namespace Programs
