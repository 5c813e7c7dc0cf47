#pragma once

// Abstract planner behind every interpreter. A request is: SetFirstCmd (first motion
// command and start state), SetNextCmd for the commands blended into it, then
// ComputePathStartThread, which plans on a detached thread of its own. The robot loop
// polls IsPathAvailable and then reads one set-point per cycle with GetJointPosition.

#include "core/RobotState.h"
#include "motion/HVPEventType.h"
#include "motion/PathCommandAccess.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class RobotKinematic;

// Per-joint acceleration values of the joint-space planner.
class AccHandler {
public:
    AccHandler() = default;
    AccHandler(float base, float factor);

    // acc[j] = accBase[j] * percent / 100; the argument is not used.
    void RequestAcc(float value);
    void ResetAcc();

    float acc[9] = {};
    float percent = 100.0f;
    float accBase[9] = {};
    float factor = 0.0f;
};

class PathGenerator {
public:
    using ResultCallback = void (*)(HVPEventType, int, int, const std::string&);

    // Bounds of the look-ahead that sizes the command lists.
    static constexpr int kMinLookAhead = 1;
    static constexpr int kMaxLookAhead = 100;
    // Retry period of the pre-empting try-lock.
    static constexpr int kLockRetryUs = 50000;
    // SetFirstCmd runs on the robot-loop thread: it retries far more often than a planning
    // thread, so it waits only until the running computation has seen the cancel flag.
    static constexpr int kPreemptRetryUs = 200;

    explicit PathGenerator(int lookAhead);
    // Cancels and waits for the generator's planning threads.
    virtual ~PathGenerator();
    PathGenerator(const PathGenerator&) = delete;
    PathGenerator& operator=(const PathGenerator&) = delete;

    // Plans cmds[0 .. cmdCount-1] from the start state; planning thread, mutex held.
    // Polls cancelRequested, sets pathAvailable when the plan is complete, throws faults.
    virtual void ComputePath() = 0;
    // Cycle side: joints at path time tUs; -1 while the path runs, then the successor
    // index of the last planned command.
    virtual int GetJointPosition(long tUs, float* joints, int* cmdIndex) = 0;
    virtual void InitVelAcc(float* jointVel, float* jointAcc, float* jointAccInc, double cartVel,
                            double cartAcc, double cartAccInc, double oriVel, double oriAcc,
                            double oriAccInc) = 0;
    virtual void Init(bool optimize, int slicingMs, bool quiet) = 0;
    virtual void SetFirstCmd(std::shared_ptr<Command> command, DataTypes::RobotState* state,
                             int index, int successor) = 0;
    virtual void SetNextCmd(std::shared_ptr<Command> command, int index, int successor);

    // Starts planning the current request on a new detached thread. The request counts
    // as running from this call on, so the caller never requests it a second time.
    void ComputePathStartThread();

    void SetPathUnavailable() { pathAvailable.store(false, std::memory_order_release); }
    // Acquire: a true result makes the published plan visible to the caller.
    bool IsPathAvailable() const { return pathAvailable.load(std::memory_order_acquire); }
    int GetLookAhead() const { return lookAhead; }
    // Changes the look-ahead within the size the lists got at construction.
    void SetLookAhead(int value);
    // True from ComputePathStartThread until every planning thread has ended.
    bool IsThreadRunning() const { return threadRunning.load() > 0; }

    // The program commands are read through this object; it must outlive the generator.
    void SetCommandAccess(const PathCommandAccess* access) { commandAccess = access; }

    // Asks a running computation to give up (it polls the flag).
    void RequestCancel() { cancelRequested.store(true); }
    // 0 planned or nothing planned yet, -1 the request failed.
    int GetResult() const { return result.load(); }
    void ClearResult() { result.store(0); }
    // Where the generator sends its events (the interpreter's callback); null: none.
    void SetResultCallback(ResultCallback callback) { resultCallback.store(callback); }
    // The generator's own copy of the robot kinematic; set before planning, never while a
    // plan is computing.
    void SetKinematic(std::unique_ptr<RobotKinematic> copy);
    const RobotKinematic* GetKinematic() const { return kinematic.get(); }

    static float signum(float value);
    static long maximum(long a, long b);

protected:
    friend class PathGeneratorTestAccess;

    // The generator family shares the request lists and the flags below.
    int lookAhead;
    std::atomic<bool> pathAvailable{false};
    std::unique_ptr<RobotKinematic> kinematic;  // private copy of the robot's kinematic
    int nJoints = 9;
    int cmdCount = 0;
    std::vector<std::shared_ptr<Command>> cmds;
    std::vector<float> times;
    std::vector<int> cmdIndices;
    std::vector<int> successors;
    bool quiet = true;
    bool debug = false;
    std::atomic<bool> optimize{false};
    std::mutex mutex;
    std::atomic<bool> cancelRequested{false};
    std::atomic<int> result{0};
    AccHandler accHandler;

    // Takes the mutex the way every party does: while the try-lock fails, set
    // cancelRequested and retry after 50 ms, so a running computation gives up.
    void LockPreempting(int retryUs = kLockRetryUs);
    // With the mutex held: starts a new request with its first command. Threads of older
    // requests that have not started computing yet then exit without computing.
    void BeginRequest(std::shared_ptr<Command> command, int index, int successor);
    // With the mutex held, on the planning thread: an error event to send once the mutex
    // is released, so the receiver can never block the next request.
    void DeferErrorEvent(int commandIndex, int programIndex, const std::string& text);
    // With the mutex held, on the planning thread: the request ends before anything is
    // served because a target fails the kinematic (code): the robot does not start toward
    // it. Logs and sends "Kinematic error: " and the code's text; result -1.
    void RefuseTarget(int code);
    // The command access; std::logic_error when none is set.
    const PathCommandAccess& Access() const;
    // The kinematic copy; std::logic_error when none is set.
    RobotKinematic& Kinematic() const;
    // Cancels every planning thread of this generator and waits until they have ended.
    // Derived destructors call it first, before their own members go away.
    void StopThreads();

private:
    struct DeferredEvent {
        bool pending = false;
        int commandIndex = 0;
        int programIndex = 0;
        std::string text;
    };

    static void threadPathGeneration(PathGenerator* generator, std::uint64_t request);

    std::atomic<ResultCallback> resultCallback{nullptr};
    // Requests started and not yet finished by their planning thread.
    std::atomic<int> threadRunning{0};
    const PathCommandAccess* commandAccess = nullptr;
    // Sequence number of the newest request; bumped with the mutex held.
    std::atomic<std::uint64_t> requestSeq{0};
    // Newest request a thread has planned (mutex held).
    std::atomic<std::uint64_t> plannedSeq{0};
    DeferredEvent deferredEvent;  // mutex held
};
