#pragma once

// Joint-space planner: lets each motion command interpolate itself in fixed slices,
// turns every slice into joints through the generator's kinematic copy and keeps the
// result as a list of samples. With optimisation it smooths the corners between commands
// and re-times the samples so that a1..a3 keep their acceleration limits. The cycle side
// interpolates linearly between samples, by index arithmetic only.

#include "motion/PathGenerator.h"

#include <functional>
#include <string>
#include <vector>

// One time sample of a joint-space path.
class JointSet {
public:
    JointSet() = default;
    explicit JointSet(int joints);
    // nJoints is always 9; the int and the two longs are not used.
    JointSet(int joints, const float* jointValues, long, long, int cmdIndexValue,
             int successorValue, const float* accLimitValues);
    JointSet(const JointSet&) = default;
    JointSet& operator=(const JointSet&) = default;
    virtual ~JointSet() = default;

    int nJoints = 9;
    float joints[9] = {};
    float vel[9] = {};       // against the previous sample, units/s (a1..a3)
    float acc[9] = {};       // against the previous sample, units/s^2 (a1..a3)
    float accLimit[9] = {};  // acceleration limit per joint for this sample
    int cmdIndex = -1;
    int successor = -1;
};

class PathGenerator_01Joint : public PathGenerator {
public:
    // Most samples one command may produce; a command that needs more fails the request.
    static constexpr int kMaxJointSamples = 10001;
    static constexpr int kMaxCartesianSamples = 5001;
    // Most re-timing steps of one optimisation pass.
    static constexpr int kMaxLimitSteps = 5000;

    explicit PathGenerator_01Joint(int lookAhead);
    ~PathGenerator_01Joint() override;

    void ComputePath() override;
    int GetJointPosition(long tUs, float* joints, int* cmdIndex) override;
    void InitVelAcc(float* jointVel, float* jointAcc, float* jointAccInc, double cartVel,
                    double cartAcc, double cartAccInc, double oriVel, double oriAcc,
                    double oriAccInc) override;
    void Init(bool optimize, int slicingMs, bool quiet) override;
    void SetFirstCmd(std::shared_ptr<Command> command, DataTypes::RobotState* state, int index,
                     int successor) override;

    // The sample at tUs, interpolated linearly between whole slices; the last sample
    // from the end on. samples must not be empty.
    JointSet GetJointsAt(long tUs, const std::vector<JointSet>& samples) const;
    // vel and acc of cur against prev, for a1..a3; the other entries 0.
    void ComputeAcceleration(JointSet& cur, const JointSet& prev) const;
    void SmoothCorner();
    void LimitForward();
    void LimitBackward();
    void Turn();
    // Diagnostics: throws std::runtime_error when two samples jump more than 2.0.
    void CheckPath(const std::vector<JointSet>& samples);
    void PrintPath(const std::vector<JointSet>& samples);
    // Tenths of ms since start (real-time clock).
    static long GetDiffTime(const struct timespec& start);

    // The samples the cycle side serves; replaced whole when a plan is published.
    const std::vector<JointSet>& ServedSamples() const { return servedSamples; }

    bool sampleTrace = false;
    DataTypes::RobotState startState;
    std::vector<int> cornerSamples;
    std::vector<float> cornerSmooth;
    long sliceUs = 50000;
    long minSlicingMs = 5;
    long maxSlicingMs = 100;
    long pathTimeUs = 0;
    // Working lists of the planning thread.
    std::vector<JointSet> rawSamples;
    std::vector<JointSet> fwdSamples;
    std::vector<JointSet> bwdSamples;
    std::vector<JointSet> optSamples;

private:
    // Samples every command; returns false when the request failed and must not be
    // published.
    bool SampleCommands();
    // Re-timing step shared by both passes: limits speeding up of a1..a3 on cand against
    // prev; returns the scale (1 when nothing was limited) and sets limited and joint.
    float LimitScale(const JointSet& cand, const JointSet& prev, bool& limited, int& joint) const;
    // One re-timing pass over source into out, from its first sample (forward) or its last
    // (backward); name is the pass in log lines.
    void LimitPass(const std::vector<JointSet>& source, std::vector<JointSet>& out, bool backward,
                   const char* name);
    void ReportComputeError(int stage, const std::exception& e);
    // True when a1..a3 of cand speed up harder than their limit (with a small tolerance).
    bool ExceedsLimit(const JointSet& cand) const;
    // A limited re-timing step: starts from the estimated step length in µs and shortens
    // it until cand, sampled by sampleAt(step), keeps the limit; returns the step.
    long LimitedStep(long estimate, const JointSet& prev, JointSet& cand,
                     const std::function<JointSet(long)>& sampleAt) const;

    static constexpr float kLimitTolerance = 1.001f;
    static constexpr int kStepSearchIterations = 24;

    // Read by the cycle side while the path is available; written only while it is not.
    std::vector<JointSet> servedSamples;
};
