#pragma once

// Helpers shared by the command members of RobotMaster: the drive-command hold that also
// marks the thread as allowed to write the loop's live state, and the rules for reading
// and writing that state from a command.
//
// The live state belongs to the robot loop. A command writes it directly only
//  - on the loop thread itself, or
//  - while this thread holds an acknowledged hold of the same robot master (the loop then
//    runs held cycles, which only copy the live state under publishMutex).
// Every direct write takes publishMutex, so the held cycles' copy never sees half a write.
// In every other case a command leaves a request in LoopRequests.

#include "RobotMasterInternals.h"
#include "control/RobotMaster.h"

#include <mutex>

namespace RobotMasterCommands {

// True when the calling thread may write master's live state (see above).
bool CanWriteLive(const RobotMaster& master);

// The hold of a drive command (a HoldScope) that, once acknowledged, lets this thread
// write the live state. Take a CommandLock first.
class CommandHold {
public:
    CommandHold(RobotMaster& master, int waitBeforeMs, int waitAfterMs);
    ~CommandHold();
    CommandHold(const CommandHold&) = delete;
    CommandHold& operator=(const CommandHold&) = delete;

    bool Acknowledged() const { return hold.Acknowledged(); }
    void Wait(int ms) const { hold.Wait(ms); }

private:
    HoldScope hold;
    const RobotMaster* previous;
};

// Runs f(liveState) under publishMutex. Only where CanWriteLive holds.
template <typename F>
void WithLive(RobotMaster& master, F f) {
    std::lock_guard<std::mutex> lock(RobotMasterInternals::PublishMutex(master));
    f(RobotMasterInternals::LiveState(master));
}

// Digital output n as the loop will next see it: a pending request, else the live value
// where this thread may read it, else the published one.
bool CurrentDOut(RobotMaster& master, int n);

// Sets output n directly or by request (no gripper coupling, no range check).
void WriteDOut(RobotMaster& master, int n, bool on);

// Shows text on the display and server channel. On master's loop thread the text leaves
// through the loop's outbox (no blocking there); elsewhere it goes out at once.
void Show(RobotMaster& master, const char* text);
inline void Show(RobotMaster& master, const std::string& text) { Show(master, text.c_str()); }

}  // namespace RobotMasterCommands
