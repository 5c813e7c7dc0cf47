// The robot loop's outbox: texts, the shut-down and the temperature reading leave the loop
// thread here and run on a worker.
#include "control/LoopOutbox.h"

#include "core/LogSingleton.h"
#include "core/Shutdown.h"
#include "hardware/BoardSupport.h"

#include <chrono>
#include <cstring>

namespace {

float ReadCpuTemperature() { return static_cast<float>(Hardware::BoardSupport::GetCPUTemperature()); }

}  // namespace

LoopOutbox::LoopOutbox()
    : shutdownAction([] { Shutdown::ShutdownSystem(true); }),
      temperatureSource(&ReadCpuTemperature),
      messageSink([](Kind kind, const char* text) {
          if (kind == DisplayAndServer) {
              LogSingleton::instance()->DisplayAndServerSetMessage(text);
          } else {
              LogSingleton::instance()->ServerSetMessage(text);
          }
      }) {}

LoopOutbox::~LoopOutbox() { Stop(); }

bool LoopOutbox::Post(Kind kind, const char* text) {
    const std::uint32_t h = head.load(std::memory_order_relaxed);
    if (h - tail.load(std::memory_order_acquire) >= static_cast<std::uint32_t>(kCapacity)) {
        dropped.fetch_add(1);
        return false;
    }
    Slot& slot = slots[h % kCapacity];
    slot.kind = kind;
    std::strncpy(slot.text, text, kTextSize - 1);
    slot.text[kTextSize - 1] = '\0';
    head.store(h + 1, std::memory_order_release);
    Wake();
    return true;
}

void LoopOutbox::RequestShutdown() {
    shutdownRequested.store(true);
    Wake();
}

void LoopOutbox::RequestTemperature() {
    temperatureRequested.store(true);
    Wake();
}

void LoopOutbox::Wake() {
    // No lock on the loop's side: a missed wake-up costs the worker's poll interval.
    wake.notify_one();
}

void LoopOutbox::Deliver() {
    std::lock_guard<std::mutex> lock(consumerMutex);
    for (;;) {
        const std::uint32_t t = tail.load(std::memory_order_relaxed);
        if (t == head.load(std::memory_order_acquire)) break;
        Slot copy = slots[t % kCapacity];
        tail.store(t + 1, std::memory_order_release);
        if (messageSink) messageSink(copy.kind, copy.text);
    }
    if (temperatureRequested.exchange(false) && temperatureSource) {
        cpuTemperature.store(temperatureSource());
    }
    if (shutdownRequested.exchange(false) && shutdownAction) shutdownAction();
}

void LoopOutbox::Start() {
    if (worker.joinable()) return;
    stopWorker.store(false);
    worker = std::thread([this] { Worker(); });
}

void LoopOutbox::Stop() {
    {
        std::lock_guard<std::mutex> lock(wakeMutex);
        stopWorker.store(true);
    }
    wake.notify_all();
    if (worker.joinable()) {
        if (worker.get_id() == std::this_thread::get_id()) {
            worker.detach();  // an action of the worker itself stops it: it ends after this
        } else {
            worker.join();
        }
    }
    Deliver();  // what the loop posted last still goes out
}

void LoopOutbox::Worker() {
    std::unique_lock<std::mutex> lock(wakeMutex);
    while (!stopWorker.load()) {
        wake.wait_for(lock, std::chrono::milliseconds(10));
        lock.unlock();
        Deliver();
        lock.lock();
    }
}
