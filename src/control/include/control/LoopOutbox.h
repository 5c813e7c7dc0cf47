#pragma once

// What the robot loop hands to a helper thread instead of doing it itself: short texts for
// the display and the remote clients, the system shut-down and the CPU temperature reading.
// The loop side never blocks, sleeps or allocates: texts go into a fixed ring (dropped and
// counted when it is full), requests are flags. A worker thread delivers them; without a
// worker (tests stepping the loop by hand) Deliver() does it on the calling thread.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

class LoopOutbox {
public:
    enum Kind : std::uint8_t {
        DisplayAndServer = 0,  // LogSingleton::DisplayAndServerSetMessage
        Server = 1,            // LogSingleton::ServerSetMessage
    };
    static constexpr int kCapacity = 32;
    static constexpr int kTextSize = 128;

    LoopOutbox();
    ~LoopOutbox();
    LoopOutbox(const LoopOutbox&) = delete;
    LoopOutbox& operator=(const LoopOutbox&) = delete;

    // --- Loop side (one producer thread) ---
    // False when the ring is full (the text is dropped and counted).
    bool Post(Kind kind, const char* text);
    void RequestShutdown();
    void RequestTemperature();
    // The last temperature read by the worker (°C).
    float CpuTemperature() const { return cpuTemperature.load(); }
    long long Dropped() const { return dropped.load(); }

    // --- Delivery ---
    // Runs everything pending on the calling thread.
    void Deliver();
    // Starts / stops (joins) the worker thread; both may be called again.
    void Start();
    void Stop();

    // Actions the worker runs; tests replace them before the loop starts.
    std::function<void()> shutdownAction;
    std::function<float()> temperatureSource;
    // Receives every delivered text (default: the log's message channels).
    std::function<void(Kind, const char*)> messageSink;

private:
    struct Slot {
        Kind kind = Server;
        char text[kTextSize] = {};
    };
    void Worker();
    void Wake();

    Slot slots[kCapacity];
    std::atomic<std::uint32_t> head{0};  // next slot the loop writes
    std::atomic<std::uint32_t> tail{0};  // next slot a consumer reads
    std::atomic<bool> shutdownRequested{false};
    std::atomic<bool> temperatureRequested{false};
    std::atomic<float> cpuTemperature{0.0f};
    std::atomic<long long> dropped{0};

    std::mutex consumerMutex;  // one consumer at a time (worker or Deliver)
    std::mutex wakeMutex;
    std::condition_variable wake;
    std::atomic<bool> stopWorker{false};
    std::thread worker;
};
