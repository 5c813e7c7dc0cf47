#pragma once

// A stand-in for the robot loop: asks an interpreter for its set-points once per cycle,
// applies them through a kinematic and recomputes the pose, as the loop does without
// hardware. Kinematic faults stop the interpreter with reason 6, as in the loop.

#include "kinematics/RobotKinematic.h"
#include "program/IPO.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace IpoTest {

class StandInLoop {
public:
    explicit StandInLoop(std::unique_ptr<RobotKinematic> kinematic) : kin(std::move(kinematic)) {
        kin->SetJoints(state.jointSet, false);
        kin->GetPosition(&state);
    }

    // One cycle of the interpreter.
    void Step(IPO& ipo, int cycleMs = 10, float overridePercent = 100.0f) {
        ipo.GetNextPosition(cycleMs, overridePercent, &state);
        Apply(ipo);
    }

    // Steps until done() holds; while a plan is being computed it gives the planner time
    // instead of burning cycles. False when done() did not hold within timeoutMs.
    bool RunUntil(IPO& ipo, const std::function<bool()>& done, int cycleMs = 10, int timeoutMs = 60000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            Step(ipo, cycleMs);
            PathGenerator* g = ipo.GetPathGenerator();
            if (g != nullptr && !g->IsPathAvailable() && g->IsThreadRunning()) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        }
        return true;
    }

    // Until the interpreter is neither running nor planning.
    bool RunToEnd(IPO& ipo, int cycleMs = 10, int timeoutMs = 60000) {
        return RunUntil(ipo, [&ipo] { return !ipo.IsReplayRunning(); }, cycleMs, timeoutMs);
    }

    std::unique_ptr<RobotKinematic> kin;
    DataTypes::RobotState state;
    std::string lastKinematicError;

private:
    void Apply(IPO& ipo) {
        try {
            kin->SetJoints(state.jointSet, true);
            kin->GetPosition(&state);
        } catch (int code) {
            lastKinematicError = "Kinematic error: " + std::to_string(code);
            ipo.Stop(IPO::STOP_ERROR, lastKinematicError);
        } catch (const std::exception& e) {
            lastKinematicError = std::string("Kinematic error: ") + e.what();
            ipo.Stop(IPO::STOP_ERROR, lastKinematicError);
        }
    }
};

// The loop on a thread of its own with a fixed period, for the race tests.
class StandInLoopThread {
public:
    StandInLoopThread(IPO& ipo, std::unique_ptr<RobotKinematic> kinematic, std::chrono::microseconds period)
        : loop(std::move(kinematic)), ipo_(ipo), period_(period) {
        thread_ = std::thread([this] { Run(); });
    }
    ~StandInLoopThread() { Join(); }
    StandInLoopThread(const StandInLoopThread&) = delete;
    StandInLoopThread& operator=(const StandInLoopThread&) = delete;

    void Join() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    long long Cycles() const { return cycles_.load(); }

    StandInLoop loop;

private:
    void Run() {
        auto next = std::chrono::steady_clock::now();
        const int cycleMs = static_cast<int>(std::max<long long>(1, period_.count() / 1000));
        while (!stop_.load()) {
            loop.Step(ipo_, cycleMs);
            cycles_.fetch_add(1);
            next += period_;
            std::this_thread::sleep_until(next);
        }
    }

    IPO& ipo_;
    std::chrono::microseconds period_;
    std::atomic<bool> stop_{false};
    std::atomic<long long> cycles_{0};
    std::thread thread_;
};

}  // namespace IpoTest
