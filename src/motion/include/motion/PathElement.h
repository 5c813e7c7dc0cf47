#pragma once

#include "core/RobotState.h"
#include "core/Vector3.h"

#include <string>
#include <vector>

namespace Programs {

// Abstract base of every segment of a planned path (line, circle, joint move, blend). The
// planner calls, in this order: SetMotionParameter, SetDebugFlag, Init (or InitSpline for a
// blend), PrepareGeometry, PrepareAcceleration, then GetDuration, GetVel and, every cycle,
// GetPosition with the time in ms since the element began.
class PathElement {
public:
    // One row of a blend's arc-length look-up table.
    struct TableElem {
        float param = 0.0f;   // Bezier parameter 0..1
        float length = 0.0f;  // arc length travelled up to this row
        float time = 0.0f;    // ms from the start of the blend
    };

    bool debug = false;
    std::string name;
    int cmdIndex = 0;
    int nextCmdIndex = 0;
    float vel = 100.0f;
    float velStart = 0.0f;
    float velEnd = 0.0f;
    float jointVel[9] = {};
    float jointAcc[9] = {};
    float jointAccInc[9] = {};
    float cartVel = 100.0f;
    float cartAcc = 1000.0f;
    float cartAccInc = 3000.0f;
    float oriVel = 100.0f;
    float oriAcc = 1000.0f;
    float oriAccInc = 3000.0f;
    float lastStep = 0.0f;   // ms between the last two GetPosition calls
    float lastTime = -1.0f;  // ms of the last GetPosition call
    float lastJointPos[9] = {};
    DataTypes::Vector3 startDir;
    DataTypes::Vector3 endDir;
    std::vector<TableElem> table;
    int tableCursor = 0;

    PathElement(const std::string& elementName, int cmdIndex_, int nextCmdIndex_)
        : name(elementName), cmdIndex(cmdIndex_), nextCmdIndex(nextCmdIndex_) {}
    PathElement(const PathElement&) = default;
    PathElement& operator=(const PathElement&) = default;
    virtual ~PathElement() = default;

    // The last two floats are free for variants that need them.
    virtual void Init(const DataTypes::RobotState& target, float vel, float velStart, float velEnd, float accScale,
                      float, float) = 0;
    virtual void InitSpline(const DataTypes::RobotState& start, const DataTypes::RobotState& mid,
                            const DataTypes::RobotState& end, float, float, float, float, float, float) = 0;
    virtual void PrepareAcceleration() = 0;
    // -1 while the element runs, 0 once it has finished.
    virtual int GetPosition(float tMs, DataTypes::RobotState& out) = 0;
    virtual float GetVel() = 0;
    virtual float GetDuration() = 0;  // ms
    virtual std::string ToString() = 0;
    virtual void SetDebugFlag(bool on) { debug = on; }
    // Cuts distStart off the beginning and distEnd off the end for blending and writes the
    // cut start and end states back into start and end.
    virtual void PrepareGeometry(DataTypes::RobotState& start, float distStart, float distEnd,
                                 DataTypes::RobotState& end) = 0;

    // For the planner's check of a prepared path, on the planning thread:
    // The state at parameter p in [0, 1] of the prepared element (0 where it begins, 1 where
    // it ends), without the per-cycle bookkeeping of GetPosition. Cartesian elements write
    // the pose (A, B, C are left as they are) and the external axes, joint elements the 9
    // joints. The base writes nothing.
    virtual void StateAt(double p, DataTypes::RobotState& out) const;
    // The fastest p advances between pa and pb at the element's prepared speed, per second;
    // 0 for an element whose joints' speed does not follow from a Cartesian speed.
    virtual double ParamRate(double pa, double pb) const;
    // Lowers the element's velocities so that it runs at most factor (0 < factor <= 1) times
    // as fast as prepared; PrepareAcceleration must follow. The base changes nothing.
    virtual void LimitSpeed(float factor);

    void SetMotionParameter(float* jointVel_, float* jointAcc_, float* jointAccInc_, float cartVel_, float cartAcc_,
                            float cartAccInc_, float oriVel_, float oriAcc_, float oriAccInc_);
    void SetLastJointPos(const DataTypes::RobotState& state);
    static float signumLocal(float x) { return x > 0.0f ? 1.0f : (x < 0.0f ? -1.0f : 0.0f); }
};

}  // namespace Programs
