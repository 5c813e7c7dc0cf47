#pragma once

// Cartesian planner: one path element per motion command (line, arc or joint move) and
// one blend element between each two of them, each with its own velocity profile. The
// planning thread builds and prepares the chain once; the cycle side walks it by time
// and, in Cartesian mode, turns each pose into joints through the kinematic copy.

#include "motion/PathElement.h"
#include "motion/PathGenerator.h"

#include <array>
#include <memory>
#include <vector>

class PathGenerator_02Linear : public PathGenerator {
public:
    // A Cartesian segment whose joints would exceed their velocity limits runs at most at
    // this share of them; one that would need less than the smallest factor is refused.
    static constexpr double kJointSpeedShare = 0.99;
    static constexpr double kMinJointSpeedFactor = 0.001;

    PathGenerator_02Linear(float smoothDistCart, float smoothDistJoint, int lookAhead);
    ~PathGenerator_02Linear() override;

    void ComputePath() override;
    int GetJointPosition(long tUs, float* joints, int* cmdIndex) override;
    void InitVelAcc(float* jointVel, float* jointAcc, float* jointAccInc, double cartVel,
                    double cartAcc, double cartAccInc, double oriVel, double oriAcc,
                    double oriAccInc) override;
    void Init(bool optimize, int slicingMs, bool quiet) override;
    void SetFirstCmd(std::shared_ptr<Command> command, DataTypes::RobotState* state, int index,
                     int successor) override;
    void SetNextCmd(std::shared_ptr<Command> command, int index, int successor) override;

    void DeleteElements();

    float smoothDistCart;
    float smoothDistJoint;
    float jointVel[9] = {};
    float jointAcc[9] = {};
    float jointAccInc[9] = {};
    float cartVel = 0.0f, cartAcc = 0.0f, cartAccInc = 0.0f;
    float oriVel = 0.0f, oriAcc = 0.0f, oriAccInc = 0.0f;
    // The chain in execution order: commands at even positions, blends between them.
    // Read by the cycle side while the path is available; replaced whole on publish.
    std::vector<std::unique_ptr<Programs::PathElement>> elements;
    int elementCount = 0;
    int currentElement = 0;
    float elementStartTime = 0.0f;  // ms
    DataTypes::RobotState startState;
    DataTypes::RobotState workState;
    int mode = 1;  // CommandType of the request: 1 Cartesian, 0 joint
    bool otherKindSeen = false;

private:
    bool JointMode() const { return mode == 0; }
    static void PrepareBlends(std::vector<std::unique_ptr<Programs::PathElement>>& chain, int count,
                              const std::vector<float>& velReached);
    void RestartKinematic();
    // Slows each command element (and those on either side of a blend) whose joints' peak
    // speeds exceed their limits; true when one was slowed. Throws std::runtime_error for
    // a segment that would have to crawl.
    bool LimitJointSpeeds(std::vector<std::unique_ptr<Programs::PathElement>>& chain, int count,
                          const std::vector<std::array<double, 9>>& peaks, std::vector<float>& velReached);
    void TraceChain(const std::vector<std::unique_ptr<Programs::PathElement>>& chain, int count,
                    const std::vector<float>& velReached, const std::vector<float>& endTimes) const;
};
