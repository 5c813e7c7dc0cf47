#include "core/LogThrottle.h"

#include "core/LogSingleton.h"

LogThrottle::LogThrottle(const char* kindIn, int maxPerKeyIn, int maxTotalIn, Clock::duration windowIn)
    : kind(kindIn),
      maxPerKey(maxPerKeyIn < 1 ? 1 : maxPerKeyIn),
      maxTotal(maxTotalIn < 1 ? 1 : maxTotalIn),
      window(windowIn) {}

void LogThrottle::Roll(KeySlot& slot, Clock::time_point now, Reports& reports) const {
    if (now - slot.windowStart < window) return;
    reports.Add(slot.suppressed);
    slot.windowStart = now;
    slot.lines = 0;
    slot.suppressed = 0;
}

LogThrottle::KeySlot& LogThrottle::SlotFor(std::uint64_t key, Clock::time_point now, Reports& reports) {
    KeySlot* oldest = &slots[0];
    for (KeySlot& slot : slots) {
        if (slot.used && slot.key == key) return slot;
    }
    for (KeySlot& slot : slots) {
        if (!slot.used) {
            oldest = &slot;
            break;
        }
        if (slot.lastSeen < oldest->lastSeen) oldest = &slot;
    }
    // A key pushed out reports what it held back; it starts afresh when it comes back.
    PushedOut(oldest->suppressed, now, reports);
    *oldest = KeySlot{};
    oldest->used = true;
    oldest->key = key;
    oldest->windowStart = now;
    return *oldest;
}

void LogThrottle::PushedOut(std::uint64_t count, Clock::time_point now, Reports& reports) {
    if (count == 0) return;
    if (pushedOutWindowOpen && now - pushedOutWindowStart < window) {
        pushedOutHeld += count;
        return;
    }
    reports.Add(pushedOutHeld + count);
    pushedOutHeld = 0;
    pushedOutWindowOpen = true;
    pushedOutWindowStart = now;
}

void LogThrottle::RollPushedOut(Clock::time_point now, Reports& reports) {
    if (pushedOutHeld == 0 || now - pushedOutWindowStart < window) return;
    reports.Add(pushedOutHeld);
    pushedOutHeld = 0;
    pushedOutWindowStart = now;
}

void LogThrottle::UpdatePending() {
    bool any = pushedOutHeld > 0;
    for (const KeySlot& slot : slots) any = any || slot.suppressed > 0;
    pending.store(any, std::memory_order_relaxed);
}

bool LogThrottle::Admit(std::uint64_t key, Clock::time_point now) {
    Reports reports;
    bool admit = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        RollPushedOut(now, reports);
        KeySlot& slot = SlotFor(key, now, reports);
        Roll(slot, now, reports);
        slot.lastSeen = now;
        if (!totalWindowOpen || now - totalWindowStart >= window) {
            totalWindowOpen = true;
            totalWindowStart = now;
            totalLines = 0;
        }
        if (slot.lines < maxPerKey && totalLines < maxTotal) {
            ++slot.lines;
            ++totalLines;
            admit = true;
        } else {
            ++slot.suppressed;
            suppressedTotal.fetch_add(1, std::memory_order_relaxed);
        }
        UpdatePending();
    }
    // Logged outside the lock, before the admitted line: the counts belong to earlier lines.
    Report(reports);
    return admit;
}

void LogThrottle::Flush(Clock::time_point now) {
    if (!pending.load(std::memory_order_relaxed)) return;
    Reports reports;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (KeySlot& slot : slots) {
            if (slot.used && slot.suppressed > 0) Roll(slot, now, reports);
        }
        RollPushedOut(now, reports);
        UpdatePending();
    }
    Report(reports);
}

void LogThrottle::Report(const Reports& reports) const {
    for (int i = 0; i < reports.size; ++i) {
        LogSingleton::instance()->addFormat("%s: %llu similar lines suppressed", kind,
                                            static_cast<unsigned long long>(reports.counts[static_cast<size_t>(i)]));
    }
}
