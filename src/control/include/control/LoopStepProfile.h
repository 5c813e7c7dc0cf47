#pragma once

// Where the time of the robot loop's slow cycles goes. The loop stamps the end of each
// group of steps; the slowest cycle since the last reading is handed over whole, without a
// lock, to a thread that reads it off the loop (a sequence counter around atomic fields).

#include <atomic>
#include <cstdint>
#include <mutex>

class LoopStepProfile {
public:
    // Groups of steps, in cycle order; each is timed from the end of the one before.
    enum Step : int {
        Requests = 0,  // requests, setting copies, posted stops, the e-stop input
        Sync,          // 5
        Modes,         // 6..11: override, operation mode, referencing, brake, errors, EM67
        SetPoint,      // 12
        Logic,         // 13
        IO,            // 14..18: tool, PLC outputs, gripper, I/O, e-stop, PLC inputs, triggers
        ReadBack,      // 19
        Wait,          // timing mode 2: the wait for the period (mode 1 waits before the work)
        Exchange,      // 20
        Publish,       // statistics and the published state
        kSteps
    };
    static const char* StepName(int step);

    struct Cycle {
        std::uint32_t totalUs = 0;  // from the start of the cycle's work to its end
        std::uint32_t stepUs[kSteps] = {};
    };

    // --- Loop side ---
    void Begin(std::uint64_t nowUs);
    void Mark(Step step, std::uint64_t nowUs);
    // The cycle is over: a cycle slower than the slowest so far is handed over.
    void End(std::uint64_t nowUs);

    // --- Any other thread ---
    // The slowest cycle since the previous call (all zero when none ran); the loop then
    // starts a new search. A slower cycle that ends while the take runs is not lost: it
    // is handed out by the next take.
    Cycle TakeSlowest();

private:
    // Loop only.
    std::uint64_t begin = 0;
    std::uint64_t last = 0;
    Cycle current;
    std::uint32_t slowestUs = 0;
    std::uint32_t published = 0;  // the sequence of the cycle handed over last
    bool running = false;

    // Handed over.
    std::atomic<std::uint32_t> sequence{0};  // odd while the loop writes
    std::atomic<std::uint32_t> total{0};
    std::atomic<std::uint32_t> steps[kSteps] = {};
    std::atomic<std::uint32_t> taken{0};  // the sequence of the cycle last handed out
    std::mutex takeMutex;                 // readers only
};
