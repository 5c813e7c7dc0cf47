#include "motion/PathGenerator_02Linear.h"

#include "core/LogSingleton.h"
#include "kinematics/RobotKinematic.h"
#include "motion/CircleParameters.h"
#include "motion/PathElementCircular.h"
#include "motion/PathElementJointSet.h"
#include "motion/PathElementLine.h"
#include "motion/PathElementSpline.h"
#include "motion/PathElementSpline6.h"
#include "motion/PathLimitCheck.h"

#include <cmath>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>

using Programs::PathElement;

namespace {

std::string Fixed1(float value) {
    char text[48];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(value));
    return text;
}

std::string JointLine(const char* label, const float* values) {
    std::string line = label;
    for (int j = 0; j < 9; ++j) line += " " + Fixed1(values[j]);
    return line;
}

std::string LimitLine(const char* label, float v, float a, float j) {
    return std::string(label) + " Vel: " + Fixed1(v) + "  Acc: " + Fixed1(a) + "  AccInc: " + Fixed1(j);
}

// A command's target and motion values, as its GetTargetPosition returned them.
struct CommandTarget {
    DataTypes::RobotState state;
    float velCart = 0.0f;
    float velJointPercent = 0.0f;
    float accPercent = 0.0f;
    float smoothPercent = 0.0f;
    std::shared_ptr<const CircleParameters> circle;  // circular commands only
};

// A corner where the path turns back by this much or more is not blended: the blend
// curve would hold a cusp, driven at full speed. The moves stop at the corner instead.
constexpr double kReversalDeg = 179.0;

// Unit direction of travel where a command's move begins (atEnd false) or ends; zero for
// a line too short to have one.
DataTypes::Vector3 TravelDirection(const CommandTarget& target, const DataTypes::RobotState& from, bool atEnd) {
    if (target.circle) {
        return target.circle->CalculateDirection(atEnd ? target.circle->angle : 0.0);
    }
    const DataTypes::Vector3 d = target.state.pose.GetTranslation() - from.pose.GetTranslation();
    return d.Magnitude() > 0.0001f ? d.Normalized() : DataTypes::Vector3(0.0f, 0.0f, 0.0f);
}

bool TurnsBack(const DataTypes::Vector3& in, const DataTypes::Vector3& out) {
    const double dot = static_cast<double>(in.x) * out.x + static_cast<double>(in.y) * out.y +
                       static_cast<double>(in.z) * out.z;
    const double norms = static_cast<double>(in.Magnitude()) * static_cast<double>(out.Magnitude());
    return norms > 0.0 && dot / norms <= std::cos(kReversalDeg * 3.14159265358979323846 / 180.0);
}

}  // namespace

PathGenerator_02Linear::PathGenerator_02Linear(float smoothDistCartValue, float smoothDistJointValue,
                                               int lookAheadValue)
    : PathGenerator(lookAheadValue),
      smoothDistCart(smoothDistCartValue),
      smoothDistJoint(smoothDistJointValue),
      elements(2 * (lookAhead + 1)) {}

PathGenerator_02Linear::~PathGenerator_02Linear() {
    // No planning thread may still build on the members below.
    StopThreads();
    DeleteElements();
}

void PathGenerator_02Linear::DeleteElements() {
    for (auto& element : elements) element.reset();
    elementCount = 0;
}

void PathGenerator_02Linear::Init(bool optimizeValue, int /*slicingMs*/, bool quietValue) {
    optimize.store(optimizeValue);
    quiet = quietValue;
    if (!quiet) {
        LogSingleton::instance()->addFormat("PGLinear: Optimize: %d LookAhead: %d", optimizeValue ? 1 : 0,
                                            lookAhead);
    }
}

void PathGenerator_02Linear::InitVelAcc(float* jointVelValues, float* jointAccValues, float* jointAccIncValues,
                                        double cartVelValue, double cartAccValue, double cartAccIncValue,
                                        double oriVelValue, double oriAccValue, double oriAccIncValue) {
    for (int j = 0; j < 9; ++j) {
        jointVel[j] = jointVelValues[j];
        jointAcc[j] = jointAccValues[j];
        jointAccInc[j] = jointAccIncValues[j];
    }
    cartVel = static_cast<float>(cartVelValue);
    cartAcc = static_cast<float>(cartAccValue);
    cartAccInc = static_cast<float>(cartAccIncValue);
    oriVel = static_cast<float>(oriVelValue);
    oriAcc = static_cast<float>(oriAccValue);
    oriAccInc = static_cast<float>(oriAccIncValue);
    if (quiet) return;
    LogSingleton* log = LogSingleton::instance();
    log->add("");
    log->add("PGLinear - Motion Base Parameter");
    log->add(JointLine("JointVel:   ", jointVel));
    log->add(JointLine("JointAcc:   ", jointAcc));
    log->add(JointLine("JointAccInc:", jointAccInc));
    log->add(LimitLine("Cart - ", cartVel, cartAcc, cartAccInc));
    log->add(LimitLine("Ori  - ", oriVel, oriAcc, oriAccInc));
    log->add("");
}

void PathGenerator_02Linear::SetFirstCmd(std::shared_ptr<Command> command, DataTypes::RobotState* state,
                                         int index, int successor) {
    LockPreempting(kPreemptRetryUs);
    std::unique_lock<std::mutex> lock(mutex, std::adopt_lock);
    SetPathUnavailable();
    otherKindSeen = false;
    const int type = command ? Access().GetCommandType(*command) : mode;
    BeginRequest(std::move(command), index, successor);
    DeleteElements();
    currentElement = 0;
    elementStartTime = 0.0f;
    startState = *state;
    Kinematic().SetJoints(startState.jointSet, false);
    mode = type;
    if (debug) LogSingleton::instance()->addFormat("PGLinear::FirstCmd set: %d", mode);
}

void PathGenerator_02Linear::SetNextCmd(std::shared_ptr<Command> command, int index, int successor) {
    const int type = command ? Access().GetCommandType(*command) : mode;
    if (type != mode) otherKindSeen = true;
    if (otherKindSeen) return;
    if (cmdCount >= lookAhead) {
        LogSingleton::instance()->add("PGLinear::Could not set Position, look-ahead is limited");
        return;
    }
    cmds[cmdCount] = std::move(command);
    cmdIndices[cmdCount] = index;
    successors[cmdCount] = successor;
    ++cmdCount;
    if (debug) LogSingleton::instance()->addFormat("PGLinear::NextCmd set: %d", type);
}

void PathGenerator_02Linear::ComputePath() {
    LogSingleton* log = LogSingleton::instance();
    if (debug) {
        log->addFormat("PGLinear::ComputePathCart() - starting with %d setPoints, %d elements", cmdCount,
                       elementCount);
    }
    const PathCommandAccess& access = Access();
    const bool jointMode = JointMode();
    DataTypes::RobotState S = startState;
    DataTypes::RobotState B = startState;
    DataTypes::RobotState prevTarget = startState;
    DataTypes::RobotState blendStart;
    DataTypes::RobotState corner;
    DataTypes::RobotState blendEnd;
    DeleteElements();
    float blend = 0.0f;
    float prevBlend = 0.0f;
    float velPrev = 0.0f;

    if (cmdCount > static_cast<int>(cmds.size())) {
        log->addFormat("PathGen Error in ComputePath(): nrOfSetPoints > setPoints.size(): %d > %d", cmdCount,
                       static_cast<int>(cmds.size()));
        return;
    }

    // Targets first: whether a corner is blended depends on the directions on both of its
    // sides, and the move before it is cut before the move after it is made.
    std::vector<CommandTarget> targets(static_cast<std::size_t>(cmdCount));
    for (int i = 0; i < cmdCount && !cancelRequested.load(); ++i) {
        if (!cmds[i]) throw std::invalid_argument("PathGen: command missing");
        Command& command = *cmds[i];
        CommandTarget& t = targets[static_cast<std::size_t>(i)];
        DataTypes::RobotState current = prevTarget;
        t.state = prevTarget;
        access.GetTargetPosition(command, &current, &t.state, t.velCart, t.velJointPercent, t.accPercent,
                                 t.smoothPercent);
        if (!jointMode && access.GetClassName(command) == "CommandCircular") {
            // A copy: the command computes its circle anew for each request it is in.
            const CircleParameters* circle = access.GetCircle(command);
            if (circle == nullptr) throw std::runtime_error("PGLinear: circular command without circle");
            t.circle = std::make_shared<const CircleParameters>(*circle);
        }
        if (jointMode) {
            // A joint target past a soft limit is refused before anything is served.
            const int code = Kinematic().JointTargetError(t.state.jointSet, prevTarget.jointSet);
            if (code != 0) {
                RefuseTarget(code);
                return;
            }
        }
        prevTarget = t.state;
    }
    if (cancelRequested.load()) return;
    // stopAt[i]: the path turns back at the end of command i.
    std::vector<bool> stopAt(static_cast<std::size_t>(cmdCount), false);
    for (int i = 0; !jointMode && i + 1 < cmdCount; ++i) {
        const DataTypes::RobotState& from = i == 0 ? startState : targets[static_cast<std::size_t>(i - 1)].state;
        const CommandTarget& here = targets[static_cast<std::size_t>(i)];
        stopAt[static_cast<std::size_t>(i)] = TurnsBack(TravelDirection(here, from, true),
                                                        TravelDirection(targets[static_cast<std::size_t>(i + 1)],
                                                                        here.state, false));
    }

    // The chain is built aside and handed to the cycle side whole once it is prepared.
    std::vector<std::unique_ptr<PathElement>> chain(elements.size());
    int count = 0;
    PathElement* prevElement = nullptr;
    for (int i = 0; i < cmdCount && !cancelRequested.load(); ++i) {
        const CommandTarget& planned = targets[static_cast<std::size_t>(i)];
        const DataTypes::RobotState& target = planned.state;
        const float velCart = planned.velCart;
        const float velJointPercent = planned.velJointPercent;
        const float accPercent = planned.accPercent;
        const float smoothPercent = planned.smoothPercent;

        const float vel = jointMode ? velJointPercent / 100.0f : velCart;
        const float accScale = accPercent / 100.0f;
        prevBlend = blend;
        blend = smoothPercent * (jointMode ? smoothDistJoint : smoothDistCart) / 100.0f;
        // A negative (or NaN) cut would extend both moves past the corner.
        blend = blend > 0.0f ? blend : 0.0f;

        PathElement* blendElement = nullptr;
        Programs::PathElementSpline* cartBlend = nullptr;
        if (i > 0) {
            std::unique_ptr<PathElement> made;
            if (jointMode) {
                made = std::make_unique<Programs::PathElementSpline6>(cmdIndices[i], successors[i]);
            } else {
                auto spline = std::make_unique<Programs::PathElementSpline>(cmdIndices[i], successors[i]);
                cartBlend = spline.get();
                made = std::move(spline);
            }
            made->SetMotionParameter(jointVel, jointAcc, jointAccInc, cartVel, cartAcc, cartAccInc, oriVel, oriAcc,
                                     oriAccInc);
            made->SetDebugFlag(debug);
            blendElement = made.get();
            chain[count++] = std::move(made);
        }

        std::unique_ptr<PathElement> made;
        if (jointMode) {
            made = std::make_unique<Programs::PathElementJointSet>(cmdIndices[i], successors[i]);
        } else if (planned.circle) {
            made = std::make_unique<Programs::PathElementCircular>(cmdIndices[i], successors[i], planned.circle);
        } else {
            made = std::make_unique<Programs::PathElementLine>(cmdIndices[i], successors[i]);
        }
        made->SetMotionParameter(jointVel, jointAcc, jointAccInc, cartVel, cartAcc, cartAccInc, oriVel, oriAcc,
                                 oriAccInc);
        made->SetDebugFlag(debug);
        PathElement* element = made.get();
        chain[count++] = std::move(made);

        // A move starts from rest after a corner where the path turns back (the blend
        // there is a single point) and comes to rest before one.
        const bool first = i == 0 || stopAt[static_cast<std::size_t>(i - 1)];
        const bool last = i == cmdCount - 1;
        const bool stops = last || stopAt[static_cast<std::size_t>(i)];
        const float velStart = first ? 0.0f : vel;
        const float velEnd = stops ? 0.0f : vel;
        element->Init(target, vel, velStart, velEnd, accScale, 0.0f, 0.0f);
        element->PrepareGeometry(S, first ? 0.0f : prevBlend, stops ? 0.0f : blend, B);

        if (blendElement != nullptr) {
            blendEnd = S;
            const bool circular = prevElement->name == "Circular" || element->name == "Circular";
            if (cartBlend != nullptr && circular) {
                // Control points on the neighbours' tangents keep the arc's direction.
                const DataTypes::Vector3 a = blendStart.pose.GetTranslation();
                const DataTypes::Vector3 b = blendEnd.pose.GetTranslation();
                const float d = 0.3f * (b - a).Magnitude();
                corner.pose.SetTranslation(a + prevElement->endDir * d);
                DataTypes::RobotState corner2 = corner;
                corner2.pose.SetTranslation(b - element->startDir * d);
                cartBlend->InitSpline(blendStart, corner, corner2, blendEnd, vel, velPrev, vel, accScale, 0.0f, 0.0f);
            } else {
                blendElement->InitSpline(blendStart, corner, blendEnd, vel, velPrev, vel, accScale, 0.0f, 0.0f);
            }
        }

        velPrev = vel;
        prevElement = element;
        if (!last) {
            blendStart = B;
            corner = target;
            S = target;
        }
    }
    if (cancelRequested.load()) return;

    std::vector<float> velReached(count, 0.0f);
    for (int k = 0; k < count; ++k) {
        // A blend's table is built once, below, when both neighbours' speeds are known;
        // its GetVel needs no table.
        if (k % 2 == 0) chain[k]->PrepareAcceleration();
        velReached[k] = chain[k]->GetVel();
    }
    // Each blend joins the velocities its neighbours actually reach.
    PrepareBlends(chain, count, velReached);

    // Every pose of the path is checked before any of it is served: a joint past a soft
    // limit, a point outside the virtual box or out of reach refuses the request here,
    // with the robot still standing, and not in the cycle that would reach it at speed.
    {
        PathLimitCheck check(Kinematic(), jointMode);
        int code = 0;
        try {
            code = check.Run(chain, count, cancelRequested);
        } catch (...) {
            RestartKinematic();
            throw;
        }
        RestartKinematic();
        if (code < 0) return;
        if (code > 0) {
            RefuseTarget(code);
            return;
        }
        if (LimitJointSpeeds(chain, count, check.PeakJointSpeeds(), velReached)) {
            PrepareBlends(chain, count, velReached);
        }
    }
    std::vector<float> endTimes(times.size(), 0.0f);
    float t = 0.0f;
    for (int k = 0; k < count; ++k) {
        t += chain[k]->GetDuration();
        endTimes[k] = t;
    }
    if (debug) TraceChain(chain, count, velReached, endTimes);
    if (cancelRequested.load()) return;

    // Publish: chain, end times and start values first, then the flag (release).
    elements.swap(chain);
    times.swap(endTimes);
    elementCount = count;
    currentElement = 0;
    elementStartTime = 0.0f;
    workState = startState;
    pathAvailable.store(true, std::memory_order_release);
}

void PathGenerator_02Linear::PrepareBlends(std::vector<std::unique_ptr<PathElement>>& chain, int count,
                                           const std::vector<float>& velReached) {
    for (int k = 1; k < count; k += 2) {
        chain[k]->velStart = velReached[k - 1];
        chain[k]->velEnd = velReached[k + 1];
        chain[k]->PrepareAcceleration();
    }
}

void PathGenerator_02Linear::RestartKinematic() {
    // The check walked the copy along the path; the cycle starts from the request's start.
    Kinematic().SetJoints(startState.jointSet, false);
}

bool PathGenerator_02Linear::LimitJointSpeeds(std::vector<std::unique_ptr<PathElement>>& chain, int count,
                                              const std::vector<std::array<double, 9>>& peaks,
                                              std::vector<float>& velReached) {
    std::vector<double> factor(static_cast<std::size_t>(count), 1.0);
    std::vector<int> joint(static_cast<std::size_t>(count), -1);
    for (int k = 0; k < count; ++k) {
        for (int j = 0; j < 9; ++j) {
            const double peak = peaks[static_cast<std::size_t>(k)][static_cast<std::size_t>(j)];
            if (!(jointVel[j] > 0.0f) || !(peak > 0.0)) continue;
            const double allowed = kJointSpeedShare * jointVel[j] / peak;
            if (allowed < factor[static_cast<std::size_t>(k)]) {
                factor[static_cast<std::size_t>(k)] = allowed;
                joint[static_cast<std::size_t>(k)] = j;
            }
        }
    }
    // A blend runs at the speeds of the moves on either side of it: those are slowed for it.
    for (int k = 1; k + 1 < count; k += 2) {
        for (int n : {k - 1, k + 1}) {
            if (factor[static_cast<std::size_t>(k)] < factor[static_cast<std::size_t>(n)]) {
                factor[static_cast<std::size_t>(n)] = factor[static_cast<std::size_t>(k)];
                joint[static_cast<std::size_t>(n)] = joint[static_cast<std::size_t>(k)];
            }
        }
    }
    bool slowed = false;
    for (int k = 0; k < count; k += 2) {
        const double f = factor[static_cast<std::size_t>(k)];
        if (f >= 1.0) continue;
        PathElement& element = *chain[k];
        const int j = joint[static_cast<std::size_t>(k)];
        if (!(f >= kMinJointSpeedFactor)) {
            char text[192];
            std::snprintf(text, sizeof text,
                          "command %d refused, joint %d would move faster than %.1f/s even at %.1f%% of "
                          "its speed",
                          element.cmdIndex, j + 1, static_cast<double>(jointVel[j]), kMinJointSpeedFactor * 100.0);
            throw std::runtime_error(text);
        }
        element.LimitSpeed(static_cast<float>(f));
        element.PrepareAcceleration();
        velReached[static_cast<std::size_t>(k)] = element.GetVel();
        LogSingleton::instance()->addFormat("PGLinear: command %d slowed to %.1f%% for joint %d (%.1f/s at most)",
                                            element.cmdIndex, f * 100.0, j + 1, static_cast<double>(jointVel[j]));
        slowed = true;
    }
    return slowed;
}

void PathGenerator_02Linear::TraceChain(const std::vector<std::unique_ptr<PathElement>>& chain, int count,
                                        const std::vector<float>& velReached,
                                        const std::vector<float>& endTimes) const {
    LogSingleton* log = LogSingleton::instance();
    std::string line = "Velocities reached:";
    for (int k = 0; k < count; ++k) line += " " + std::to_string(velReached[k]);
    log->add(line);
    for (int k = 0; k < count; ++k) {
        log->addFormat("Preparing %s Element %i: finished at t=%f", chain[k]->name.c_str(), k,
                       static_cast<double>(endTimes[k]));
        log->addFormat("                           %s", chain[k]->ToString().c_str());
    }
    log->add("");
}

int PathGenerator_02Linear::GetJointPosition(long tUs, float* joints, int* cmdIndex) {
    if (elementCount == 0) {
        // Nothing published: hold the start joints.
        for (int j = 0; j < nJoints; ++j) joints[j] = startState.jointSet[j];
        return -1;
    }
    if (currentElement >= elementCount) {
        // Called again after the end: hold the end point and name the successor again.
        const PathElement& lastElement = *elements[elementCount - 1];
        for (int j = 0; j < nJoints; ++j) joints[j] = workState.jointSet[j];
        *cmdIndex = lastElement.cmdIndex;
        return lastElement.nextCmdIndex;
    }
    const float tMs = static_cast<float>(static_cast<double>(tUs) / 1000.0);
    PathElement& element = *elements[currentElement];
    *cmdIndex = element.cmdIndex;
    const int r = element.GetPosition(tMs - elementStartTime, workState);
    if (!JointMode()) {
        RobotKinematic& kin = Kinematic();
        kin.SetPosition(workState.pose, workState.jointSet);
        kin.GetJoints(workState.jointSet);
    }
    for (int j = 0; j < nJoints; ++j) joints[j] = workState.jointSet[j];
    if (r == 0) {
        elementStartTime = times[currentElement];
        ++currentElement;
        if (currentElement >= elementCount) {
            if (debug) {
                LogSingleton::instance()->addFormat("PGLinear: path finished, successor %d", element.nextCmdIndex);
            }
            return element.nextCmdIndex;
        }
    }
    return -1;
}
