#pragma once

// Side effects of the interpreters that must not run under programMutex: result events,
// the error and run-state callbacks, the state machine's stop, log lines and messages,
// and the program memory's change callbacks for variables that commands wrote.
// A thread that holds an interpreter's lock queues them; they run in order once the
// thread has released its last interpreter lock. The queue is per thread and keeps its
// storage, so a cycle that queues short texts allocates nothing.

#include "motion/HVPEventType.h"
#include "program/IPO.h"
#include "program/ProgramMemory.h"

#include <memory>
#include <string>

namespace IpoDeferred {

// True while the calling thread is inside a section (holds or is about to take an
// interpreter lock); side effects are then queued.
bool InSection();

void Event(IPO::ResultCallback callback, HVPEventType event, int point, int program,
           const std::string& text);
void RunState(IPO& ipo, bool running);
// The program memory's defer hook: inside a section the change callback is queued with
// the other effects; false (run it now) outside.
bool MemoryChange(Programs::ProgramMemory& memory, const Programs::MemoryPosition& variable);

// Waits, without any lock, until no planning thread of the interpreter runs; sets the
// planner's cancel flag meanwhile.
void WaitForPlanner(IPO& ipo);

// True on a thread that drives an interpreter's cycle (marked by the robot loop, or one
// that has called GetNextPosition): run control there never sleeps or waits.
bool OnCycleThread();

}  // namespace IpoDeferred
