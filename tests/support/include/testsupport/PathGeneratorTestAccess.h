#pragma once

// The one way tests and benches reach into a path generator's request lists and lock.

#include "motion/PathGenerator.h"
#include "kinematics/RobotKinematic.h"

#include <mutex>
#include <vector>

class PathGeneratorTestAccess {
public:
    static std::mutex& Mutex(PathGenerator& g) { return g.mutex; }
    static int CmdCount(const PathGenerator& g) { return g.cmdCount; }
    static const std::vector<std::shared_ptr<Command>>& Cmds(const PathGenerator& g) { return g.cmds; }
    static const std::vector<int>& CmdIndices(const PathGenerator& g) { return g.cmdIndices; }
    static const std::vector<int>& Successors(const PathGenerator& g) { return g.successors; }
    // End times of the planned elements (ms).
    static const std::vector<float>& Times(const PathGenerator& g) { return g.times; }
    static bool Quiet(const PathGenerator& g) { return g.quiet; }
    static const AccHandler& Acc(const PathGenerator& g) { return g.accHandler; }
    // The generator's kinematic copy, to change a stand-in between requests.
    static RobotKinematic& Kinematic(PathGenerator& g) { return *g.kinematic; }
};
