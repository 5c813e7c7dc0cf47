#pragma once

// Bounds how often log lines of one kind are written, so that a device repeating a message
// thousands of times a second cannot rotate the log away and lose what preceded a fault.
// Lines carry a key telling identical messages apart (e.g. identifier and event number):
// at most maxPerKey lines per key and maxTotal lines of the kind per window. The lines
// held back are counted per key and reported in one line, "<kind>: <n> similar lines
// suppressed", once their window is over (at the next line of that key, at a Flush, or
// when the key's slot is taken by another key). Keys pushed out of their slots report at
// most one such line per window; what more of them held back is summed into one line once
// that window is over, so that a flood of ever new keys cannot flood the log with counts.
//
//   LogThrottle eventLog("JXRCAN: event lines");
//   if (eventLog.Admit(key)) log->addFormat(...);
//
// The few most recent keys are tracked in a fixed table: no heap allocation; one object
// may be used from several threads.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

class LogThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kDefaultMaxPerKey = 10;
    static constexpr int kDefaultMaxTotal = 50;
    static constexpr std::chrono::milliseconds kDefaultWindow{1000};
    static constexpr int kKeySlots = 8;

    // kind names the lines in the count line and must outlive the object (a literal).
    explicit LogThrottle(const char* kind, int maxPerKey = kDefaultMaxPerKey, int maxTotal = kDefaultMaxTotal,
                         Clock::duration window = kDefaultWindow);
    LogThrottle(const LogThrottle&) = delete;
    LogThrottle& operator=(const LogThrottle&) = delete;

    // True when one more line with this key may be written at now; counts it as held
    // back otherwise. Count lines of ended windows are logged first.
    bool Admit(std::uint64_t key = 0, Clock::time_point now = Clock::now());
    bool Admit(Clock::time_point now) { return Admit(0, now); }
    // Logs the count lines of ended windows that held lines back; cheap when none did.
    void Flush(Clock::time_point now = Clock::now());

    // Lines held back since construction, reported or not.
    std::uint64_t SuppressedTotal() const { return suppressedTotal.load(std::memory_order_relaxed); }
    const char* Kind() const { return kind; }

private:
    struct KeySlot {
        bool used = false;
        std::uint64_t key = 0;
        Clock::time_point windowStart{};
        Clock::time_point lastSeen{};
        int lines = 0;
        std::uint64_t suppressed = 0;
    };
    // Counts to report, gathered under the lock and logged after it.
    struct Reports {
        std::array<std::uint64_t, kKeySlots + 1> counts{};
        int size = 0;
        void Add(std::uint64_t count) {
            if (count > 0 && size < static_cast<int>(counts.size())) counts[static_cast<size_t>(size++)] = count;
        }
    };

    // The slot of key, taking a free or the least recently seen one. Lock held.
    KeySlot& SlotFor(std::uint64_t key, Clock::time_point now, Reports& reports);
    // The count of a key pushed out of its slot: reported at once when it is the first of
    // its window, else summed for the window's end. Lock held.
    void PushedOut(std::uint64_t count, Clock::time_point now, Reports& reports);
    // Reports the pushed-out sum once its window is over. Lock held.
    void RollPushedOut(Clock::time_point now, Reports& reports);
    // Starts a new window of the slot when its window is over. Lock held.
    void Roll(KeySlot& slot, Clock::time_point now, Reports& reports) const;
    void UpdatePending();
    void Report(const Reports& reports) const;

    const char* const kind;
    const int maxPerKey;
    const int maxTotal;
    const Clock::duration window;
    std::mutex mutex;
    std::array<KeySlot, kKeySlots> slots{};
    Clock::time_point totalWindowStart{};
    bool totalWindowOpen = false;
    int totalLines = 0;
    Clock::time_point pushedOutWindowStart{};
    bool pushedOutWindowOpen = false;
    std::uint64_t pushedOutHeld = 0;  // counts of pushed-out keys not reported yet
    std::atomic<bool> pending{false};  // some slot holds lines back not reported yet
    std::atomic<std::uint64_t> suppressedTotal{0};
};
