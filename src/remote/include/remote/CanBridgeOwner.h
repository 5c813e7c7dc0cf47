#pragma once

// Which connection owns the CAN bridge. Only the connection that switched the bridge on
// receives bus frames, writes frames and may switch it off; its end ends bridge mode.

#include <atomic>
#include <mutex>

namespace Remote {

class CanBridgeOwner {
public:
    // Becomes the owner when the operation mode is 0 and nobody owns the bridge; then
    // runs switchOn (which sets mode 2) under the same lock. False when refused.
    template <typename SwitchOn>
    bool TryTake(const void* who, SwitchOn&& switchOn) {
        std::lock_guard<std::mutex> lock(mutex);
        if (owner.load() != nullptr || !ModeIsNormal()) return false;
        owner.store(who);
        switchOn();
        return true;
    }
    // Releases the bridge when who owns it and the mode is 2; runs switchOff (which sets
    // mode 0) under the lock. False when who is not the owner or the mode is not 2 (the
    // ownership of a bridge that something else ended is dropped all the same).
    template <typename SwitchOff>
    bool Release(const void* who, SwitchOff&& switchOff) {
        std::lock_guard<std::mutex> lock(mutex);
        if (owner.load() != who || who == nullptr) return false;
        owner.store(nullptr);
        if (!ModeIsBridge()) return false;
        switchOff();
        return true;
    }
    bool IsOwner(const void* who) const { return who != nullptr && owner.load() == who; }
    const void* Owner() const { return owner.load(); }

private:
    static bool ModeIsNormal();
    static bool ModeIsBridge();

    std::mutex mutex;
    std::atomic<const void*> owner{nullptr};
};

}  // namespace Remote
