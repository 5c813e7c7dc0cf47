// The robot loop's outbox: log lines, events, variable changes, texts, the shut-down and
// the temperature reading leave the loop thread here and run on a worker.
#include "control/LoopOutbox.h"

#include "core/Shutdown.h"
#include "hardware/BoardSupport.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>

namespace {

float ReadCpuTemperature() { return static_cast<float>(Hardware::BoardSupport::GetCPUTemperature()); }

void CopyText(char* to, std::size_t size, const char* from) {
    std::strncpy(to, from != nullptr ? from : "", size - 1);
    to[size - 1] = '\0';
}

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
      }) {
    // Room for the usual variable names and texts, so a change rarely allocates.
    for (Change& c : changes.slots) c.variable.name.reserve(64);
}

LoopOutbox::~LoopOutbox() {
    Stop();
    // Destroyed from the worker's or the shut-down's own action: nobody is left to join it.
    if (worker.joinable()) worker.detach();
    if (shutdownThread.joinable()) shutdownThread.detach();
}

void LoopOutbox::CountDropped() {
    droppedTotal.fetch_add(1);
    droppedUnreported.fetch_add(1);
}

bool LoopOutbox::Post(Kind kind, const char* text) {
    Slot* slot = messages.Claim();
    if (slot == nullptr) {
        CountDropped();
        return false;
    }
    slot->kind = kind;
    CopyText(slot->text, kTextSize, text);
    messages.Publish();
    Wake();
    return true;
}

bool LoopOutbox::Line(LogLineKind kind, const char* stamp, const char* text) {
    // Display and server texts of other code (the interpreter's) stay in order with the
    // lines around them; the loop's own notes have the message ring.
    Effect* e = effects.Claim();
    if (e == nullptr) {
        CountDropped();
        return false;
    }
    e->kind = EffectKind::Line;
    e->line = kind;
    CopyText(e->stamp, sizeof e->stamp, stamp);
    CopyText(e->text, kEffectText, text);
    effects.Publish();
    Wake();
    return true;
}

bool LoopOutbox::PostConsole(const char* text) {
    Effect* e = effects.Claim();
    if (e == nullptr) {
        CountDropped();
        return false;
    }
    e->kind = EffectKind::Console;
    CopyText(e->text, kEffectText, text);
    effects.Publish();
    Wake();
    return true;
}

bool LoopOutbox::PostEvent(ResultCallback callback, HVPEventType event, int commandIndex, int programIndex,
                           const std::string& text) {
    Effect* e = effects.Claim();
    if (e == nullptr) {
        CountDropped();
        return false;
    }
    e->kind = EffectKind::Event;
    e->callback = callback;
    e->event = event;
    e->a = commandIndex;
    e->b = programIndex;
    CopyText(e->text, kEffectText, text.c_str());
    effects.Publish();
    Wake();
    return true;
}

bool LoopOutbox::PostVariableChange(Programs::ProgramMemory* memory, const Programs::MemoryPosition& variable) {
    Change* c = changes.Claim();
    if (c == nullptr) {
        CountDropped();
        return false;
    }
    c->memory = memory;
    c->variable = variable;
    changes.Publish();
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

void LoopOutbox::DeliverEffectsLocked() {
    LogSingleton* log = LogSingleton::instance();
    std::string text;
    while (Effect* e = effects.Peek()) {
        if (e->kind == EffectKind::Line) {
            log->addStamped(e->line, e->stamp, e->text);
        } else if (e->kind == EffectKind::Console) {
            log->addConsole(e->text);
        } else if (e->callback != nullptr) {
            text.assign(e->text);
            const ResultCallback callback = e->callback;
            const HVPEventType event = e->event;
            const int a = e->a;
            const int b = e->b;
            effects.Pop();
            try {
                callback(event, a, b, text);
            } catch (...) {
                // A receiver's fault must not lose what follows.
            }
            continue;
        }
        effects.Pop();
    }
    while (Change* c = changes.Peek()) {
        try {
            if (c->memory != nullptr) c->memory->DeliverChange(c->variable);
        } catch (...) {
        }
        changes.Pop();
    }
}

void LoopOutbox::ReportDroppedLocked() {
    const long long dropped = droppedUnreported.exchange(0);
    if (dropped > 0) {
        LogSingleton::instance()->addFormat("RobotLoop: outbox full, %lld texts dropped", dropped);
    }
}

void LoopOutbox::DeliverEffects() {
    std::lock_guard<std::mutex> lock(consumerMutex);
    DeliverEffectsLocked();
    ReportDroppedLocked();
}

void LoopOutbox::Deliver() {
    std::lock_guard<std::mutex> lock(consumerMutex);
    DeliverEffectsLocked();
    while (Slot* slot = messages.Peek()) {
        Slot copy = *slot;
        messages.Pop();
        if (messageSink) messageSink(copy.kind, copy.text);
    }
    ReportDroppedLocked();
    if (temperatureRequested.exchange(false) && temperatureSource) {
        cpuTemperature.store(temperatureSource());
    }
    if (shutdownRequested.exchange(false) && shutdownAction) StartShutdown();
}

void LoopOutbox::StartShutdown() {
    std::lock_guard<std::mutex> lock(shutdownMutex);
    shutdownPending = true;
    if (shutdownRunning) return;  // the running thread takes it after its current one
    shutdownRunning = true;
    // A previous thread has cleared shutdownRunning under the lock and only returns.
    if (shutdownThread.joinable()) shutdownThread.join();
    shutdownThread = std::thread([this] { RunShutdowns(); });
}

void LoopOutbox::RunShutdowns() {
    std::unique_lock<std::mutex> lock(shutdownMutex);
    while (shutdownPending) {
        shutdownPending = false;
        lock.unlock();
        try {
            shutdownAction();
        } catch (const std::exception& e) {
            LogSingleton::instance()->addFormat("RobotLoop: shut-down ended by an exception: %s", e.what());
        }
        lock.lock();
    }
    shutdownRunning = false;
}

bool LoopOutbox::IsShutdownRunning() {
    std::lock_guard<std::mutex> lock(shutdownMutex);
    return shutdownRunning;
}

void LoopOutbox::JoinShutdown() {
    std::thread running;
    {
        std::lock_guard<std::mutex> lock(shutdownMutex);
        running = std::move(shutdownThread);
    }
    if (!running.joinable()) return;
    if (running.get_id() == std::this_thread::get_id()) {
        running.detach();  // the shut-down itself stops the outbox: it ends after this
    } else {
        running.join();
    }
}

void LoopOutbox::Start() {
    if (worker.joinable()) {
        // A worker that its own action stopped ends by itself: wait for it, then start anew.
        if (!stopWorker.load() || worker.get_id() == std::this_thread::get_id()) return;
        worker.join();
    }
    stopWorker.store(false);
    worker = std::thread([this] { Worker(); });
    workerRunning.store(true);
}

void LoopOutbox::Stop() {
    {
        std::lock_guard<std::mutex> lock(wakeMutex);
        stopWorker.store(true);
    }
    workerRunning.store(false);
    wake.notify_all();
    // From an action the worker runs, inside its Deliver: it ends once that returns and
    // delivers what is left itself; whoever stops the outbox next joins it.
    if (worker.joinable() && worker.get_id() == std::this_thread::get_id()) return;
    if (worker.joinable()) worker.join();
    Deliver();  // what the loop posted last still goes out
    JoinShutdown();
}

void LoopOutbox::Worker() {
    std::unique_lock<std::mutex> lock(wakeMutex);
    while (!stopWorker.load()) {
        wake.wait_for(lock, std::chrono::milliseconds(10));
        lock.unlock();
        Deliver();
        lock.lock();
    }
    lock.unlock();
    Deliver();  // what came while the last action stopped the worker
}
