#pragma once

// A settings value that one thread changes and others read, handed over whole: every
// reader gets the value of one Store (or of the construction), never a mix of two.
// Readers take no lock and allocate nothing, so the robot loop may read one every
// cycle; writers are serialised by a mutex of their own, which also makes Update a
// read-modify-write that no other writer can interleave with.
//
// The value lives in atomic words behind a sequence counter that is odd while a store
// is under way; a read that overlaps a store is repeated (Load) or given up (TryLoad).

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <type_traits>

template <typename T>
class SeqLockValue {
    static_assert(std::is_trivially_copyable<T>::value, "handed over as plain bytes");

public:
    SeqLockValue() { Write(T{}); }
    explicit SeqLockValue(const T& initial) { Write(initial); }
    SeqLockValue(const SeqLockValue&) = delete;
    SeqLockValue& operator=(const SeqLockValue&) = delete;

    // Any thread: the value of the last store.
    T Load() const {
        T out;
        while (!TryLoad(out)) std::this_thread::yield();
        return out;
    }

    // Any thread, never waits: false (out unchanged) while a store is under way.
    bool TryLoad(T& out) const {
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            const std::uint32_t before = sequence.load(std::memory_order_acquire);
            if ((before & 1U) != 0) continue;
            std::uint32_t copy[kWords];
            for (std::size_t i = 0; i < kWords; ++i) copy[i] = words[i].load(std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_acquire);
            if (sequence.load(std::memory_order_relaxed) != before) continue;
            std::memcpy(static_cast<void*>(&out), copy, sizeof(T));  // trivially copyable
            return true;
        }
        return false;
    }

    // Changes with each store: a reader that keeps a copy compares it to see whether a
    // newer value is there.
    std::uint32_t Version() const { return sequence.load(std::memory_order_acquire); }

    // Returns the version of this store.
    std::uint32_t Store(const T& value) {
        std::lock_guard<std::mutex> lock(writerMutex);
        return Write(value);
    }

    // edit(T&) changes a copy of the current value, which is then stored; writers that
    // come meanwhile wait, so no change is lost.
    template <typename Edit>
    void Update(Edit&& edit) {
        std::lock_guard<std::mutex> lock(writerMutex);
        T value = Read();
        edit(value);
        Write(value);
    }

private:
    static constexpr std::size_t kWords = (sizeof(T) + sizeof(std::uint32_t) - 1) / sizeof(std::uint32_t);
    static constexpr int kAttempts = 64;

    // Writer mutex held (or construction): nothing else writes the words.
    T Read() const {
        std::uint32_t copy[kWords];
        for (std::size_t i = 0; i < kWords; ++i) copy[i] = words[i].load(std::memory_order_relaxed);
        T out;
        std::memcpy(static_cast<void*>(&out), copy, sizeof(T));  // trivially copyable
        return out;
    }

    std::uint32_t Write(const T& value) {
        std::uint32_t copy[kWords] = {};
        std::memcpy(copy, &value, sizeof(T));
        const std::uint32_t s = sequence.load(std::memory_order_relaxed);
        sequence.store(s + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        for (std::size_t i = 0; i < kWords; ++i) words[i].store(copy[i], std::memory_order_relaxed);
        sequence.store(s + 2, std::memory_order_release);
        return s + 2;
    }

    std::mutex writerMutex;
    std::atomic<std::uint32_t> sequence{0};
    std::atomic<std::uint32_t> words[kWords] = {};
};
