#include "control/LoopStepProfile.h"

#include <algorithm>

namespace {

std::uint32_t Micros(std::uint64_t from, std::uint64_t to) {
    return to > from ? static_cast<std::uint32_t>(std::min<std::uint64_t>(to - from, 0xffffffffULL)) : 0;
}

}  // namespace

const char* LoopStepProfile::StepName(int step) {
    static const char* const names[kSteps] = {"requests", "sync",  "modes",     "set-point", "logic",
                                              "I/O",      "read-back", "wait",     "exchange", "publish"};
    return step >= 0 && step < kSteps ? names[step] : "";
}

void LoopStepProfile::Begin(std::uint64_t nowUs) {
    begin = nowUs;
    last = nowUs;
    current = Cycle{};
    running = true;
}

void LoopStepProfile::Mark(Step step, std::uint64_t nowUs) {
    if (!running) return;
    current.stepUs[step] += Micros(last, nowUs);
    last = nowUs;
}

void LoopStepProfile::End(std::uint64_t nowUs) {
    if (!running) return;
    running = false;
    current.totalUs = Micros(begin, nowUs);
    // A new search only once the reader has taken the slowest handed over last: one it
    // has not seen yet stays the one to beat, and is handed out at the next take.
    if (taken.load(std::memory_order_acquire) == published) slowestUs = 0;
    if (current.totalUs <= slowestUs) return;
    slowestUs = current.totalUs;
    const std::uint32_t s = sequence.load(std::memory_order_relaxed);
    sequence.store(s + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    total.store(current.totalUs, std::memory_order_relaxed);
    for (int i = 0; i < kSteps; ++i) steps[i].store(current.stepUs[i], std::memory_order_relaxed);
    sequence.store(s + 2, std::memory_order_release);
    published = s + 2;
}

LoopStepProfile::Cycle LoopStepProfile::TakeSlowest() {
    // One reader at a time: a take that marked an older cycle taken after a newer take
    // would make the loop keep searching against a cycle already handed out.
    std::lock_guard<std::mutex> lock(takeMutex);
    Cycle out;
    for (;;) {
        const std::uint32_t before = sequence.load(std::memory_order_acquire);
        if ((before & 1U) != 0) continue;
        out.totalUs = total.load(std::memory_order_relaxed);
        for (int i = 0; i < kSteps; ++i) out.stepUs[i] = steps[i].load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (sequence.load(std::memory_order_relaxed) == before) {
            // A cycle handed over already is not handed out twice; marking it taken lets
            // the loop start the next search (unless it has handed over a slower one).
            if (before == 0 || taken.exchange(before, std::memory_order_release) == before) out = Cycle{};
            break;
        }
    }
    return out;
}
