#pragma once

// What the robot loop hands to a helper thread instead of doing it itself: its log lines,
// the interpreter's events and variable changes raised in the cycle, short texts for the
// display and the remote clients, the system shut-down and the CPU temperature reading.
// The loop side never blocks, sleeps or allocates: everything goes into fixed rings
// (dropped and counted when full; the count is logged once there is room), requests are
// flags. A worker thread delivers them; without a worker (tests stepping the loop by hand)
// Deliver() does it on the calling thread, and the robot loop delivers its lines, events
// and variable changes itself at the end of each cycle. The shut-down, which sleeps,
// writes files and waits for the log, runs on a thread of its own, so the deliveries go on
// meanwhile.

#include "core/LogSingleton.h"
#include "motion/HVPEventType.h"
#include "program/IPO.h"
#include "program/ProgramMemory.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class LoopOutbox : public LogThreadSink, public IPO::EffectSink {
public:
    enum Kind : std::uint8_t {
        DisplayAndServer = 0,  // LogSingleton::DisplayAndServerSetMessage
        Server = 1,            // LogSingleton::ServerSetMessage
    };
    using ResultCallback = void (*)(HVPEventType, int, int, const std::string&);

    static constexpr int kCapacity = 32;     // display and server texts
    static constexpr int kTextSize = 128;
    static constexpr int kEffects = 64;      // log lines and events
    static constexpr int kEffectText = 1024;  // a whole formatted log line
    static constexpr int kChanges = 16;      // variable changes

    LoopOutbox();
    ~LoopOutbox() override;
    LoopOutbox(const LoopOutbox&) = delete;
    LoopOutbox& operator=(const LoopOutbox&) = delete;

    // --- Loop side (one producer thread) ---
    // False when the ring is full (the text is dropped and counted).
    bool Post(Kind kind, const char* text);
    // A log line as LogSingleton stamped it on the loop (LogThreadSink).
    bool Line(LogLineKind kind, const char* stamp, const char* text) override;
    // An interpreter's result event.
    bool PostEvent(ResultCallback callback, HVPEventType event, int commandIndex, int programIndex,
                   const std::string& text) override;
    // A program variable that changed in the cycle; memory's change callback gets it.
    bool PostVariableChange(Programs::ProgramMemory* memory, const Programs::MemoryPosition& variable) override;
    // A line for standard output only (the loop's exception line).
    bool PostConsole(const char* text);
    void RequestShutdown();
    void RequestTemperature();
    // The last temperature read by the worker (°C).
    float CpuTemperature() const { return cpuTemperature.load(); }
    // Everything dropped so far (the count the worker reports is cleared, this one not).
    long long Dropped() const { return droppedTotal.load(); }

    // --- Delivery ---
    // Runs everything pending on the calling thread; a requested shut-down starts on its own.
    void Deliver();
    // Only the log lines, events and variable changes (the loop's end of cycle without a
    // worker).
    void DeliverEffects();
    // Starts / stops (joins) the worker thread; both may be called again. Stop also waits
    // for a shut-down in progress. Called from an action the worker runs, Stop only tells
    // the worker to end after it; a later Stop or the destructor joins it.
    void Start();
    void Stop();
    bool IsShutdownRunning();
    // Read by the loop at the end of each cycle.
    bool IsWorkerRunning() const { return workerRunning.load(); }

    // Actions the worker runs (the shut-down on its own thread); tests replace them before
    // the loop starts.
    std::function<void()> shutdownAction;
    std::function<float()> temperatureSource;
    // Receives every delivered display or server text (default: the log's message channels).
    std::function<void(Kind, const char*)> messageSink;

private:
    struct Slot {
        Kind kind = Server;
        char text[kTextSize] = {};
    };
    enum class EffectKind : std::uint8_t { Line, Event, Console };
    struct Effect {
        EffectKind kind = EffectKind::Line;
        LogLineKind line = LogLineKind::Log;
        ResultCallback callback = nullptr;
        HVPEventType event = HVP_EVENT_ACK;
        int a = 0;
        int b = 0;
        char stamp[32] = {};
        char text[kEffectText] = {};
    };
    struct Change {
        Programs::ProgramMemory* memory = nullptr;
        Programs::MemoryPosition variable;
    };
    // A single-producer, single-consumer ring of N entries: the producer fills the slot at
    // head and then moves head, the consumer reads at tail and then moves tail.
    template <typename T, int N>
    struct Ring {
        T slots[N];
        std::atomic<std::uint32_t> head{0};
        std::atomic<std::uint32_t> tail{0};
        T* Claim() {
            const std::uint32_t h = head.load(std::memory_order_relaxed);
            if (h - tail.load(std::memory_order_acquire) >= static_cast<std::uint32_t>(N)) return nullptr;
            return &slots[h % N];
        }
        void Publish() { head.store(head.load(std::memory_order_relaxed) + 1, std::memory_order_release); }
        T* Peek() {
            const std::uint32_t t = tail.load(std::memory_order_relaxed);
            return t == head.load(std::memory_order_acquire) ? nullptr : &slots[t % N];
        }
        void Pop() { tail.store(tail.load(std::memory_order_relaxed) + 1, std::memory_order_release); }
    };

    void Worker();
    void Wake();
    // Runs the shut-down action on the shut-down thread, starting it when none runs.
    void StartShutdown();
    void RunShutdowns();
    void JoinShutdown();
    void CountDropped();
    // With consumerMutex held.
    void DeliverEffectsLocked();
    void ReportDroppedLocked();

    Ring<Slot, kCapacity> messages;
    Ring<Effect, kEffects> effects;
    Ring<Change, kChanges> changes;
    std::atomic<bool> shutdownRequested{false};
    std::atomic<bool> temperatureRequested{false};
    std::atomic<float> cpuTemperature{0.0f};
    std::atomic<long long> droppedTotal{0};
    std::atomic<long long> droppedUnreported{0};
    std::atomic<bool> workerRunning{false};

    std::mutex consumerMutex;  // one consumer at a time (worker or Deliver)
    std::mutex wakeMutex;
    std::condition_variable wake;
    std::atomic<bool> stopWorker{false};
    std::thread worker;

    std::mutex shutdownMutex;  // the three below
    bool shutdownPending = false;  // a request the shut-down thread has not begun
    bool shutdownRunning = false;
    std::thread shutdownThread;
};
